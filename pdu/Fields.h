// The field kinds the bodies of pdu/Body.h are made of: the addressing
// triple, short_message, the optional parameters that end a body, the two
// lists of submit_multi, and the run of message fields three PDUs share.
// Strings are views; see pdu/Body.h for their lifetime. Pure, header-only.
#pragma once

#include <cstddef>
#include <string_view>

#include "codec/Types.h"

namespace velmor::pdu {
// ---- field kinds --------------------------------------------------------------

// ton, npi and a C-Octet String address: the addressing triple.
struct Address {
  Byte ton = 0;
  Byte npi = 0;
  std::string_view addr;
  template <class S, class V>
  static void fields(S& s, V& v) {
    v(s.ton);
    v(s.npi);
    v(s.addr);
  }
};

// sm_length and short_message. Written, sm_length is the octet count of text
// (the sender bounds it to 254); read, it is the octet as received, and text
// is that many octets or as many as the body still holds.
struct ShortMessage {
  Byte sm_length = 0;
  std::string_view text;
};

// The optional parameters that end a body. Written: the TLVs of every present
// member of *tlvs (when set), then `octets` as given. Read: `octets` is every
// octet left after the mandatory fields, for the caller to decode.
// tlvs_size, when known (pdu::tlvs_of), is what *tlvs encodes to, so that a
// builder walks the members once to size them and once to write them.
template <class Agg>
struct Optional {
  static constexpr std::size_t unsized = static_cast<std::size_t>(-1);
  const Agg* tlvs = nullptr;
  std::string_view octets;
  std::size_t tlvs_size = unsized;
};

// One destination of submit_multi: an SME address (dest_flag 1) or a
// distribution list name (dest_flag 2).
struct Destination {
  static constexpr Byte sme = 0x01;
  static constexpr Byte distribution_list = 0x02;
  Byte dest_flag = sme;
  Address address;           // dest_flag 1
  std::string_view dl_name;  // dest_flag 2
};

// One unsuccessful destination of submit_multi_resp.
struct Unsuccess {
  Address address;
  Cardinal error_status_code = 0;
  template <class S, class V>
  static void fields(S& s, V& v) {
    v(s.address);
    v(s.error_status_code);
  }
};

// number_of_dests and the destinations. Container is any sequence of
// elements that to_destination (found by argument-dependent lookup, or the
// identity below) turns into a Destination; reading push_backs Destinations
// into it. An entry with an unknown dest_flag ends the list on reading: the
// octets after it cannot be located.
template <class Container>
struct DestList {
  Container* list = nullptr;
  Byte number_of_dests = 0;  // as read
};

// no_unsuccess and the unsuccessful destinations; to_unsuccess plays the
// part of to_destination. Reading makes exactly no_unsuccess entries, from
// whatever octets there are.
template <class Container>
struct UnsuccessList {
  Container* list = nullptr;
  Byte no_unsuccess = 0;  // as read
};

inline const Destination& to_destination(const Destination& d) { return d; }
inline const Unsuccess& to_unsuccess(const Unsuccess& u) { return u; }

// esm_class through short_message: the run of fields submit_sm,
// submit_multi and deliver_sm share after their addressing.
struct MessageFields {
  Byte esm_class = 0;
  Byte protocol_id = 0;
  Byte priority_flag = 0;
  std::string_view schedule_delivery_time;
  std::string_view validity_period;
  Byte registered_delivery = 0;
  Byte replace_if_present_flag = 0;
  Byte data_coding = 0;
  Byte sm_default_msg_id = 0;
  ShortMessage short_message;
  template <class S, class V>
  static void fields(S& s, V& v) {
    v(s.esm_class);
    v(s.protocol_id);
    v(s.priority_flag);
    v(s.schedule_delivery_time);
    v(s.validity_period);
    v(s.registered_delivery);
    v(s.replace_if_present_flag);
    v(s.data_coding);
    v(s.sm_default_msg_id);
    v(s.short_message);
  }
};

}  // namespace velmor::pdu
