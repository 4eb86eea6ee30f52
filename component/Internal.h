// Shared by the component's sources only; not installed.
#pragma once

#include <memory>
#include <utility>

#include "codec/Pdu.h"
#include "component/Velmorsmppdemo.h"

namespace velmor {

// Calls an assigned event with Sender = the component. The handler runs on a
// copy of the event, so it may reassign the event or destroy the component
// (and with it the event) without pulling the running handler from under
// itself. Returns false when the component no longer exists.
template <class Event, class... Args>
bool TVelmorSMPPDemo::Fire(const Event& event, Args&&... args) {
  if (!event) return true;
  LiveFrame frame(*this);
  Event fn = event;
  fn(this, std::forward<Args>(args)...);
  return frame.alive();
}

// As Fire, for events whose arguments are built in the call itself: call(fn)
// invokes the copy fn with arguments made right there, so each string and
// aggregate is constructed straight into the event's by-value parameter
// instead of being made first and moved in.
template <class Event, class Call>
bool TVelmorSMPPDemo::FireWith(const Event& event, Call&& call) {
  if (!event) return true;
  LiveFrame frame(*this);
  const Event fn = event;
  call(fn);
  return frame.alive();
}

inline AnsiString str(std::string_view v) { return AnsiString(v.data(), v.size()); }

}  // namespace velmor
