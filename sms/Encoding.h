// Text <-> short_message octets for the data_coding values SMPP clients meet in
// practice, and the choice of coding for an outgoing text.
#pragma once

#include <cstdint>
#include <string_view>

#include "sms/Result.h"

namespace velmor::sms {

// SMPP 3.4 data_coding values this library produces.
namespace data_coding {
inline constexpr std::uint8_t kDefault = 0x00;  // SMSC default alphabet, taken as GSM 03.38
inline constexpr std::uint8_t kIa5 = 0x01;      // IA5 / ASCII
inline constexpr std::uint8_t kOctet = 0x02;    // 8-bit binary (unspecified)
inline constexpr std::uint8_t kLatin1 = 0x03;   // ISO-8859-1
inline constexpr std::uint8_t kBinary = 0x04;   // 8-bit binary
inline constexpr std::uint8_t kUcs2 = 0x08;     // UCS-2, sent as UTF-16BE
}  // namespace data_coding

enum class Alphabet : std::uint8_t { Gsm7, Ascii, Latin1, Ucs2, Binary, Unsupported };

// The alphabets a text can be sent in, by the names tools give them, with the
// data_coding this library sends each with.
struct AlphabetName {
  std::string_view name;
  Alphabet alphabet;
  std::uint8_t data_coding;
};
inline constexpr AlphabetName kAlphabetNames[] = {{"gsm", Alphabet::Gsm7, data_coding::kDefault},
                                                  {"ascii", Alphabet::Ascii, data_coding::kIa5},
                                                  {"latin1", Alphabet::Latin1, data_coding::kLatin1},
                                                  {"ucs2", Alphabet::Ucs2, data_coding::kUcs2},
                                                  {"binary", Alphabet::Binary, data_coding::kBinary}};

// The data_coding an alphabet is sent with; kBinary for Binary and Unsupported.
constexpr std::uint8_t DataCodingOf(Alphabet a) noexcept {
  for (const auto& e : kAlphabetNames)
    if (e.alphabet == a) return e.data_coding;
  return data_coding::kBinary;
}

// How a data_coding value's user data is to be read: the SMPP values 0x00..0x0F, the
// GSM general data coding group (0x00..0x3F with bits 3-2; compressed -> Unsupported),
// message-waiting groups 0xC0..0xEF and the 0xF0..0xFF class group.
Alphabet AlphabetOf(std::uint8_t data_coding) noexcept;

// UTF-8 -> UCS-2 as UTF-16BE; characters above U+FFFF become surrogate pairs.
// Invalid UTF-8 is reported.
Result<Octets> Utf8ToUcs2(std::string_view utf8);

// UTF-16BE -> UTF-8. An unpaired surrogate or a dangling odd octet is reported, or
// with OnBadInput::Replace becomes U+FFFD. Error index = 16-bit unit, offset = octet.
Result<std::string> Ucs2ToUtf8(std::string_view octets, OnBadInput on_bad = OnBadInput::Report);

// UTF-8 -> ISO-8859-1 (U+0000..U+00FF); others reported or replaced by '?'.
Result<Octets> Utf8ToLatin1(std::string_view utf8, OnBadInput on_bad = OnBadInput::Report);
std::string Latin1ToUtf8(std::string_view octets);

// UTF-8 -> IA5/ASCII (U+0000..U+007F); others reported or replaced by '?'.
Result<Octets> Utf8ToAscii(std::string_view utf8, OnBadInput on_bad = OnBadInput::Report);

struct EncodedText {
  std::uint8_t data_coding = data_coding::kDefault;
  Alphabet alphabet = Alphabet::Gsm7;
  Octets octets;  // GSM: unpacked septets, one per octet
};

// GSM 7-bit (data_coding 0x00) when every character is in the default or extension
// table, UCS-2 (0x08) otherwise. Fails only on invalid UTF-8.
Result<EncodedText> ChooseEncoding(std::string_view utf8);

// Encodes with the alphabet AlphabetOf(data_coding) names (GSM as unpacked septets).
// Binary/Unsupported codings are refused with ErrorCode::UnsupportedCoding.
Result<EncodedText> EncodeText(std::string_view utf8, std::uint8_t data_coding, OnBadInput on_bad = OnBadInput::Report);

struct DecodeOptions {
  OnBadInput on_bad = OnBadInput::Report;
  bool gsm_packed = false;  // GSM user data is packed 7-bit (no fill bits) rather than unpacked
};

// short_message / message_payload octets (UDH already removed) -> UTF-8.
Result<std::string> DecodeText(std::string_view octets, std::uint8_t data_coding, const DecodeOptions& options = {});

}  // namespace velmor::sms
