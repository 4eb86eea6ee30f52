// Outgoing PDUs, octet for octet, as the public methods hand them to the
// socket; the sequence counter; and the calls the component refuses.
//
// The component is never connected here: a send still builds, traces and
// numbers its PDU (the socket reports the failure later, from the loop, which
// these tests never run).
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "component/PduTest.h"

namespace velmor::test {
namespace {

struct Fixture {
  TEventLoop loop;
  Probe c{nullptr, loop};
  std::vector<std::string> sent;
  Fixture() {
    c.TraceSent = [this](std::string_view p) { sent.emplace_back(p); };
  }
};

struct BuildCase {
  const char* name;
  Cardinal counter_before;               // Fsequence_number before the call
  std::function<Cardinal(Probe&)> call;  // responses return 0
  std::string golden;                    // octets
  Cardinal returned;                     // the call's result
  Cardinal counter_after;
};

std::string operator""_h(const char* s, std::size_t n) { return hex(std::string_view(s, n)); }

TOPSubmit_SM SubmitTlvs() {
  TOPSubmit_SM op{};
  op.user_message_reference = {true, 7};
  op.sar_msg_ref_num = {true, 0x1234};
  op.sar_total_segments = {true, 2};
  op.sar_segment_seqnum = {true, 1};
  op.message_payload = {true, "ABC"};
  op.alert_on_msg_delivery.Field = true;
  op.ussd_service_op = {false, 9};  // absent: its value must not travel
  return op;
}

TOPData_SM DataTlvs() {
  TOPData_SM op{};
  op.source_port = {true, 5000};
  op.dest_telematics_id = {true, 0x0102};
  op.qos_time_to_live = {true, 0x01020304};
  op.message_payload = {true, std::string("\x00\xFF", 2)};
  op.user_message_reference = {true, 1};
  op.alert_on_msg_delivery.Field = true;
  return op;
}

Tdest_address SmeAndDl() { return {{1, 1, "1", false}, {0, 0, "L", true}}; }

const std::string kHdrSubmit1 = "00 00 00 25 00 00 00 04 00 00 00 00 00 00 00 01"_h;

const BuildCase kBuildCases[] = {
    // ---- link level ----
    {"EnquireLinkFirstCall", 0, [](Probe& c) { return c.Enquire_LINK(); },
     "00 00 00 10 00 00 00 15 00 00 00 00 00 00 00 01"_h, 1, 1},
    {"EnquireLinkRespKeepsCounter", 0,
     [](Probe& c) {
       c.Enquire_LINK_RESP(7);
       return Cardinal{0};
     },
     "00 00 00 10 80 00 00 15 00 00 00 00 00 00 00 07"_h, 0, 0},
    {"EnquireLinkRespOutOfRangeSequenceIsOne", 4,
     [](Probe& c) {
       c.Enquire_LINK_RESP(0x80000000);
       return Cardinal{0};
     },
     "00 00 00 10 80 00 00 15 00 00 00 00 00 00 00 01"_h, 0, 4},
    {"EnquireLinkRespLargestSequence", 4,
     [](Probe& c) {
       c.Enquire_LINK_RESP(0x7FFFFFFF);
       return Cardinal{0};
     },
     "00 00 00 10 80 00 00 15 00 00 00 00 7F FF FF FF"_h, 0, 4},
    {"GenericNackTakesFreshSequence", 9, [](Probe& c) { return c.Generic_NACK(3); },
     "00 00 00 10 80 00 00 00 00 00 00 03 00 00 00 0A"_h, 10, 10},
    {"UnbindFirstCall", 0, [](Probe& c) { return c.Unbind(); }, "00 00 00 10 00 00 00 06 00 00 00 00 00 00 00 01"_h, 1,
     1},
    {"CounterWrapsToOne", 0x7FFFFFFF, [](Probe& c) { return c.Enquire_LINK(); },
     "00 00 00 10 00 00 00 15 00 00 00 00 00 00 00 01"_h, 1, 1},
    {"CounterReachesLargest", 0x7FFFFFFE, [](Probe& c) { return c.Unbind(); },
     "00 00 00 10 00 00 00 06 00 00 00 00 7F FF FF FF"_h, 0x7FFFFFFF, 0x7FFFFFFF},

    // ---- bind and outbind ----
    {"BindTransmitter", 0, [](Probe& c) { return c.Bind(Transmitter, "abc", "", "", 1, 1, ""); },
     "00 00 00 1A 00 00 00 02 00 00 00 00 00 00 00 01 61 62 63 00 00 00 34 01 01 00"_h, 1, 1},
    {"BindTransceiver", 0, [](Probe& c) { return c.Bind(Transceiver, "abc", "", "", 1, 1, ""); },
     "00 00 00 1A 00 00 00 09 00 00 00 00 00 00 00 01 61 62 63 00 00 00 34 01 01 00"_h, 1, 1},
    {"BindReceiver", 0, [](Probe& c) { return c.Bind(Receiver, "abc", "", "", 1, 1, ""); },
     "00 00 00 1A 00 00 00 01 00 00 00 00 00 00 00 01 61 62 63 00 00 00 34 01 01 00"_h, 1, 1},
    {"BindEveryFieldInOrder", 4, [](Probe& c) { return c.Bind(Transceiver, "sys", "pw", "VMA", 2, 0x83, "^1"); },
     "00 00 00 21 00 00 00 09 00 00 00 00 00 00 00 05"
     "73 79 73 00 70 77 00 56 4D 41 00 34 02 83 5E 31 00"_h,
     5, 5},
    {"OutbindEmpty", 0, [](Probe& c) { return c.Outbind("", ""); },
     "00 00 00 12 00 00 00 0B 00 00 00 00 00 00 00 01 00 00"_h, 1, 1},
    {"OutbindFields", 1, [](Probe& c) { return c.Outbind("ab", "cd"); },
     "00 00 00 16 00 00 00 0B 00 00 00 00 00 00 00 02 61 62 00 63 64 00"_h, 2, 2},

    // ---- submit_sm ----
    {"SubmitSmBasic", 0,
     [](Probe& c) { return c.Submit_SM("", 1, 1, "1", 1, 1, "2", 0, 0, 0, "", "", 1, 0, 0, 0, "Hi", {}); },
     kHdrSubmit1 + "00 01 01 31 00 01 01 32 00 00 00 00 00 00 01 00 00 00 02 48 69"_h, 1, 1},
    {"SubmitSmAbsentTlvsWithValuesAddNothing", 0,
     [](Probe& c) {
       TOPSubmit_SM op{};
       op.message_payload = {false, "ABC"};
       op.user_message_reference = {false, 7};
       return c.Submit_SM("", 1, 1, "1", 1, 1, "2", 0, 0, 0, "", "", 1, 0, 0, 0, "Hi", op);
     },
     kHdrSubmit1 + "00 01 01 31 00 01 01 32 00 00 00 00 00 00 01 00 00 00 02 48 69"_h, 1, 1},
    {"SubmitSmAllEmpty", 0,
     [](Probe& c) { return c.Submit_SM("", 0, 0, "", 0, 0, "", 0, 0, 0, "", "", 0, 0, 0, 0, "", {}); },
     "00 00 00 21 00 00 00 04 00 00 00 00 00 00 00 01 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"_h, 1, 1},
    {"SubmitSmEveryFieldDistinct", 0,
     [](Probe& c) {
       return c.Submit_SM("CMT", 2, 3, "src", 4, 5, "dst", 0x40, 6, 7, "240101120000000+", "000001000000000R", 8, 9,
                          0xF5, 0x0A, std::string("\x00\x80\xFF", 3), {});
     },
     pdu(0x04, 0, 1,
         "434D5400 02 03 73726300 04 05 64737400 40 06 07 " + ascii("240101120000000+") + "00" +
             ascii("000001000000000R") + "00 08 09 F5 0A 03 00 80 FF"),
     1, 1},
    {"SubmitSmTlvsFollowShortMessageInMemberOrder", 0,
     [](Probe& c) { return c.Submit_SM("", 0, 0, "", 0, 0, "", 0, 0, 0, "", "", 0, 0, 0, 0, "", SubmitTlvs()); },
     pdu(0x04, 0, 1,
         "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"
         "02 04 00 02 00 07  02 0C 00 02 12 34  02 0E 00 01 02  02 0F 00 01 01"
         "04 24 00 03 41 42 43  13 0C 00 00"),
     1, 1},
    {"SubmitSm140Octets", 0,
     [](Probe& c) {
       return c.Submit_SM("", 0, 0, "", 0, 0, "", 0, 0, 0, "", "", 0, 0, 0, 0, std::string(140, 'x'), {});
     },
     pdu(0x04, 0, 1, "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 8C" + ascii(std::string(140, 'x'))), 1, 1},
    {"SubmitSm254OctetsIsLongestAccepted", 0,
     [](Probe& c) {
       return c.Submit_SM("", 0, 0, "", 0, 0, "", 0, 0, 0, "", "", 0, 0, 0, 0, std::string(254, 'y'), {});
     },
     pdu(0x04, 0, 1, "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 FE" + ascii(std::string(254, 'y'))), 1, 1},
    {"SubmitSmPayloadOf65535IsAccepted", 0,
     [](Probe& c) {
       TOPSubmit_SM op{};
       op.message_payload = {true, std::string(65535, 'p')};
       return c.Submit_SM("", 0, 0, "", 0, 0, "", 0, 0, 0, "", "", 0, 0, 0, 0, "", op);
     },
     pdu(0x04, 0, 1, "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 04 24 FF FF" + ascii(std::string(65535, 'p'))),
     1, 1},

    // ---- submit_multi ----
    {"SubmitMultiSmeAndDl", 0,
     [](Probe& c) { return c.Submit_MULTI("", 0, 0, "", SmeAndDl(), 0, 0, 0, "", "", 0, 0, 0, 0, "Hi", {}); },
     "00 00 00 29 00 00 00 21 00 00 00 00 00 00 00 01 00 00 00 00 02 01 01 01 31 00 02 4C 00"
     "00 00 00 00 00 00 00 00 00 02 48 69"_h,
     1, 1},
    {"SubmitMultiEmptyListEveryFieldDistinct", 0,
     [](Probe& c) {
       TOPSubmit_MULTI op{};
       op.source_port = {true, 0x1388};
       op.language_indicator = {true, 3};
       return c.Submit_MULTI("CMT", 2, 3, "src", {}, 0x40, 6, 7, "s", "v", 8, 9, 0xF5, 0x0A, "A", op);
     },
     pdu(0x21, 0, 1,
         "434D5400 02 03 73726300 00 40 06 07 7300 7600 08 09 F5 0A 01 41"
         "02 0A 00 02 13 88 02 0D 00 01 03"),
     1, 1},
    {"SubmitMultiDlIgnoresTonNpi", 0,
     [](Probe& c) {
       return c.Submit_MULTI("", 0, 0, "", {{7, 8, "list", true}, {9, 4, "5551", false}}, 0, 0, 0, "", "", 0, 0, 0, 0,
                             "", {});
     },
     pdu(0x21, 0, 1, "00 00 00 00 02 02 6C697374 00 01 09 04 35353531 00 00 00 00 00 00 00 00 00 00 00"), 1, 1},
    {"SubmitMulti254DestinationsIsLongestAccepted", 0,
     [](Probe& c) {
       return c.Submit_MULTI("", 0, 0, "", Tdest_address(254, {1, 1, "9", false}), 0, 0, 0, "", "", 0, 0, 0, 0, "", {});
     },
     [] {
       std::string dests;
       for (int i = 0; i < 254; ++i) dests += "01 01 01 39 00 ";
       return pdu(0x21, 0, 1, "00 00 00 00 FE " + dests + "00 00 00 00 00 00 00 00 00 00");
     }(),
     1, 1},

    // ---- deliver_sm_resp ----
    {"DeliverSmRespEmptyId", 3,
     [](Probe& c) {
       c.Deliver_SM_RESP(0, 7, "");
       return Cardinal{0};
     },
     "00 00 00 11 80 00 00 05 00 00 00 00 00 00 00 07 00"_h, 0, 3},
    {"DeliverSmRespStatusAndId", 3,
     [](Probe& c) {
       c.Deliver_SM_RESP(8, 0x01020304, "ab");
       return Cardinal{0};
     },
     "00 00 00 13 80 00 00 05 00 00 00 08 01 02 03 04 61 62 00"_h, 0, 3},

    // ---- data_sm ----
    {"DataSmBasic", 0, [](Probe& c) { return c.Data_SM("", 1, 1, "1", 1, 1, "2", 0, 0, 0, {}); },
     "00 00 00 1C 00 00 01 03 00 00 00 00 00 00 00 01 00 01 01 31 00 01 01 32 00 00 00 00"_h, 1, 1},
    // Three NULs and seven one-octet fields: command_length 26.
    {"DataSmAllEmpty", 0, [](Probe& c) { return c.Data_SM("", 0, 0, "", 0, 0, "", 0, 0, 0, {}); },
     "00 00 00 1A 00 00 01 03 00 00 00 00 00 00 00 01 00 00 00 00 00 00 00 00 00 00"_h, 1, 1},
    {"DataSmHighOctetsAndTlvs", 1,
     [](Probe& c) { return c.Data_SM("WAP", 0x80, 0xFF, "\xE9", 2, 3, "d", 0x40, 0x11, 0xF5, DataTlvs()); },
     pdu(0x103, 0, 2,
         "57415000 80 FF E9 00 02 03 64 00 40 11 F5"
         "02 0A 00 02 13 88  00 08 00 02 01 02  00 17 00 04 01 02 03 04  04 24 00 02 00 FF"
         "02 04 00 02 00 01  13 0C 00 00"),
     2, 2},

    // ---- data_sm_resp ----
    {"DataSmRespNoTlvs", 5,
     [](Probe& c) {
       c.Data_SM_RESP(0, 9, "", {});
       return Cardinal{0};
     },
     "00 00 00 11 80 00 01 03 00 00 00 00 00 00 00 09 00"_h, 0, 5},
    {"DataSmRespDeliveryFailureReason", 5,
     [](Probe& c) {
       TOPData_SM_RESP op{};
       op.delivery_failure_reason = {true, 1};
       c.Data_SM_RESP(0, 9, "", op);
       return Cardinal{0};
     },
     "00 00 00 16 80 00 01 03 00 00 00 00 00 00 00 09 00 04 25 00 01 01"_h, 0, 5},
    {"DataSmRespEveryTlvInMemberOrder", 5,
     [](Probe& c) {
       TOPData_SM_RESP op{};
       op.dpf_result = {true, 1};
       op.additional_status_info_text = {true, "no"};
       op.network_error_code = {true, std::string("\x03\x00\x01", 3)};
       op.delivery_failure_reason = {true, 2};
       c.Data_SM_RESP(0x45, 11, "id", op);
       return Cardinal{0};
     },
     pdu(0x80000103, 0x45, 11, "69 64 00 04 25 00 01 02 04 23 00 03 03 00 01 00 1D 00 02 6E 6F 04 20 00 01 01"), 0, 5},

    // ---- query_sm, cancel_sm, replace_sm, alert_notification ----
    {"QuerySm", 0, [](Probe& c) { return c.Query_SM("42", 1, 1, "1"); },
     "00 00 00 17 00 00 00 03 00 00 00 00 00 00 00 01 34 32 00 01 01 31 00"_h, 1, 1},
    {"QuerySmEmpty", 0, [](Probe& c) { return c.Query_SM("", 5, 6, ""); },
     "00 00 00 14 00 00 00 03 00 00 00 00 00 00 00 01 00 05 06 00"_h, 1, 1},
    {"CancelSm", 0, [](Probe& c) { return c.Cancel_SM("", "12", 1, 1, "1", 1, 1, "2"); },
     "00 00 00 1C 00 00 00 08 00 00 00 00 00 00 00 01 00 31 32 00 01 01 31 00 01 01 32 00"_h, 1, 1},
    {"CancelSmEmpty", 0, [](Probe& c) { return c.Cancel_SM("", "", 0, 0, "", 0, 0, ""); },
     "00 00 00 18 00 00 00 08 00 00 00 00 00 00 00 01 00 00 00 00 00 00 00 00"_h, 1, 1},
    {"CancelSmEveryFieldDistinct", 0, [](Probe& c) { return c.Cancel_SM("S", "M", 2, 3, "A", 4, 5, "B"); },
     pdu(0x08, 0, 1, "53 00 4D 00 02 03 41 00 04 05 42 00"), 1, 1},
    {"ReplaceSm", 0, [](Probe& c) { return c.Replace_SM("12", 1, 1, "1", "", "", 0, 0, "Hi"); },
     "00 00 00 1E 00 00 00 07 00 00 00 00 00 00 00 01 31 32 00 01 01 31 00 00 00 00 00 02 48 69"_h, 1, 1},
    {"ReplaceSmEmptyMessage", 0, [](Probe& c) { return c.Replace_SM("", 0, 0, "", "", "", 0, 0, ""); },
     pdu(0x07, 0, 1, "00 00 00 00 00 00 00 00 00"), 1, 1},
    {"ReplaceSmEveryFieldDistinct", 0,
     [](Probe& c) { return c.Replace_SM("M", 2, 3, "A", "s", "v", 0x81, 4, std::string("\x00\xFF", 2)); },
     pdu(0x07, 0, 1, "4D 00 02 03 41 00 73 00 76 00 81 04 02 00 FF"), 1, 1},
    {"ReplaceSm254OctetsIsLongestAccepted", 0,
     [](Probe& c) { return c.Replace_SM("", 0, 0, "", "", "", 0, 0, std::string(254, 'r')); },
     pdu(0x07, 0, 1, "00 00 00 00 00 00 00 00 FE" + ascii(std::string(254, 'r'))), 1, 1},
    // sm_length 160 (0xA0) is above 0x7F: it must not go through a signed
    // octet on its way into the PDU.
    {"SubmitSm160OctetShortMessage", 0,
     [](Probe& c) {
       return c.Submit_SM("", 0, 0, "", 0, 0, "", 0, 0, 0, "", "", 0, 0, 0, 0, std::string(160, 's'), {});
     },
     "000000C1 00000004 00000000 00000001 00 0000 00 0000 00 00 00 00 00 00 00 00 00 00 A0"_h + std::string(160, 's'),
     1, 1},
    {"ReplaceSm160OctetShortMessage", 0,
     [](Probe& c) { return c.Replace_SM("", 0, 0, "", "", "", 0, 0, std::string(160, 'r')); },
     "000000B9 00000007 00000000 00000001 00 0000 00 00 00 00 00 A0"_h + std::string(160, 'r'), 1, 1},
    {"AlertNotification", 0, [](Probe& c) { return c.Alert_NOTIFICATION(0, 0, "1", 1, 1, "2"); },
     "00 00 00 18 00 00 01 02 00 00 00 00 00 00 00 01 00 00 31 00 01 01 32 00"_h, 1, 1},
    {"AlertNotificationEmptyAddresses", 0, [](Probe& c) { return c.Alert_NOTIFICATION(3, 4, "", 5, 6, ""); },
     pdu(0x102, 0, 1, "03 04 00 05 06 00"), 1, 1},
};

class BuildTest : public ::testing::TestWithParam<BuildCase> {};

TEST_P(BuildTest, SendsGoldenOctets) {
  const BuildCase& k = GetParam();
  Fixture f;
  f.c.Fsequence_number = k.counter_before;
  EXPECT_EQ(k.call(f.c), k.returned);
  ASSERT_EQ(f.sent.size(), 1u);
  // Short vectors compare as hex so a failure shows the octets; long ones
  // compare length and content separately to keep the output readable.
  if (k.golden.size() <= 512)
    EXPECT_EQ(to_hex(f.sent[0]), to_hex(k.golden));
  else
    EXPECT_TRUE(f.sent[0] == k.golden) << to_hex(f.sent[0].substr(0, 32));
  EXPECT_EQ(f.c.Fsequence_number, k.counter_after);
}

INSTANTIATE_TEST_SUITE_P(Pdu, BuildTest, ::testing::ValuesIn(kBuildCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- refused calls: nothing sent, no sequence number spent ----------------

struct RefusedCase {
  const char* name;
  std::function<Cardinal(Probe&)> call;  // Data_SM_RESP returns 0
};

const RefusedCase kRefusedCases[] = {
    {"SubmitSmShortMessage255",
     [](Probe& c) {
       return c.Submit_SM("", 0, 0, "", 0, 0, "", 0, 0, 0, "", "", 0, 0, 0, 0, std::string(255, 'x'), {});
     }},
    {"SubmitSmPayload65536",
     [](Probe& c) {
       TOPSubmit_SM op{};
       op.message_payload = {true, std::string(65536, 'p')};
       return c.Submit_SM("", 0, 0, "", 0, 0, "", 0, 0, 0, "", "", 0, 0, 0, 0, "", op);
     }},
    {"SubmitSmCallbackNumAtag65536",
     [](Probe& c) {
       TOPSubmit_SM op{};
       op.callback_num_atag = {true, std::string(65536, 'a')};
       return c.Submit_SM("", 0, 0, "", 0, 0, "", 0, 0, 0, "", "", 0, 0, 0, 0, "ok", op);
     }},
    {"SubmitMultiShortMessage255",
     [](Probe& c) {
       return c.Submit_MULTI("", 0, 0, "", SmeAndDl(), 0, 0, 0, "", "", 0, 0, 0, 0, std::string(255, 'x'), {});
     }},
    {"SubmitMulti255Destinations",
     [](Probe& c) {
       return c.Submit_MULTI("", 0, 0, "", Tdest_address(255, {1, 1, "9", false}), 0, 0, 0, "", "", 0, 0, 0, 0, "", {});
     }},
    {"SubmitMultiTlv65536",
     [](Probe& c) {
       TOPSubmit_MULTI op{};
       op.dest_subaddress = {true, std::string(65536, 'd')};
       return c.Submit_MULTI("", 0, 0, "", SmeAndDl(), 0, 0, 0, "", "", 0, 0, 0, 0, "", op);
     }},
    {"DataSmPayload65536",
     [](Probe& c) {
       TOPData_SM op{};
       op.message_payload = {true, std::string(65536, 'p')};
       return c.Data_SM("", 0, 0, "", 0, 0, "", 0, 0, 0, op);
     }},
    {"DataSmRespText65536",
     [](Probe& c) {
       TOPData_SM_RESP op{};
       op.additional_status_info_text = {true, std::string(65536, 't')};
       c.Data_SM_RESP(0, 9, "", op);
       return Cardinal{0};
     }},
    {"ReplaceSmShortMessage255",
     [](Probe& c) { return c.Replace_SM("12", 0, 0, "", "", "", 0, 0, std::string(255, 'x')); }},
};

class RefusedTest : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(RefusedTest, SendsNothingAndSpendsNoNumber) {
  Fixture f;
  f.c.Fsequence_number = 41;
  EXPECT_EQ(GetParam().call(f.c), 0u);
  EXPECT_TRUE(f.sent.empty());
  EXPECT_EQ(f.c.Enquire_LINK(), 42u);
}

INSTANTIATE_TEST_SUITE_P(Pdu, RefusedTest, ::testing::ValuesIn(kRefusedCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- the counter across a mix of requests and responses ---------------------

TEST(SequenceTest, ResponsesLeaveTheCounterAndRequestsCountOnByOne) {
  Fixture f;
  EXPECT_EQ(f.c.Bind(Transceiver, "", "", "", 0, 0, ""), 1u);
  f.c.Deliver_SM_RESP(0, 77, "");
  f.c.Data_SM_RESP(0, 78, "", {});
  f.c.Enquire_LINK_RESP(79);
  EXPECT_EQ(f.c.Data_SM("", 0, 0, "", 0, 0, "", 0, 0, 0, {}), 2u);
  EXPECT_EQ(f.c.Data_SM("", 0, 0, "", 0, 0, "", 0, 0, 0, {}), 3u);
  EXPECT_EQ(f.c.Query_SM("", 0, 0, ""), 4u);
  EXPECT_EQ(f.c.Cancel_SM("", "", 0, 0, "", 0, 0, ""), 5u);
  EXPECT_EQ(f.c.Alert_NOTIFICATION(0, 0, "", 0, 0, ""), 6u);
  ASSERT_EQ(f.sent.size(), 9u);
  // Each PDU carries the number its method returned, or the one it was given.
  const Cardinal carried[] = {1, 77, 78, 79, 2, 3, 4, 5, 6};
  for (std::size_t i = 0; i < f.sent.size(); ++i)
    EXPECT_EQ(to_hex(f.sent[i].substr(12, 4)), to_hex(pdu(0, 0, carried[i], "").substr(12, 4))) << i;
}

// The counter is the component's own: a fresh component numbers its third
// PDU 3, whatever the first two were.
TEST(SequenceTest, EnquireLinkAsTheThirdPduIsNumberedThree) {
  Fixture f;
  EXPECT_EQ(f.c.Bind(Transmitter, "a", "b", "", 0, 0, ""), 1u);
  EXPECT_EQ(f.c.Submit_SM("", 0, 0, "", 0, 0, "", 0, 0, 0, "", "", 0, 0, 0, 0, "x", {}), 2u);
  EXPECT_EQ(f.c.Enquire_LINK(), 3u);
  ASSERT_EQ(f.sent.size(), 3u);
  EXPECT_EQ(to_hex(f.sent[2]), to_hex(hex("00000010 00000015 00000000 00000003")));
}

// ---- destination lists ---------------------------------------------------------

TEST(DestAddressTest, HoldsAtMost254Entries) {
  Fixture f;
  Tdest_address list;
  EXPECT_TRUE(f.c.dest_address_AddSME(list, 1, 2, "1"));
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0], (Tdest_address_entry{1, 2, "1", false}));
  EXPECT_TRUE(f.c.dest_address_AddDL(list, "L"));
  EXPECT_EQ(list[1], (Tdest_address_entry{0, 0, "L", true}));
  while (list.size() < 253) ASSERT_TRUE(f.c.dest_address_AddSME(list, 0, 0, "x"));
  EXPECT_TRUE(f.c.dest_address_AddDL(list, "254th"));
  const Tdest_address full = list;
  EXPECT_FALSE(f.c.dest_address_AddSME(list, 1, 1, "255th"));
  EXPECT_FALSE(f.c.dest_address_AddDL(list, "255th"));
  EXPECT_EQ(list, full);
  EXPECT_TRUE(f.sent.empty());
  EXPECT_EQ(f.c.Fsequence_number, 0u);
}

}  // namespace
}  // namespace velmor::test
