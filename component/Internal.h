// Shared by the component's sources only; not installed.
#pragma once

#include <cassert>
#include <memory>
#include <utility>

#include "codec/Pdu.h"
#include "component/Velmorsmppdemo.h"
#include "pdu/Body.h"

namespace velmor {

// Calls an assigned event with Sender = the component and each argument made
// from its source (platform/EventHandler.h, TArgSource) straight into the
// handler's by-value parameter: a string from a view (of the received octets,
// mostly), an aggregate or list from a TArgMaker (made, moved), anything else
// as it is. Each string and aggregate is built once and moved nowhere. The
// handler is neither copied nor moved to the heap, and may reassign its event
// or destroy the component while it runs: Fire touches nothing of the
// component once the handler has returned, and is the last thing its callers
// do (the framing pass around the decoders holds the LiveFrame that tells it
// to stop).
template <class Event, class... Sources>
void TVelmorSMPPDemo::Fire(Event& event, Sources&&... sources) {
  event.Invoke(this, std::forward<Sources>(sources)...);
}

// An argument made at the handler's call by Make(from); from must outlive the
// call of Fire.
template <auto Make, class From>
auto made(const From& from) {
  using T = decltype(Make(from));
  return TArgMaker<T>{[](const void* p) -> T { return Make(*static_cast<const From*>(p)); }, &from};
}

// An argument moved out of value at the handler's call.
template <class T>
TArgMaker<T> moved(T& value) {
  return {[](const void* p) -> T { return std::move(*static_cast<T*>(const_cast<void*>(p))); }, &value};
}

inline AnsiString str(std::string_view v) { return AnsiString(v.data(), v.size()); }

// Entries of the application's lists as the bodies of pdu/ see them.
inline pdu::Destination to_destination(const Tdest_address_entry& e) {
  pdu::Destination d;
  d.dest_flag = e.SME_DL ? pdu::Destination::distribution_list : pdu::Destination::sme;
  d.address = {e.dest_addr_ton, e.dest_addr_npi, e.destination_addr_dl_name};
  d.dl_name = e.destination_addr_dl_name;
  return d;
}

// Collects the unsuccessful destinations a submit_multi_resp reader takes off
// into the event's list.
struct UnsuccessSink {
  Tunsuccess_sme& out;
  void reserve(std::size_t n) { out.reserve(n); }
  void push_back(const pdu::Unsuccess& u) {
    out.push_back({u.address.ton, u.address.npi, str(u.address.addr), u.error_status_code});
  }
};

// Builds a PDU of the component from a typed body: the header (a request
// takes the next sequence number, a response the one given), the body
// written in place at its exact size, then command_length.
//
// `out` is sized once to the whole PDU and every octet of it is then written,
// so a string reused for PDUs of one size (FOut on the send path) is neither
// cleared nor zero-filled again: sizing it is a no-op.
template <class Body>
VELMOR_PDU_INLINE void TVelmorSMPPDemo::FormatRequest(AnsiString& out, Cardinal command_id, Cardinal command_status,
                                                      Cardinal& sequence_number, const Body& body) {
  const std::size_t size = codec::header_size + pdu::size(body);
  Fsequence_number = codec::next_sequence(Fsequence_number);
  sequence_number = Fsequence_number;
  out.resize(size);
  codec::Writer w(out.data(), size);
  codec::write_header(w, {static_cast<Cardinal>(size), command_id, command_status, sequence_number});
  pdu::write(w, body);
  assert(w.position() == out.data() + out.size() && "a body wrote other than the octets it sized");
}

template <class Body>
VELMOR_PDU_INLINE void format_response(AnsiString& out, Cardinal command_id, Cardinal command_status,
                                       Cardinal sequence_number, const Body& body) {
  const std::size_t n = pdu::size(body);
  codec::begin_pdu(out, command_id, command_status, codec::response_sequence(sequence_number), n);
  pdu::append(out, body, n);
  codec::end_pdu(out);
}

}  // namespace velmor
