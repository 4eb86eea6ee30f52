// The type of an event property of the host's components: a std::function
// (empty until assigned, assigned and read directly) whose owner calls it
// through Dispatch or Invoke, which neither copy the handler nor allocate.
//
// A handler may replace or clear its own event, or destroy the object that
// holds it, while it runs: a call moves the handler out of the property for
// its length (a move of the stored target, never a copy of it) and puts it
// back afterwards unless the property was assigned meanwhile or no longer
// exists. While its handler runs, the property therefore reads as empty to
// other code, but a call made from inside the handler (a nested notification
// of the same event) still reaches it. A replacement made from inside takes
// effect for the next call; the running handler finishes on its own captures.
//
// Invoke makes each by-value argument right in the handler's own parameter:
// it takes what the argument is made from (TArgSource: the value itself for
// a trivially copyable type or a reference, a std::string_view for a
// std::string, a TArgMaker otherwise) and the handler is called through a
// function recorded when it was assigned, which knows its type. A
// std::function call would build every argument first and then move it once
// more into the handler's parameter.
//
// Assign through the property's own type: assigning through a reference to
// the std::function base bypasses the bookkeeping (Invoke then still calls
// the handler, through the std::function).
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

namespace velmor {

// A by-value argument of type T that Invoke makes only at the handler's call:
// make(from) returns it, built straight into the handler's parameter. from
// must stay valid for the call.
template <class T>
struct TArgMaker {
  T (*make)(const void* from);
  const void* from;
};

// What Invoke takes for an argument of type T (type), and how it makes the
// argument from it (make, whose result initialises the parameter directly).
template <class T, class = void>
struct TArgSource {
  using type = TArgMaker<T>;
  static T make(const type& s) { return s.make(s.from); }
};
template <class T>
struct TArgSource<T, std::enable_if_t<std::is_reference_v<T> || std::is_trivially_copyable_v<T>>> {
  using type = T;
  static T make(T v) noexcept { return static_cast<T>(v); }
};
template <>
struct TArgSource<std::string> {
  using type = std::string_view;
  // An empty string (the usual service_type, and both times) is made inline.
  static std::string make(std::string_view v) { return v.empty() ? std::string() : std::string(v.data(), v.size()); }
};

template <class Signature>
class TEventHandler;

template <class R, class... A>
class TEventHandler<R(A...)> : public std::function<R(A...)> {
  using Fn = std::function<R(A...)>;

  template <class F>
  static constexpr bool callable = !std::is_same_v<std::decay_t<F>, TEventHandler> && std::is_constructible_v<Fn, F&&>;

  // Calls the handler with arguments made from their sources in place. Only
  // a signature with an argument worth making in place records one. The
  // sources go by one reference, not one by one: an event of twenty
  // arguments would otherwise push most of them on the stack, and the callee
  // read them back, for every call.
  using Sources = std::tuple<typename TArgSource<A>::type...>;
  using InPlace = R (*)(const Fn&, const Sources&);
  static constexpr bool in_place = (!std::is_same_v<typename TArgSource<A>::type, A> || ...);
  struct NoSlot {};
  struct Slot {
    InPlace call = nullptr;
  };

 public:
  TEventHandler() noexcept = default;
  TEventHandler(std::nullptr_t) noexcept {}
  template <class F, std::enable_if_t<callable<F>, int> = 0>
  TEventHandler(F&& f) : Fn(std::forward<F>(f)) {
    SetInPlace(InPlaceFor<std::decay_t<F>>());
  }
  TEventHandler(const TEventHandler& other) : Fn(static_cast<const Fn&>(other)) { SetInPlace(other.GetInPlace()); }
  TEventHandler(TEventHandler&& other) noexcept : Fn(std::move(static_cast<Fn&>(other))) {
    SetInPlace(other.GetInPlace());
    static_cast<Fn&>(other) = nullptr;
    other.SetInPlace(nullptr);
  }
  ~TEventHandler() {
    for (FrameBase* f = frames(); f; f = f->outer)
      if (f->owner == this) f->owner = nullptr;
  }

