// The one place that says which receipt id names which remembered message_id.
// Pure: no I/O, no clock.
//
// An id (blanks and NULs around it ignored) is read as text, as a decimal
// number when it is all digits, and as a hexadecimal number when it is all
// hex digits after an optional 0x, each only when the value fits 64 bits.
// An entry is indexed under each of its readings; a receipt looks up its
// readings in this order, and the first key that names an entry wins:
//   1. the same text;
//   2. the same value read in the same base (leading zeros, letter case, 0x);
//   3. the receipt's decimal value as the entry's hex value (SMSCs that answer
//      submit_sm_resp in hex and write the receipt's id: in decimal);
//   4. the receipt's hex value as the entry's decimal value (the reverse).
// A number indexes the first entry remembered under it (later ones with the
// same number are found by their own text only).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velmor::session::receipts {

// An id's readings, in the order they are tried: the trimmed text, then
// numbers, each to be looked for among the entries' decimal ('d') or hex
// ('h') readings. The string keys below and the memory store's indexes are
// both made from these.
struct reading {
  char index;  // 'd': among entries' decimal values, 'h': among their hex values
  std::uint64_t value;
};
struct readings {
  std::string_view text;  // empty: no id
  std::array<reading, 4> numbers{};
  std::size_t count = 0;
};
readings index_readings(std::string_view message_id);   // what an entry is kept under
readings lookup_readings(std::string_view receipt_id);  // what a receipt looks for, in rule order

// Keys are short texts: "=" + id, "d" + decimal value, "h" + hex value (in
// decimal digits). At most five; unused ones are empty.
struct key_list {
  std::array<std::string, 5> keys;
  std::size_t size = 0;
  const std::string* begin() const { return keys.data(); }
  const std::string* end() const { return keys.data() + size; }
};

// The id without the blanks (space, tab, CR, LF, NUL) around it. Inline:
// every remember and take trims, and nearly every id has nothing to trim.
inline std::string_view trim_message_id(std::string_view s) noexcept {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\0'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

// A number's key: its index letter and its value in decimal digits ("d42").
std::string number_key(const reading& r);

// The keys an entry with this message_id is kept under: the text first.
// Empty when the trimmed id is empty.
key_list index_keys(std::string_view message_id);

// The keys a receipt naming this id looks up, in rule order.
key_list lookup_keys(std::string_view receipt_id);

}  // namespace velmor::session::receipts
