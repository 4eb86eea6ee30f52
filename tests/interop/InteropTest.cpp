// Interop: TVelmorSMPPDemo as the ESME against the npm package `smpp` as the
// SMSC (smsc.js), over loopback. Both sides assert. For every PDU we send,
// smsc.js is told what it must parse (every mandatory field and the exact set
// of TLVs) and what to answer; its verdict comes back on its stdout. For every
// PDU smsc.js builds, this side checks each argument of the event it fires.
//
// Where `smpp` departs from SMPP 3.4, the expectation is written in its terms
// with the reason beside it, and what SMPP 3.4 says about our side is asserted
// on the octets instead:
//  - it follows SMPP 5.0 names and widths: destination_port is "dest_port";
//    ms_validity and its_session_info are octet strings; source_telematics_id
//    is two octets (one in our aggregates), so that TLV is left out here;
//  - it reads alert_on_message_delivery as one octet, while in SMPP 3.4 it
//    has length 0: it takes the first octet of the following TLV as the
//    value (and would read past the PDU were it last);
//  - it turns SMPP absolute times into Dates and C-octet-string TLVs into
//    strings without their NUL; callback_num it splits into its parts;
//  - short_message and message_payload come decoded by data_coding (GSM 03.38
//    for 0, a Buffer for 4, UCS-2 for 8) with the UDH split off; so texts
//    sent with data_coding 0 keep to characters GSM 03.38 and ASCII share
//    ('_' would read as the GSM character at 0x5F);
//  - it sends every response whose command_status is not 0 as a bare header
//    (SMPP 3.4 allows it); where the body of an error response matters,
//    smsc.js builds a success and sets the status in its octets.
// Values received keep what SMPP 3.4 puts on the wire: a C-octet-string TLV
// (receipted_message_id, additional_status_info_text) arrives with its NUL.
#include <gtest/gtest.h>

#include <any>
#include <chrono>
#include <deque>
#include <initializer_list>
#include <map>
#include <ostream>
#include <sstream>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include "common/Hex.h"
#include "component/Events.h"
#include "component/Velmorsmppdemo.h"
#include "interop/SmscProcess.h"

using namespace std::chrono_literals;
using namespace std::string_literals;

namespace velmor {

// Readable aggregates in failure messages: present members only, octet
// strings in hex.
namespace {
template <class Agg>
void Describe(const Agg& a, const char* const* names, std::ostream* os) {
  std::size_t i = 0;
  *os << "{";
  Agg::visit(a, [&](const auto& m) {
    using R = std::decay_t<decltype(m)>;
    const char* name = names[i++];
    if (!m.Field) return false;
    *os << " " << name;
    if constexpr (!std::is_same_v<R, Talert_on_message_delivery>) {
      if constexpr (std::is_same_v<typename R::value_type, AnsiString>)
        *os << "=[" << test::to_hex(m.Value) << "]";
      else
        *os << "=" << static_cast<unsigned long>(m.Value);
    }
    return false;
  });
  *os << " }";
}
#define VELMOR_NAME(name, type) #name,
}  // namespace

void PrintTo(const TOPBind_RESP& a, std::ostream* os) {
  static const char* const n[] = {VELMOR_TOPBind_RESP(VELMOR_NAME)};
  Describe(a, n, os);
}
void PrintTo(const TOPDeliver_SM& a, std::ostream* os) {
  static const char* const n[] = {VELMOR_TOPDeliver_SM(VELMOR_NAME)};
  Describe(a, n, os);
}
void PrintTo(const TOPData_SM& a, std::ostream* os) {
  static const char* const n[] = {VELMOR_TOPData_SM(VELMOR_NAME)};
  Describe(a, n, os);
}
void PrintTo(const TOPData_SM_RESP& a, std::ostream* os) {
  static const char* const n[] = {VELMOR_TOPData_SM_RESP(VELMOR_NAME)};
  Describe(a, n, os);
}
void PrintTo(const Tunsuccess_sme_entry& e, std::ostream* os) {
  *os << "{" << int{e.dest_addr_ton} << "," << int{e.dest_addr_npi} << ",\"" << e.destination_addr << "\",0x"
      << std::hex << e.error_status_code << std::dec << "}";
}
#undef VELMOR_NAME

namespace {

// ---- what the events carried ---------------------------------------------------
using BindOk = std::tuple<TBindType, Cardinal, AnsiString, TOPBind_RESP>;
using BindErr = std::tuple<TBindType, Cardinal, Cardinal, AnsiString, TOPBind_RESP>;
using SeqOnly = std::tuple<Cardinal>;              // sequence_number
using StatusSeq = std::tuple<Cardinal, Cardinal>;  // command_status, sequence_number
using SubmitOk = std::tuple<Cardinal, AnsiString>;
using SubmitErr = std::tuple<Cardinal, Cardinal, AnsiString>;
using MultiOk = std::tuple<Cardinal, AnsiString, Byte, Tunsuccess_sme>;
using MultiErr = std::tuple<Cardinal, Cardinal, AnsiString, Byte, Tunsuccess_sme>;
using Deliver = std::tuple<Cardinal, AnsiString, Byte, Byte, AnsiString, Byte, Byte, AnsiString, Byte, Byte, Byte,
                           AnsiString, AnsiString, Byte, Byte, Byte, Byte, Byte, AnsiString, TOPDeliver_SM>;
using Data =
    std::tuple<Cardinal, AnsiString, Byte, Byte, AnsiString, Byte, Byte, AnsiString, Byte, Byte, Byte, TOPData_SM>;
using DataOk = std::tuple<Cardinal, AnsiString, TOPData_SM_RESP>;
using DataErr = std::tuple<Cardinal, Cardinal, AnsiString, TOPData_SM_RESP>;
using QueryOk = std::tuple<Cardinal, AnsiString, AnsiString, Byte, Byte>;
using QueryErr = std::tuple<Cardinal, Cardinal, AnsiString, AnsiString, Byte, Byte>;
using Unknown = std::tuple<Cardinal, Cardinal, Cardinal, Cardinal, AnsiString>;

// Names the event whose arguments Take() hands out as a T.
template <class T>
struct Log {
  const char* name;
};

// What smsc.js reported for one PDU it built: its sequence_number and octets.
struct Sent {
  Cardinal seq = 0;
  AnsiString octets;
};

std::string Replace(std::string text, std::string_view key, std::string_view value) {
  for (std::size_t at; (at = text.find(key)) != std::string::npos;) text.replace(at, key.size(), value);
  return text;
}

class SmscInterop : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(node.Start(VELMOR_NODE, VELMOR_SMSC_SCRIPT, 10s, error)) << error;
    Wire();
    smpp.Connect("127.0.0.1", node.Port());
    ASSERT_TRUE(Await([&] { return connected; })) << "no connection to smsc.js on port " << node.Port();
  }

