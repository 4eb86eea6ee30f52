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

}  // namespace velmor
