#include "tlv/Tlv.h"

namespace velmor {
namespace {

template <class Agg>
AnsiString encode(const Agg& agg) {
  AnsiString out;
  out.reserve(tlv::encoded_size(agg));
  tlv::append(out, agg);
  return out;
}

template <class Agg>
Agg decode(std::string_view in) {
  Agg agg{};
  tlv::decode(in, agg);
  return agg;
}

}  // namespace

AnsiString OPSubmit_SM_Get(const TOPSubmit_SM& a) { return encode(a); }
AnsiString OPSubmit_MULTI_Get(const TOPSubmit_MULTI& a) { return encode(a); }
AnsiString OPData_SM_Get(const TOPData_SM& a) { return encode(a); }
AnsiString OPData_SM_RESP_Get(const TOPData_SM_RESP& a) { return encode(a); }

TOPBind_RESP OPBind_RESP_Set(std::string_view in) { return decode<TOPBind_RESP>(in); }
TOPDeliver_SM OPDeliver_SM_Set(std::string_view in) { return decode<TOPDeliver_SM>(in); }
TOPData_SM OPData_SM_SM_Set(std::string_view in) { return decode<TOPData_SM>(in); }
TOPData_SM_RESP OPData_SM_RESP_Set(std::string_view in) { return decode<TOPData_SM_RESP>(in); }

}  // namespace velmor