  void TearDown() override {
    if (!node.Running()) return;
    node.WriteLine(R"({"end":true})");
    const int status = node.Wait(5s);
    EXPECT_EQ(status, 0) << "smsc.js reported failures:\n" << Transcript();
    EXPECT_TRUE(node.Find("done 0")) << Transcript();
    std::string left;
    for (const auto& n : order) left += n + " ";
    EXPECT_TRUE(order.empty()) << "events that no check took: " << left;
  }

  std::string Transcript() const {
    std::string out;
    for (const auto& l : node.Lines()) out += "  " + l + "\n";
    return out;
  }

  // Runs the component's loop and collects smsc.js's output until done()
  // holds or the timeout passes.
  template <class F>
  bool Await(F done, std::chrono::milliseconds timeout = 3s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      loop.RunFor(2ms);
      node.Poll(1ms);
    }
    return true;
  }

  // The oldest event of a log, waiting for one to come.
  template <class T>
  T Take(Log<T>& log) {
    auto& items = received[log.name];
    if (!Await([&] { return !items.empty(); })) {
      ADD_FAILURE() << "no " << log.name << " event\n" << Transcript();
      return T{};
    }
    T v = std::any_cast<T>(std::move(items.front()));
    items.pop_front();
    for (auto it = order.begin(); it != order.end(); ++it)
      if (*it == log.name) {
        order.erase(it);
        break;
      }
    return v;
  }

  // Waits for smsc.js's line about the given step that starts with one of
  // the given words.
  std::string AwaitStep(int step, std::initializer_list<const char*> words) {
    std::string found;
    const bool ok = Await([&] {
      for (const char* w : words)
        if (auto l = node.Find(std::string(w) + " " + std::to_string(step) + " ")) {
          found = *l;
          return true;
        }
      return false;
    });
    if (!ok) ADD_FAILURE() << "smsc.js said nothing about step " << step << "\n" << Transcript();
    return found;
  }

  // Tells smsc.js that the next PDU from us is expect (a JSON object, its
  // sequence_number added here) and that it answers with replies (responses
  // to that PDU); fails the test unless smsc.js parsed exactly that.
  void SmscExpects(Cardinal seq, std::string_view expect, std::initializer_list<std::string_view> replies = {}) {
    const int step = ++steps;
    std::string body(expect);
    body.erase(0, body.find('{') + 1);
    std::string d = "{\"step\":" + std::to_string(step) + ",\"expect\":{\"sequence_number\":" + std::to_string(seq) +
                    "," + body + ",\"then\":[";
    bool first = true;
    for (auto r : replies) {
      if (!first) d += ",";
      d += r;
      first = false;
    }
    d += "]}";
    ASSERT_TRUE(Direct(d)) << "smsc.js is gone\n" << Transcript();
    const std::string verdict = AwaitStep(step, {"ok", "fail"});
    EXPECT_EQ(verdict.rfind("ok ", 0), 0u) << verdict;
  }

  // Has smsc.js build and send a PDU (a JSON object of `smpp` field names).
  Sent SmscSends(std::string_view pdu) {
    const int step = ++steps;
    return Report(step, "{\"step\":" + std::to_string(step) + ",\"send\":" + std::string(pdu) + "}");
  }
  // Has smsc.js write octets (hex, spaces allowed) to the socket as they are.
  Sent SmscSendsRaw(std::string_view hex) {
    const int step = ++steps;
    std::string digits;
    for (char c : hex)
      if (c != ' ') digits += c;
    return Report(step, "{\"step\":" + std::to_string(step) + ",\"raw\":\"" + digits + "\"}");
  }

  // One directive per line: the JSON texts of the tests span lines.
  bool Direct(std::string directive) {
    for (char& c : directive)
      if (c == '\n') c = ' ';
    return node.WriteLine(directive);
  }

  Sent Report(int step, const std::string& directive) {
    EXPECT_TRUE(Direct(directive)) << "smsc.js is gone";
    const std::string line = AwaitStep(step, {"sent", "fail"});
    Sent s;
    std::istringstream in(line);
    std::string word, n, command, hex;
    in >> word >> n >> command >> s.seq >> hex;
    EXPECT_EQ(word, "sent") << line;
    s.octets = test::hex(hex);
    return s;
  }

  // Every event keeps its arguments, as a tuple, for Take(); the connection
  // events are checked as they come.
  void Wire() {
    for_each_event(smpp, [this](const char* name, auto& event) {
      event = [this, name](TObject*, auto... args) {
        received[name].emplace_back(std::make_tuple(std::move(args)...));
        order.push_back(name);
      };
    });
    smpp.OnConnecting = nullptr;
    smpp.OnConnect = [this](TObject*) { connected = true; };
    smpp.OnDisconnect = [this](TObject*) { connected = false; };
    smpp.OnSockError = [](TObject*, Integer code) { ADD_FAILURE() << "socket error " << code; };
  }

  // Declared before the component: the component goes first.
  test::SmscProcess node;
  TEventLoop loop;
  TVelmorSMPPDemo smpp{nullptr, loop};
  int steps = 0;
  bool connected = false;
  std::vector<std::string> order;                                     // names of events not yet taken
  std::map<std::string, std::deque<std::any>, std::less<>> received;  // by event name

  Log<BindOk> bind_ok{"Bind_RESP_OK"};
  Log<BindErr> bind_err{"Bind_RESP_Error"};
  Log<SeqOnly> unbind_ok{"Unbind_RESP_OK"};
  Log<StatusSeq> unbind_err{"Unbind_RESP_Error"};
  Log<StatusSeq> nack{"Generic_NACK"};
  Log<SubmitOk> submit_ok{"Submit_SM_RESP_OK"};
  Log<SubmitErr> submit_err{"Submit_SM_RESP_Error"};
  Log<MultiOk> multi_ok{"Submit_MULTI_RESP_OK"};
  Log<MultiErr> multi_err{"Submit_MULTI_RESP_Error"};
  Log<Deliver> deliver{"Deliver_SM"};
  Log<Data> data{"Data_SM"};
  Log<DataOk> data_ok{"Data_SM_RESP_OK"};
  Log<DataErr> data_err{"Data_SM_RESP_Error"};
  Log<QueryOk> query_ok{"Query_SM_RESP_OK"};
  Log<QueryErr> query_err{"Query_SM_RESP_Error"};
  Log<SeqOnly> cancel_ok{"Cancel_RESP_OK"};
  Log<StatusSeq> cancel_err{"Cancel_RESP_Error"};
  Log<SeqOnly> replace_ok{"Replace_RESP_OK"};
  Log<StatusSeq> replace_err{"Replace_RESP_Error"};
  Log<StatusSeq> enquire{"Enquire_LINK"};
  Log<StatusSeq> enquire_resp{"Enquire_LINK_RESP"};
  Log<Unknown> unknown{"Unknown_command"};
};

