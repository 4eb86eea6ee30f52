// The component against a real TCP peer on the loopback interface: a scripted
// SMSC on a thread of its own, with plain blocking POSIX sockets (independent
// of the platform layer under test). The peer checks every PDU it receives
// octet for octet; the test thread runs the component's loop and checks every
// event with all its arguments.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "common/LoopbackPeer.h"
#include "component/PduTest.h"

namespace velmor::test {
namespace {

using namespace std::chrono_literals;

constexpr auto kWait = 5s;

// The shared loopback peer with the checks of these tests. Once a read fails
// (timeout, EOF, short PDU) the peer is "dead": every later read returns
// empty at once, so a broken session ends quickly instead of waiting out
// every step. After every check it wakes the component's loop, which sleeps
// in RunUntil until something happens on it.
class ScriptedPeer {
 public:
  explicit ScriptedPeer(TEventLoop& loop) : loop_(loop) {}

  int Port() const { return peer_.port(); }
  void Run(std::function<void(ScriptedPeer&)> script) {
    peer_.serve([this, script = std::move(script)](PeerConn& c) {
      conn_ = &c;
      script(*this);
      conn_ = nullptr;
      Wake();
    });
  }
  void Join() { peer_.join(); }

  // ---- used by the script, on the peer's thread ----
  // One whole PDU as framed by its command_length.
  std::string Read() {
    if (dead_) return {};
    std::string p = conn_->recv_pdu();
    if (p.size() < 16 || p.size() > 1024 * 1024) dead_ = true;
    return dead_ ? std::string{} : p;
  }
  void Expect(const std::string& octets, const char* what) {
    EXPECT_EQ(to_hex(Read()), to_hex(octets)) << "peer received " << what;
    ++checked;
    Wake();
  }
  void Send(const std::string& octets) { conn_->send(octets); }
  void CloseConn() { conn_->close(); }
  // The component closed the connection and sent nothing more.
  void ExpectEof() {
    EXPECT_TRUE(!dead_ && conn_->eof()) << "expected the component to close, nothing more";
    ++checked;
    Wake();
  }

  std::atomic<int> checked{0};  // PDUs (and EOFs) the script has checked

 private:
  void Wake() {
    loop_.Post([] {});
  }

  TEventLoop& loop_;
  LoopbackPeer peer_;
  PeerConn* conn_ = nullptr;
  bool dead_ = false;
};

// Test-thread side: the component, its recorder and the waits.
struct Session {
  TEventLoop loop;
  ScriptedPeer peer{loop};
  Probe c{nullptr, loop};
  Recorder rec{c};

