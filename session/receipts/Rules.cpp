#include "session/receipts/Rules.h"

#include <bit>
#include <cstring>

#include <algorithm>

#include "sms/Receipt.h"

namespace velmor::session::receipts {

namespace {

// The text's decimal and hex values, each when the text is that number and
// it fits 64 bits. An id of decimal digits alone (what most SMSCs give) is
// read in one pass for both.
struct values {
  std::optional<std::uint64_t> dec, hex;
};
// Eight decimal digits (one per octet, the first in the lowest, each 0-9)
// as their decimal value and as eight hex nibbles.
std::uint64_t eight_dec(std::uint64_t d) noexcept {
  d = (d * 10 + (d >> 8)) & 0x00FF00FF00FF00FFULL;
  d = (d * 100 + (d >> 16)) & 0x0000FFFF0000FFFFULL;
  return (d * 10000 + (d >> 32)) & 0xFFFFFFFFULL;
}
std::uint64_t eight_hex(std::uint64_t d) noexcept {
  d = (d << 4 | d >> 8) & 0x00FF00FF00FF00FFULL;
  d = (d << 8 | d >> 16) & 0x0000FFFF0000FFFFULL;
  return (d << 16 | d >> 32) & 0xFFFFFFFFULL;
}

values read_values(std::string_view text) noexcept {
  std::uint64_t dec = 0, hex = 0;
  std::size_t i = 0;
  if constexpr (std::endian::native == std::endian::little) {
    // Eight digits at a time: most ids are ten to twenty digits long.
    for (; i + 8 <= text.size(); i += 8) {
      std::uint64_t w;
      std::memcpy(&w, text.data() + i, 8);
      constexpr std::uint64_t high = 0xF0F0F0F0F0F0F0F0ULL;
      if (((w & high) | (((w + 0x0606060606060606ULL) & high) >> 4)) != 0x3333333333333333ULL) break;
      const std::uint64_t d = w - 0x3030303030303030ULL;
      dec = dec * 100'000'000 + eight_dec(d);  // wraps as the digit at a time below does
      hex = hex << 32 | eight_hex(d);
    }
  }
  for (const char c : text.substr(i)) {
    if (c < '0' || c > '9') return {sms::MessageIdNumber(text, 10), sms::MessageIdNumber(text, 16)};
    const auto d = static_cast<unsigned>(c - '0');
    dec = dec * 10 + d;  // wraps when it does not fit; then unused
    hex = hex * 16 + d;
  }
  // Whether each fits follows from the significant digits alone: at most 16
  // in hex, at most 20 in decimal and then not above 2^64-1.
  const std::string_view significant =
      text.front() != '0' ? text : text.substr(std::min(text.find_first_not_of('0'), text.size()));
  values v;
  if (significant.size() < 20 || (significant.size() == 20 && significant <= "18446744073709551615")) v.dec = dec;
  if (significant.size() <= 16) v.hex = hex;
  return v;
}

}  // namespace

readings index_readings(std::string_view message_id) {
  readings r;
  r.text = trim_message_id(message_id);
  if (r.text.empty()) return r;
  const values v = read_values(r.text);
  if (v.dec) r.numbers[r.count++] = {'d', *v.dec};
  if (v.hex) r.numbers[r.count++] = {'h', *v.hex};
  return r;
}

readings lookup_readings(std::string_view receipt_id) {
  readings r;
  r.text = trim_message_id(receipt_id);
  if (r.text.empty()) return r;
  const auto [dec, hex] = read_values(r.text);
  if (dec) r.numbers[r.count++] = {'d', *dec};  // the same base
  if (hex) r.numbers[r.count++] = {'h', *hex};
  if (dec) r.numbers[r.count++] = {'h', *dec};  // decimal receipt, hex response
  if (hex) r.numbers[r.count++] = {'d', *hex};  // the reverse
  return r;
}

std::string number_key(const reading& r) {
  std::string k(1, r.index);
  k.append(std::to_string(r.value));
  return k;
}

namespace {

key_list keys(const readings& r) {
  key_list k;
  if (r.text.empty()) return k;
  std::string& t = k.keys[k.size++];
  t.reserve(r.text.size() + 1);
  t.push_back('=');
  t.append(r.text);
  for (std::size_t i = 0; i < r.count; ++i) {
    k.keys[k.size++] = number_key(r.numbers[i]);
  }
  return k;
}

}  // namespace

key_list index_keys(std::string_view message_id) { return keys(index_readings(message_id)); }

key_list lookup_keys(std::string_view receipt_id) { return keys(lookup_readings(receipt_id)); }

}  // namespace velmor::session::receipts
