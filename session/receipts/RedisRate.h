// A submit budget in Redis that every process of an account draws from: the
// generic cell rate of session/RateLimiter.h kept in one key, moved by one
// Lua script (atomic; the time is Redis's own, so processes on hosts with
// different clocks agree). While Redis cannot be reached no token is given:
// take answers wait = reconnect interval, so the budget is never exceeded.
#pragma once

#include <memory>
#include <string>

#include "session/RateLimiter.h"
#include "session/receipts/RedisLink.h"

namespace velmor::session::receipts {

class redis_rate_limiter final : public rate_limiter {
 public:
  // budget: the key's name ("velmor:rate:{ACCOUNT}" is a good one).
  redis_rate_limiter(redis_address where, std::string budget, double per_second, double burst,
                     redis_link::options opt = {});
  void take(asio::any_io_executor ex, take_handler done) override;

 private:
  std::string key_, interval_us_, tolerance_us_;
  std::chrono::milliseconds retry_;
  std::unique_ptr<redis_link> link_;
};

}  // namespace velmor::session::receipts
