#include "session/receipts/RedisRate.h"

#include <hiredis/hiredis.h>

#include <algorithm>
#include <cmath>

#include <asio/post.hpp>

namespace velmor::session::receipts {

namespace {

// KEYS[1] the budget; ARGV interval us, tolerance us. Returns 0 (go) or the
// microseconds until a token.
constexpr const char* kGcra = R"lua(
local t = redis.call('TIME')
local now = tonumber(t[1]) * 1000000 + tonumber(t[2])
local tat = tonumber(redis.call('GET', KEYS[1]) or '0')
if tat < now then tat = now end
local wait = tat - tonumber(ARGV[2]) - now
if wait > 0 then return wait end
tat = tat + tonumber(ARGV[1])
redis.call('SET', KEYS[1], string.format('%d', tat), 'PX', math.ceil((tat - now) / 1000) + 1000)
return 0
)lua";

}  // namespace

redis_rate_limiter::redis_rate_limiter(redis_address where, std::string budget, double per_second, double burst,
                                       redis_link::options opt)
    : key_(std::move(budget)),
      retry_(opt.reconnect_every),
      link_(std::make_unique<redis_link>(std::move(where), opt, std::vector<std::string>{kGcra})) {
  const double interval = per_second > 0 ? 1e6 / per_second : 0;
  interval_us_ = std::to_string(static_cast<std::int64_t>(std::llround(interval)));
  tolerance_us_ = std::to_string(static_cast<std::int64_t>(std::llround(interval * (std::max(1.0, burst) - 1))));
}

void redis_rate_limiter::take(asio::any_io_executor ex, take_handler done) {
  link_->run_script(0, {key_}, {interval_us_, tolerance_us_}, false,
                    [this, ex = std::move(ex), done = std::move(done)](redisReply* r) mutable {
                      clock::duration wait = retry_;
                      if (r && r->type == REDIS_REPLY_INTEGER) wait = std::chrono::microseconds(r->integer);
                      asio::post(ex, [done = std::move(done), wait] { done(wait); });
                    });
}

}  // namespace velmor::session::receipts
