// Typed bodies of the SMPP 3.4 PDUs, each declared once.
//
// A body is a plain struct whose static fields(body, visit) names its fields
// in wire order. That one list drives the three operations below, so the
// size a builder reserves, the octets it writes and the fields a reader takes
// off cannot drift apart:
//
//   size(b)            octets the body takes on the wire
//   append(out, b)     writes it at the end of out, in place, exactly sized
//   read(octets, b)    fills b from a received body, leniently
//
// Field kinds: Byte (one octet), Cardinal (four, big-endian),
// std::string_view (a C-Octet String: the octets, then one NUL),
// ShortMessage (sm_length, then that many octets), the two lists of
// submit_multi, and Optional (the TLVs that end a body). Composite fields
// (Address, MessageFields) have a fields() list of their own.
//
// Each body names the command_ids it is the body of (command_ids), and
// build() takes its command_id as a pdu::id_for<Body>: a constant that names
// another command does not compile, and a run-time id is checked by
// id_for<Body>::checked. A header-only PDU is built with Empty.
//
// Strings are views. A body built for sending refers to the caller's strings
// for the duration of the call; a body read from received octets refers into
// those octets and is valid as long as they are. Reading never allocates
// (except into a list container the caller supplies).
//
// Reading is lenient, as everywhere in this library: a field with no octets
// left reads as 0 or empty, a C-Octet String without its NUL is empty and
// consumes nothing, short_message is cut by sm_length and by the end of the
// body, and nothing is ever read past the body. Pure: no I/O, no state.
#pragma once

#include <cassert>
#include <cstddef>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <vector>

#include "codec/Codec.h"
#include "codec/Commands.h"
#include "codec/Pdu.h"
#include "pdu/Fields.h"
#include "tlv/Tlv.h"

