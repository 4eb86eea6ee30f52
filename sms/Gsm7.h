// GSM 03.38 default alphabet and its extension table (reached through escape 0x1B).
//
// Two forms are handled:
//  - unpacked septets: one septet per octet (high bit 0), the usual SMPP form for
//    data_coding 0x00;
//  - packed 7-bit: septets packed LSB first, optionally preceded by fill bits so the
//    first septet starts on a septet boundary after a UDH.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "sms/Result.h"

namespace velmor::sms {

inline constexpr std::uint8_t kGsmEscape = 0x1B;
inline constexpr std::uint8_t kGsmCarriageReturn = 0x0D;

// The code point a default-table septet stands for (0x1B yields nullopt), and the one
// an extension-table septet stands for after the escape (nullopt when undefined).
std::optional<char32_t> GsmDefaultChar(std::uint8_t septet) noexcept;
std::optional<char32_t> GsmExtensionChar(std::uint8_t septet) noexcept;

// Septets for a code point: 1 for the default table, 2 (escape + code) for the
// extension table, 0 when the character is not representable.
struct GsmCode {
  std::uint8_t length = 0;
  std::uint8_t septets[2] = {0, 0};
};
GsmCode GsmCodeFor(char32_t cp) noexcept;

// UTF-8 -> unpacked septets. With OnBadInput::Replace an unrepresentable character
// becomes '?'; invalid UTF-8 is always reported.
Result<Octets> Utf8ToGsm7(std::string_view utf8, OnBadInput on_bad = OnBadInput::Report);

// Septet count of the text in GSM 7-bit (extension characters count 2), or nullopt if
// the text is not valid UTF-8 or holds a character outside both tables.
std::optional<std::size_t> Gsm7Length(std::string_view utf8) noexcept;

// Unpacked septets -> UTF-8. An escape followed by a code the extension table does not
// define decodes as that code's default-table character; a trailing escape decodes as
// a space. Octets above 0x7F are reported (Report) or become U+FFFD (Replace); the
// error index/offset is the octet position.
Result<std::string> Gsm7ToUtf8(std::string_view septets, OnBadInput on_bad = OnBadInput::Report);

// Packs unpacked septets (only the low 7 bits of each octet are used) after fill_bits
// (0..6) zero bits. When the last octet would have 7 spare bits they carry <CR>; when
// the text itself ends with <CR> exactly on an octet boundary another <CR> is added, so
// an unpacker without the septet count neither invents an '@' nor loses the <CR>.
Octets PackSeptets(std::string_view septets, unsigned fill_bits = 0);

// Octets PackSeptets produces for `count` septets whose last one is <CR> or not.
std::size_t PackedLength(std::size_t count, unsigned fill_bits, bool last_is_cr) noexcept;

// Unpacks septets that start after fill_bits (0..6) bits. With septet_count (clamped to
// what the octets hold) exactly that many are returned; without it every whole septet
// is returned, except a final <CR> that exactly fills the last 7 bits (the padding
// PackSeptets adds).
Octets UnpackSeptets(std::string_view packed, unsigned fill_bits = 0,
                     std::optional<std::size_t> septet_count = std::nullopt);

}  // namespace velmor::sms