// ---- bind and outbind ------------------------------------------------------------

// `smpp` answers an error with a bare header; the last row has it keep the
// body (system_id and sc_interface_version) to see that one is read too.
TEST_F(SmscInterop, BindOfEachTypeAndItsResponse) {
  struct Case {
    TBindType type;
    const char* command;
    Cardinal status;
    bool body;  // the response carries system_id and sc_interface_version
  };
  const Case cases[] = {
      {Transmitter, "bind_transmitter", 0, true},
      {Receiver, "bind_receiver", 0, false},  // system_id only
      {Transceiver, "bind_transceiver", 0, true},
      {Transceiver, "bind_transceiver", 0x0D, false},  // ESME_RBINDFAIL, bare header
      {Receiver, "bind_receiver", 0x0E, true},         // ESME_RINVPASWD with a body
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.command) + " status " + std::to_string(c.status));
    const Cardinal seq = smpp.Bind(c.type, "esme-01", "pw1234", "VMA", 1, 1, "^4479");
    std::string resp = R"({"command":"$CMD_resp","system_id":"SMSC-node"$SCIV$ST})";
    resp = Replace(resp, "$CMD", c.command);
    resp = Replace(resp, "$SCIV", c.body ? R"(,"sc_interface_version":52)" : "");
    resp = Replace(
        resp, "$ST",
        c.status == 0 ? ""s : (c.body ? R"(,"force_status":)" : R"(,"command_status":)") + std::to_string(c.status));
    SmscExpects(seq,
                Replace(R"({"command":"$CMD","system_id":"esme-01","password":"pw1234","system_type":"VMA",
                                 "interface_version":52,"addr_ton":1,"addr_npi":1,"address_range":"^4479"})",
                        "$CMD", c.command),
                {resp});
    TOPBind_RESP op{};
    if (c.body) op.sc_interface_version = {true, 0x34};
    if (c.status == 0)
      EXPECT_EQ(Take(bind_ok), (BindOk{c.type, seq, "SMSC-node", op}));
    else if (c.body)
      EXPECT_EQ(Take(bind_err), (BindErr{c.type, c.status, seq, "SMSC-node", op}));
    else
      EXPECT_EQ(Take(bind_err), (BindErr{c.type, c.status, seq, "", {}}));
  }
}

// `smpp` parses outbind although an ESME sending one is unusual; it has no
// response.
TEST_F(SmscInterop, OutbindIsParsed) {
  const Cardinal seq = smpp.Outbind("esme-01", "pw1234");
  SmscExpects(seq, R"({"command":"outbind","system_id":"esme-01","password":"pw1234"})");
}

// ---- submit_sm ---------------------------------------------------------------------

constexpr const char* kLongText =
    "A long text that travels in the message payload because it does not fit the 254 octets of a short "
    "message, so it is repeated until it is long enough. A long text that travels in the message payload "
    "because it does not fit the 254 octets of a short message, so it is repeated until it is long enough.";

