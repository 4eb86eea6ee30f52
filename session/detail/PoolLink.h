// What a pool lends each of its sessions: the load count the pool chooses
// by, the shared submit budget, and the hand-off of queued requests.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "session/Types.h"
#include "session/detail/Completion.h"
#include "session/detail/Machine.h"
#include "session/detail/SharedRate.h"

namespace velmor::session::detail {

// A request waiting in one bind's queue, built, on its way to another bind
// of a pool. It was never sent (or only refused with a throttling status).
struct parked {
  moved_request r;
  completion done;
  int hops = 0;
  std::string text_group;  // the long text the request is a part of (its receipts add up to one outcome)
};

// What a pool lends each of its sessions. Every call is made on the
// session's loop thread.
struct pool_link {
  // Requests given to this bind and not yet completed or moved on; the pool
  // counts one when it chooses the bind, the session takes it off. A cache
  // line of its own: two threads write it.
  alignas(64) std::atomic<std::int64_t> load{0};
  alignas(64) shared_rate* rate = nullptr;
  std::function<bool()> others_bound;
  std::function<void(std::vector<parked>&&)> hand_off;
};

}  // namespace velmor::session::detail
