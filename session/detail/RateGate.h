// The shell's side of a shared rate_limiter (config::rate_limiter): the
// machine asks for a token and must be answered at once, a shared limiter
// answers later. The gate keeps a few tokens fetched ahead; when it has none
// it says no, asks the limiter, and pokes the machine as soon as one comes.
// A limiter that can answer at once (the local bucket) is asked directly.
//
// Thread: the loop's. Tokens fetched and not used are spent, never given
// back, so the shared budget is never exceeded.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>

#include <asio/any_io_executor.hpp>

#include "session/RateLimiter.h"
#include "session/detail/Machine.h"

namespace velmor::session::detail {

class limiter_gate final : public rate_gate {
 public:
  // poke: the machine should try to send again (a token came).
  limiter_gate(std::shared_ptr<rate_limiter> limiter, asio::any_io_executor ex, std::function<void()> poke,
               std::size_t ahead = 4);
  ~limiter_gate() override;
  bool take(time_point now, time_point& next) override;

 private:
  struct state;
  std::shared_ptr<state> s_;
};

}  // namespace velmor::session::detail