TEST_F(SmscInterop, SubmitSmWithEveryTlvAndItsResponse) {
  TOPSubmit_SM op{};
  op.user_message_reference = {true, 0x1234};
  op.source_port = {true, 0x0B84};
  op.source_addr_subunit = {true, 1};
  op.destination_port = {true, 0x23F0};
  op.dest_addr_subunit = {true, 2};
  op.sar_msg_ref_num = {true, 0x0102};
  op.sar_total_segments = {true, 3};
  op.sar_segment_seqnum = {true, 2};
  op.more_messages_to_send = {true, 1};
  op.payload_type = {true, 0};
  op.message_payload = {true, kLongText};
  op.privacy_indicator = {true, 2};
  op.callback_num = {true,
                     "\x01\x01\x01"
                     "447700900999"};  // ASCII digits, ton 1, npi 1
  op.callback_num_pres_ind = {true, 1};
  op.callback_num_atag = {true,
                          "\x00"
                          "Desk"s};
  op.source_subaddress = {true, "\xA0\x12\x34"};
  op.dest_subaddress = {true, "\x80\x56"};
  op.user_response_code = {true, 5};
  op.display_time = {true, 1};
  op.sms_signal = {true, 0x0102};
  op.ms_validity = {true, 3};
  op.ms_msg_wait_facilities = {true, 0x81};
  op.number_of_messages = {true, 9};
  op.language_indicator = {true, 1};
  op.its_reply_type = {true, 2};
  op.its_session_info = {true, 0x0A01};
  op.ussd_service_op = {true, 0x11};
  const Cardinal seq = smpp.Submit_SM("CMT", 5, 0, "VelmorTest", 1, 1, "447700900123", 0x01, 0x12, 2,
                                      "250102030405304+", "250103030405004-", 0x11, 1, 0, 7, "", op);
  ASSERT_NE(seq, 0u);
  // The times are read by `smpp` as instants: 03:04:05.3 at UTC+1h and
  // 03:04:05 on the next day at UTC-1h.
  SmscExpects(seq,
              Replace(R"({"command":"submit_sm","service_type":"CMT",
      "source_addr_ton":5,"source_addr_npi":0,"source_addr":"VelmorTest",
      "dest_addr_ton":1,"dest_addr_npi":1,"destination_addr":"447700900123",
      "esm_class":1,"protocol_id":18,"priority_flag":2,
      "schedule_delivery_time":{"time":"2025-01-02T02:04:05.300Z"},
      "validity_period":{"time":"2025-01-03T04:04:05.000Z"},
      "registered_delivery":17,"replace_if_present_flag":1,"data_coding":0,"sm_default_msg_id":7,
      "short_message":{"message":""},
      "user_message_reference":4660,"source_port":2948,"source_addr_subunit":1,
      "dest_port":9200,"dest_addr_subunit":2,
      "sar_msg_ref_num":258,"sar_total_segments":3,"sar_segment_seqnum":2,
      "more_messages_to_send":1,"payload_type":0,"message_payload":{"message":"$TEXT"},
      "privacy_indicator":2,
      "callback_num":[{"digit_mode":1,"ton":1,"npi":1,"number":"447700900999"}],
      "callback_num_pres_ind":[1],"callback_num_atag":[{"encoding":0,"display":{"hex":"4465736b"}}],
      "source_subaddress":{"hex":"a01234"},"dest_subaddress":{"hex":"8056"},
      "user_response_code":5,"display_time":1,"sms_signal":258,"ms_validity":{"hex":"03"},
      "ms_msg_wait_facilities":129,"number_of_messages":9,"language_indicator":1,
      "its_reply_type":2,"its_session_info":{"hex":"0a01"},"ussd_service_op":17})",
                      "$TEXT", kLongText),
              {R"({"command":"submit_sm_resp","message_id":"MSG-0001"})"});
  EXPECT_EQ(Take(submit_ok), (SubmitOk{seq, "MSG-0001"}));
}

TEST_F(SmscInterop, SubmitSmWithUdhAndUcs2AndAnErrorResponse) {
  TOPSubmit_SM op{};
  op.alert_on_msg_delivery.Field = true;
  op.language_indicator = {true, 2};
  // A concatenation UDH (reference 0x2A, part 1 of 2), then "Hi€" in UCS-2.
  const AnsiString sm =
      "\x05\x00\x03\x2A\x02\x01"
      "\x00H\x00i\x20\xAC"s;
  const Cardinal seq =
      smpp.Submit_SM("", 1, 1, "447700900123", 1, 1, "447700900124", 0x40, 0, 0, "", "", 1, 0, 0x08, 0, sm, op);
  // alert_on_message_delivery: `smpp` takes the next TLV's first octet as its
  // value, so only its presence is compared; the octets show it goes out
  // with length 0, followed by language_indicator.
  SmscExpects(seq, R"({"command":"submit_sm","service_type":"",
      "source_addr_ton":1,"source_addr_npi":1,"source_addr":"447700900123",
      "dest_addr_ton":1,"dest_addr_npi":1,"destination_addr":"447700900124",
      "esm_class":64,"protocol_id":0,"priority_flag":0,"schedule_delivery_time":"","validity_period":"",
      "registered_delivery":1,"replace_if_present_flag":0,"data_coding":8,"sm_default_msg_id":0,
      "short_message":{"udh":[{"hex":"00032a0201"}],"message":"Hi€"},
      "alert_on_message_delivery":{"present":true},"language_indicator":2,
      "raw_tail":"0c 0500032a0201 0048 0069 20ac 130c0000 020d000102"})",
              {R"({"command":"submit_sm_resp","command_status":69,"message_id":""})"});
  EXPECT_EQ(Take(submit_err), (SubmitErr{0x45, seq, ""}));
}

