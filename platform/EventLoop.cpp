#include "platform/EventLoop.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

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

// Asio forbids restart() while any run() of the context is unfinished, so a
// nested run (from inside a handler) leaves the context's state alone: it
// must neither revive a context an outer run was asked to stop nor clear that
// request.
bool TEventLoop::BeginRun(bool& Nested) {
  Nested = FContext->get_executor().running_in_this_thread();
  if (Nested) return true;
  if (FStopRequested.exchange(false)) return false;
  FContext->restart();
  if (FStopRequested.load()) FContext->stop();  // a Stop() from another thread just now
  return true;
}

// A stop that ended this run has been honoured; one that arrives later is
// left for the next run.
void TEventLoop::EndRun(bool Nested) {
  if (!Nested && FContext->stopped()) FStopRequested.store(false);
}

void TEventLoop::Run() {
  bool nested = false;
  if (!BeginRun(nested)) return;
  auto guard = asio::make_work_guard(*FContext);
  FContext->run();
  EndRun(nested);
}

std::size_t TEventLoop::RunFor(std::chrono::milliseconds Duration) {
  bool nested = false;
  if (!BeginRun(nested)) return 0;
  auto guard = asio::make_work_guard(*FContext);
  const std::size_t n = FContext->run_for(Duration);
  EndRun(nested);
  return n;
}

bool TEventLoop::RunUntil(const std::function<bool()>& Done, std::chrono::milliseconds Timeout) {
  bool nested = false;
  if (!BeginRun(nested)) return Done();
  auto guard = asio::make_work_guard(*FContext);
  const auto deadline = std::chrono::steady_clock::now() + Timeout;
  bool done = Done();
  while (!done) {
    const auto now = std::chrono::steady_clock::now();
    if (FContext->stopped() || now >= deadline) break;
    // Wake at least every 10 ms, so a condition another thread changes is
    // seen without waiting for the loop's next event.
    FContext->run_one_for(std::min<std::chrono::steady_clock::duration>(deadline - now, std::chrono::milliseconds(10)));
    done = Done();
  }
  EndRun(nested);
  return done;
}

std::size_t TEventLoop::ProcessMessages() {
  if (FContext->get_executor().running_in_this_thread()) return FContext->poll();
  // A pending Stop() waits for the next run; one made by a handler here ends
  // this poll and is used up by it.
  const bool pending = FStopRequested.exchange(false);
  FContext->restart();
  const std::size_t n = FContext->poll();
  FStopRequested.store(pending);
  if (pending) FContext->stop();
  return n;
}

void TEventLoop::Stop() {
  FStopRequested.store(true);
  FContext->stop();
}

TEventLoop::TDispatchGuard::TDispatchGuard(TEventLoop& Loop) : FLoop(Loop) {
  const auto me = std::this_thread::get_id();
  std::thread::id none{};
  if (FLoop.FDispatching.compare_exchange_strong(none, me)) {
    FOutermost = true;
  } else if (none != me) {
    std::fputs(
        "velmor: one TEventLoop is being run on two threads at once, which it does not support; "
        "run its io_context on one thread, or give each thread a loop of its own\n",
        stderr);
    std::abort();
  }
}

TEventLoop::TDispatchGuard::~TDispatchGuard() {
  if (FOutermost) FLoop.FDispatching.store(std::thread::id{});
}

void TEventLoop::Post(std::function<void()> Fn) { asio::post(*FContext, std::move(Fn)); }

// ---- TTimer ------------------------------------------------------------------

struct TTimer::Impl {
  explicit Impl(TEventLoop& l) : loop(&l), timer(l.Context()) {}
  TEventLoop* loop;
  asio::steady_timer timer;
  TTimer* owner = nullptr;  // null once the timer is destroyed
  unsigned generation = 0;  // bumped by every (re)arm and disable
};

TTimer::TTimer(TComponent* AOwner, TEventLoop& Loop) : TComponent(AOwner), FImpl(std::make_shared<Impl>(Loop)) {
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
    TEventLoop::TDispatchGuard one_thread(*impl->loop);
    self->Arm();  // re-armed first, so the handler may disable or destroy it
    // The handler runs on a copy, which outlives the timer if the handler
    // destroys it.
    if (auto fn = self->OnTimer) fn(self);
  });
}

}  // namespace velmor
