// The type of an event property of the host's components: a std::function
// (empty until assigned, assigned and read directly) whose owner calls it
// through Dispatch, which neither copies the handler nor allocates.
//
// A handler may replace or clear its own event, or destroy the object that
// holds it, while it runs: Dispatch moves the handler out of the property for
// the length of the call (a move of the stored target, never a copy of it)
// and puts it back afterwards unless the property was assigned meanwhile or
// no longer exists. While its handler runs, the property therefore reads as
// empty to other code, but a Dispatch made from inside the handler (a nested
// notification of the same event) still reaches it. A replacement made from
// inside takes effect for the next Dispatch; the running handler finishes on
// its own captures.
//
// Assign through the property's own type: assigning through a reference to
// the std::function base bypasses the bookkeeping.
#pragma once

#include <cstddef>
#include <functional>
#include <type_traits>
#include <utility>

namespace velmor {

template <class Signature>
class TEventHandler;

template <class R, class... A>
class TEventHandler<R(A...)> : public std::function<R(A...)> {
  using Fn = std::function<R(A...)>;

  template <class F>
  static constexpr bool callable = !std::is_same_v<std::decay_t<F>, TEventHandler> && std::is_constructible_v<Fn, F&&>;

 public:
  TEventHandler() noexcept = default;
  TEventHandler(std::nullptr_t) noexcept {}
  template <class F, std::enable_if_t<callable<F>, int> = 0>
  TEventHandler(F&& f) : Fn(std::forward<F>(f)) {}
  TEventHandler(const TEventHandler& other) : Fn(static_cast<const Fn&>(other)) {}
  TEventHandler(TEventHandler&& other) noexcept : Fn(std::move(static_cast<Fn&>(other))) {
    static_cast<Fn&>(other) = nullptr;
  }
  ~TEventHandler() {
    for (FrameBase* f = frames(); f; f = f->outer)
      if (f->owner == this) f->owner = nullptr;
  }

  TEventHandler& operator=(const TEventHandler& other) {
    if (this != &other) Replace(Fn(static_cast<const Fn&>(other)));
    return *this;
  }
  TEventHandler& operator=(TEventHandler&& other) noexcept {
    if (this != &other) {
      Fn next(std::move(static_cast<Fn&>(other)));
      static_cast<Fn&>(other) = nullptr;
      other.Replaced();
      Replace(std::move(next));
    }
    return *this;
  }
  TEventHandler& operator=(std::nullptr_t) noexcept {
    Replace(Fn());
    return *this;
  }
  template <class F, std::enable_if_t<callable<F>, int> = 0>
  TEventHandler& operator=(F&& f) {
    Replace(Fn(std::forward<F>(f)));
    return *this;
  }
  void swap(TEventHandler& other) noexcept {
    TEventHandler t(std::move(other));
    other = std::move(*this);
    *this = std::move(t);
  }

  // Assigned, or running (a Dispatch from inside its handler reaches it).
  [[nodiscard]] bool Assigned() const noexcept { return static_cast<bool>(*this) || Running() != nullptr; }

  // Calls call(handler), handler a const Fn&, when the event is assigned;
  // returns whether it was. call typically invokes handler with arguments it
  // builds right there, so each by-value argument is made in place.
  template <class Call>
  bool Dispatch(Call&& call) {
    Frame f(*this);
    if (!f.handler) return false;
    call(*f.handler);
    return true;
  }

 private:
  // One Dispatch in progress, on the stack. The Dispatches running on a
  // thread form one list, newest first, shared by every event, so the
  // property itself is no larger than a std::function.
  struct FrameBase {
    TEventHandler* owner;  // null once the property is gone
    FrameBase* outer;
    bool replaced = false;
  };
  static FrameBase*& frames() noexcept {
    static thread_local FrameBase* newest = nullptr;
    return newest;
  }
  // Takes the handler out of an assigned property for the call (a swap of
  // the stored target, no copy), or borrows the running one of an empty
  // property that is inside its own handler.
  struct Frame : FrameBase {
    explicit Frame(TEventHandler& e) : FrameBase{nullptr, nullptr} {
      if (e) {
        this->owner = &e;
        this->outer = frames();
        frames() = this;
        fn.swap(e);
        handler = &fn;
      } else {
        handler = e.Running();
      }
    }
    ~Frame() {
      if (handler != &fn) return;  // borrowed, or nothing to call
      frames() = this->outer;
      // Unless the property was assigned or is gone, the handler goes back.
      if (this->owner && !this->replaced) fn.swap(*this->owner);
    }
    Frame(const Frame&) = delete;
    Frame& operator=(const Frame&) = delete;
    Fn fn;
    const Fn* handler = nullptr;
  };

  // The handler of the newest Dispatch of this property, unless the property
  // was assigned since it started.
  const Fn* Running() const noexcept {
    for (FrameBase* f = frames(); f; f = f->outer)
      if (f->owner == this) return f->replaced ? nullptr : &static_cast<Frame*>(f)->fn;
    return nullptr;
  }

  // An assignment while handlers run: none of them goes back afterwards.
  void Replaced() noexcept {
    for (FrameBase* f = frames(); f; f = f->outer)
      if (f->owner == this) f->replaced = true;
  }
  void Replace(Fn&& next) noexcept {
    Replaced();
    static_cast<Fn&>(*this) = std::move(next);
  }
};

}  // namespace velmor