// ---- submit_multi --------------------------------------------------------------------

TEST_F(SmscInterop, SubmitMultiToSmesAndAListWithBothResponses) {
  Tdest_address dests;
  ASSERT_TRUE(smpp.dest_address_AddSME(dests, 1, 1, "447700900001"));
  ASSERT_TRUE(smpp.dest_address_AddDL(dests, "friends"));
  ASSERT_TRUE(smpp.dest_address_AddSME(dests, 2, 8, "12345"));
  TOPSubmit_MULTI op{};
  op.user_message_reference = {true, 77};
  op.source_port = {true, 1};
  op.destination_port = {true, 2};
  op.sar_msg_ref_num = {true, 9};
  op.sar_total_segments = {true, 2};
  op.sar_segment_seqnum = {true, 1};
  op.payload_type = {true, 1};
  op.privacy_indicator = {true, 3};
  op.display_time = {true, 2};
  op.language_indicator = {true, 4};
  Cardinal seq =
      smpp.Submit_MULTI("", 5, 0, "VelmorTest", dests, 0, 0, 1, "", "", 1, 0, 0x04, 0, "\x01\x02\x03\xFF", op);
  SmscExpects(seq, R"({"command":"submit_multi","service_type":"",
      "source_addr_ton":5,"source_addr_npi":0,"source_addr":"VelmorTest",
      "dest_address":[{"dest_addr_ton":1,"dest_addr_npi":1,"destination_addr":"447700900001"},
                      {"dl_name":"friends"},
                      {"dest_addr_ton":2,"dest_addr_npi":8,"destination_addr":"12345"}],
      "esm_class":0,"protocol_id":0,"priority_flag":1,"schedule_delivery_time":"","validity_period":"",
      "registered_delivery":1,"replace_if_present_flag":0,"data_coding":4,"sm_default_msg_id":0,
      "short_message":{"message":{"hex":"010203ff"}},
      "user_message_reference":77,"source_port":1,"dest_port":2,
      "sar_msg_ref_num":9,"sar_total_segments":2,"sar_segment_seqnum":1,
      "payload_type":1,"privacy_indicator":3,"display_time":2,"language_indicator":4})",
              {R"({"command":"submit_multi_resp","message_id":"MULTI-1","unsuccess_sme":[
                    {"dest_addr_ton":1,"dest_addr_npi":1,"destination_addr":"447700900001","error_status_code":11},
                    {"dest_addr_ton":2,"dest_addr_npi":8,"destination_addr":"12345","error_status_code":69}]})"});
  EXPECT_EQ(Take(multi_ok), (MultiOk{seq, "MULTI-1", 2, {{1, 1, "447700900001", 0x0B}, {2, 8, "12345", 0x45}}}));

  dests.clear();
  ASSERT_TRUE(smpp.dest_address_AddDL(dests, "all-staff"));
  seq = smpp.Submit_MULTI("CMT", 0, 0, "", dests, 0, 0, 0, "", "", 0, 0, 0, 0, "Hello", {});
  SmscExpects(seq, R"({"command":"submit_multi","service_type":"CMT",
      "source_addr_ton":0,"source_addr_npi":0,"source_addr":"","dest_address":[{"dl_name":"all-staff"}],
      "esm_class":0,"protocol_id":0,"priority_flag":0,"schedule_delivery_time":"","validity_period":"",
      "registered_delivery":0,"replace_if_present_flag":0,"data_coding":0,"sm_default_msg_id":0,
      "short_message":{"message":"Hello"}})",
              {R"({"command":"submit_multi_resp","force_status":69,"message_id":"","unsuccess_sme":[
                    {"dest_addr_ton":0,"dest_addr_npi":0,"destination_addr":"all-staff","error_status_code":21}]})"});
  EXPECT_EQ(Take(multi_err), (MultiErr{0x45, seq, "", 1, {{0, 0, "all-staff", 0x15}}}));
}

// ---- data_sm, both ways ------------------------------------------------------------------

