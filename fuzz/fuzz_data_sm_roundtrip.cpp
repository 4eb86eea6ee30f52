// libFuzzer entry: encode then decode the optional parameters of data_sm and
// data_sm_resp. The fuzzer's octets choose which members are present and
// their values; OPData_SM_Get / OPData_SM_RESP_Get encode, OPData_SM_SM_Set /
// OPData_SM_RESP_Set decode, and the result must equal what was encoded.
// A mismatch aborts.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <type_traits>

#include "FuzzInput.h"
#include "tlv/Tlv.h"

namespace {

using namespace velmor;

// Each member: one presence octet, then (when present) its value; strings
// take a 2-octet length so values past 255 octets are reached too.
template <class Agg>
Agg build(fuzz::FuzzInput& in) {
  Agg a{};
  Agg::visit(a, [&in](auto& m) {
    using R = std::decay_t<decltype(m)>;
    if (!in.flag()) return false;
    m.Field = true;
    if constexpr (!std::is_same_v<R, Talert_on_message_delivery>) {
      using V = typename R::value_type;
      if constexpr (std::is_same_v<V, AnsiString>)
        m.Value = std::string(in.octets(in.u16()));
      else if constexpr (sizeof(V) == 1)
        m.Value = in.u8();
      else if constexpr (sizeof(V) == 2)
        m.Value = in.u16();
      else
        m.Value = in.u32();
    }
    return false;
  });
  return a;
}

template <class Agg, class Encode, class Decode>
void check(const Agg& a, Encode encode, Decode decode) {
  const AnsiString wire = encode(a);
  if (wire.size() != tlv::encoded_size(a)) std::abort();
  if (!(decode(wire) == a)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::FuzzInput in(data, size);
  if (in.flag()) {
    check(build<TOPData_SM_RESP>(in), OPData_SM_RESP_Get, OPData_SM_RESP_Set);
  } else {
    check(build<TOPData_SM>(in), OPData_SM_Get, OPData_SM_SM_Set);
  }
  return 0;
}