namespace velmor::pdu {

// ---- bodies -------------------------------------------------------------------

// The PDUs that are a header alone: generic_nack, unbind, enquire_link and
// their responses, cancel_sm_resp and replace_sm_resp, and any response that
// reports an error (SMPP 3.4 sends no body with a non-zero command_status;
// such a response is built with checked()).
struct Empty {
  static constexpr Cardinal command_ids[] = {
      command_id::generic_nack,      command_id::unbind,         command_id::unbind_resp,    command_id::enquire_link,
      command_id::enquire_link_resp, command_id::cancel_sm_resp, command_id::replace_sm_resp};
  template <class S, class V>
  static void fields(S&, V&) {}
};

// bind_transmitter, bind_receiver, bind_transceiver.
struct Bind {
  static constexpr Cardinal command_ids[] = {command_id::bind_transmitter, command_id::bind_receiver,
                                             command_id::bind_transceiver};
  std::string_view system_id, password, system_type;
  Byte interface_version = codec::interface_version;
  Address address;  // addr_ton, addr_npi, address_range
  template <class S, class V>
  static void fields(S& s, V& v) {
    v(s.system_id);
    v(s.password);
    v(s.system_type);
    v(s.interface_version);
    v(s.address);
  }
};

// The three bind responses.
struct BindResp {
  static constexpr Cardinal command_ids[] = {command_id::bind_transmitter_resp, command_id::bind_receiver_resp,
                                             command_id::bind_transceiver_resp};
  std::string_view system_id;
  Optional<TOPBind_RESP> optional;
  template <class S, class V>
  static void fields(S& s, V& v) {
    v(s.system_id);
    v(s.optional);
  }
};

struct Outbind {
  static constexpr Cardinal command_ids[] = {command_id::outbind};
  std::string_view system_id, password;
  template <class S, class V>
  static void fields(S& s, V& v) {
    v(s.system_id);
    v(s.password);
  }
};

// submit_sm_resp and deliver_sm_resp: message_id alone.
struct MessageIdResp {
  static constexpr Cardinal command_ids[] = {command_id::submit_sm_resp, command_id::deliver_sm_resp};
  std::string_view message_id;
  template <class S, class V>
  static void fields(S& s, V& v) {
    v(s.message_id);
  }
};

// submit_sm and deliver_sm share their layout; only the TLV set differs.
template <class Agg>
struct MessageBody {
  static constexpr Cardinal command_ids[] = {std::is_same_v<Agg, TOPSubmit_SM> ? command_id::submit_sm
                                                                               : command_id::deliver_sm};
  std::string_view service_type;
  Address source;
  Address dest;
  MessageFields message;
  Optional<Agg> optional;
  template <class S, class V>
  static void fields(S& s, V& v) {
    v(s.service_type);
    v(s.source);
    v(s.dest);
    v(s.message);
    v(s.optional);
  }
};
using SubmitSm = MessageBody<TOPSubmit_SM>;
using DeliverSm = MessageBody<TOPDeliver_SM>;

template <class Dests>
struct SubmitMultiT {
  static constexpr Cardinal command_ids[] = {command_id::submit_multi};
  std::string_view service_type;
  Address source;
  DestList<Dests> dests;
  MessageFields message;
  Optional<TOPSubmit_MULTI> optional;
  template <class S, class V>
  static void fields(S& s, V& v) {
    v(s.service_type);
    v(s.source);
    v(s.dests);
    v(s.message);
    v(s.optional);
  }
};

template <class List>
struct SubmitMultiRespT {
  static constexpr Cardinal command_ids[] = {command_id::submit_multi_resp};
  std::string_view message_id;
  UnsuccessList<List> unsuccess;
  template <class S, class V>
  static void fields(S& s, V& v) {
    v(s.message_id);
    v(s.unsuccess);
  }
};

struct DataSm {
  static constexpr Cardinal command_ids[] = {command_id::data_sm};
  std::string_view service_type;
  Address source;
  Address dest;
  Byte esm_class = 0;
  Byte registered_delivery = 0;
  Byte data_coding = 0;
  Optional<TOPData_SM> optional;
  template <class S, class V>
  static void fields(S& s, V& v) {
    v(s.service_type);
    v(s.source);
    v(s.dest);
    v(s.esm_class);
    v(s.registered_delivery);
    v(s.data_coding);
    v(s.optional);
  }
};

struct DataSmResp {
  static constexpr Cardinal command_ids[] = {command_id::data_sm_resp};
  std::string_view message_id;
  Optional<TOPData_SM_RESP> optional;
  template <class S, class V>
  static void fields(S& s, V& v) {
    v(s.message_id);
    v(s.optional);
  }
};

struct QuerySm {
  static constexpr Cardinal command_ids[] = {command_id::query_sm};
  std::string_view message_id;
  Address source;
  template <class S, class V>
  static void fields(S& s, V& v) {
    v(s.message_id);
    v(s.source);
  }
};

struct QuerySmResp {
  static constexpr Cardinal command_ids[] = {command_id::query_sm_resp};
  std::string_view message_id;
  std::string_view final_date;
  Byte message_state = 0;
  Byte error_code = 0;
  template <class S, class V>
  static void fields(S& s, V& v) {
    v(s.message_id);
    v(s.final_date);
    v(s.message_state);
    v(s.error_code);
  }
};

struct CancelSm {
  static constexpr Cardinal command_ids[] = {command_id::cancel_sm};
  std::string_view service_type;
  std::string_view message_id;
  Address source;
  Address dest;
  template <class S, class V>
  static void fields(S& s, V& v) {
    v(s.service_type);
    v(s.message_id);
    v(s.source);
    v(s.dest);
  }
};

struct ReplaceSm {
  static constexpr Cardinal command_ids[] = {command_id::replace_sm};
  std::string_view message_id;
  Address source;
  std::string_view schedule_delivery_time;
  std::string_view validity_period;
  Byte registered_delivery = 0;
  Byte sm_default_msg_id = 0;
  ShortMessage short_message;
  template <class S, class V>
  static void fields(S& s, V& v) {
    v(s.message_id);
    v(s.source);
    v(s.schedule_delivery_time);
    v(s.validity_period);
    v(s.registered_delivery);
    v(s.sm_default_msg_id);
    v(s.short_message);
  }
};

struct AlertNotification {
  static constexpr Cardinal command_ids[] = {command_id::alert_notification};
  Address source;
  Address esme;  // esme_addr_ton, esme_addr_npi, esme_addr
  template <class S, class V>
  static void fields(S& s, V& v) {
    v(s.source);
    v(s.esme);
  }
};

// The optional parameters of a body to send, sized once: none at all when
// no member of agg goes on the wire (the common case), so that writing the
// body then skips the walk over its members.
template <class Agg>
Optional<Agg> tlvs_of(const Agg& agg) {
  const std::size_t n = tlv::encoded_size(agg);
  return {n ? &agg : nullptr, {}, n};
}

// ---- the three operations -----------------------------------------------------

namespace detail {

// A composite field: one with a fields() list of its own.
template <class T>
concept has_fields = requires {
  &T::template fields<T, int>;
};

struct Sizer {
  std::size_t n = 0;
  void operator()(Byte) { n += 1; }
  void operator()(Cardinal) { n += 4; }
  void operator()(std::string_view s) { n += s.size() + 1; }
  void operator()(const ShortMessage& m) { n += 1 + m.text.size(); }
  template <class Agg>
  void operator()(const Optional<Agg>& o) {
    if (o.tlvs) n += o.tlvs_size != o.unsized ? o.tlvs_size : tlv::encoded_size(*o.tlvs);
    n += o.octets.size();
  }
  template <class C>
  void operator()(const DestList<C>& l) {
    n += 1;
    if (!l.list) return;
    for (const auto& e : *l.list) {
      const Destination& d = to_destination(e);
      n += d.dest_flag == Destination::distribution_list ? 2 + d.dl_name.size() : 4 + d.address.addr.size();
    }
  }
  template <class C>
  void operator()(const UnsuccessList<C>& l) {
    n += 1;
    if (!l.list) return;
    for (const auto& e : *l.list) (*this)(to_unsuccess(e));
  }
  template <class T>
  requires has_fields<T>
  void operator()(const T& t) { T::fields(t, *this); }
};

struct Putter {
  codec::Writer& w;
  void operator()(Byte b) { w.u8(b); }
  void operator()(Cardinal v) { w.u32(v); }
  void operator()(std::string_view s) { w.cstring(s); }
  void operator()(const ShortMessage& m) {
    w.u8(static_cast<Byte>(m.text.size()));
    w.octets(m.text);
  }
  template <class Agg>
  void operator()(const Optional<Agg>& o) {
    if (o.tlvs) tlv::write(w, *o.tlvs);
    w.octets(o.octets);
  }
  template <class C>
  void operator()(const DestList<C>& l) {
    w.u8(static_cast<Byte>(l.list ? l.list->size() : 0));
    if (!l.list) return;
    for (const auto& e : *l.list) {
      const Destination& d = to_destination(e);
      w.u8(d.dest_flag);
      if (d.dest_flag == Destination::distribution_list) {
        w.cstring(d.dl_name);
      } else {
        (*this)(d.address);
      }
    }
  }
  template <class C>
  void operator()(const UnsuccessList<C>& l) {
    w.u8(static_cast<Byte>(l.list ? l.list->size() : 0));
    if (!l.list) return;
    for (const auto& e : *l.list) (*this)(to_unsuccess(e));
  }
  template <class T>
  requires has_fields<T>
  void operator()(const T& t) { T::fields(t, *this); }
};

struct Taker {
  codec::Cursor c;
  void operator()(Byte& b) { b = c.u8(); }
  void operator()(Cardinal& v) { v = c.u32(); }
  void operator()(std::string_view& s) { s = c.cstring(); }
  void operator()(ShortMessage& m) {
    m.sm_length = c.u8();
    m.text = c.octets(m.sm_length);
  }
  template <class Agg>
  void operator()(Optional<Agg>& o) {
    o.octets = c.rest();
    c = codec::Cursor();
  }
  template <class C>
  void operator()(DestList<C>& l) {
    l.number_of_dests = c.u8();
    for (Byte i = 0; i < l.number_of_dests; ++i) {
      Destination d;
      d.dest_flag = c.u8();
      if (d.dest_flag == Destination::sme)
        (*this)(d.address);
      else if (d.dest_flag == Destination::distribution_list)
        d.dl_name = c.cstring();
      if (l.list) l.list->push_back(d);
      if (d.dest_flag != Destination::sme && d.dest_flag != Destination::distribution_list) break;
    }
  }
  template <class C>
  void operator()(UnsuccessList<C>& l) {
    l.no_unsuccess = c.u8();
    if constexpr (requires { l.list->reserve(std::size_t{}); })
      if (l.list) l.list->reserve(l.no_unsuccess);
    for (Byte i = 0; i < l.no_unsuccess; ++i) {
      Unsuccess u;
      (*this)(u);
      if (l.list) l.list->push_back(u);
    }
  }
  template <class T>
  requires has_fields<T>
  void operator()(T& t) { T::fields(t, *this); }
};

}  // namespace detail

// The three operations are inlined into their callers, so that a body costs
// what the hand-written field calls it replaces cost.
#if defined(__GNUC__)
#define VELMOR_PDU_INLINE [[gnu::always_inline]] inline
#else
#define VELMOR_PDU_INLINE inline
#endif

// Octets the body takes on the wire.
template <class Body>
VELMOR_PDU_INLINE std::size_t size(const Body& b) {
  detail::Sizer s;
  s(b);
  return s.n;
}

// Writes the body through w, which must have room for size(b) octets.
template <class Body>
VELMOR_PDU_INLINE void write(codec::Writer& w, const Body& b) {
  detail::Putter p{w};
  p(b);
}

// Appends the body, exactly `n` = size(b) octets, to the end of out (a PDU
// begun by codec::begin_pdu, for instance). In a debug build it checks that
// the fields filled exactly the octets sized for them.
template <class Body>
VELMOR_PDU_INLINE void append(std::string& out, const Body& b, std::size_t n) {
  codec::Writer w = codec::body_writer(out, n);
  write(w, b);
  assert(w.position() == out.data() + out.size() && "a body wrote other than the octets it sized");
}

template <class Body>
void append(std::string& out, const Body& b) {
  append(out, b, size(b));
}

// Whether Body is the body of this command_id.
template <class Body>
constexpr bool carries(Cardinal id) {
  for (Cardinal c : Body::command_ids)
    if (c == id) return true;
  return false;
}

// Every body type, so that the body of a command can be looked up by its id.
using bodies = std::tuple<Empty, Bind, BindResp, Outbind, MessageIdResp, SubmitSm, DeliverSm,
                          SubmitMultiT<std::vector<Destination>>, SubmitMultiRespT<std::vector<Unsuccess>>, DataSm,
                          DataSmResp, QuerySm, QuerySmResp, CancelSm, ReplaceSm, AlertNotification>;

namespace detail {
template <Cardinal id, class Tuple>
struct find_body {
  using type = void;
};
template <Cardinal id, class B, class... Rest>
struct find_body<id, std::tuple<B, Rest...>> {
  using type = std::conditional_t<carries<B>(id), B, typename find_body<id, std::tuple<Rest...>>::type>;
};
template <class... B>
constexpr int count_bodies(Cardinal id, const std::tuple<B...>*) {
  return (int{carries<B>(id)} + ...);
}
}  // namespace detail

// The body type of a command: body_for<command_id::submit_sm> is SubmitSm.
template <Cardinal id>
using body_for = typename detail::find_body<id, bodies>::type;

// How many body types name this command_id; 1 for every row of the table.
constexpr int bodies_of(Cardinal id) { return detail::count_bodies(id, static_cast<const bodies*>(nullptr)); }

constexpr bool every_command_has_one_body() {
  for (const auto& c : codec::commands)
    if (bodies_of(c.id) != 1) return false;
  return true;
}
static_assert(every_command_has_one_body(), "a row of codec/Commands.h has no body here, or two");

// A command_id that Body is the body of. From a constant it is checked when
// compiling; checked() takes a run-time id, which must be one of Body's, or
// any response with a non-zero command_status for Empty.
template <class Body>
class id_for {
 public:
  consteval id_for(Cardinal id) : value_(id) {
    if (!carries<Body>(id)) throw "this body is not the body of that command_id";
  }
  static constexpr id_for checked(Cardinal id, [[maybe_unused]] Cardinal status = 0) {
    assert((carries<Body>(id) || (std::is_same_v<Body, Empty> && codec::is_response(id) && status != 0)) &&
           "this body is not the body of that command_id");
    return id_for(id, 0);
  }
  constexpr Cardinal value() const { return value_; }