TEST_F(SmscInterop, DataSmFromUsWithTlvsAndBothResponses) {
  TOPData_SM op{};
  op.source_port = {true, 9200};
  op.source_addr_subunit = {true, 1};
  op.source_network_type = {true, 1};
  op.source_bearer_type = {true, 2};
  op.destination_port = {true, 2948};
  op.dest_addr_subunit = {true, 3};
  op.dest_network_type = {true, 4};
  op.dest_bearer_type = {true, 5};
  op.dest_telematics_id = {true, 0x0102};
  op.sar_msg_ref_num = {true, 0x0F0F};
  op.sar_total_segments = {true, 2};
  op.sar_segment_seqnum = {true, 2};
  op.more_messages_to_send = {true, 0};
  op.qos_time_to_live = {true, 86400};
  op.payload_type = {true, 1};
  op.message_payload = {true, "\x00\x01\xFE\xFF"s};
  op.set_dpf = {true, 1};
  op.receipted_message_id = {true, "RID-9\0"s};  // a C-octet string carries its NUL
  op.message_state = {true, 2};
  op.network_error_code = {true, "\x03\x00\x2A"s};
  op.user_message_reference = {true, 5};
  op.number_of_messages = {true, 4};
  op.its_session_info = {true, 0x0300};
  Cardinal seq = smpp.Data_SM("WAP", 1, 1, "447700900123", 2, 8, "5555", 0, 1, 0x04, op);
  SmscExpects(seq, R"({"command":"data_sm","service_type":"WAP",
      "source_addr_ton":1,"source_addr_npi":1,"source_addr":"447700900123",
      "dest_addr_ton":2,"dest_addr_npi":8,"destination_addr":"5555",
      "esm_class":0,"registered_delivery":1,"data_coding":4,
      "source_port":9200,"source_addr_subunit":1,"source_network_type":1,"source_bearer_type":2,
      "dest_port":2948,"dest_addr_subunit":3,"dest_network_type":4,"dest_bearer_type":5,"dest_telematics_id":258,
      "sar_msg_ref_num":3855,"sar_total_segments":2,"sar_segment_seqnum":2,"more_messages_to_send":0,
      "qos_time_to_live":86400,"payload_type":1,"message_payload":{"message":{"hex":"0001feff"}},"set_dpf":1,
      "receipted_message_id":"RID-9","message_state":2,"network_error_code":{"hex":"03002a"},
      "user_message_reference":5,"number_of_messages":4,"its_session_info":{"hex":"0300"}})",
              {R"({"command":"data_sm_resp","message_id":"DATA-1","delivery_failure_reason":1,
                   "network_error_code":{"hex":"030011"},"additional_status_info_text":"queued","dpf_result":1})"});
  TOPData_SM_RESP resp{};
  resp.delivery_failure_reason = {true, 1};
  resp.network_error_code = {true, "\x03\x00\x11"s};
  resp.additional_status_info_text = {true, "queued\0"s};
  resp.dpf_result = {true, 1};
  EXPECT_EQ(Take(data_ok), (DataOk{seq, "DATA-1", resp}));

  seq = smpp.Data_SM("", 0, 0, "", 1, 1, "447700900124", 0, 0, 0, {});
  SmscExpects(seq, R"({"command":"data_sm","service_type":"",
      "source_addr_ton":0,"source_addr_npi":0,"source_addr":"",
      "dest_addr_ton":1,"dest_addr_npi":1,"destination_addr":"447700900124",
      "esm_class":0,"registered_delivery":0,"data_coding":0})",
              {R"({"command":"data_sm_resp","force_status":69,"message_id":"","delivery_failure_reason":2})"});
  resp = {};
  resp.delivery_failure_reason = {true, 2};
  EXPECT_EQ(Take(data_err), (DataErr{0x45, seq, "", resp}));
}

TEST_F(SmscInterop, DataSmFromTheSmscAndOurResponses) {
  const Sent sent = SmscSends(R"({"command":"data_sm","service_type":"WAP",
      "source_addr_ton":1,"source_addr_npi":1,"source_addr":"447700900123",
      "dest_addr_ton":5,"dest_addr_npi":0,"destination_addr":"VelmorTest",
      "esm_class":0,"registered_delivery":1,"data_coding":4,
      "source_port":2948,"dest_port":9200,"sar_msg_ref_num":513,"sar_total_segments":2,"sar_segment_seqnum":1,
      "qos_time_to_live":3600,"message_payload":{"hex":"cafe0001"},"user_message_reference":99,
      "receipted_message_id":"RID-1","message_state":3,"network_error_code":{"hex":"010203"},
      "its_session_info":{"hex":"0102"}})");
  TOPData_SM op{};
  op.source_port = {true, 2948};
  op.destination_port = {true, 9200};
  op.sar_msg_ref_num = {true, 513};
  op.sar_total_segments = {true, 2};
  op.sar_segment_seqnum = {true, 1};
  op.qos_time_to_live = {true, 3600};
  op.message_payload = {true, "\xCA\xFE\x00\x01"s};
  op.user_message_reference = {true, 99};
  op.receipted_message_id = {true, "RID-1\0"s};
  op.message_state = {true, 3};
  op.network_error_code = {true, "\x01\x02\x03"s};
  op.its_session_info = {true, 0x0102};
  EXPECT_EQ(Take(data), (Data{sent.seq, "WAP", 1, 1, "447700900123", 5, 0, "VelmorTest", 0, 1, 4, op}));

  TOPData_SM_RESP resp{};
  resp.delivery_failure_reason = {true, 3};
  resp.network_error_code = {true, "\x03\x00\x05"s};
  resp.additional_status_info_text = {true, "ok\0"s};
  resp.dpf_result = {true, 0};
  smpp.Data_SM_RESP(0, sent.seq, "DR-77", resp);
  // `smpp` drops the NUL of additional_status_info_text; the octets show it
  // goes out as given.
  SmscExpects(sent.seq, R"({"command":"data_sm_resp","message_id":"DR-77","delivery_failure_reason":3,
      "network_error_code":{"hex":"030005"},"additional_status_info_text":"ok","dpf_result":0,
      "raw_tail":"0425000103 04230003030005 001d00036f6b00 0420000100"})");

  // A bare data_sm, refused by us with ESME_RSYSERR and no TLVs.
  const Sent bare = SmscSends(R"({"command":"data_sm","destination_addr":"VelmorTest","data_coding":0})");
  EXPECT_EQ(Take(data), (Data{bare.seq, "", 0, 0, "", 0, 0, "VelmorTest", 0, 0, 0, {}}));
  smpp.Data_SM_RESP(0x08, bare.seq, "", {});
  SmscExpects(bare.seq, R"({"command":"data_sm_resp","command_status":8,"message_id":""})");
}

// ---- deliver_sm ----------------------------------------------------------------------------

constexpr const char* kReceipt =
    "id:MSG-0001 sub:001 dlvrd:001 submit date:2501020304 done date:2501020305 stat:DELIVRD err:000 text:Hello";

