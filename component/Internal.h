// Shared by the component's sources only; not installed.
#pragma once

#include <memory>
#include <utility>

#include "codec/Pdu.h"
#include "component/Velmorsmppdemo.h"

namespace velmor {

// Calls an assigned event: call(fn) invokes fn, a copy of the event, with
// Sender = the component and arguments made right there, so each string and
// aggregate is built straight into the event's by-value parameter. Running a
// copy lets the handler reassign the event or destroy the component (and with
// it the event) without pulling the running handler from under itself.
// Returns false when the component no longer exists.
template <class Event, class Call>
bool TVelmorSMPPDemo::FireWith(const Event& event, Call&& call) {
  if (!event) return true;
  LiveFrame frame(*this);
  const Event fn = event;
  call(fn);
  return frame.alive();
}

// FireWith for arguments already at hand.
template <class Event, class... Args>
bool TVelmorSMPPDemo::Fire(const Event& event, Args&&... args) {
  return FireWith(event, [&](const Event& fn) { fn(this, std::forward<Args>(args)...); });
}

inline AnsiString str(std::string_view v) { return AnsiString(v.data(), v.size()); }

// esm_class through short_message: the run of fields that submit_sm and
// submit_multi share after their addressing. sm_length is the octet count of
// short_message; the sending methods refuse one longer than 254 octets.
inline void write_message_fields(codec::Writer& w, Byte esm_class, Byte protocol_id, Byte priority_flag,
                                 const AnsiString& schedule_delivery_time, const AnsiString& validity_period,
                                 Byte registered_delivery, Byte replace_if_present_flag, Byte data_coding,
                                 Byte sm_default_msg_id, const AnsiString& short_message) {
  w.u8(esm_class);
  w.u8(protocol_id);
  w.u8(priority_flag);
  w.cstring(schedule_delivery_time);
  w.cstring(validity_period);
  w.u8(registered_delivery);
  w.u8(replace_if_present_flag);
  w.u8(data_coding);
  w.u8(sm_default_msg_id);
  w.u8(static_cast<Byte>(short_message.size()));
  w.octets(short_message);
}

}  // namespace velmor