 private:
  constexpr id_for(Cardinal id, int) : value_(id) {}
  Cardinal value_;
};

// A whole PDU in `out` (replacing its content): the header, then the body
// written in place at its exact size; command_length counts both.
template <class Body>
void build(std::string& out, std::type_identity_t<id_for<Body>> command_id, Cardinal command_status,
           Cardinal sequence_number, const Body& b) {
  const std::size_t n = size(b);
  codec::begin_pdu(out, command_id.value(), command_status, sequence_number, n);
  append(out, b, n);
  codec::end_pdu(out);
}

template <class Body>
std::string build(std::type_identity_t<id_for<Body>> command_id, Cardinal command_status, Cardinal sequence_number,
                  const Body& b) {
  std::string out;
  build(out, command_id, command_status, sequence_number, b);
  return out;
}

// A header-only PDU (see Empty).
inline std::string build(id_for<Empty> command_id, Cardinal command_status, Cardinal sequence_number) {
  return build(command_id, command_status, sequence_number, Empty{});
}

// Fills b from a received body; returns b.
template <class Body>
VELMOR_PDU_INLINE Body& read(std::string_view octets, Body& b) {
  detail::Taker t{codec::Cursor(octets)};
  t(b);
  return b;
}

// Fills b from the front of c, leaving c after what b took.
template <class Body>
VELMOR_PDU_INLINE Body& read(codec::Cursor& c, Body& b) {
  detail::Taker t{c};
  t(b);
  c = t.c;
  return b;
}

}  // namespace velmor::pdu
