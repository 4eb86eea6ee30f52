// Shared data for the optional-parameter tests: the protocol's tag table per
// aggregate, one fully populated value per aggregate, and a TLV walker that
// does not use the library's decoder.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/Hex.h"
#include "tlv/Tlv.h"

namespace velmor::test {

using namespace std::string_literals;

// Tags of each aggregate in wire order, as the protocol lists them.
inline const std::vector<Word> kBindRespTags = {0x0210};

inline const std::vector<Word> kSubmitSmTags = {
    0x0204, 0x020A, 0x000D, 0x020B, 0x0005, 0x020C, 0x020E, 0x020F, 0x0426, 0x0019, 0x0424, 0x0201, 0x0381, 0x0302,
    0x0303, 0x0202, 0x0203, 0x0205, 0x1201, 0x1203, 0x1204, 0x0030, 0x0304, 0x130C, 0x020D, 0x1380, 0x1383, 0x0501};

inline const std::vector<Word> kSubmitMultiTags = {0x0204, 0x020A, 0x000D, 0x020B, 0x0005, 0x020C, 0x020E, 0x020F,
                                                   0x0019, 0x0424, 0x0201, 0x0381, 0x0302, 0x0303, 0x0202, 0x0203,
                                                   0x1201, 0x1203, 0x1204, 0x0030, 0x130C, 0x020D};

inline const std::vector<Word> kDeliverSmTags = {0x0204, 0x020A, 0x020B, 0x020C, 0x020E, 0x020F,
                                                 0x0205, 0x0201, 0x0019, 0x0424, 0x0381, 0x0202,
                                                 0x0203, 0x020D, 0x1383, 0x0423, 0x0427, 0x001E};

inline const std::vector<Word> kDataSmTags = {
    0x020A, 0x000D, 0x000E, 0x000F, 0x0010, 0x020B, 0x0005, 0x0006, 0x0007, 0x0008, 0x020C, 0x020E, 0x020F,
    0x0426, 0x0017, 0x0019, 0x0424, 0x0421, 0x001E, 0x0427, 0x0423, 0x0204, 0x0201, 0x0381, 0x0302, 0x0303,
    0x0202, 0x0203, 0x0205, 0x1201, 0x1203, 0x1204, 0x0030, 0x0304, 0x130C, 0x020D, 0x1380, 0x1383};

inline const std::vector<Word> kDataSmRespTags = {0x0425, 0x0423, 0x001D, 0x0420};

// Which aggregates carry each parameter (B bind_resp, S submit_sm,
// M submit_multi, D deliver_sm, T data_sm, R data_sm_resp), in tag order.
inline const std::vector<std::pair<Word, const char*>> kCarriedBy = {
    {0x0005, "SMT"},  {0x0006, "T"},    {0x0007, "T"},    {0x0008, "T"},    {0x000D, "SMT"},  {0x000E, "T"},
    {0x000F, "T"},    {0x0010, "T"},    {0x0017, "T"},    {0x0019, "SMDT"}, {0x001D, "R"},    {0x001E, "DT"},
    {0x0030, "SMT"},  {0x0201, "SMDT"}, {0x0202, "SMDT"}, {0x0203, "SMDT"}, {0x0204, "SMDT"}, {0x0205, "SDT"},
    {0x020A, "SMDT"}, {0x020B, "SMDT"}, {0x020C, "SMDT"}, {0x020D, "SMDT"}, {0x020E, "SMDT"}, {0x020F, "SMDT"},
    {0x0210, "B"},    {0x0302, "SMT"},  {0x0303, "SMT"},  {0x0304, "ST"},   {0x0381, "SMDT"}, {0x0420, "R"},
    {0x0421, "T"},    {0x0423, "DTR"},  {0x0424, "SMDT"}, {0x0425, "R"},    {0x0426, "ST"},   {0x0427, "DT"},
    {0x0501, "S"},    {0x1201, "SMT"},  {0x1203, "SMT"},  {0x1204, "SMT"},  {0x130C, "SMT"},  {0x1380, "ST"},
    {0x1383, "SDT"}};

// One distinctive value per parameter, the same in every aggregate, so each
// TLV of the golden vectors below can be told apart.
inline TOPBind_RESP full_bind_resp() { return {.sc_interface_version = {true, 0x34}}; }

inline TOPSubmit_SM full_submit_sm() {
  return {
      .user_message_reference = {true, 0x0102},
      .source_port = {true, 0x1388},
      .source_addr_subunit = {true, 0x11},
      .destination_port = {true, 0x1F90},
      .dest_addr_subunit = {true, 0x12},
      .sar_msg_ref_num = {true, 0x1234},
      .sar_total_segments = {true, 0x13},
      .sar_segment_seqnum = {true, 0x14},
      .more_messages_to_send = {true, 0x15},
      .payload_type = {true, 0x16},
      .message_payload = {true, "PAY"},
      .privacy_indicator = {true, 0x17},
      .callback_num = {true, "123"},
      .callback_num_pres_ind = {true, 0x18},
      .callback_num_atag = {true, "AT"},
      .source_subaddress = {true, "\xA0S"},
      .dest_subaddress = {true,
                          "\xA0"
                          "D"},
      .user_response_code = {true, 0x19},
      .display_time = {true, 0x1A},
      .sms_signal = {true, 0xA1B2},
      .ms_validity = {true, 0x1B},
      .ms_msg_wait_facilities = {true, 0x1C},
      .number_of_messages = {true, 0x1D},
      .alert_on_msg_delivery = {true},
      .language_indicator = {true, 0x1E},
      .its_reply_type = {true, 0x1F},
      .its_session_info = {true, 0xC3D4},
      .ussd_service_op = {true, 0x20},
  };
}

inline TOPSubmit_MULTI full_submit_multi() {
  return {
      .user_message_reference = {true, 0x0102},
      .source_port = {true, 0x1388},
      .source_addr_subunit = {true, 0x11},
      .destination_port = {true, 0x1F90},
      .dest_addr_subunit = {true, 0x12},
      .sar_msg_ref_num = {true, 0x1234},
      .sar_total_segments = {true, 0x13},
      .sar_segment_seqnum = {true, 0x14},
      .payload_type = {true, 0x16},
      .message_payload = {true, "PAY"},
      .privacy_indicator = {true, 0x17},
      .callback_num = {true, "123"},
      .callback_num_pres_ind = {true, 0x18},
      .callback_num_atag = {true, "AT"},
      .source_subaddress = {true, "\xA0S"},
      .dest_subaddress = {true,
                          "\xA0"
                          "D"},
      .display_time = {true, 0x1A},
      .sms_signal = {true, 0xA1B2},
      .ms_validity = {true, 0x1B},
      .ms_msg_wait_facilities = {true, 0x1C},
      .alert_on_msg_delivery = {true},
      .language_indicator = {true, 0x1E},
  };
}

inline TOPDeliver_SM full_deliver_sm() {
  return {
      .user_message_reference = {true, 0x0102},
      .source_port = {true, 0x1388},
      .destination_port = {true, 0x1F90},
      .sar_msg_ref_num = {true, 0x1234},
      .sar_total_segments = {true, 0x13},
      .sar_segment_seqnum = {true, 0x14},
      .user_response_code = {true, 0x19},
      .privacy_indicator = {true, 0x17},
      .payload_type = {true, 0x16},
      .message_payload = {true, "PAY"},
      .callback_num = {true, "123"},
      .source_subaddress = {true, "\xA0S"},
      .dest_subaddress = {true,
                          "\xA0"
                          "D"},
      .language_indicator = {true, 0x1E},
      .its_session_info = {true, 0xC3D4},
      .network_error_code = {true, "\x03\x00\x2A"s},
      .message_state = {true, 0x27},
      .receipted_message_id = {true, "MID\0"s},
  };
}

inline TOPData_SM full_data_sm() {
  return {
      .source_port = {true, 0x1388},
      .source_addr_subunit = {true, 0x11},
      .source_network_type = {true, 0x21},
      .source_bearer_type = {true, 0x22},
      .source_telematics_id = {true, 0x23},
      .destination_port = {true, 0x1F90},
      .dest_addr_subunit = {true, 0x12},
      .dest_network_type = {true, 0x24},
      .dest_bearer_type = {true, 0x25},
      .dest_telematics_id = {true, 0xE5F6},
      .sar_msg_ref_num = {true, 0x1234},
      .sar_total_segments = {true, 0x13},
      .sar_segment_seqnum = {true, 0x14},
      .more_messages_to_send = {true, 0x15},
      .qos_time_to_live = {true, 0x80000001},
      .payload_type = {true, 0x16},
      .message_payload = {true, "PAY"},
      .set_dpf = {true, 0x26},
      .receipted_message_id = {true, "MID\0"s},
      .message_state = {true, 0x27},
      .network_error_code = {true, "\x03\x00\x2A"s},
      .user_message_reference = {true, 0x0102},
      .privacy_indicator = {true, 0x17},
      .callback_num = {true, "123"},
      .callback_num_pres_ind = {true, 0x18},
      .callback_num_atag = {true, "AT"},
      .source_subaddress = {true, "\xA0S"},
      .dest_subaddress = {true,
                          "\xA0"
                          "D"},
      .user_response_code = {true, 0x19},
      .display_time = {true, 0x1A},
      .sms_signal = {true, 0xA1B2},
      .ms_validity = {true, 0x1B},
      .ms_msg_wait_facilities = {true, 0x1C},
      .number_of_messages = {true, 0x1D},
      .alert_on_msg_delivery = {true},
      .language_indicator = {true, 0x1E},
      .its_reply_type = {true, 0x1F},
      .its_session_info = {true, 0xC3D4},
  };
}

inline TOPData_SM_RESP full_data_sm_resp() {
  return {
      .delivery_failure_reason = {true, 0x28},
      .network_error_code = {true, "\x03\x00\x2A"s},
      .additional_status_info_text = {true, "fail"},
      .dpf_result = {true, 0x29},
  };
}

// One TLV as seen on the wire, split without the library's decoder. Expects
// a well-formed sequence (the encoders' output).
struct WireTlv {
  Word tag;
  std::string value;
};

inline std::vector<WireTlv> split_tlvs(std::string_view s) {
  std::vector<WireTlv> out;
  auto u16 = [&s](std::size_t i) {
    return static_cast<Word>((static_cast<unsigned char>(s[i]) << 8) | static_cast<unsigned char>(s[i + 1]));
  };
  std::size_t i = 0;
  while (i + 4 <= s.size()) {
    const Word tag = u16(i);
    const Word len = u16(i + 2);
    out.push_back({tag, std::string(s.substr(i + 4, len))});
    i += 4 + len;
  }
  return out;
}

inline std::vector<Word> wire_tags(std::string_view s) {
  std::vector<Word> out;
  for (const auto& t : split_tlvs(s)) out.push_back(t.tag);
  return out;
}

// Tags of the members whose Field is set, in member order.
template <class Agg>
std::vector<Word> present_tags(const Agg& agg) {
  std::vector<Word> out;
  Agg::visit(agg, [&out](const auto& m) {
    if (m.Field) out.push_back(std::decay_t<decltype(m)>::tag);
    return false;
  });
  return out;
}

// The library's encoding of any aggregate, including the two that only
// travel towards the application and so have no _Get encoder.
template <class Agg>
std::string encode(const Agg& agg) {
  std::string out;
  tlv::append(out, agg);
  return out;
}

}  // namespace velmor::test
