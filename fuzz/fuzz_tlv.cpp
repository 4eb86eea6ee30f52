// libFuzzer entry: the optional-parameter decoders. The first octet picks the
// aggregate; the rest is the octets after a PDU's mandatory fields.
//
// Besides never reading past the input, a decoded aggregate must survive
// encoding: decode(encode(a)) == a for every a the decoder produced, and the
// encoder writes exactly encoded_size(a) octets. A mismatch aborts.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "tlv/Tlv.h"

namespace {

using namespace velmor;

template <class Agg>
void round_trip(const Agg& decoded) {
  std::string wire;
  tlv::append(wire, decoded);
  if (wire.size() != tlv::encoded_size(decoded)) std::abort();
  if (tlv::overlong(decoded)) std::abort();  // values came from a 16-bit length
  Agg again{};
  tlv::decode(wire, again);
  if (!(again == decoded)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view in(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 6) {
    case 0: round_trip(OPBind_RESP_Set(in)); break;
    case 1: round_trip(OPDeliver_SM_Set(in)); break;
    case 2: round_trip(OPData_SM_SM_Set(in)); break;
    case 3: round_trip(OPData_SM_RESP_Set(in)); break;
    case 4: {
      TOPSubmit_SM a{};
      tlv::decode(in, a);
      round_trip(a);
      break;
    }
    default: {
      TOPSubmit_MULTI a{};
      tlv::decode(in, a);
      round_trip(a);
      break;
    }
  }
  return 0;
}
