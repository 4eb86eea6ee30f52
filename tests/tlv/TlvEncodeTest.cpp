// Encoding aggregates into TLV octets: golden vectors for fully populated
// aggregates and the individual wire forms that are easy to get wrong.
#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>

#include "TlvTestData.h"

namespace velmor {
namespace {

using test::hex;
using test::to_hex;
using namespace std::string_literals;

struct GoldenCase {
  const char* name;
  std::function<std::string()> encode;
  std::function<std::size_t()> encoded_size;
  const char* golden;
};
void PrintTo(const GoldenCase& c, std::ostream* os) { *os << c.name; }

class FullAggregateEncodingTest : public ::testing::TestWithParam<GoldenCase> {};

TEST_P(FullAggregateEncodingTest, MatchesGoldenVector) {
  EXPECT_EQ(to_hex(GetParam().encode()), to_hex(hex(GetParam().golden)));
}

TEST_P(FullAggregateEncodingTest, SizeForecastMatchesTheOctets) {
  EXPECT_EQ(GetParam().encoded_size(), hex(GetParam().golden).size());
}

INSTANTIATE_TEST_SUITE_P(
    Aggregates, FullAggregateEncodingTest,
    ::testing::Values(GoldenCase{"BindResp", [] { return test::encode(test::full_bind_resp()); },
                                 [] { return tlv::encoded_size(test::full_bind_resp()); }, "02 10 00 01 34"},
                      GoldenCase{"SubmitSm", [] { return OPSubmit_SM_Get(test::full_submit_sm()); },
                                 [] { return tlv::encoded_size(test::full_submit_sm()); },
                                 "02 04 00 02 01 02"     // user_message_reference
                                 "02 0A 00 02 13 88"     // source_port
                                 "00 0D 00 01 11"        // source_addr_subunit
                                 "02 0B 00 02 1F 90"     // destination_port
                                 "00 05 00 01 12"        // dest_addr_subunit
                                 "02 0C 00 02 12 34"     // sar_msg_ref_num
                                 "02 0E 00 01 13"        // sar_total_segments
                                 "02 0F 00 01 14"        // sar_segment_seqnum
                                 "04 26 00 01 15"        // more_messages_to_send
                                 "00 19 00 01 16"        // payload_type
                                 "04 24 00 03 50 41 59"  // message_payload
                                 "02 01 00 01 17"        // privacy_indicator
                                 "03 81 00 03 31 32 33"  // callback_num
                                 "03 02 00 01 18"        // callback_num_pres_ind
                                 "03 03 00 02 41 54"     // callback_num_atag
                                 "02 02 00 02 A0 53"     // source_subaddress
                                 "02 03 00 02 A0 44"     // dest_subaddress
                                 "02 05 00 01 19"        // user_response_code
                                 "12 01 00 01 1A"        // display_time
                                 "12 03 00 02 A1 B2"     // sms_signal
                                 "12 04 00 01 1B"        // ms_validity
                                 "00 30 00 01 1C"        // ms_msg_wait_facilities
                                 "03 04 00 01 1D"        // number_of_messages
                                 "13 0C 00 00"           // alert_on_msg_delivery
                                 "02 0D 00 01 1E"        // language_indicator
                                 "13 80 00 01 1F"        // its_reply_type
                                 "13 83 00 02 C3 D4"     // its_session_info
                                 "05 01 00 01 20"},      // ussd_service_op
                      GoldenCase{"SubmitMulti", [] { return OPSubmit_MULTI_Get(test::full_submit_multi()); },
                                 [] { return tlv::encoded_size(test::full_submit_multi()); },
                                 "02 04 00 02 01 02"     // user_message_reference
                                 "02 0A 00 02 13 88"     // source_port
                                 "00 0D 00 01 11"        // source_addr_subunit
                                 "02 0B 00 02 1F 90"     // destination_port
                                 "00 05 00 01 12"        // dest_addr_subunit
                                 "02 0C 00 02 12 34"     // sar_msg_ref_num
                                 "02 0E 00 01 13"        // sar_total_segments
                                 "02 0F 00 01 14"        // sar_segment_seqnum
                                 "00 19 00 01 16"        // payload_type
                                 "04 24 00 03 50 41 59"  // message_payload
                                 "02 01 00 01 17"        // privacy_indicator
                                 "03 81 00 03 31 32 33"  // callback_num
                                 "03 02 00 01 18"        // callback_num_pres_ind
                                 "03 03 00 02 41 54"     // callback_num_atag
                                 "02 02 00 02 A0 53"     // source_subaddress
                                 "02 03 00 02 A0 44"     // dest_subaddress
                                 "12 01 00 01 1A"        // display_time
                                 "12 03 00 02 A1 B2"     // sms_signal
                                 "12 04 00 01 1B"        // ms_validity
                                 "00 30 00 01 1C"        // ms_msg_wait_facilities
                                 "13 0C 00 00"           // alert_on_msg_delivery
                                 "02 0D 00 01 1E"},      // language_indicator
                      GoldenCase{"DeliverSm", [] { return test::encode(test::full_deliver_sm()); },
                                 [] { return tlv::encoded_size(test::full_deliver_sm()); },
                                 "02 04 00 02 01 02"          // user_message_reference
                                 "02 0A 00 02 13 88"          // source_port
                                 "02 0B 00 02 1F 90"          // destination_port
                                 "02 0C 00 02 12 34"          // sar_msg_ref_num
                                 "02 0E 00 01 13"             // sar_total_segments
                                 "02 0F 00 01 14"             // sar_segment_seqnum
                                 "02 05 00 01 19"             // user_response_code
                                 "02 01 00 01 17"             // privacy_indicator
                                 "00 19 00 01 16"             // payload_type
                                 "04 24 00 03 50 41 59"       // message_payload
                                 "03 81 00 03 31 32 33"       // callback_num
                                 "02 02 00 02 A0 53"          // source_subaddress
                                 "02 03 00 02 A0 44"          // dest_subaddress
                                 "02 0D 00 01 1E"             // language_indicator
                                 "13 83 00 02 C3 D4"          // its_session_info
                                 "04 23 00 03 03 00 2A"       // network_error_code
                                 "04 27 00 01 27"             // message_state
                                 "00 1E 00 04 4D 49 44 00"},  // receipted_message_id
                      GoldenCase{"DataSm", [] { return OPData_SM_Get(test::full_data_sm()); },
                                 [] { return tlv::encoded_size(test::full_data_sm()); },
                                 "02 0A 00 02 13 88"        // source_port
                                 "00 0D 00 01 11"           // source_addr_subunit
                                 "00 0E 00 01 21"           // source_network_type
                                 "00 0F 00 01 22"           // source_bearer_type
                                 "00 10 00 01 23"           // source_telematics_id
                                 "02 0B 00 02 1F 90"        // destination_port
                                 "00 05 00 01 12"           // dest_addr_subunit
                                 "00 06 00 01 24"           // dest_network_type
                                 "00 07 00 01 25"           // dest_bearer_type
                                 "00 08 00 02 E5 F6"        // dest_telematics_id
                                 "02 0C 00 02 12 34"        // sar_msg_ref_num
                                 "02 0E 00 01 13"           // sar_total_segments
                                 "02 0F 00 01 14"           // sar_segment_seqnum
                                 "04 26 00 01 15"           // more_messages_to_send
                                 "00 17 00 04 80 00 00 01"  // qos_time_to_live
                                 "00 19 00 01 16"           // payload_type
                                 "04 24 00 03 50 41 59"     // message_payload
                                 "04 21 00 01 26"           // set_dpf
                                 "00 1E 00 04 4D 49 44 00"  // receipted_message_id
                                 "04 27 00 01 27"           // message_state
                                 "04 23 00 03 03 00 2A"     // network_error_code
                                 "02 04 00 02 01 02"        // user_message_reference
                                 "02 01 00 01 17"           // privacy_indicator
                                 "03 81 00 03 31 32 33"     // callback_num
                                 "03 02 00 01 18"           // callback_num_pres_ind
                                 "03 03 00 02 41 54"        // callback_num_atag
                                 "02 02 00 02 A0 53"        // source_subaddress
                                 "02 03 00 02 A0 44"        // dest_subaddress
                                 "02 05 00 01 19"           // user_response_code
                                 "12 01 00 01 1A"           // display_time
                                 "12 03 00 02 A1 B2"        // sms_signal
                                 "12 04 00 01 1B"           // ms_validity
                                 "00 30 00 01 1C"           // ms_msg_wait_facilities
                                 "03 04 00 01 1D"           // number_of_messages
                                 "13 0C 00 00"              // alert_on_msg_delivery
                                 "02 0D 00 01 1E"           // language_indicator
                                 "13 80 00 01 1F"           // its_reply_type
                                 "13 83 00 02 C3 D4"},      // its_session_info
                      GoldenCase{"DataSmResp", [] { return OPData_SM_RESP_Get(test::full_data_sm_resp()); },
                                 [] { return tlv::encoded_size(test::full_data_sm_resp()); },
                                 "04 25 00 01 28"           // delivery_failure_reason
                                 "04 23 00 03 03 00 2A"     // network_error_code
                                 "00 1D 00 04 66 61 69 6C"  // additional_status_info_text
                                 "04 20 00 01 29"}),        // dpf_result
    [](const auto& info) { return std::string(info.param.name); });

// The _Get encoders and the in-place append must give the same octets, and
// append must leave what the PDU buffer already holds.
TEST(FullAggregateEncodingTest, AppendWritesAfterTheMandatoryPart) {
  std::string pdu = hex("00 01 02");
  tlv::append(pdu, test::full_data_sm());
  EXPECT_EQ(to_hex(pdu), to_hex(hex("00 01 02") + OPData_SM_Get(test::full_data_sm())));
}

// Clears every Field but keeps each Value, so a stale value that leaks onto
// the wire shows up.
template <class Agg>
Agg all_absent(Agg a) {
  Agg::visit(a, [](auto& m) {
    m.Field = false;
    return false;
  });
  return a;
}

struct EncodeCase {
  const char* name;
  std::function<std::string()> encode;
  std::string expected;
};
void PrintTo(const EncodeCase& c, std::ostream* os) { *os << c.name; }

class EncodeEdgeTest : public ::testing::TestWithParam<EncodeCase> {};

TEST_P(EncodeEdgeTest, GivesExactOctets) { EXPECT_EQ(to_hex(GetParam().encode()), to_hex(GetParam().expected)); }

const std::string k300 = [] {
  std::string s(300, '\0');
  for (std::size_t i = 0; i < s.size(); ++i) s[i] = static_cast<char>(i * 7);
  return s;
}();

INSTANTIATE_TEST_SUITE_P(
    Cases, EncodeEdgeTest,
    ::testing::Values(
        EncodeCase{"EmptySubmitSm", [] { return OPSubmit_SM_Get({}); }, ""},
        EncodeCase{"EmptySubmitMulti", [] { return OPSubmit_MULTI_Get({}); }, ""},
        EncodeCase{"EmptyDataSm", [] { return OPData_SM_Get({}); }, ""},
        EncodeCase{"EmptyDataSmResp", [] { return OPData_SM_RESP_Get({}); }, ""},
        EncodeCase{"AbsentWithValuesSubmitSm", [] { return OPSubmit_SM_Get(all_absent(test::full_submit_sm())); }, ""},
        EncodeCase{"AbsentWithValuesSubmitMulti",
                   [] { return OPSubmit_MULTI_Get(all_absent(test::full_submit_multi())); }, ""},
        EncodeCase{"AbsentWithValuesDataSm", [] { return OPData_SM_Get(all_absent(test::full_data_sm())); }, ""},
        EncodeCase{"AbsentWithValuesDataSmResp",
                   [] { return OPData_SM_RESP_Get(all_absent(test::full_data_sm_resp())); }, ""},
        EncodeCase{"OnePresentAmongAbsentWithValues",
                   [] {
                     TOPData_SM a = all_absent(test::full_data_sm());
                     a.sms_signal.Field = true;
                     return OPData_SM_Get(a);
                   },
                   hex("12 03 00 02 A1 B2")},
        EncodeCase{"SourceTelematicsIdIsOneOctet",
                   [] {
                     return OPData_SM_Get({.source_telematics_id = {true, 7}});
                   },
                   hex("00 10 00 01 07")},
        EncodeCase{"DestTelematicsIdIsTwoOctets",
                   [] {
                     return OPData_SM_Get({.dest_telematics_id = {true, 7}});
                   },
                   hex("00 08 00 02 00 07")},
        EncodeCase{"SarMsgRefNum",
                   [] {
                     return OPSubmit_SM_Get({.sar_msg_ref_num = {true, 0x1234}});
                   },
                   hex("02 0C 00 02 12 34")},
        EncodeCase{"PayloadType",
                   [] {
                     return OPSubmit_MULTI_Get({.payload_type = {true, 1}});
                   },
                   hex("00 19 00 01 01")},
        EncodeCase{"ByteZeroStillSent",
                   [] {
                     return OPData_SM_RESP_Get({.dpf_result = {true, 0}});
                   },
                   hex("04 20 00 01 00")},
        EncodeCase{"QosTimeToLiveAllBits",
                   [] {
                     return OPData_SM_Get({.qos_time_to_live = {true, 0xFFFFFFFF}});
                   },
                   hex("00 17 00 04 FF FF FF FF")},
        EncodeCase{"QosTimeToLive300",
                   [] {
                     return OPData_SM_Get({.qos_time_to_live = {true, 300}});
                   },
                   hex("00 17 00 04 00 00 01 2C")},
        EncodeCase{"AlertOnMsgDeliverySubmitSm", [] { return OPSubmit_SM_Get({.alert_on_msg_delivery = {true}}); },
                   hex("13 0C 00 00")},
        EncodeCase{"AlertOnMsgDeliverySubmitMulti",
                   [] { return OPSubmit_MULTI_Get({.alert_on_msg_delivery = {true}}); }, hex("13 0C 00 00")},
        EncodeCase{"AlertOnMsgDeliveryDataSm", [] { return OPData_SM_Get({.alert_on_msg_delivery = {true}}); },
                   hex("13 0C 00 00")},
        EncodeCase{"MessagePayload300Octets",
                   [] {
                     return OPSubmit_SM_Get({.message_payload = {true, k300}});
                   },
                   hex("04 24 01 2C") + k300},
        EncodeCase{"MessagePayloadLargestLength",
                   [] {
                     return OPData_SM_Get({.message_payload = {true, std::string(0xFFFF, 'x')}});
                   },
                   hex("04 24 FF FF") + std::string(0xFFFF, 'x')},
        EncodeCase{"EmptyStringValue",
                   [] {
                     return OPSubmit_SM_Get({.callback_num = {true, ""}});
                   },
                   hex("03 81 00 00")},
        EncodeCase{"EmptyStringValueDataSmResp",
                   [] {
                     return OPData_SM_RESP_Get({.additional_status_info_text = {true, ""}});
                   },
                   hex("00 1D 00 00")},
        EncodeCase{"StringKeepsNulsAndAddsNoTerminator",
                   [] {
                     return OPData_SM_Get({.receipted_message_id = {true, "\0AB\0"s}});
                   },
                   hex("00 1E 00 04 00 41 42 00")},
        EncodeCase{"DataSmOrderPutsSourcePortFirst",
                   [] {
                     return OPData_SM_Get({.source_port = {true, 5000}, .user_message_reference = {true, 1}});
                   },
                   hex("02 0A 00 02 13 88 02 04 00 02 00 01")},
        EncodeCase{"SubmitSmOrderPutsUserMessageReferenceFirst",
                   [] {
                     return OPSubmit_SM_Get({.user_message_reference = {true, 1}, .source_port = {true, 5000}});
                   },
                   hex("02 04 00 02 00 01 02 0A 00 02 13 88")},
        EncodeCase{"WordTopBit",
                   [] {
                     return OPSubmit_MULTI_Get({.sms_signal = {true, 0x8001}});
                   },
                   hex("12 03 00 02 80 01")}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- overlong ----------------------------------------------------------------

// For every octet-string member of an aggregate in turn: present and one octet
// beyond what the length field can say is overlong; at the limit, or absent
// with the long value, it is not.
template <class Agg>
std::size_t check_overlong_per_member(const char* name) {
  std::size_t index = 0;
  std::size_t strings = 0;
  for (;; ++index) {
    bool found = false;
    auto set_nth = [&](std::size_t len, bool present) {
      Agg a{};
      std::size_t i = 0;
      Agg::visit(a, [&](auto& m) {
        using R = std::decay_t<decltype(m)>;
        if constexpr (!std::is_same_v<R, Talert_on_message_delivery>) {
          if constexpr (std::is_same_v<typename R::value_type, AnsiString>) {
            if (i++ == index) {
              m.Field = present;
              m.Value.assign(len, 'z');
              found = true;
              return true;
            }
          }
        }
        return false;
      });
      return a;
    };
    const Agg over = set_nth(tlv::max_value_length + 1, true);
    if (!found) break;
    ++strings;
    EXPECT_TRUE(tlv::overlong(over)) << name << " string member " << index;
    EXPECT_FALSE(tlv::overlong(set_nth(tlv::max_value_length, true))) << name << " " << index;
    EXPECT_FALSE(tlv::overlong(set_nth(tlv::max_value_length + 1, false))) << name << " " << index;
  }
  return strings;
}

// The member counts make sure no octet-string member is skipped by the walk.
TEST(OverlongTest, ExactlyWhenAPresentStringExceedsTheLengthField) {
  EXPECT_EQ(tlv::max_value_length, 65535u);
  EXPECT_EQ(check_overlong_per_member<TOPBind_RESP>("BindResp"), 0u);
  EXPECT_EQ(check_overlong_per_member<TOPSubmit_SM>("SubmitSm"), 5u);
  EXPECT_EQ(check_overlong_per_member<TOPSubmit_MULTI>("SubmitMulti"), 5u);
  EXPECT_EQ(check_overlong_per_member<TOPDeliver_SM>("DeliverSm"), 6u);
  EXPECT_EQ(check_overlong_per_member<TOPData_SM>("DataSm"), 7u);
  EXPECT_EQ(check_overlong_per_member<TOPData_SM_RESP>("DataSmResp"), 2u);
}

TEST(OverlongTest, FullyPopulatedAggregatesAreNotOverlong) {
  EXPECT_FALSE(tlv::overlong(test::full_bind_resp()));
  EXPECT_FALSE(tlv::overlong(test::full_submit_sm()));
  EXPECT_FALSE(tlv::overlong(test::full_submit_multi()));
  EXPECT_FALSE(tlv::overlong(test::full_deliver_sm()));
  EXPECT_FALSE(tlv::overlong(test::full_data_sm()));
  EXPECT_FALSE(tlv::overlong(test::full_data_sm_resp()));
}

TEST(OverlongTest, OneOverlongMemberAmongShortOnes) {
  TOPData_SM a = test::full_data_sm();
  a.network_error_code.Value.assign(70000, '\x01');
  EXPECT_TRUE(tlv::overlong(a));
  a.network_error_code.Field = false;
  EXPECT_FALSE(tlv::overlong(a));
}

// The public encoders never write a length that disagrees with the octets
// after it: a value over 65535 octets leaves its record out (everything else
// as if it were absent); at 65535 octets it is written whole with FFFF.
template <class Agg, class Member>
void check_encoder_leaves_out_overlong(const char* name, AnsiString (*encode)(const Agg&), Agg full,
                                       Member Agg::*member) {
  SCOPED_TRACE(name);
  Agg without = full;
  (without.*member).Field = false;
  const AnsiString rest = encode(without);

  Agg over = full;
  (over.*member) = {true, AnsiString(tlv::max_value_length + 1, 'z')};
  EXPECT_EQ(to_hex(encode(over)), to_hex(rest));

  Agg at_limit = full;
  (at_limit.*member) = {true, AnsiString(tlv::max_value_length, 'z')};
  const AnsiString out = encode(at_limit);
  ASSERT_EQ(out.size(), rest.size() + 4 + tlv::max_value_length);
  EXPECT_NE(out.find(AnsiString("\xFF\xFF") + AnsiString(tlv::max_value_length, 'z')), AnsiString::npos);
  EXPECT_EQ(tlv::decoded<Agg>(out), at_limit);
}

TEST(OverlongTest, PublicEncodersLeaveOutARecordTheirLengthCannotDescribe) {
  check_encoder_leaves_out_overlong("OPSubmit_SM_Get", &OPSubmit_SM_Get, test::full_submit_sm(),
                                    &TOPSubmit_SM::message_payload);
  check_encoder_leaves_out_overlong("OPSubmit_MULTI_Get", &OPSubmit_MULTI_Get, test::full_submit_multi(),
                                    &TOPSubmit_MULTI::message_payload);
  check_encoder_leaves_out_overlong("OPData_SM_Get", &OPData_SM_Get, test::full_data_sm(),
                                    &TOPData_SM::message_payload);
  check_encoder_leaves_out_overlong("OPData_SM_RESP_Get", &OPData_SM_RESP_Get, test::full_data_sm_resp(),
                                    &TOPData_SM_RESP::additional_status_info_text);
}

}  // namespace
}  // namespace velmor
