// Splitting a long text into submit_sm parts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "sms/Encoding.h"
#include "sms/Result.h"

namespace velmor::sms {

inline constexpr std::uint8_t kEsmClassUdhi = 0x40;  // short_message starts with a UDH

enum class SegmentMethod : std::uint8_t {
  Udh8,     // UDH concatenation IE 0x00: 05 00 03 ref total seq
  Udh16,    // UDH concatenation IE 0x08: 06 08 04 ref_hi ref_lo total seq
  Sar,      // sar_msg_ref_num / sar_total_segments / sar_segment_seqnum
  Payload,  // the whole text in one message_payload
  // The names the session's text_request uses (session::split_method).
  udh = Udh8,
  sar = Sar,
  payload = Payload,
};

// The split methods by the names tools give them.
struct SegmentMethodName {
  std::string_view name;
  SegmentMethod method;
};
inline constexpr SegmentMethodName kSegmentMethodNames[] = {{"udh", SegmentMethod::Udh8},
                                                            {"udh16", SegmentMethod::Udh16},
                                                            {"sar", SegmentMethod::Sar},
                                                            {"payload", SegmentMethod::Payload}};

struct SarValues {
  std::uint16_t sar_msg_ref_num = 0;
  std::uint8_t sar_total_segments = 0;
  std::uint8_t sar_segment_seqnum = 0;
  friend bool operator==(const SarValues&, const SarValues&) = default;
};

struct SegmentOptions {
  SegmentMethod method = SegmentMethod::Udh8;
  // Concatenation reference shared by all parts. Udh8 accepts 0..255 only (a larger
  // value is refused rather than truncated).
  std::uint16_t reference = 0;
  // GSM text is sent packed 7-bit instead of one septet per octet. Capacities in
  // septets are the same either way.
  bool gsm_packed = false;
  // esm_class for every part; kEsmClassUdhi is added on parts that carry a UDH.
  std::uint8_t esm_class = 0;
  // SegmentText only: data_coding to use; unset picks GSM 7-bit or UCS-2.
  std::optional<std::uint8_t> data_coding;
  // SegmentText only: what to do with characters the chosen alphabet lacks.
  OnBadInput on_bad = OnBadInput::Report;
};

// One submit_sm worth of user data. For SegmentMethod::Payload, short_message is
// empty and message_payload holds the whole encoded text.
struct Part {
  std::uint8_t esm_class = 0;
  std::uint8_t data_coding = 0;
  Octets short_message;                   // UDH included when esm_class has kEsmClassUdhi
  std::optional<SarValues> sar;           // set for SegmentMethod::Sar with more than one part
  std::optional<Octets> message_payload;  // set for SegmentMethod::Payload
};

// Characters (septets, octets or UCS-2 units) one part carries: 160/140/70 for a
// single part or with sar_*, 153/134/67 after an 8-bit-reference UDH, 152/133/66 after
// a 16-bit one. Payload has no per-part limit (returns SIZE_MAX).
std::size_t PartCapacity(Alphabet alphabet, SegmentMethod method, bool multipart) noexcept;

// Encodes the text (see SegmentOptions::data_coding) and splits it. A text that fits
// one part yields one part without UDH or sar values. An escape sequence or a
// surrogate pair never straddles two parts. Fails on invalid UTF-8, on characters
// the alphabet lacks (unless on_bad is Replace), on more than 255 parts, or on an
// 8-bit reference above 255.
Result<std::vector<Part>> SegmentText(std::string_view utf8, const SegmentOptions& options = {});

// Splits already encoded user data: GSM as unpacked septets, UCS-2 as UTF-16BE, any
// other coding as plain octets (split anywhere). options.data_coding/on_bad are ignored.
Result<std::vector<Part>> SegmentOctets(std::string_view octets, std::uint8_t data_coding,
                                        const SegmentOptions& options = {});

}  // namespace velmor::sms
