// A submit budget shared by the binds of a pool, over threads. Pure: the
// caller gives the time.
#pragma once

#include <atomic>
#include <cstdint>

#include "session/Types.h"

namespace velmor::session::detail {

// One token bucket shared by threads: a submit conforms while the budget's
// theoretical time of the next token (minus the burst) is not in the future.
class shared_rate {
 public:
  shared_rate(double per_second, double burst);
  // Takes a token; when none is left, says when the next one comes.
  bool take(clock::time_point now, clock::time_point& next);

 private:
  std::int64_t interval_ns_ = 0, tolerance_ns_ = 0;
  std::atomic<std::int64_t> next_ns_{0};
};

}  // namespace velmor::session::detail
