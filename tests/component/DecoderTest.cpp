// Received PDUs, fed through the framer as if read from the socket, and the
// event each one fires with every argument. Decoders never read past the
// body: what a truncated body no longer holds reads as 0 or empty and the
// event still fires. No decoder sends anything.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "component/PduTest.h"

namespace velmor::test {
namespace {

struct DecodeCase {
  const char* name;
  std::string octets;
  std::vector<std::string> events;
};

constexpr Cardinal kBindTx = command_id::bind_transmitter_resp, kBindRx = command_id::bind_receiver_resp,
                   kBindTrx = command_id::bind_transceiver_resp;
constexpr Cardinal kSubmitResp = command_id::submit_sm_resp, kMultiResp = command_id::submit_multi_resp,
                   kDeliver = command_id::deliver_sm, kDataSm = command_id::data_sm,
                   kDataResp = command_id::data_sm_resp, kQueryResp = command_id::query_sm_resp,
                   kCancelResp = command_id::cancel_sm_resp, kReplaceResp = command_id::replace_sm_resp;

// The mandatory part of the reference deliver_sm up to sm_length (exclusive):
// empty service_type, 1/1 "1" to 1/1 "2", every other field 0.
const std::string kDeliverHead = "00 01 01 31 00 01 01 32 00 00 00 00 00 00 00 00 00 00 ";
const std::string kDataHead = "00 01 01 31 00 01 01 32 00 00 00 00 ";

// ev() for deliver_sm with the reference mandatory fields and the given tail.
std::string deliver(Cardinal seq, Byte esm, Byte sm_length, const std::string& sm, const char* ops) {
  return ev("Deliver_SM", seq, "", 1, 1, "1", 1, 1, "2", esm, 0, 0, "", "", 0, 0, 0, 0, sm_length, sm, Raw{ops});
}

const std::string kReceipt = "id:abc sub:001 dlvrd:001 stat:DELIVRD err:000";

const DecodeCase kDecodeCases[] = {
    // ---- link level ----
    {"UnbindRespOk", pdu(0x80000006, 0, 4, ""), {ev("Unbind_RESP_OK", 4)}},
    {"UnbindRespError", pdu(0x80000006, 0x0D, 4, ""), {ev("Unbind_RESP_Error", 0x0D, 4)}},
    {"EnquireLink", pdu(0x15, 0, 12, ""), {ev("Enquire_LINK", 0, 12)}},
    {"EnquireLinkKeepsStatus", pdu(0x15, 5, 13, "01"), {ev("Enquire_LINK", 5, 13)}},
    {"EnquireLinkResp", pdu(0x80000015, 0, 3, ""), {ev("Enquire_LINK_RESP", 0, 3)}},
    {"EnquireLinkRespWithStatus", pdu(0x80000015, 8, 0x7FFFFFFF, ""), {ev("Enquire_LINK_RESP", 8, 0x7FFFFFFF)}},
    {"GenericNackExtraOctetsIgnored", pdu(0x80000000, 3, 9, "DE AD BE EF"), {ev("Generic_NACK", 3, 9)}},

    // ---- bind responses ----
    {"BindTransceiverRespSystemIdAndInterfaceVersion",
     pdu(kBindTrx, 0, 5, "53 4D 53 43 00 02 10 00 01 34"),
     {ev("Bind_RESP_OK", Transceiver, 5, "SMSC", Raw{"{0210:52}"})}},
    {"BindTransmitterRespNoTlv", pdu(kBindTx, 0, 6, "53 00"), {ev("Bind_RESP_OK", Transmitter, 6, "S", Raw{"{}"})}},
    {"BindReceiverRespOtherTlvsSkipped",
     pdu(kBindRx, 0, 7, "58 00 14 00 00 02 AA BB 02 10 00 01 33 00 19 00 01 01"),
     {ev("Bind_RESP_OK", Receiver, 7, "X", Raw{"{0210:51}"})}},
    {"BindReceiverRespErrorEmptyBody",
     pdu(kBindRx, 0x0D, 8, ""),
     {ev("Bind_RESP_Error", Receiver, 0x0D, 8, "", Raw{"{}"})}},
    {"BindTransmitterRespErrorKeepsBody",
     pdu(kBindTx, 0x0E, 9, "53 00 02 10 00 01 34"),
     {ev("Bind_RESP_Error", Transmitter, 0x0E, 9, "S", Raw{"{0210:52}"})}},
    {"BindRespNoNulGivesEmptySystemId",
     pdu(kBindTrx, 0, 10, "53 4D"),
     {ev("Bind_RESP_OK", Transceiver, 10, "", Raw{"{}"})}},

    // ---- submit_sm_resp ----
    {"SubmitSmRespOk", pdu(kSubmitResp, 0, 2, "61 62 63 00"), {ev("Submit_SM_RESP_OK", 2, "abc")}},
    {"SubmitSmRespErrorEmptyBody", pdu(kSubmitResp, 0x45, 3, ""), {ev("Submit_SM_RESP_Error", 0x45, 3, "")}},
    {"SubmitSmRespErrorWithId", pdu(kSubmitResp, 0x58, 3, "7A 00"), {ev("Submit_SM_RESP_Error", 0x58, 3, "z")}},
    {"SubmitSmRespNoNulGivesEmptyId", pdu(kSubmitResp, 0, 4, "61 62 63"), {ev("Submit_SM_RESP_OK", 4, "")}},
    {"SubmitSmRespOctetsAfterNulIgnored", pdu(kSubmitResp, 0, 5, "61 00 62 63 00"), {ev("Submit_SM_RESP_OK", 5, "a")}},

    // ---- submit_multi_resp ----
    {"SubmitMultiRespOneEntry",
     pdu(kMultiResp, 0, 6, "41 00 01 01 01 31 00 00 00 00 45"),
     {ev("Submit_MULTI_RESP_OK", 6, "A", 1, Raw{"[1/1'1':69]"})}},
    {"SubmitMultiRespNoUnsuccess",
     pdu(kMultiResp, 0, 6, "41 00 00"),
     {ev("Submit_MULTI_RESP_OK", 6, "A", 0, Raw{"[]"})}},
    {"SubmitMultiRespTwoEntriesTrailingIgnored",
     pdu(kMultiResp, 0, 7, "6D 00 02 01 01 31 00 00 00 00 45 02 08 39 39 00 00 00 04 01 EE"),
     {ev("Submit_MULTI_RESP_OK", 7, "m", 2, Raw{"[1/1'1':69 2/8'99':1025]"})}},
    {"SubmitMultiRespErrorCodeAllOnes",
     pdu(kMultiResp, 0, 8, "41 00 01 01 01 31 00 FF FF FF FF"),
     {ev("Submit_MULTI_RESP_OK", 8, "A", 1, Raw{"[1/1'1':4294967295]"})}},
    {"SubmitMultiRespNoUnsuccessLargerThanEntries",
     pdu(kMultiResp, 0, 9, "41 00 03 01 01 31 00 00 00 00 45"),
     {ev("Submit_MULTI_RESP_OK", 9, "A", 3, Raw{"[1/1'1':69 0/0'':0 0/0'':0]"})}},
    {"SubmitMultiRespEntryCutInsideErrorCode",
     pdu(kMultiResp, 0, 9, "41 00 01 01 01 31 00 00 45"),
     {ev("Submit_MULTI_RESP_OK", 9, "A", 1, Raw{"[1/1'1':69]"})}},
    {"SubmitMultiRespBodyEndsBeforeNoUnsuccess",
     pdu(kMultiResp, 0, 10, "41 00"),
     {ev("Submit_MULTI_RESP_OK", 10, "A", 0, Raw{"[]"})}},
    {"SubmitMultiRespErrorEmptyBody",
     pdu(kMultiResp, 0x0B, 11, ""),
     {ev("Submit_MULTI_RESP_Error", 0x0B, 11, "", 0, Raw{"[]"})}},
    {"SubmitMultiRespErrorDecodedInFull",
     pdu(kMultiResp, 0x45, 12, "00 01 05 06 37 00 00 00 00 0B"),
     {ev("Submit_MULTI_RESP_Error", 0x45, 12, "", 1, Raw{"[5/6'7':11]"})}},

    // ---- deliver_sm ----
    {"DeliverSmReference", pdu(kDeliver, 0, 1, kDeliverHead + "02 48 69"), {deliver(1, 0, 2, "Hi", "{}")}},
    {"DeliverSmCommandStatusNotRead", pdu(kDeliver, 0x45, 1, kDeliverHead + "00"), {deliver(1, 0, 0, "", "{}")}},
    {"DeliverSmEmptyMessageWithPayload",
     pdu(kDeliver, 0, 2, kDeliverHead + "00 04 24 00 03 41 00 42"),
     {deliver(2, 0, 0, "", "{0424:'A\\x00B'}")}},
    {"DeliverSmLengthPastEndTakesWhatRemains",
     pdu(kDeliver, 0, 3, kDeliverHead + "0A 48 69"),
     {deliver(3, 0, 10, "Hi", "{}")}},
    {"DeliverSmNulInsideShortMessage",
     pdu(kDeliver, 0, 4, kDeliverHead + "04 48 00 69 00"),
     {deliver(4, 0, 4, std::string("H\0i\0", 4), "{}")}},
    {"DeliverSmReceiptWithTlvs",
     pdu(kDeliver, 0, 5,
         "00 01 01 31 00 01 01 32 00 04 00 00 00 00 00 00 00 00 2D " + ascii(kReceipt) +
             "00 1E 00 04 61 62 63 00 04 27 00 01 02 05 01 00 01 09 04 23 00 03 03 00 01"),
     {deliver(5, 4, 45, kReceipt, "{0423:'\\x03\\x00\\x01' 0427:2 001E:'abc\\x00'}")}},
    {"DeliverSmEveryFieldDistinct",
     pdu(kDeliver, 0, 6,
         "434D5400 02 03 73726300 04 05 64737400 40 06 07 7300 7600 08 09 F5 0A 01 FF 02 0A 00 02 13 88"),
     {ev("Deliver_SM", 6, "CMT", 2, 3, "src", 4, 5, "dst", 0x40, 6, 7, "s", "v", 8, 9, 0xF5, 0x0A, 1, "\xFF",
         Raw{"{020A:5000}"})}},
    {"DeliverSmStringWithoutNulReadsEmptyAndLaterFieldsUseSameOctets",
     pdu(kDeliver, 0, 7, "61 62 63"),
     {ev("Deliver_SM", 7, "", 0x61, 0x62, "", 0x63, 0, "", 0, 0, 0, "", "", 0, 0, 0, 0, 0, "", Raw{"{}"})}},
    {"DeliverSmBodyEndsAfterDestination",
     pdu(kDeliver, 0, 8, "00 01 01 31 00 01 01 32 00"),
     {ev("Deliver_SM", 8, "", 1, 1, "1", 1, 1, "2", 0, 0, 0, "", "", 0, 0, 0, 0, 0, "", Raw{"{}"})}},
    {"DeliverSmBodyEndsInsideOneOctetFields",
     pdu(kDeliver, 0, 9, "00 01 01 31 00 01 01 32 00 04 07"),
     {ev("Deliver_SM", 9, "", 1, 1, "1", 1, 1, "2", 4, 7, 0, "", "", 0, 0, 0, 0, 0, "", Raw{"{}"})}},
    {"DeliverSmEmptyBody",
     pdu(kDeliver, 0, 10, ""),
     {ev("Deliver_SM", 10, "", 0, 0, "", 0, 0, "", 0, 0, 0, "", "", 0, 0, 0, 0, 0, "", Raw{"{}"})}},

    // ---- data_sm (received) ----
    {"DataSmReference",
     pdu(kDataSm, 0, 1, kDataHead),
     {ev("Data_SM", 1, "", 1, 1, "1", 1, 1, "2", 0, 0, 0, Raw{"{}"})}},
    {"DataSmPayload",
     pdu(kDataSm, 0, 2, kDataHead + "04 24 00 02 48 69"),
     {ev("Data_SM", 2, "", 1, 1, "1", 1, 1, "2", 0, 0, 0, Raw{"{0424:'Hi'}"})}},
    {"DataSmEveryFieldDistinctAndReceiptTlvs",
     pdu(kDataSm, 0, 3,
         "57415000 02 03 41 00 04 05 42 00 04 11 F5 00 1E 00 02 49 44 04 27 00 01 05 13 0C 00 00 00 17 00 04 00 00 "
         "01 00"),
     {ev("Data_SM", 3, "WAP", 2, 3, "A", 4, 5, "B", 4, 0x11, 0xF5, Raw{"{0017:256 001E:'ID' 0427:5 130C}"})}},
    {"DataSmStringWithoutNulReadsEmpty",
     pdu(kDataSm, 0, 4, "61 62"),
     {ev("Data_SM", 4, "", 0x61, 0x62, "", 0, 0, "", 0, 0, 0, Raw{"{}"})}},
    {"DataSmBodyEndsInsideOneOctetFields",
     pdu(kDataSm, 0, 5, "00 01 01 31 00 01 01 32 00 40"),
     {ev("Data_SM", 5, "", 1, 1, "1", 1, 1, "2", 0x40, 0, 0, Raw{"{}"})}},

    // ---- data_sm_resp ----
    {"DataSmRespOk", pdu(kDataResp, 0, 2, "61 62 63 00"), {ev("Data_SM_RESP_OK", 2, "abc", Raw{"{}"})}},
    {"DataSmRespDeliveryFailureReason",
     pdu(kDataResp, 0, 3, "61 00 04 25 00 01 01"),
     {ev("Data_SM_RESP_OK", 3, "a", Raw{"{0425:1}"})}},
    {"DataSmRespEveryTlv",
     pdu(kDataResp, 0, 4, "00 04 20 00 01 01 00 1D 00 02 6E 6F 04 23 00 03 03 00 01 04 25 00 01 02"),
     {ev("Data_SM_RESP_OK", 4, "", Raw{"{0425:2 0423:'\\x03\\x00\\x01' 001D:'no' 0420:1}"})}},
    {"DataSmRespErrorEmptyBody", pdu(kDataResp, 0x45, 5, ""), {ev("Data_SM_RESP_Error", 0x45, 5, "", Raw{"{}"})}},
    {"DataSmRespErrorWithTlv",
     pdu(kDataResp, 0x45, 5, "00 04 25 00 01 03"),
     {ev("Data_SM_RESP_Error", 0x45, 5, "", Raw{"{0425:3}"})}},
    {"DataSmRespNoNulAllOctetsAreTlvs",
     pdu(kDataResp, 0, 6, "04 25 01 01 07"),
     {ev("Data_SM_RESP_OK", 6, "", Raw{"{0425:7}"})}},

    // ---- query_sm_resp ----
    {"QuerySmRespOk", pdu(kQueryResp, 0, 2, "34 32 00 00 02 00"), {ev("Query_SM_RESP_OK", 2, "42", "", 2, 0)}},
    {"QuerySmRespFinalDateAndTrailingIgnored",
     pdu(kQueryResp, 0, 3, "61 00 " + ascii("2401011200000000") + " 00 05 08 FF FF"),
     {ev("Query_SM_RESP_OK", 3, "a", "2401011200000000", 5, 8)}},
    {"QuerySmRespErrorEmptyBody", pdu(kQueryResp, 0x67, 4, ""), {ev("Query_SM_RESP_Error", 0x67, 4, "", "", 0, 0)}},
    {"QuerySmRespErrorFullBody",
     pdu(kQueryResp, 0x67, 4, "61 00 62 00 06 07"),
     {ev("Query_SM_RESP_Error", 0x67, 4, "a", "b", 6, 7)}},
    {"QuerySmRespEndsBeforeErrorCode",
     pdu(kQueryResp, 0, 5, "34 32 00 00 02"),
     {ev("Query_SM_RESP_OK", 5, "42", "", 2, 0)}},
    {"QuerySmRespEndsAfterMessageId", pdu(kQueryResp, 0, 6, "34 32 00"), {ev("Query_SM_RESP_OK", 6, "42", "", 0, 0)}},

    // ---- cancel_sm_resp, replace_sm_resp ----
    {"CancelSmRespOk", pdu(kCancelResp, 0, 7, ""), {ev("Cancel_RESP_OK", 7)}},
    {"CancelSmRespError", pdu(kCancelResp, 0x11, 7, ""), {ev("Cancel_RESP_Error", 0x11, 7)}},
    {"CancelSmRespBodyIgnored", pdu(kCancelResp, 0, 8, "01 02 03"), {ev("Cancel_RESP_OK", 8)}},
    {"ReplaceSmRespOk", pdu(kReplaceResp, 0, 9, ""), {ev("Replace_RESP_OK", 9)}},
    {"ReplaceSmRespError", pdu(kReplaceResp, 0x13, 9, ""), {ev("Replace_RESP_Error", 0x13, 9)}},
    {"ReplaceSmRespBodyIgnored", pdu(kReplaceResp, 0x13, 10, "00"), {ev("Replace_RESP_Error", 0x13, 10)}},

    // ---- everything else: body handed over untouched ----
    {"UnknownReceivedUnbind",
     hex("00 00 00 10 00 00 00 06 00 00 00 00 00 00 00 07"),
     {ev("Unknown_command", 16, 6, 0, 7, "")}},
    {"UnknownReceivedOutbind",
     pdu(0x0B, 0, 8, "61 00 62 00"),
     {ev("Unknown_command", 20, 0x0B, 0, 8, std::string("a\0b\0", 4))}},
    {"UnknownReceivedAlertNotification",
     pdu(0x102, 0, 9, "00 00 31 00 01 01 32 00 04 22 00 01 00"),
     {ev("Unknown_command", 29, 0x102, 0, 9, hex("00 00 31 00 01 01 32 00 04 22 00 01 00"))}},
    {"UnknownFiveOctetBody",
     hex("00 00 00 15 00 00 01 99 00 00 00 2A 00 00 00 0B 01 00 FF 80 7F"),
     {ev("Unknown_command", 21, 0x199, 0x2A, 11, hex("01 00 FF 80 7F"))}},
    {"UnknownReceivedBindRequest",
     pdu(0x09, 0, 12, "61 00 00 00 34 00 00 00"),
     {ev("Unknown_command", 24, 9, 0, 12, hex("61 00 00 00 34 00 00 00"))}},
    {"UnknownDeliverSmRespReceived",
     pdu(0x80000005, 0, 13, "00"),
     {ev("Unknown_command", 17, 0x80000005, 0, 13, hex("00"))}},
    {"UnknownSubmitSmReceived", pdu(0x04, 0, 14, ""), {ev("Unknown_command", 16, 4, 0, 14, "")}},

    // ---- several PDUs in one block, in order ----
    {"ThreePdusInOneBlock",
     pdu(0x15, 0, 1, "") + pdu(kSubmitResp, 0, 2, "78 00") + pdu(kCancelResp, 0x11, 3, ""),
     {ev("Enquire_LINK", 0, 1), ev("Submit_SM_RESP_OK", 2, "x"), ev("Cancel_RESP_Error", 0x11, 3)}},
};

class DecodeTest : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeTest, FiresOneEventWithEveryArgument) {
  TEventLoop loop;
  Probe c(nullptr, loop);
  Recorder rec(c);
  std::vector<std::string> sent;
  c.TraceSent = [&](std::string_view p) { sent.emplace_back(p); };
  c.ReceiveOctets(GetParam().octets);
  EXPECT_EQ(rec.log, GetParam().events);
  EXPECT_TRUE(sent.empty()) << "a decoder answered on its own";
  EXPECT_EQ(c.Fsequence_number, 0u);
}

// The same octets cut into two reads at every offset, and one octet a read,
// are framed into the same events.
TEST_P(DecodeTest, SplitAtEveryOffsetGivesTheSameEvents) {
  expect_events_however_split(GetParam().octets, GetParam().events);
}

// With no handler assigned nothing at all happens.
TEST_P(DecodeTest, NoHandlerNoEffect) {
  TEventLoop loop;
  Probe c(nullptr, loop);
  std::vector<std::string> sent;
  c.TraceSent = [&](std::string_view p) { sent.emplace_back(p); };
  c.ReceiveOctets(GetParam().octets);
  EXPECT_TRUE(sent.empty());
  EXPECT_EQ(c.Fsequence_number, 0u);
}

INSTANTIATE_TEST_SUITE_P(Pdu, DecodeTest, ::testing::ValuesIn(kDecodeCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The application answers inside the event; the answer carries the received
// sequence number and spends none of the component's.
TEST(AnswerInsideEventTest, DeliverDataAndEnquireLinkAnsweredFromTheirHandlers) {
  TEventLoop loop;
  Probe c(nullptr, loop);
  std::vector<std::string> sent;
  c.TraceSent = [&](std::string_view p) { sent.emplace_back(p); };
  c.OnDeliver_SM = [&](TObject*, Cardinal seq, auto&&...) { c.Deliver_SM_RESP(0, seq, ""); };
  c.OnData_SM = [&](TObject*, Cardinal seq, auto&&...) {
    TOPData_SM_RESP op{};
    op.delivery_failure_reason = {true, 1};
    c.Data_SM_RESP(0, seq, "", op);
  };
  c.OnEnquire_LINK = [&](TObject*, Cardinal, Cardinal seq) { c.Enquire_LINK_RESP(seq); };
  c.ReceiveOctets(pdu(kDeliver, 0, 0x101, kDeliverHead + "02 48 69") + pdu(kDataSm, 0, 9, kDataHead) +
                  pdu(0x15, 0, 12, ""));
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(to_hex(sent[0]), to_hex(hex("00 00 00 11 80 00 00 05 00 00 00 00 00 00 01 01 00")));
  EXPECT_EQ(to_hex(sent[1]), to_hex(hex("00 00 00 16 80 00 01 03 00 00 00 00 00 00 00 09 00 04 25 00 01 01")));
  EXPECT_EQ(to_hex(sent[2]), to_hex(hex("00 00 00 10 80 00 00 15 00 00 00 00 00 00 00 0C")));
  EXPECT_EQ(c.Fsequence_number, 0u);
}

}  // namespace
}  // namespace velmor::test
