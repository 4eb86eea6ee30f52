#include "codec/Codec.h"

#include "codec/Pdu.h"

namespace velmor {
namespace {

constexpr char kDigits[] = "0123456789ABCDEF";

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

AnsiString OctetsToHex(std::string_view octets) {
  AnsiString out(octets.size() * 2, '0');
  for (std::size_t i = 0; i < octets.size(); ++i) {
    const auto b = static_cast<unsigned char>(octets[i]);
    out[2 * i] = kDigits[b >> 4];
    out[2 * i + 1] = kDigits[b & 0x0F];
  }
  return out;
}

AnsiString HexToOctets(std::string_view hex) {
  AnsiString out(hex.size() / 2, '\0');
  for (std::size_t i = 0; i < out.size(); ++i) {
    const int hi = hex_digit(hex[2 * i]);
    const int lo = hex_digit(hex[2 * i + 1]);
    out[i] = (hi < 0 || lo < 0) ? '\0' : static_cast<char>((hi << 4) | lo);
  }
  return out;
}

Integer HexToInt(std::string_view hex) {
  if (hex.empty()) return 0;
  std::uint64_t v = 0;
  for (char c : hex) {
    const int d = hex_digit(c);
    if (d < 0) return 0;
    v = (v << 4) | static_cast<unsigned>(d);
    if (v > 0xFFFFFFFFull) return 0;  // needs more than 32 bits: not accepted
  }
  return static_cast<Integer>(static_cast<std::uint32_t>(v));
}

namespace codec {

AnsiString build_pdu(Cardinal id, Cardinal status, Cardinal seq, std::string_view mandatory,
                     std::string_view optional) {
  AnsiString out;
  begin_pdu(out, id, status, seq, mandatory.size() + optional.size());
  out.append(mandatory);
  out.append(optional);
  end_pdu(out);
  return out;
}

}  // namespace codec
}  // namespace velmor
