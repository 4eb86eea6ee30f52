#include "platform/EventLoop.h"

#include <algorithm>

#include <asio.hpp>

namespace velmor {

TEventLoop::TEventLoop() : FOwned(std::make_unique<asio::io_context>(1)), FContext(FOwned.get()) {}

TEventLoop::TEventLoop(asio::io_context& Context) : FContext(&Context) {}

TEventLoop::~TEventLoop() = default;

TEventLoop& TEventLoop::Default() {
  static TEventLoop loop;
  return loop;
}

asio::io_context& TEventLoop::Context() { return *FContext; }

void TEventLoop::Run() {
  auto guard = asio::make_work_guard(*FContext);
  FContext->restart();
  FContext->run();
}

std::size_t TEventLoop::RunFor(std::chrono::milliseconds Duration) {
  auto guard = asio::make_work_guard(*FContext);
  FContext->restart();
  return FContext->run_for(Duration);
}

bool TEventLoop::RunUntil(const std::function<bool()>& Done, std::chrono::milliseconds Timeout) {
  auto guard = asio::make_work_guard(*FContext);
  FContext->restart();
  const auto deadline = std::chrono::steady_clock::now() + Timeout;
  while (!Done()) {
    if (FContext->stopped()) return Done();
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return Done();
    // Wake at least every 10 ms, so a condition another thread changes is
    // seen without waiting for the loop's next event.
    FContext->run_one_for(std::min<std::chrono::steady_clock::duration>(deadline - now, std::chrono::milliseconds(10)));
  }
  return true;
}

std::size_t TEventLoop::ProcessMessages() {
  FContext->restart();
  return FContext->poll();
}

void TEventLoop::Stop() { FContext->stop(); }

void TEventLoop::Post(std::function<void()> Fn) { asio::post(*FContext, std::move(Fn)); }

// ---- TTimer ------------------------------------------------------------------

struct TTimer::Impl {
  explicit Impl(asio::io_context& ctx) : timer(ctx) {}
  asio::steady_timer timer;
  TTimer* owner = nullptr;   // null once the timer is destroyed
  unsigned generation = 0;   // bumped by every (re)arm and disable
};

TTimer::TTimer(TComponent* AOwner, TEventLoop& Loop)
    : TComponent(AOwner), FImpl(std::make_shared<Impl>(Loop.Context())) {
  FImpl->owner = this;
}

TTimer::~TTimer() {
  FImpl->owner = nullptr;
  FImpl->timer.cancel();
}

void TTimer::SetInterval(unsigned Milliseconds) {
  FInterval = Milliseconds;
  if (FEnabled) Arm();
}

void TTimer::SetEnabled(bool Value) {
  FEnabled = Value;
  if (FEnabled) {
    Arm();
  } else {
    ++FImpl->generation;
    FImpl->timer.cancel();
  }
}

void TTimer::Arm() {
  const unsigned gen = ++FImpl->generation;
  FImpl->timer.expires_after(std::chrono::milliseconds(FInterval));
  FImpl->timer.async_wait([impl = FImpl, gen](const asio::error_code& ec) {
    if (ec || !impl->owner || impl->generation != gen) return;
    TTimer* self = impl->owner;
    self->Arm();  // re-armed first, so the handler may disable or destroy it
    // The handler runs on a copy, which outlives the timer if the handler
    // destroys it.
    if (auto fn = self->OnTimer) fn(self);
  });
}

}  // namespace velmor
