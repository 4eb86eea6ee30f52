#include "session/receipts/Rules.h"

#include <algorithm>

#include "sms/Receipt.h"

namespace velmor::session::receipts {

std::string_view trim_message_id(std::string_view s) noexcept {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\0'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

namespace {

// The text's decimal and hex values, each when the text is that number and
// it fits 64 bits. An id of decimal digits alone (what most SMSCs give) is
// read in one pass for both.
struct values {
  std::optional<std::uint64_t> dec, hex;
};
values read_values(std::string_view text) noexcept {
  std::uint64_t dec = 0, hex = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return {sms::MessageIdNumber(text, 10), sms::MessageIdNumber(text, 16)};
    const auto d = static_cast<unsigned>(c - '0');
    dec = dec * 10 + d;  // wraps when it does not fit; then unused
    hex = hex * 16 + d;
  }
  // Whether each fits follows from the significant digits alone: at most 16
  // in hex, at most 20 in decimal and then not above 2^64-1.
  const std::string_view significant = text.substr(std::min(text.find_first_not_of('0'), text.size()));
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
