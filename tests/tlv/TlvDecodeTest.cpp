// Decoding received TLV octets into aggregates, including every malformed
// shape a peer can send: the decoder must fill what the octets give and never
// read past them.
#include <gtest/gtest.h>

#include <ostream>
#include <random>
#include <string>

#include "TlvTestData.h"

namespace velmor {
namespace {

using test::hex;
using test::to_hex;
using namespace std::string_literals;

template <class Agg>
struct DecodeCase {
  const char* name;
  const char* input;
  Agg expected;
};
template <class Agg>
void PrintTo(const DecodeCase<Agg>& c, std::ostream* os) {
  *os << c.name;
}

// Renders the present members so a mismatch names the member at fault.
template <class Agg>
std::string describe(const Agg& a) {
  std::string s;
  Agg::visit(a, [&s](const auto& m) {
    using R = std::decay_t<decltype(m)>;
    if (!m.Field) return false;
    std::string t;
    codec::put_u16(t, R::tag);
    s += "[" + to_hex(t) + "]";
    if constexpr (!std::is_same_v<R, Talert_on_message_delivery>) {
      if constexpr (std::is_same_v<typename R::value_type, AnsiString>)
        s += "\"" + to_hex(m.Value) + "\"";
      else
        s += std::to_string(m.Value);
    }
    s += " ";
    return false;
  });
  return s.empty() ? "(none)" : s;
}

#define VELMOR_DECODE_SUITE(Suite, Agg, decoder) \
  class Suite : public ::testing::TestWithParam<DecodeCase<Agg>> {}; \
  TEST_P(Suite, FillsWhatTheOctetsGive) { \
    const Agg got = decoder(hex(GetParam().input)); \
    EXPECT_EQ(describe(got), describe(GetParam().expected)); \
    EXPECT_TRUE(got == GetParam().expected); \
  }

VELMOR_DECODE_SUITE(DataSmDecodeTest, TOPData_SM, OPData_SM_SM_Set)
VELMOR_DECODE_SUITE(DeliverSmDecodeTest, TOPDeliver_SM, OPDeliver_SM_Set)
VELMOR_DECODE_SUITE(BindRespDecodeTest, TOPBind_RESP, OPBind_RESP_Set)
VELMOR_DECODE_SUITE(DataSmRespDecodeTest, TOPData_SM_RESP, OPData_SM_RESP_Set)

#undef VELMOR_DECODE_SUITE

auto case_name = [](const auto& info) { return std::string(info.param.name); };

using DS = DecodeCase<TOPData_SM>;
INSTANTIATE_TEST_SUITE_P(
    Cases, DataSmDecodeTest,
    ::testing::Values(
        DS{"Empty", "", {}}, DS{"SourceTelematicsIdOneOctet", "00 10 00 01 07", {.source_telematics_id = {true, 7}}},
        DS{"DestTelematicsIdTwoOctets", "00 08 00 02 00 07", {.dest_telematics_id = {true, 7}}},
        DS{"WordGivenOneOctet", "00 08 00 01 07", {.dest_telematics_id = {true, 7}}},
        DS{"ByteGivenTwoOctetsKeepsSecond", "00 10 00 02 01 07", {.source_telematics_id = {true, 7}}},
        DS{"WordGivenFourOctetsKeepsLow16", "02 04 00 04 00 01 00 07", {.user_message_reference = {true, 7}}},
        DS{"WordGivenThreeOctetsKeepsLow16", "02 04 00 03 AB CD EF", {.user_message_reference = {true, 0xCDEF}}},
        DS{"EmptyIntegerValueIsZero", "00 17 00 00", {.qos_time_to_live = {true, 0}}},
        DS{"QosTimeToLiveAllBits", "00 17 00 04 FF FF FF FF", {.qos_time_to_live = {true, 0xFFFFFFFF}}},
        DS{"QosTimeToLive300", "00 17 00 04 00 00 01 2C", {.qos_time_to_live = {true, 300}}},
        DS{"LongValueWithLeadingZeros", "00 17 00 06 00 00 12 34 56 78", {.qos_time_to_live = {true, 0x12345678}}},
        DS{"EightOctetValueWithLeadingZeros",
           "00 17 00 08 00 00 00 00 80 00 00 2A",
           {.qos_time_to_live = {true, 0x8000002A}}},
        DS{"LongValueNeedingMoreThan32BitsIsZero", "00 17 00 05 01 00 00 00 00", {.qos_time_to_live = {true, 0}}},
        DS{"LongByteValueNeedingMoreThan32BitsIsZero", "00 19 00 05 01 00 00 00 07", {.payload_type = {true, 0}}},
        DS{"IntegerCutShortByTheEnd", "00 17 00 04 01 02", {.qos_time_to_live = {true, 0x0102}}},
        DS{"AlertOnMsgDelivery", "13 0C 00 00", {.alert_on_msg_delivery = {true}}},
        DS{"AlertValueOctetsDropped",
           "13 0C 00 02 AA BB 02 04 00 02 00 07",
           {.user_message_reference = {true, 7}, .alert_on_msg_delivery = {true}}},
        DS{"UnknownTagSkippedByLength",
           "14 00 00 03 01 02 03 02 04 00 02 00 07",
           {.user_message_reference = {true, 7}}},
        DS{"UnknownValueHidingAKnownTagIsSkippedWhole", "14 00 00 05 00 19 00 01 09", {}},
        DS{"UnknownTagRunningPastTheEnd", "FF FF 00 05 01 02", {}},
        DS{"ZeroTagsAreUnknown", "00 00 00 00 00 00 00 00", {}}, DS{"UssdServiceOpIsNotCarried", "05 01 00 01 01", {}},
        DS{"SingleTrailingOctetIsATag", "05", {.dest_addr_subunit = {true, 0}}},
        DS{"TrailingOctetAfterAValidTlv",
           "02 04 00 02 00 07 05",
           {.dest_addr_subunit = {true, 0}, .user_message_reference = {true, 7}}},
        DS{"TwoTrailingOctetsAreATag", "02 04", {.user_message_reference = {true, 0}}},
        DS{"ThreeTrailingOctetsTagAndShortLength", "02 04 00", {.user_message_reference = {true, 0}}},
        DS{"OneOctetLengthWithNoValueLeft", "00 05 01", {.dest_addr_subunit = {true, 0}}},
        DS{"SingleTrailingUnknownOctet", "02", {}},
        DS{"RepeatedTagKeepsLast", "00 19 00 01 01 00 19 00 01 02", {.payload_type = {true, 2}}},
        DS{"RepeatedStringKeepsLastEvenWhenEmpty", "04 24 00 01 41 04 24 00 00", {.message_payload = {true, ""}}},
        DS{"RepeatedStringIsReplacedNotAppended", "04 24 00 02 41 42 04 24 00 01 43", {.message_payload = {true, "C"}}},
        DS{"LengthLargerThanRemaining", "04 24 00 10 41 42", {.message_payload = {true, "AB"}}},
        DS{"EmptyStringValue", "03 81 00 00", {.callback_num = {true, ""}}},
        DS{"NulKeptInReceiptedMessageId", "00 1E 00 04 41 42 43 00", {.receipted_message_id = {true, "ABC\0"s}}},
        DS{"OrderOnTheWireDoesNotMatter",
           "02 04 00 02 00 01 02 0A 00 02 13 88",
           {.source_port = {true, 5000}, .user_message_reference = {true, 1}}}),
    case_name);

using DD = DecodeCase<TOPDeliver_SM>;
INSTANTIATE_TEST_SUITE_P(
    Cases, DeliverSmDecodeTest,
    ::testing::Values(
        DD{"Empty", "", {}}, DD{"SourcePort", "02 0A 00 02 13 88", {.source_port = {true, 5000}}},
        DD{"NulKeptInReceiptedMessageId", "00 1E 00 04 41 42 43 00", {.receipted_message_id = {true, "ABC\0"s}}},
        DD{"AlertOnMsgDeliveryIsNotCarried", "13 0C 00 00", {}},
        DD{"EmptyPayloadType", "00 19 00 00", {.payload_type = {true, 0}}},
        DD{"UssdServiceOpIsNotCarried", "05 01 00 01 01", {}},
        DD{"CallbackNumPresIndIsNotCarried", "03 02 00 01 01", {}},
        DD{"DestAddrSubunitIsNotCarried", "00 05 00 01 04", {}}, DD{"SingleTrailingOctetNotCarried", "05", {}},
        DD{"RepeatedTagKeepsLast", "00 19 00 01 01 00 19 00 01 02", {.payload_type = {true, 2}}},
        DD{"LengthLargerThanRemaining", "04 24 00 10 41 42", {.message_payload = {true, "AB"}}},
        DD{"NetworkErrorCodeWithNul", "04 23 00 03 03 00 2A", {.network_error_code = {true, "\x03\x00\x2A"s}}},
        DD{"MessageStateAmongUnknown", "05 01 00 01 01 04 27 00 01 02 FF FF 00 00", {.message_state = {true, 2}}},
        DD{"DeliveryReceipt",
           "00 1E 00 03 31 32 33 04 27 00 01 02 04 23 00 03 03 00 01",
           {.network_error_code = {true, "\x03\x00\x01"s},
            .message_state = {true, 2},
            .receipted_message_id = {true, "123"}}}),
    case_name);

using DB = DecodeCase<TOPBind_RESP>;
INSTANTIATE_TEST_SUITE_P(
    Cases, BindRespDecodeTest,
    ::testing::Values(DB{"Empty", "", {}},
                      DB{"ScInterfaceVersion", "02 10 00 01 34", {.sc_interface_version = {true, 0x34}}},
                      DB{"OtherTlvsAroundSkipped",
                         "02 0A 00 02 13 88 02 10 00 01 34 00 19 00 01 01",
                         {.sc_interface_version = {true, 0x34}}},
                      DB{"TwoOctetValueKeepsSecond", "02 10 00 02 01 34", {.sc_interface_version = {true, 0x34}}},
                      DB{"TrailingTagOnly", "02 10", {.sc_interface_version = {true, 0}}},
                      DB{"OnlyUnknown", "00 19 00 01 01", {}}),
    case_name);

using DR = DecodeCase<TOPData_SM_RESP>;
INSTANTIATE_TEST_SUITE_P(
    Cases, DataSmRespDecodeTest,
    ::testing::Values(
        DR{"Empty", "", {}}, DR{"DeliveryFailureReason", "04 25 00 01 02", {.delivery_failure_reason = {true, 2}}},
        DR{"AdditionalStatusInfoText", "00 1D 00 04 66 61 69 6C", {.additional_status_info_text = {true, "fail"}}},
        DR{"DpfResultAndNetworkErrorCode",
           "04 20 00 01 01 04 23 00 03 08 00 05",
           {.network_error_code = {true, "\x08\x00\x05"s}, .dpf_result = {true, 1}}},
        DR{"UserMessageReferenceIsNotCarried", "02 04 00 02 00 07", {}},
        DR{"TextCutShort", "00 1D 00 08 66 61", {.additional_status_info_text = {true, "fa"}}}),
    case_name);

// ---- bounds ------------------------------------------------------------------

// The input is a view that ends before octets which, if read, would change
// the result.
TEST(DecodeBoundsTest, NeverReadsPastTheInput) {
  const std::string buffer = hex("04 24 00 10 41 42 43 44 02 04 00 02 00 07");
  EXPECT_EQ(OPData_SM_SM_Set(std::string_view(buffer).substr(0, 6)), (TOPData_SM{.message_payload = {true, "AB"}}));

  const std::string word = hex("02 04 00 02 00 07");
  EXPECT_EQ(OPDeliver_SM_Set(std::string_view(word).substr(0, 5)),
            (TOPDeliver_SM{.user_message_reference = {true, 0}}));

  const std::string trailing = hex("02 0A 00 02 13 88 00 05 00 01 09");
  EXPECT_EQ(OPData_SM_SM_Set(std::string_view(trailing).substr(0, 7)), (TOPData_SM{.source_port = {true, 5000}}));

  const std::string bind = hex("02 10 00 01 34");
  EXPECT_EQ(OPBind_RESP_Set(std::string_view(bind).substr(0, 4)), (TOPBind_RESP{.sc_interface_version = {true, 0}}));
}

// Arbitrary octets always terminate, and decode the same from a view as from
// an owned copy; any read beyond the view would make the two differ or be
// caught by a sanitizer build.
TEST(DecodeBoundsTest, ArbitraryOctetsTerminateAndStayInBounds) {
  std::mt19937 rng(99);
  std::uniform_int_distribution<int> len(0, 48);
  std::uniform_int_distribution<int> small(0, 6);
  std::uniform_int_distribution<int> octet(0, 255);
  for (int i = 0; i < 3000; ++i) {
    std::string s(len(rng), '\0');
    // Mostly small octets, so tags hit real parameters and lengths stay short.
    for (char& c : s) c = static_cast<char>(i % 3 ? small(rng) : octet(rng));
    const std::string padded = s + hex("00 05 00 01 09 02 10 00 01 09");
    const std::string_view view = std::string_view(padded).substr(0, s.size());
    ASSERT_EQ(OPData_SM_SM_Set(view), OPData_SM_SM_Set(s)) << to_hex(s);
    ASSERT_EQ(OPDeliver_SM_Set(view), OPDeliver_SM_Set(s)) << to_hex(s);
    ASSERT_EQ(OPBind_RESP_Set(view), OPBind_RESP_Set(s)) << to_hex(s);
    ASSERT_EQ(OPData_SM_RESP_Set(view), OPData_SM_RESP_Set(s)) << to_hex(s);
  }
}

}  // namespace
}  // namespace velmor
