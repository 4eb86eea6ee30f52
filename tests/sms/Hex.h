// Hex helpers for golden vectors.
#pragma once

#include <string>
#include <string_view>

namespace velmor::sms::test {

inline std::string FromHex(std::string_view hex) {
  std::string out;
  auto nib = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
  for (std::size_t i = 0; i + 1 < hex.size();) {
    if (hex[i] == ' ') { ++i; continue; }
    out += static_cast<char>(nib(hex[i]) * 16 + nib(hex[i + 1]));
    i += 2;
  }
  return out;
}

inline std::string ToHex(std::string_view bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (unsigned char b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

} // namespace velmor::sms::test