  TEventHandler& operator=(const TEventHandler& other) {
    if (this != &other) Replace(Fn(static_cast<const Fn&>(other)), other.GetInPlace());
    return *this;
  }
  TEventHandler& operator=(TEventHandler&& other) noexcept {
    if (this != &other) {
      Fn next(std::move(static_cast<Fn&>(other)));
      const InPlace call = other.GetInPlace();
      static_cast<Fn&>(other) = nullptr;
      other.SetInPlace(nullptr);
      other.Replaced();
      Replace(std::move(next), call);
    }
    return *this;
  }
  TEventHandler& operator=(std::nullptr_t) noexcept {
    Replace(Fn(), nullptr);
    return *this;
  }
  template <class F, std::enable_if_t<callable<F>, int> = 0>
  TEventHandler& operator=(F&& f) {
    Replace(Fn(std::forward<F>(f)), InPlaceFor<std::decay_t<F>>());
    return *this;
  }
  void swap(TEventHandler& other) noexcept {
    TEventHandler t(std::move(other));
    other = std::move(*this);
    *this = std::move(t);
  }

  // Assigned, or running (a call from inside its handler reaches it).
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

  // Calls the handler, when the event is assigned, with each argument made
  // from its source (TArgSource) straight into the handler's parameter;
  // returns whether it was assigned.
  bool Invoke(typename TArgSource<A>::type... s) {
    Frame f(*this);
    if (!f.handler) return false;
    if constexpr (in_place) {
      if (f.call) {
        const Sources sources(s...);
        f.call(*f.handler, sources);
        return true;
      }
    }
    (*f.handler)(TArgSource<A>::make(s)...);
    return true;
  }

 private:
  // One call (Dispatch or Invoke) in progress, on the stack. The calls
  // running on a thread form one list, newest first, shared by every event.
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
        // The destructor unlinks the frame again; GCC cannot see that pairing
        // once the call is inlined and warns of a dangling pointer.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdangling-pointer"
#endif
        frames() = this;
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
#pragma GCC diagnostic pop
#endif
        fn.swap(e);
        handler = &fn;
        call = e.GetInPlace();
      } else if (const Frame* running = e.Running()) {
        handler = &running->fn;
        call = running->call;
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
    InPlace call = nullptr;
  };

  // The newest call of this property, unless the property was assigned since
  // it started.
  const Frame* Running() const noexcept {
    for (FrameBase* f = frames(); f; f = f->outer)
      if (f->owner == this) return f->replaced ? nullptr : static_cast<Frame*>(f);
    return nullptr;
  }

  // The in-place call of a handler of type F: F is known here, so its
  // parameters are initialised from the sources directly. A std::function
  // assigned as such is called through.
  template <class F>
  static R CallInPlace(const Fn& fn, const Sources& s) {
    return [&]<std::size_t... I>(std::index_sequence<I...>)->R {
      if constexpr (!std::is_member_pointer_v<F>) {
        // std::function calls its target as a non-const lvalue; so does this.
        if (F* f = const_cast<F*>(fn.template target<F>()))
          return static_cast<R>((*f)(TArgSource<A>::make(std::get<I>(s))...));
      }
      return fn(TArgSource<A>::make(std::get<I>(s))...);
    }
    (std::index_sequence_for<A...>{});
  }
  template <class F>
  static constexpr InPlace InPlaceFor() noexcept {
    if constexpr (in_place && !std::is_base_of_v<Fn, F>)
      return &CallInPlace<F>;
    else
      return nullptr;
  }
  InPlace GetInPlace() const noexcept {
    if constexpr (in_place)
      return FInPlace.call;
    else
      return nullptr;
  }
  void SetInPlace(InPlace call) noexcept {
    if constexpr (in_place) FInPlace.call = call;
  }

  // An assignment while handlers run: none of them goes back afterwards.
  void Replaced() noexcept {
    for (FrameBase* f = frames(); f; f = f->outer)
      if (f->owner == this) f->replaced = true;
  }
  void Replace(Fn&& next, InPlace call) noexcept {
    Replaced();
    static_cast<Fn&>(*this) = std::move(next);
    SetInPlace(call);
  }

  [[no_unique_address]] std::conditional_t<in_place, Slot, NoSlot> FInPlace;
};

}  // namespace velmor
