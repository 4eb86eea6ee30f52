// Field encodings of SMPP 3.4: big-endian integers, C-Octet Strings and
// Octet Strings, plus the three hexadecimal conversions.
//
// Everything here is a pure function over bytes: no I/O, no state, no
// allocation beyond the strings returned. Writers append to a caller's string
// so a PDU is built in one buffer; readers consume from a Cursor, a view over
// the received octets, so decoding never copies or erases a prefix.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

#include "codec/Types.h"

namespace velmor {

// Upper-case hex text, two digits per octet; empty in, empty out.
AnsiString OctetsToHex(std::string_view octets);
// Pairs of hex digits (either case) from the left give one octet each; an odd
// last digit is ignored; a pair that is not valid hex gives 0x00.
AnsiString HexToOctets(std::string_view hex);
// The text as one hex number. Empty or non-hex text gives 0, and so does a
// number that needs more than 32 bits; eight digits from 80000000 up give the
// negative integer with the same bits.
Integer HexToInt(std::string_view hex);

namespace codec {

// ---- writing ---------------------------------------------------------------

inline void put_u8(std::string& out, Byte v) { out.push_back(static_cast<char>(v)); }

inline void put_u16(std::string& out, Word v) {
  const char b[2] = {static_cast<char>(v >> 8), static_cast<char>(v)};
  out.append(b, 2);
}

inline void put_u32(std::string& out, Cardinal v) {
  const char b[4] = {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
                     static_cast<char>(v)};
  out.append(b, 4);
}

// Overwrites four octets at pos (used to patch command_length in place).
inline void store_u32(std::string& out, std::size_t pos, Cardinal v) {
  out[pos] = static_cast<char>(v >> 24);
  out[pos + 1] = static_cast<char>(v >> 16);
  out[pos + 2] = static_cast<char>(v >> 8);
  out[pos + 3] = static_cast<char>(v);
}

// The text's octets unchanged, then one NUL. A NUL inside the text is written
// as is and ends the field for any reader; the writer does not look for it.
inline void put_cstring(std::string& out, std::string_view s) {
  out.append(s);
  out.push_back('\0');
}

inline void put_octets(std::string& out, std::string_view s) { out.append(s); }

// Writes fields into octets the caller has already sized, so that building a
// PDU costs one resize instead of a capacity check per field. The caller
// computes the exact size first; a debug build checks every write against
// the room the writer was given (a release build does not).
class Writer {
 public:
  Writer(char* at, std::size_t room) : p_(at) {
#ifndef NDEBUG
    end_ = at + room;
#else
    (void)room;
#endif
  }
  void u8(Byte v) {
    check(1);
    *p_++ = static_cast<char>(v);
  }
  void u16(Word v) {
    check(2);
    p_[0] = static_cast<char>(v >> 8);
    p_[1] = static_cast<char>(v);
    p_ += 2;
  }
  void u32(Cardinal v) {
    check(4);
    p_[0] = static_cast<char>(v >> 24);
    p_[1] = static_cast<char>(v >> 16);
    p_[2] = static_cast<char>(v >> 8);
    p_[3] = static_cast<char>(v);
    p_ += 4;
  }
  // As put_cstring: the octets unchanged, then one NUL.
  void cstring(std::string_view s) {
    octets(s);
    u8(0);
  }
  void octets(std::string_view s) {
    check(s.size());
    if (!s.empty()) std::memcpy(p_, s.data(), s.size());
    p_ += s.size();
  }
  [[nodiscard]] char* position() const { return p_; }

 private:
  void check([[maybe_unused]] std::size_t n) const {
    assert(static_cast<std::size_t>(end_ - p_) >= n && "codec::Writer: write past the octets sized for it");
  }
  char* p_;
#ifndef NDEBUG
  char* end_ = nullptr;
#endif
};

// Big-endian value of up to 8 octets, read the way the hex conversions read
// it: the value of the octets present (fewer octets give a smaller value, none
// gives 0), and 0 when the number needs more than 32 bits.
inline Cardinal be_value(std::string_view v) {
  std::size_t i = 0;
  while (v.size() - i > 4) {
    if (v[i] != '\0') return 0;
    ++i;
  }
  Cardinal r = 0;
  for (; i < v.size(); ++i) r = (r << 8) | static_cast<unsigned char>(v[i]);
  return r;
}

// ---- reading ---------------------------------------------------------------

// A cursor over the remaining body. Every read removes what it used and never
// reads past the end: missing octets read as 0 or as an empty field.
class Cursor {
 public:
  constexpr Cursor() = default;
  constexpr explicit Cursor(std::string_view rest) : rest_(rest) {}

  [[nodiscard]] bool empty() const { return rest_.empty(); }
  [[nodiscard]] std::size_t size() const { return rest_.size(); }
  [[nodiscard]] std::string_view rest() const { return rest_; }

  // Integer of n octets (1, 2 or 4): the value of the octets present,
  // big-endian; 0 when none is left.
  Cardinal uint(std::size_t n) {
    const std::size_t k = n < rest_.size() ? n : rest_.size();
    Cardinal r = 0;
    for (std::size_t i = 0; i < k; ++i) r = (r << 8) | static_cast<unsigned char>(rest_[i]);
    rest_.remove_prefix(k);
    return r;
  }
  // The common case, all octets present, is one load: the header's four
  // fields and every TLV tag and length are read this way.
  Cardinal u32() {
    if (rest_.size() < 4) return uint(4);
    const auto* p = reinterpret_cast<const unsigned char*>(rest_.data());
    const Cardinal r = Cardinal{p[0]} << 24 | Cardinal{p[1]} << 16 | Cardinal{p[2]} << 8 | Cardinal{p[3]};
    rest_.remove_prefix(4);
    return r;
  }
  Word u16() {
    if (rest_.size() < 2) return static_cast<Word>(uint(2));
    const auto* p = reinterpret_cast<const unsigned char*>(rest_.data());
    const Word r = static_cast<Word>(p[0] << 8 | p[1]);
    rest_.remove_prefix(2);
    return r;
  }

  // One-octet mandatory field; 0 when the body is already used up.
  Byte u8() {
    if (rest_.empty()) return 0;
    const Byte b = static_cast<unsigned char>(rest_.front());
    rest_.remove_prefix(1);
    return b;
  }

  // C-Octet String: the octets before the first NUL, removed with the NUL.
  // With no NUL left the field is empty and nothing is removed.
  std::string_view cstring() {
    if (!rest_.empty() && rest_.front() == '\0') {  // an empty field, the usual service_type or time
      const std::string_view field = rest_.substr(0, 0);
      rest_.remove_prefix(1);
      return field;
    }
    const std::size_t nul = rest_.find('\0');
    if (nul == std::string_view::npos) return {};
    const std::string_view field = rest_.substr(0, nul);
    rest_.remove_prefix(nul + 1);
    return field;
  }

  // Octet String of length len: that many octets, or all that remain.
  std::string_view octets(std::size_t len) {
    const std::string_view field = rest_.substr(0, len);
    rest_.remove_prefix(field.size());
    return field;
  }

 private:
  std::string_view rest_;
};

}  // namespace codec
}  // namespace velmor