  bool WaitFor(const std::function<bool()>& done) { return loop.RunUntil(done, kWait); }
  // Runs act, then waits for exactly the expected events and checks them.
  void Step(const std::function<void()>& act, const std::vector<std::string>& expected) {
    const std::size_t before = rec.log.size();
    if (act) act();
    WaitFor([&] { return rec.log.size() >= before + expected.size(); });
    const std::vector<std::string> got(rec.log.begin() + static_cast<std::ptrdiff_t>(before), rec.log.end());
    EXPECT_EQ(got, expected);
  }
  void Open() {
    EXPECT_FALSE(c.Connected());
    Step([&] { c.Connect("127.0.0.1", peer.Port()); }, {"Connecting", "Connect"});
    EXPECT_TRUE(c.Connected());
  }
};

// sm_length as one hex octet, then the text.
std::string sm(const std::string& text) {
  char len[4];
  std::snprintf(len, sizeof len, "%02X", static_cast<unsigned>(text.size()));
  return std::string(len) + " " + ascii(text);
}

// ---- bind against a peer --------------------------------------------------------

struct BindCase {
  const char* name;
  TBindType type;
  Cardinal request_id;
  Cardinal status;
  const char* response_body;
  const char* expected_event_tail;  // what follows the bind type and the numbers
  bool peer_closes;
};

const BindCase kBindCases[] = {
    {"Transceiver", Transceiver, 0x09, 0, "53 4D 53 43 00 02 10 00 01 34", "'SMSC' {0210:52}", false},
    {"Transmitter", Transmitter, 0x02, 0, "53 4D 53 43 00 02 10 00 01 34", "'SMSC' {0210:52}", false},
    {"Receiver", Receiver, 0x01, 0, "53 4D 53 43 00 02 10 00 01 33", "'SMSC' {0210:51}", false},
    {"RejectedThenClosedByPeer", Receiver, 0x01, 0x0D, "", "'' {}", true},
};

class BindSessionTest : public ::testing::TestWithParam<BindCase> {};

TEST_P(BindSessionTest, EndsInItsResponseEvent) {
  const BindCase& k = GetParam();
  Session s;
  s.peer.Run([&k](ScriptedPeer& p) {
    p.Expect(pdu(k.request_id, 0, 1, "65736D6500 73656372657400 564D4100 34 01 02 00"), "bind");
    p.Send(pdu(k.request_id | 0x80000000u, k.status, 1, k.response_body));
    if (k.peer_closes)
      p.CloseConn();
    else
      p.ExpectEof();
  });
  s.Open();
  const std::string tail = " " + std::to_string(static_cast<int>(k.type)) + " " +
                           (k.status ? std::to_string(k.status) + " " : "") + "1 " + k.expected_event_tail;
  s.Step([&] { EXPECT_EQ(s.c.Bind(k.type, "esme", "secret", "VMA", 1, 2, ""), 1u); },
         {(k.status ? "Bind_RESP_Error" : "Bind_RESP_OK") + tail});
  if (k.peer_closes) {
    s.Step(nullptr, {"Disconnect"});
  } else {
    s.Step([&] { s.c.Disconnect(); }, {"Disconnect"});
  }
  EXPECT_FALSE(s.c.Connected());
  s.peer.Join();
}

INSTANTIATE_TEST_SUITE_P(Loopback, BindSessionTest, ::testing::ValuesIn(kBindCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- one complete session --------------------------------------------------------

const std::string kReceipt =
    "id:msg-1 sub:001 dlvrd:001 submit date:2401011200 done date:2401011201 stat:DELIVRD err:000 text:Hi";

TEST(SessionTest, CompleteSessionAgainstScriptedSmsc) {
  Session s;
  Probe& c = s.c;
  // Received deliver_sm and enquire_link are answered from inside their events.
  auto record_deliver = c.OnDeliver_SM;
  c.OnDeliver_SM = [&c, record_deliver](TObject* sender, Cardinal seq, auto&&... rest) {
    record_deliver(sender, seq, rest...);
    c.Deliver_SM_RESP(0, seq, "");
  };
  auto record_enquire = c.OnEnquire_LINK;
  c.OnEnquire_LINK = [&c, record_enquire](TObject* sender, Cardinal status, Cardinal seq) {
    record_enquire(sender, status, seq);
    c.Enquire_LINK_RESP(seq);
  };

  const std::string src = "34 34 37 37 00", dst = "31 32 33 34 35 00";  // "4477", "12345"
  s.peer.Run([&](ScriptedPeer& p) {
    // (1) bind_transceiver
    p.Expect(pdu(0x09, 0, 1, "65736D6500 73656372657400 564D4100 34 01 01 00"), "bind_transceiver");
    p.Send(pdu(0x80000009, 0, 1, "53 4D 53 43 00 02 10 00 01 34"));
    // (2) submit_sm with TLVs, then one that fails
    p.Expect(pdu(0x04, 0, 2,
                 "00 01 01 " + src + "00 01 " + dst + "00 00 00 00 00 01 00 00 00 " + sm("Hello") +
                     "02 04 00 02 00 07 02 0C 00 02 12 34 02 0E 00 01 02 02 0F 00 01 01"),
             "submit_sm with TLVs");
    p.Send(pdu(0x80000004, 0, 2, ascii("msg-1") + "00"));
    p.Expect(pdu(0x04, 0, 3, "00 01 01 " + src + "00 01 " + dst + "00 00 00 00 00 00 00 08 00 " + sm("U")),
             "submit_sm");
    p.Send(pdu(0x80000004, 0x45, 3, ""));
    // (3) delivery receipt, acknowledged from inside the event
    p.Send(pdu(0x05, 0, 1000,
               "00 01 01 " + src + "00 01 " + dst + "04 00 00 00 00 01 00 00 00 " + sm(kReceipt) + "00 1E 00 06 " +
                   ascii("msg-1") + "00 04 27 00 01 02"));
    p.Expect(pdu(0x80000005, 0, 1000, "00"), "deliver_sm_resp");
    // (4) data_sm out, answered with TLVs; then one that fails
    p.Expect(pdu(0x103, 0, 4,
                 "00 01 01 " + src + "00 01 " + dst + "00 01 00 02 0A 00 02 13 88 04 24 00 05 " + ascii("Hello") +
                     "02 04 00 02 00 01"),
             "data_sm with TLVs");
    p.Send(pdu(0x80000103, 0, 4, ascii("d-4") + "00 04 25 00 01 00 00 1D 00 04 " + ascii("fine")));
    p.Expect(pdu(0x103, 0, 5, "00 00 00 00 00 00 00 00 00 00"), "data_sm");
    p.Send(pdu(0x80000103, 0x45, 5, ""));
    // (5) data_sm in, answered by the application after the event
    p.Send(pdu(0x103, 0, 1001, "00 01 01 " + src + "00 01 " + dst + "00 00 00 04 24 00 02 59 6F"));
    p.Expect(pdu(0x80000103, 0, 1001, ascii("dsm-1") + "00 04 25 00 01 02"), "data_sm_resp");
    // (6) submit_multi answered with an unsuccess list; then one that fails
    p.Expect(pdu(0x21, 0, 6,
                 "00 01 01 " + src + "02 01 01 01 " + src + "02 " + ascii("friends") + "00" +
                     "00 00 00 00 00 01 00 00 00 " + sm("Hi all") + "02 0D 00 01 01"),
             "submit_multi");
    p.Send(pdu(0x80000021, 0, 6, ascii("m-6") + "00 01 01 01 " + src + "00 00 00 0B"));
    p.Expect(pdu(0x21, 0, 7, "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"), "submit_multi empty");
    p.Send(pdu(0x80000021, 0x0B, 7, ""));
    // (7) query_sm, cancel_sm, replace_sm, each with OK and Error
    p.Expect(pdu(0x03, 0, 8, ascii("msg-1") + "00 01 01 " + src), "query_sm");
    p.Send(pdu(0x80000003, 0, 8, ascii("msg-1") + "00" + ascii("240101120100000+") + "00 02 00"));
    p.Expect(pdu(0x03, 0, 9, "78 00 01 01 " + src), "query_sm unknown id");
    p.Send(pdu(0x80000003, 0x67, 9, ""));
    p.Expect(pdu(0x08, 0, 10, "00" + ascii("msg-1") + "00 01 01 " + src + "00 01 " + dst), "cancel_sm");
    p.Send(pdu(0x80000008, 0, 10, ""));
    p.Expect(pdu(0x08, 0, 11, "00 78 00 01 01 " + src + "00 01 " + dst), "cancel_sm unknown id");
    p.Send(pdu(0x80000008, 0x11, 11, ""));
    p.Expect(pdu(0x07, 0, 12, ascii("msg-1") + "00 01 01 " + src + "00 00 01 00 " + sm("Bye")), "replace_sm");
    p.Send(pdu(0x80000007, 0, 12, ""));
    p.Expect(pdu(0x07, 0, 13, "78 00 01 01 " + src + "00 00 00 00 00"), "replace_sm unknown id");
    p.Send(pdu(0x80000007, 0x13, 13, ""));
    // (8) alert_notification; enquire_link both ways (two PDUs in one write);
    // generic_nack both ways with an unknown command behind it; outbind
    p.Expect(pdu(0x102, 0, 14, "01 01 " + src + "00 01 " + dst), "alert_notification");
    p.Expect(pdu(0x15, 0, 15, ""), "enquire_link");
    p.Send(pdu(0x80000015, 0, 15, "") + pdu(0x15, 0, 1002, ""));
    p.Expect(pdu(0x80000015, 0, 1002, ""), "enquire_link_resp");
    p.Expect(pdu(0x80000000, 3, 16, ""), "generic_nack");
    p.Send(pdu(0x80000000, 3, 99, "") + pdu(0x00000006, 0, 1003, "") + pdu(0x199, 7, 1004, "01 00 02"));
    p.Expect(pdu(0x0B, 0, 17, "65736D6500 73656372657400"), "outbind");
    // (9) unbind refused, unbind accepted, then the component closes
    p.Expect(pdu(0x06, 0, 18, ""), "unbind");
    p.Send(pdu(0x80000006, 0x0D, 18, ""));
    p.Expect(pdu(0x06, 0, 19, ""), "unbind again");
    p.Send(pdu(0x80000006, 0, 19, ""));
    p.ExpectEof();
  });

  s.Open();
  EXPECT_EQ(&c.Loop(), &s.loop);
  c.SetSendQueueLimit(1 << 20);
  EXPECT_EQ(c.SendQueueLimit(), 1u << 20);

  // (1)
  s.Step([&] { EXPECT_EQ(c.Bind(Transceiver, "esme", "secret", "VMA", 1, 1, ""), 1u); },
         {ev("Bind_RESP_OK", Transceiver, 1, "SMSC", Raw{"{0210:52}"})});
  // (2)
  s.Step(
      [&] {
        TOPSubmit_SM op{};
        op.user_message_reference = {true, 7};
        op.sar_msg_ref_num = {true, 0x1234};
        op.sar_total_segments = {true, 2};
        op.sar_segment_seqnum = {true, 1};
        EXPECT_EQ(c.Submit_SM("", 1, 1, "4477", 0, 1, "12345", 0, 0, 0, "", "", 1, 0, 0, 0, "Hello", op), 2u);
      },
      {ev("Submit_SM_RESP_OK", 2, "msg-1")});
  s.Step([&] { EXPECT_EQ(c.Submit_SM("", 1, 1, "4477", 0, 1, "12345", 0, 0, 0, "", "", 0, 0, 8, 0, "U", {}), 3u); },
         {ev("Submit_SM_RESP_Error", 0x45, 3, "")});
  // (3)
  s.Step(nullptr, {ev("Deliver_SM", 1000, "", 1, 1, "4477", 0, 1, "12345", 4, 0, 0, "", "", 1, 0, 0, 0, kReceipt.size(),
                      kReceipt, Raw{"{0427:2 001E:'msg-1\\x00'}"})});
  // (4)
  s.Step(
      [&] {
        TOPData_SM op{};
        op.source_port = {true, 5000};
        op.message_payload = {true, "Hello"};
        op.user_message_reference = {true, 1};
        EXPECT_EQ(c.Data_SM("", 1, 1, "4477", 0, 1, "12345", 0, 1, 0, op), 4u);
      },
      {ev("Data_SM_RESP_OK", 4, "d-4", Raw{"{0425:0 001D:'fine'}"})});
  s.Step([&] { EXPECT_EQ(c.Data_SM("", 0, 0, "", 0, 0, "", 0, 0, 0, {}), 5u); },
         {ev("Data_SM_RESP_Error", 0x45, 5, "", Raw{"{}"})});
  // (5)
  s.Step(nullptr, {ev("Data_SM", 1001, "", 1, 1, "4477", 0, 1, "12345", 0, 0, 0, Raw{"{0424:'Yo'}"})});
  TOPData_SM_RESP answer{};
  answer.delivery_failure_reason = {true, 2};
  c.Data_SM_RESP(0, 1001, "dsm-1", answer);
  // (6)
  s.Step(
      [&] {
        Tdest_address list;
        EXPECT_TRUE(c.dest_address_AddSME(list, 1, 1, "4477"));
        EXPECT_TRUE(c.dest_address_AddDL(list, "friends"));
        TOPSubmit_MULTI op{};
        op.language_indicator = {true, 1};
        EXPECT_EQ(c.Submit_MULTI("", 1, 1, "4477", list, 0, 0, 0, "", "", 1, 0, 0, 0, "Hi all", op), 6u);
      },
      {ev("Submit_MULTI_RESP_OK", 6, "m-6", 1, Raw{"[1/1'4477':11]"})});
  s.Step([&] { EXPECT_EQ(c.Submit_MULTI("", 0, 0, "", {}, 0, 0, 0, "", "", 0, 0, 0, 0, "", {}), 7u); },
         {ev("Submit_MULTI_RESP_Error", 0x0B, 7, "", 0, Raw{"[]"})});
  // (7)
  s.Step([&] { EXPECT_EQ(c.Query_SM("msg-1", 1, 1, "4477"), 8u); },
         {ev("Query_SM_RESP_OK", 8, "msg-1", "240101120100000+", 2, 0)});
  s.Step([&] { EXPECT_EQ(c.Query_SM("x", 1, 1, "4477"), 9u); }, {ev("Query_SM_RESP_Error", 0x67, 9, "", "", 0, 0)});
  s.Step([&] { EXPECT_EQ(c.Cancel_SM("", "msg-1", 1, 1, "4477", 0, 1, "12345"), 10u); }, {ev("Cancel_RESP_OK", 10)});
  s.Step([&] { EXPECT_EQ(c.Cancel_SM("", "x", 1, 1, "4477", 0, 1, "12345"), 11u); },
         {ev("Cancel_RESP_Error", 0x11, 11)});
  s.Step([&] { EXPECT_EQ(c.Replace_SM("msg-1", 1, 1, "4477", "", "", 1, 0, "Bye"), 12u); },
         {ev("Replace_RESP_OK", 12)});
  s.Step([&] { EXPECT_EQ(c.Replace_SM("x", 1, 1, "4477", "", "", 0, 0, ""), 13u); },
         {ev("Replace_RESP_Error", 0x13, 13)});
  // (8)
  EXPECT_EQ(c.Alert_NOTIFICATION(1, 1, "4477", 0, 1, "12345"), 14u);
  s.Step([&] { EXPECT_EQ(c.Enquire_LINK(), 15u); }, {ev("Enquire_LINK_RESP", 0, 15), ev("Enquire_LINK", 0, 1002)});
  s.Step([&] { EXPECT_EQ(c.Generic_NACK(3), 16u); },
         {ev("Generic_NACK", 3, 99), ev("Unknown_command", 16, 6, 0, 1003, ""),
          ev("Unknown_command", 19, 0x199, 7, 1004, hex("01 00 02"))});
  EXPECT_EQ(c.Outbind("esme", "secret"), 17u);
  // (9)
  s.Step([&] { EXPECT_EQ(c.Unbind(), 18u); }, {ev("Unbind_RESP_Error", 0x0D, 18)});
  s.Step([&] { EXPECT_EQ(c.Unbind(), 19u); }, {ev("Unbind_RESP_OK", 19)});
  s.Step([&] { c.Disconnect(); }, {"Disconnect"});
  EXPECT_FALSE(c.Connected());
  s.peer.Join();  // the peer has seen the close and nothing after outbind/unbind
  EXPECT_EQ(s.peer.checked.load(), 23);

  // A send after the end still builds and numbers its PDU; the socket
  // reports it from the loop as not connected.
  std::vector<std::string> traced;
  c.TraceSent = [&](std::string_view p) { traced.emplace_back(p); };
  s.Step([&] { EXPECT_EQ(c.Enquire_LINK(), 20u); }, {ev("SockError", socket_error::not_connected)});
  ASSERT_EQ(traced.size(), 1u);
  EXPECT_EQ(to_hex(traced[0]), to_hex(pdu(0x15, 0, 20, "")));
}

// A port nobody listens on: the attempt ends in OnSockError, never OnConnect.
TEST(SessionTest, RefusedPortEndsInSockError) {
  const int port = closed_port();
  Session s;
  s.Step([&] { s.c.Connect("127.0.0.1", port); }, {"Connecting", ev("SockError", ECONNREFUSED)});
  s.loop.RunFor(50ms);
  EXPECT_EQ(s.rec.log.size(), 2u) << "nothing more after a refused connection: " << s.rec.log.back();
  EXPECT_FALSE(s.c.Connected());
}

}  // namespace
}  // namespace velmor::test
