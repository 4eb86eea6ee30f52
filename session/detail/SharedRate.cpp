#include "session/detail/SharedRate.h"

#include <algorithm>

namespace velmor::session::detail {

shared_rate::shared_rate(double per_second, double burst) {
  interval_ns_ = per_second > 0 ? static_cast<std::int64_t>(1e9 / per_second) : 0;
  tolerance_ns_ = static_cast<std::int64_t>(static_cast<double>(interval_ns_) * (std::max(1.0, burst) - 1));
}

bool shared_rate::take(clock::time_point now, clock::time_point& next) {
  if (interval_ns_ == 0) return true;
  const std::int64_t t = std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch()).count();
  std::int64_t cur = next_ns_.load(std::memory_order_relaxed);
  for (;;) {
    const std::int64_t start = std::max(cur, t);
    if (start - tolerance_ns_ > t) {
      next = clock::time_point(
          std::chrono::duration_cast<clock::duration>(std::chrono::nanoseconds(start - tolerance_ns_)));
      return false;
    }
    if (next_ns_.compare_exchange_weak(cur, start + interval_ns_, std::memory_order_relaxed)) return true;
  }
}

}  // namespace velmor::session::detail
