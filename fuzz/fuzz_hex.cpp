// libFuzzer entry: the three hexadecimal conversions.
//
// Invariants checked (abort on a breach):
//   OctetsToHex(x) is 2|x| upper-case hex digits, and HexToOctets reverses it;
//   HexToOctets(t) has floor(|t|/2) octets for any text t;
//   HexToInt of the hex of 1..4 octets is their big-endian value (as the
//   32-bit integer with the same bits), in either letter case;
//   HexToInt of arbitrary text returns.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "codec/Codec.h"

// Results the harness computes only to read every value; kept observable
// so the reads are not optimised away.
volatile velmor::Integer g_sink;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace velmor;
  const std::string_view x(reinterpret_cast<const char*>(data), size);

  const AnsiString hex = OctetsToHex(x);
  if (hex.size() != 2 * x.size()) std::abort();
  for (char c : hex)
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) std::abort();
  if (HexToOctets(hex) != x) std::abort();

  if (HexToOctets(x).size() != x.size() / 2) std::abort();
  g_sink = HexToInt(x);

  if (size >= 1 && size <= 4) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < size; ++i) v = (v << 8) | data[i];
    const auto expect = static_cast<Integer>(v);
    if (HexToInt(hex) != expect) std::abort();
    std::string lower = hex;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (HexToInt(lower) != expect) std::abort();
  }
  return 0;
}
