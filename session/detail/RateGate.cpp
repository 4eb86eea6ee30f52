#include "session/detail/RateGate.h"

#include <asio/steady_timer.hpp>

namespace velmor::session::detail {

struct limiter_gate::state : std::enable_shared_from_this<state> {
  state(std::shared_ptr<rate_limiter> l, asio::any_io_executor e, std::function<void()> p, std::size_t a)
      : limiter(std::move(l)), ex(e), poke(std::move(p)), ahead(a), retry(e) {}

  std::shared_ptr<rate_limiter> limiter;
  asio::any_io_executor ex;
  std::function<void()> poke;
  std::size_t ahead, held = 0, asking = 0;
  bool backing_off = false;  // the limiter said wait: no new asks until then
  asio::steady_timer retry;

  void fill() {
    while (!backing_off && held + asking < ahead) {
      ++asking;
      std::weak_ptr<state> self = weak_from_this();
      limiter->take(ex, [self](rate_limiter::clock::duration wait) {
        if (auto s = self.lock()) s->answered(wait);
      });
    }
  }
  void answered(rate_limiter::clock::duration wait) {
    --asking;
    if (wait <= rate_limiter::clock::duration::zero()) {
      ++held;
      poke();
      return;
    }
    if (backing_off) return;
    backing_off = true;
    retry.expires_after(wait);
    std::weak_ptr<state> self = weak_from_this();
    retry.async_wait([self](std::error_code ec) {
      auto s = self.lock();
      if (!s || ec) return;
      s->backing_off = false;
      s->fill();
    });
  }
};

limiter_gate::limiter_gate(std::shared_ptr<rate_limiter> limiter, asio::any_io_executor ex, std::function<void()> poke,
                           std::size_t ahead)
    : s_(std::make_shared<state>(std::move(limiter), std::move(ex), std::move(poke), std::max<std::size_t>(1, ahead))) {
}

limiter_gate::~limiter_gate() { s_->retry.cancel(); }

bool limiter_gate::take(time_point now, time_point& next) {
  if (auto wait = s_->limiter->try_take(now)) {
    if (*wait <= rate_limiter::clock::duration::zero()) return true;
    next = now + *wait;
    return false;
  }
  const bool got = s_->held > 0;
  if (got) --s_->held;
  s_->fill();
  // Without a token the poke comes first; this wake is only a fallback.
  if (!got) next = now + std::chrono::seconds(1);
  return got;
}

}  // namespace velmor::session::detail
