#include "session/RateLimiter.h"

#include <algorithm>

#include <asio/post.hpp>

namespace velmor::session {

local_rate_limiter::local_rate_limiter(double per_second, double burst) {
  interval_ns_ = per_second > 0 ? static_cast<std::int64_t>(1e9 / per_second) : 0;
  tolerance_ns_ = static_cast<std::int64_t>(static_cast<double>(interval_ns_) * (std::max(1.0, burst) - 1));
}

std::optional<rate_limiter::clock::duration> local_rate_limiter::try_take(clock::time_point now) {
  if (interval_ns_ == 0) return clock::duration::zero();
  const std::int64_t t = std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch()).count();
  std::int64_t cur = next_ns_.load(std::memory_order_relaxed);
  for (;;) {
    const std::int64_t start = std::max(cur, t);
    if (start - tolerance_ns_ > t)
      return std::chrono::duration_cast<clock::duration>(std::chrono::nanoseconds(start - tolerance_ns_ - t));
    if (next_ns_.compare_exchange_weak(cur, start + interval_ns_, std::memory_order_relaxed))
      return clock::duration::zero();
  }
}

void local_rate_limiter::take(asio::any_io_executor ex, take_handler done) {
  const auto wait = *try_take(clock::now());
  asio::post(ex, [done = std::move(done), wait] { done(wait); });
}

}  // namespace velmor::session
