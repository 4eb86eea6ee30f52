// The host's event loop: an asio::io_context run by the application on a
// thread of its own choosing. Every notification of the platform sockets and
// timers is delivered on the thread that is running the loop, and the
// application calls the components on that same thread.
//
// A component created without a loop uses TEventLoop::Default(), a loop that
// owns its io_context. An application that already runs an io_context wraps
// it in a TEventLoop and passes that to the components instead.
//
// One thread at a time. A loop, and every component and timer on it, belong
// to whichever single thread is running the loop; none of them takes a lock.
// An io_context run on several threads at once (a thread pool calling run()
// on it) is not supported: the first notification delivered while another
// thread is inside one of the same loop ends the process with one line on
// stderr, rather than letting two handlers race on a component. Give each
// thread a TEventLoop (and an io_context) of its own instead. The loop may
// move to another thread between runs, and only Stop() and Post() may be
// called from other threads.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <thread>

#include "platform/Classes.h"

namespace asio {
class io_context;
}

namespace velmor {

class TEventLoop {
 public:
  // A loop with an io_context of its own.
  TEventLoop();
  // A loop over the application's io_context, which must outlive this object
  // and every component placed on it.
  explicit TEventLoop(asio::io_context& Context);
  ~TEventLoop();
  TEventLoop(const TEventLoop&) = delete;
  TEventLoop& operator=(const TEventLoop&) = delete;

  // The process-wide default loop, created on first use.
  static TEventLoop& Default();

  asio::io_context& Context();

  // Each of the four may also be called from a handler running on the loop
  // (a nested run); it then runs the loop's handlers inside that handler and
  // returns to it.
  //
  // Runs until Stop() is called, even while nothing is pending.
  void Run();
  // Runs for the given time, or until Stop(); returns the handlers run.
  std::size_t RunFor(std::chrono::milliseconds Duration);
  // Runs until Done() returns true (checked after every handler and at least
  // every 10 ms), Stop(), or the timeout; returns Done()'s last answer.
  bool RunUntil(const std::function<bool()>& Done, std::chrono::milliseconds Timeout);
  // Runs whatever is ready now without waiting; returns the handlers run.
  // Not ended by a Stop() made before it, and it does not use one up.
  std::size_t ProcessMessages();
  // Makes Run, RunFor and RunUntil return as soon as possible: the runs in
  // progress (an outer run and every nested one), or, when none is, the next
  // one, which then returns at once. Safe from any thread.
  void Stop();

  // Queues Fn to run on the loop's thread. Safe from any thread.
  void Post(std::function<void()> Fn);

  // Held by the platform while it runs a notification handler of this loop;
  // ends the process when another thread holds one at the same time (see the
  // top of this file). Nested holds on one thread are fine.
  class TDispatchGuard {
   public:
    explicit TDispatchGuard(TEventLoop& Loop);
    ~TDispatchGuard();
    TDispatchGuard(const TDispatchGuard&) = delete;
    TDispatchGuard& operator=(const TDispatchGuard&) = delete;

   private:
    TEventLoop& FLoop;
    bool FOutermost = false;
  };

 private:
  // Prepares a run that is not nested; false when a Stop() made while no run
  // was active is pending (it is used up, and the run returns at once).
  bool BeginRun(bool& Nested);
  void EndRun(bool Nested);

  std::unique_ptr<asio::io_context> FOwned;
  asio::io_context* FContext;
  std::atomic<bool> FStopRequested{false};
  std::atomic<std::thread::id> FDispatching{};
};

// A periodic timer on the loop, in the manner of the host's timer component:
// while Enabled, OnTimer fires every Interval milliseconds. Destroying the
// timer, or disabling it, guarantees that OnTimer does not fire again.
class TTimer : public TComponent {
 public:
  explicit TTimer(TComponent* AOwner, TEventLoop& Loop = TEventLoop::Default());
  ~TTimer() override;

  void SetInterval(unsigned Milliseconds);
  unsigned Interval() const { return FInterval; }
  void SetEnabled(bool Value);
  bool Enabled() const { return FEnabled; }

  std::function<void(TObject* Sender)> OnTimer;

 private:
  struct Impl;
  void Arm();
  std::shared_ptr<Impl> FImpl;
  unsigned FInterval = 1000;
  bool FEnabled = false;
};

}  // namespace velmor
