// The completion handler of one request, type-erased once. Loop thread.
#pragma once

#include <cstddef>
#include <new>
#include <system_error>
#include <type_traits>
#include <utility>

#include <asio/associated_executor.hpp>
#include <asio/dispatch.hpp>
#include <asio/io_context.hpp>

#include "session/Types.h"

namespace velmor::session::detail {

// A completion handler, type-erased once. Small handlers (a callback, the
// handlers of use_future and use_awaitable) are kept inline.
class completion {
 public:
  using signature = void(std::error_code, response);
  completion() = default;
  template <class Handler, class Executor>
  completion(Handler&& h, const Executor& fallback) {
    using H = std::decay_t<Handler>;
    using E = asio::associated_executor_t<H, Executor>;
    struct box {
      H h;
      E ex;
    };
    static_assert(alignof(box) <= alignof(std::max_align_t));
    auto invoke = [](void* p, std::error_code ec, response&& r) {
      box* b = static_cast<box*>(p);
      if constexpr (std::is_same_v<E, asio::io_context::executor_type>) {
        if (b->ex.running_in_this_thread()) {  // what dispatch would do, without the copy
          std::move(b->h)(ec, std::move(r));
          return;
        }
      }
      E ex = b->ex;
      asio::dispatch(ex, [h = std::move(b->h), ec, r = std::move(r)]() mutable { std::move(h)(ec, std::move(r)); });
    };
    E ex = asio::get_associated_executor(h, fallback);  // before h is moved from
    if constexpr (sizeof(box) <= kInline && std::is_nothrow_move_constructible_v<box>) {
      ::new (static_cast<void*>(buf_)) box{std::forward<Handler>(h), ex};
      obj_ = buf_;
      ops_ = &inline_ops<box, decltype(invoke)>::table;
    } else {
      obj_ = new box{std::forward<Handler>(h), ex};
      ops_ = &heap_ops<box, decltype(invoke)>::table;
    }
  }
  completion(completion&& o) noexcept { take(o); }
  completion& operator=(completion&& o) noexcept {
    if (this != &o) {
      reset();
      take(o);
    }
    return *this;
  }
  ~completion() { reset(); }
  explicit operator bool() const { return ops_ != nullptr; }
  // Calls the handler once (through its executor) and empties this.
  void operator()(std::error_code ec, response&& r) {
    const ops* o = ops_;
    void* p = obj_;
    ops_ = nullptr;
    obj_ = nullptr;
    o->call(p, ec, std::move(r));
    o->destroy(p);
  }

 private:
  static constexpr std::size_t kInline = 80;
  struct ops {
    void (*call)(void*, std::error_code, response&&);
    void (*destroy)(void*);
    void (*move)(void* from, void* to);  // inline only
  };
  template <class B, class Invoke>
  struct inline_ops {
    static constexpr ops table{[](void* p, std::error_code ec, response&& r) { Invoke{}(p, ec, std::move(r)); },
                               [](void* p) { static_cast<B*>(p)->~B(); },
                               [](void* from, void* to) {
                                 ::new (to) B(std::move(*static_cast<B*>(from)));
                                 static_cast<B*>(from)->~B();
                               }};
  };
  template <class B, class Invoke>
  struct heap_ops {
    static constexpr ops table{[](void* p, std::error_code ec, response&& r) { Invoke{}(p, ec, std::move(r)); },
                               [](void* p) { delete static_cast<B*>(p); }, nullptr};
  };
  void take(completion& o) noexcept {
    ops_ = o.ops_;
    if (!ops_) return;
    if (o.obj_ == o.buf_) {
      ops_->move(o.buf_, buf_);
      obj_ = buf_;
    } else {
      obj_ = o.obj_;
    }
    o.ops_ = nullptr;
    o.obj_ = nullptr;
  }
  void reset() {
    if (ops_) ops_->destroy(obj_);
    ops_ = nullptr;
    obj_ = nullptr;
  }
  alignas(std::max_align_t) unsigned char buf_[kInline];
  void* obj_ = nullptr;
  const ops* ops_ = nullptr;
};

}  // namespace velmor::session::detail
