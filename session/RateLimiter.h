// One submit budget, behind a small interface, so that binds of one pool
// (local_rate_limiter) or every process of an account (the Redis limiter in
// session/receipts/RedisRate.h) draw from the same one.
//
// A limiter is a generic cell rate: each take moves the budget's
// theoretical time of the next token on by 1/rate; a take conforms while
// that time, minus burst-1 intervals, is not in the future.
//
// Threads: take may be called from any thread and never blocks; done runs
// on the executor given, once.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

#include <asio/any_io_executor.hpp>

namespace velmor::session {

class rate_limiter {
 public:
  using clock = std::chrono::steady_clock;
  // wait 0: the submit may go now; otherwise there was no token: ask again after wait.
  using take_handler = std::function<void(clock::duration wait)>;
  virtual ~rate_limiter() = default;
  virtual void take(asio::any_io_executor ex, take_handler done) = 0;
  // An answer without waiting, where the limiter can give one (the local
  // bucket can; a shared one cannot: nullopt, use take).
  virtual std::optional<clock::duration> try_take(clock::time_point now) { return std::nullopt; }
};

// A token bucket in this process, shared by threads without a lock.
class local_rate_limiter final : public rate_limiter {
 public:
  local_rate_limiter(double per_second, double burst);  // per_second 0: unlimited
  void take(asio::any_io_executor ex, take_handler done) override;
  std::optional<clock::duration> try_take(clock::time_point now) override;

 private:
  std::int64_t interval_ns_ = 0, tolerance_ns_ = 0;
  std::atomic<std::int64_t> next_ns_{0};
};

}  // namespace velmor::session
