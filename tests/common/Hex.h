// Golden vectors in tests are written as hex text ("00 1F FF"); these two
// helpers turn such text into octets and back. Deliberately independent of the
// codec's own conversions, so a fault there cannot hide behind the helper.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace velmor::test {

// Hex digits in either case, with spaces, tabs or newlines anywhere between
// octets. An odd digit count or a non-hex character is a typo in the test and
// throws std::invalid_argument rather than yielding a silently wrong vector.
inline std::string hex(std::string_view text) {
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    throw std::invalid_argument("not a hex digit in golden vector");
  };
  std::string out;
  int high = -1;
  for (char c : text) {
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') continue;
    const int d = digit(c);
    if (high < 0) {
      high = d;
    } else {
      out.push_back(static_cast<char>((high << 4) | d));
      high = -1;
    }
  }
  if (high >= 0) throw std::invalid_argument("odd number of hex digits in golden vector");
  return out;
}

// Upper-case digits, one space between octets ("00 1F FF"), so a failing
// comparison prints the octets in the same form the golden vector is written.
inline std::string to_hex(std::string_view octets) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(octets.size() * 3);
  for (char c : octets) {
    const auto b = static_cast<unsigned char>(c);
    if (!out.empty()) out.push_back(' ');
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 0x0F]);
  }
  return out;
}

}  // namespace velmor::test
