// A forward-only reader over a fuzz input, for harnesses that build their
// arguments from the fuzzer's bytes. Every read is defined whatever is left:
// integers read as 0 and strings as empty once the input is used up, so a
// harness never needs a length check of its own.
//
// Deliberately not FuzzedDataProvider: the same harness sources are built by
// g++ for the corpus replay in the ordinary test suite, where clang's fuzzer
// headers are not on the include path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace velmor::fuzz {

class FuzzInput {
 public:
  FuzzInput(const std::uint8_t* data, std::size_t size) : rest_(reinterpret_cast<const char*>(data), size) {}

  bool empty() const { return rest_.empty(); }
  std::size_t size() const { return rest_.size(); }

  std::uint8_t u8() {
    if (rest_.empty()) return 0;
    const auto b = static_cast<std::uint8_t>(rest_.front());
    rest_.remove_prefix(1);
    return b;
  }
  std::uint16_t u16() { return static_cast<std::uint16_t>((u8() << 8) | u8()); }
  std::uint32_t u32() { return (std::uint32_t(u16()) << 16) | u16(); }
  bool flag() { return (u8() & 1) != 0; }

  // Up to n octets (fewer when the input ends first).
  std::string_view octets(std::size_t n) {
    const std::string_view v = rest_.substr(0, n);
    rest_.remove_prefix(v.size());
    return v;
  }
  // An octet string whose length is given by the next octet (0..255).
  std::string text() { return std::string(octets(u8())); }
  // Everything not read yet.
  std::string_view rest() {
    const std::string_view v = rest_;
    rest_ = {};
    return v;
  }

 private:
  std::string_view rest_;
};

}  // namespace velmor::fuzz
