// Shared by the component's sources only; not installed.
#pragma once

#include <cassert>
#include <memory>
#include <utility>

#include "codec/Pdu.h"
#include "component/Velmorsmppdemo.h"
#include "pdu/Body.h"

namespace velmor {

// Calls an assigned event: call(fn) invokes fn, the handler, with Sender =
// the component and arguments made right there, so each string and
// aggregate is built straight into the event's by-value parameter. The
// handler is neither copied nor moved to the heap (TEventHandler::Dispatch),
// and may reassign its event or destroy the component while it runs.
// Returns false when the component no longer exists.
template <class Event, class Call>
bool TVelmorSMPPDemo::FireWith(Event& event, Call&& call) {
  if (!event.Assigned()) return true;
  LiveFrame frame(*this);
  event.Dispatch(call);
  return frame.alive();
}

// FireWith for arguments already at hand.
template <class Event, class... Args>
bool TVelmorSMPPDemo::Fire(Event& event, Args&&... args) {
  return FireWith(event, [&](const auto& fn) { fn(this, std::forward<Args>(args)...); });
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