TEST_F(SmscInterop, DeliveryReceiptWithTlvs) {
  const Sent sent = SmscSends(Replace(R"({"command":"deliver_sm","service_type":"",
      "source_addr_ton":1,"source_addr_npi":1,"source_addr":"447700900123",
      "dest_addr_ton":5,"dest_addr_npi":0,"destination_addr":"VelmorTest",
      "esm_class":4,"protocol_id":0,"priority_flag":0,"registered_delivery":0,"replace_if_present_flag":0,
      "data_coding":0,"sm_default_msg_id":0,"short_message":{"latin1":"$TEXT"},
      "receipted_message_id":"MSG-0001","message_state":2,"network_error_code":{"hex":"030000"}})",
                                      "$TEXT", kReceipt));
  TOPDeliver_SM op{};
  op.receipted_message_id = {true, "MSG-0001\0"s};  // `smpp` sends the NUL of the C-octet string
  op.message_state = {true, 2};
  op.network_error_code = {true, "\x03\x00\x00"s};
  const AnsiString text = kReceipt;
  EXPECT_EQ(Take(deliver), (Deliver{sent.seq,
                                    "",
                                    1,
                                    1,
                                    "447700900123",
                                    5,
                                    0,
                                    "VelmorTest",
                                    0x04,
                                    0,
                                    0,
                                    "",
                                    "",
                                    0,
                                    0,
                                    0,
                                    0,
                                    static_cast<Byte>(text.size()),
                                    text,
                                    op}));
  smpp.Deliver_SM_RESP(0, sent.seq, "");
  SmscExpects(sent.seq, R"({"command":"deliver_sm_resp","message_id":""})");
}

TEST_F(SmscInterop, MobileOriginatedDeliverSmWithUdhAndTlvs) {
  const Sent sent = SmscSends(R"({"command":"deliver_sm","service_type":"CMT",
      "source_addr_ton":1,"source_addr_npi":1,"source_addr":"447700900555",
      "dest_addr_ton":0,"dest_addr_npi":1,"destination_addr":"8888",
      "esm_class":64,"protocol_id":0,"priority_flag":1,"registered_delivery":0,"replace_if_present_flag":0,
      "data_coding":8,"sm_default_msg_id":0,"short_message":{"hex":"0500032a02010048006920ac"},
      "user_message_reference":4660,"source_port":1,"dest_port":2,
      "sar_msg_ref_num":42,"sar_total_segments":2,"sar_segment_seqnum":1,
      "user_response_code":7,"privacy_indicator":1,"payload_type":0,
      "callback_num":[{"hex":"000101313233"}],"source_subaddress":{"hex":"a0"},"dest_subaddress":{"hex":"a1"},
      "language_indicator":2,"its_session_info":{"hex":"0201"}})");
  TOPDeliver_SM op{};
  op.user_message_reference = {true, 4660};
  op.source_port = {true, 1};
  op.destination_port = {true, 2};
  op.sar_msg_ref_num = {true, 42};
  op.sar_total_segments = {true, 2};
  op.sar_segment_seqnum = {true, 1};
  op.user_response_code = {true, 7};
  op.privacy_indicator = {true, 1};
  op.payload_type = {true, 0};
  op.callback_num = {true,
                     "\x00\x01\x01"
                     "123"s};
  op.source_subaddress = {true, "\xA0"};
  op.dest_subaddress = {true, "\xA1"};
  op.language_indicator = {true, 2};
  op.its_session_info = {true, 0x0201};
  const AnsiString sm = test::hex("05 00 03 2A 02 01 00 48 00 69 20 AC");
  EXPECT_EQ(Take(deliver), (Deliver{sent.seq, "CMT", 1, 1, "447700900555", 0, 1,  "8888", 0x40, 0, 1,
                                    "",       "",    0, 0, 0x08,           0, 12, sm,     op}));
  // Refused by the application: ESME_RX_T_APPN.
  smpp.Deliver_SM_RESP(0x64, sent.seq, "");
  SmscExpects(sent.seq, R"({"command":"deliver_sm_resp","command_status":100,"message_id":""})");
}

// ---- query_sm, cancel_sm, replace_sm, alert_notification -------------------------------------

