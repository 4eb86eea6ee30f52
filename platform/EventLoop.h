// The host's event loop: an asio::io_context run by the application on a
// thread of its own choosing. Every notification of the platform sockets and
// timers is delivered on the thread that is running the loop, and the
// application calls the components on that same thread.
//
// A component created without a loop uses TEventLoop::Default(), a loop that
// owns its io_context. An application that already runs an io_context wraps
// it in a TEventLoop and passes that to the components instead.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>

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

  // Runs until Stop() is called, even while nothing is pending.
  void Run();
  // Runs for the given time, or until Stop(); returns the handlers run.
  std::size_t RunFor(std::chrono::milliseconds Duration);
  // Runs until Done() returns true (checked after every handler and at least
  // every 10 ms), Stop(), or the timeout; returns Done()'s last answer.
  bool RunUntil(const std::function<bool()>& Done, std::chrono::milliseconds Timeout);
  // Runs whatever is ready now without waiting; returns the handlers run.
  std::size_t ProcessMessages();
  // Makes Run, RunFor and RunUntil return as soon as possible. Safe from any
  // thread.
  void Stop();

  // Queues Fn to run on the loop's thread.
  void Post(std::function<void()> Fn);

 private:
  std::unique_ptr<asio::io_context> FOwned;
  asio::io_context* FContext;
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