TEST_F(SmscInterop, QueryCancelReplaceWithBothResponses) {
  Cardinal seq = smpp.Query_SM("MSG-0001", 1, 1, "447700900123");
  SmscExpects(seq, R"({"command":"query_sm","message_id":"MSG-0001",
      "source_addr_ton":1,"source_addr_npi":1,"source_addr":"447700900123"})",
              {R"({"command":"query_sm_resp","message_id":"MSG-0001","final_date":"250102030405304+",
                   "message_state":2,"error_code":0})"});
  EXPECT_EQ(Take(query_ok), (QueryOk{seq, "MSG-0001", "250102030405304+", 2, 0}));

  seq = smpp.Query_SM("MSG-9", 0, 0, "");
  SmscExpects(seq, R"({"command":"query_sm","message_id":"MSG-9","source_addr_ton":0,"source_addr_npi":0,
      "source_addr":""})",
              {R"({"command":"query_sm_resp","command_status":103})"});
  // `smpp` sends the error as a bare header: every field reads empty.
  EXPECT_EQ(Take(query_err), (QueryErr{0x67, seq, "", "", 0, 0}));

  seq = smpp.Cancel_SM("CMT", "MSG-0001", 1, 1, "447700900123", 5, 0, "VelmorTest");
  SmscExpects(seq, R"({"command":"cancel_sm","service_type":"CMT","message_id":"MSG-0001",
      "source_addr_ton":1,"source_addr_npi":1,"source_addr":"447700900123",
      "dest_addr_ton":5,"dest_addr_npi":0,"destination_addr":"VelmorTest"})",
              {R"({"command":"cancel_sm_resp"})"});
  EXPECT_EQ(Take(cancel_ok), (SeqOnly{seq}));

  // An empty message_id cancels by addresses and service_type.
  seq = smpp.Cancel_SM("", "", 1, 1, "447700900123", 1, 1, "447700900124");
  SmscExpects(seq, R"({"command":"cancel_sm","service_type":"","message_id":"",
      "source_addr_ton":1,"source_addr_npi":1,"source_addr":"447700900123",
      "dest_addr_ton":1,"dest_addr_npi":1,"destination_addr":"447700900124"})",
              {R"({"command":"cancel_sm_resp","command_status":17})"});
  EXPECT_EQ(Take(cancel_err), (StatusSeq{0x11, seq}));

  seq = smpp.Replace_SM("MSG-0001", 1, 1, "447700900123", "250102030405304+", "250103030405004-", 1, 3, "New text");
  SmscExpects(seq, R"({"command":"replace_sm","message_id":"MSG-0001",
      "source_addr_ton":1,"source_addr_npi":1,"source_addr":"447700900123",
      "schedule_delivery_time":{"time":"2025-01-02T02:04:05.300Z"},
      "validity_period":{"time":"2025-01-03T04:04:05.000Z"},
      "registered_delivery":1,"sm_default_msg_id":3,"short_message":{"hex":"4e65772074657874"}})",
              {R"({"command":"replace_sm_resp"})"});
  EXPECT_EQ(Take(replace_ok), (SeqOnly{seq}));

  seq = smpp.Replace_SM("MSG-0002", 0, 0, "", "", "", 0, 0, "");
  SmscExpects(seq, R"({"command":"replace_sm","message_id":"MSG-0002",
      "source_addr_ton":0,"source_addr_npi":0,"source_addr":"","schedule_delivery_time":"","validity_period":"",
      "registered_delivery":0,"sm_default_msg_id":0,"short_message":{"hex":""}})",
              {R"({"command":"replace_sm_resp","command_status":19})"});
  EXPECT_EQ(Take(replace_err), (StatusSeq{0x13, seq}));
}

TEST_F(SmscInterop, AlertNotificationIsParsed) {
  const Cardinal seq = smpp.Alert_NOTIFICATION(1, 1, "447700900123", 5, 0, "VelmorTest");
  SmscExpects(seq, R"({"command":"alert_notification",
      "source_addr_ton":1,"source_addr_npi":1,"source_addr":"447700900123",
      "esme_addr_ton":5,"esme_addr_npi":0,"esme_addr":"VelmorTest"})");
}

// ---- link level ----------------------------------------------------------------------------

TEST_F(SmscInterop, EnquireLinkBothWaysAndGenericNackBothWays) {
  const Cardinal seq = smpp.Enquire_LINK();
  SmscExpects(seq, R"({"command":"enquire_link"})", {R"({"command":"enquire_link_resp"})"});
  EXPECT_EQ(Take(enquire_resp), (StatusSeq{0, seq}));

  const Sent probe = SmscSends(R"({"command":"enquire_link"})");
  EXPECT_EQ(Take(enquire), (StatusSeq{0, probe.seq}));
  smpp.Enquire_LINK_RESP(probe.seq);
  SmscExpects(probe.seq, R"({"command":"enquire_link_resp"})");

  const Cardinal nack_seq = smpp.Generic_NACK(0x03);  // ESME_RINVCMDID
  SmscExpects(nack_seq, R"({"command":"generic_nack","command_status":3})");

  SmscSends(R"({"command":"generic_nack","command_status":1,"sequence_number":4242})");
  EXPECT_EQ(Take(nack), (StatusSeq{0x01, 4242}));
}

// Commands SMPP 3.4 does not define reach OnUnknown_command with the body as
// it came: one that `smpp` builds (broadcast_sm, from SMPP 5.0) and one made
// of raw octets. Neither is answered by the component.
TEST_F(SmscInterop, UnknownCommandsReachOnUnknownCommand) {
  const Sent broadcast = SmscSends(R"({"command":"broadcast_sm","service_type":"CB","source_addr_ton":1,
      "source_addr_npi":1,"source_addr":"447700900123","message_id":"","priority_flag":0,
      "schedule_delivery_time":"","validity_period":"","replace_if_present_flag":0,"data_coding":0,
      "sm_default_msg_id":0,"broadcast_rep_num":1})");
  ASSERT_GE(broadcast.octets.size(), 16u);
  EXPECT_EQ(Take(unknown), (Unknown{static_cast<Cardinal>(broadcast.octets.size()), 0x00000111, 0, broadcast.seq,
                                    broadcast.octets.substr(16)}));

  const Sent raw = SmscSendsRaw("0000001A 0000ABCD 00000007 00000063 01 02 03 00 04 05 06 07 08 09");
  EXPECT_EQ(Take(unknown), (Unknown{0x1A, 0xABCD, 7, 0x63, test::hex("01 02 03 00 04 05 06 07 08 09")}));
  EXPECT_EQ(raw.octets.size(), 0x1Au);
}

TEST_F(SmscInterop, UnbindWithBothResponses) {
  Cardinal seq = smpp.Unbind();
  SmscExpects(seq, R"({"command":"unbind"})", {R"({"command":"unbind_resp","command_status":8})"});
  EXPECT_EQ(Take(unbind_err), (StatusSeq{0x08, seq}));
  seq = smpp.Unbind();
  SmscExpects(seq, R"({"command":"unbind"})", {R"({"command":"unbind_resp"})"});
  EXPECT_EQ(Take(unbind_ok), (SeqOnly{seq}));
}

}  // namespace
}  // namespace velmor
