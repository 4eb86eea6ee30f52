// velmor::session::session: a managed SMPP session over one TVelmorSMPPDemo.
//
// The component sends what it is told and reports what it receives; the
// session adds what a production ESME needs around it: bind state and the
// requests each state allows, a window of requests in flight with a bounded
// queue behind it, a deadline on every request, keep-alive, automatic answers
// to the SMSC's requests, throttling, reconnect and rebind, graceful shutdown,
// long texts with their receipts, and metrics.
//
// API shape. Every request is an asynchronous operation taking an Asio
// completion token, so one implementation serves a plain callback,
// asio::use_future and asio::use_awaitable. A request completes exactly once
// with (std::error_code, result): no error and command_status 0 on success;
// an error of velmor::session::error_category() otherwise, either an SMPP
// command_status (command_status_of(ec)) or one of errc.
//
// Threads. The session lives on the loop given at construction. Requests may
// be made from any thread: they are carried to the loop. Completions run on
// the loop's thread, or through the completion handler's associated executor
// when it has one. Handlers (completions, message, receipt and state
// handlers) run on the loop and must never block it: every timer, every
// socket and every other request of the session waits while they run.
//
// Lifetime. Destroy the session on the loop's thread (or with the loop not
// running). Destruction completes every request still waiting with
// errc::shutting_down and closes the connection without unbind; it may happen
// inside one of the session's own handlers.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <tuple>
#include <type_traits>
#include <utility>

#include <asio/associated_executor.hpp>
#include <asio/async_result.hpp>
#include <asio/awaitable.hpp>
#include <asio/dispatch.hpp>
#include <asio/io_context.hpp>

#include "component/Velmorsmppdemo.h"
#include "session/Error.h"
#include "session/Metrics.h"
#include "session/Types.h"
#include "session/detail/Completion.h"

namespace velmor::session {

namespace detail {
class shell;
#if defined(ASIO_HAS_CO_AWAIT) && defined(__GNUC__) && !defined(__clang__) && __GNUC__ < 13
#define VELMOR_SESSION_REFUSE_AWAITED_TEMPORARIES 1
// Whether Token's async_result returns a coroutine's awaitable.
template <class T>
struct is_awaitable : std::false_type {};
template <class T, class Executor>
struct is_awaitable<asio::awaitable<T, Executor>> : std::true_type {};
template <class Token, class Signature>
constexpr bool awaitable_result() {
  using R = asio::async_result<std::decay_t<Token>, Signature>;
  if constexpr (requires { typename R::return_type; })
    return is_awaitable<typename R::return_type>::value;
  else
    return false;
}
template <class Token, class Signature>
inline constexpr bool makes_awaitable = awaitable_result<Token, Signature>();
#endif
struct deferral;
struct parked;
struct pool_link;
}  // namespace detail

// The answer to one deliver_sm/data_sm, taken over by the application. Copy
// it anywhere; complete() from any thread, once (later calls do nothing).
// Not completed within config::response_deadline, the session answers
// ESME_RX_T_APPN itself, and a later complete() does nothing.
class deferred_response {
 public:
  deferred_response() = default;
  void complete(std::uint32_t command_status = 0, std::string message_id = {}) const;

 private:
  friend class detail::shell;
  std::shared_ptr<detail::deferral> d_;
};

// Passed to the message handler with each deliver_sm/data_sm.
class inbound_context {
 public:
  // The session will not answer when the handler returns; the returned
  // handle does, later.
  deferred_response defer();
  bool deferred() const { return deferred_; }

 private:
  friend class detail::shell;
  detail::shell* shell_ = nullptr;
  std::uint32_t ticket_ = 0;
  bool deferred_ = false;
  deferred_response handle_;
};

// Returns the command_status of the response (0 accepts), unless it defers.
using message_handler = std::function<std::uint32_t(const inbound_message&, inbound_context&)>;

class pool;

class session {
 public:
  explicit session(config cfg, TEventLoop& loop = TEventLoop::Default());
  ~session();
  session(const session&) = delete;
  session& operator=(const session&) = delete;

  using executor_type = asio::io_context::executor_type;
  executor_type get_executor() const noexcept;

  // Connects and binds; completes once, when first bound or when the first
  // attempt fails (connect_failed, bind_failed, or the bind_resp's status).
  // With config::reconnect the session keeps trying after a failure, until
  // shutdown. Signature: void(std::error_code).
  template <class Token>
  auto async_connect(Token&& token) {
    return initiate_void(&session::start_connect, std::forward<Token>(token));
  }

  // Stops accepting requests, lets the window drain (drain_timeout), unbinds,
  // waits for unbind_resp (unbind_timeout), closes. Requests still queued
  // then fail with shutting_down. Signature: void(std::error_code).
  template <class Token>
  auto async_shutdown(Token&& token) {
    return initiate_void(&session::start_shutdown, std::forward<Token>(token));
  }

  // Signature of every request below: void(std::error_code, response).
  // A request passed as an lvalue made on the loop's thread is copied into
  // storage the session reuses, so it costs no allocation; an rvalue is moved.
  //
  // With g++ 12 a request made in place inside co_await
  //   co_await s.async_submit_sm({.destination_addr = ...}, asio::use_awaitable);
  // does not compile: that compiler destroys some of the temporary's members
  // twice (see README, Session). Name the request and pass it as an lvalue.
  template <class Token>
  auto async_submit_sm(submit_sm_request&& r, Token&& token) {
    refuse_awaited_temporary<Token>();
    return initiate(std::move(r), std::forward<Token>(token));
  }
  template <class Token>
  auto async_submit_sm(const submit_sm_request& r, Token&& token) {
    return initiate(r, std::forward<Token>(token));
  }
  template <class Token>
  auto async_submit_multi(submit_multi_request&& r, Token&& token) {
    refuse_awaited_temporary<Token>();
    return initiate(std::move(r), std::forward<Token>(token));
  }
  template <class Token>
  auto async_submit_multi(const submit_multi_request& r, Token&& token) {
    return initiate(submit_multi_request(r), std::forward<Token>(token));
  }
  template <class Token>
  auto async_data_sm(data_sm_request&& r, Token&& token) {
    refuse_awaited_temporary<Token>();
    return initiate(std::move(r), std::forward<Token>(token));
  }
  template <class Token>
  auto async_data_sm(const data_sm_request& r, Token&& token) {
    return initiate(r, std::forward<Token>(token));
  }
  template <class Token>
  auto async_query_sm(query_sm_request&& r, Token&& token) {
    refuse_awaited_temporary<Token>();
    return initiate(std::move(r), std::forward<Token>(token));
  }
  template <class Token>
  auto async_query_sm(const query_sm_request& r, Token&& token) {
    return initiate(query_sm_request(r), std::forward<Token>(token));
  }
  template <class Token>
  auto async_cancel_sm(cancel_sm_request&& r, Token&& token) {
    refuse_awaited_temporary<Token>();
    return initiate(std::move(r), std::forward<Token>(token));
  }
  template <class Token>
  auto async_cancel_sm(const cancel_sm_request& r, Token&& token) {
    return initiate(cancel_sm_request(r), std::forward<Token>(token));
  }
  template <class Token>
  auto async_replace_sm(replace_sm_request&& r, Token&& token) {
    refuse_awaited_temporary<Token>();
    return initiate(std::move(r), std::forward<Token>(token));
  }
  template <class Token>
  auto async_replace_sm(const replace_sm_request& r, Token&& token) {
    return initiate(replace_sm_request(r), std::forward<Token>(token));
  }
  template <class Token>
  auto async_enquire_link(Token&& token) {
    return initiate(enquire_link_request{}, std::forward<Token>(token));
  }

  // Encodes, splits and submits a text; completes once with every part's
  // message_id, or with the first part's failure.
  // Signature: void(std::error_code, text_result).
  template <class Token>
  auto async_send_text(text_request&& r, Token&& token) {
    refuse_awaited_temporary<Token, void(std::error_code, text_result)>();
    return initiate_text(std::move(r), std::forward<Token>(token));
  }
  template <class Token>
  auto async_send_text(const text_request& r, Token&& token) {
    return initiate_text(text_request(r), std::forward<Token>(token));
  }

  // Handlers: set them on the loop's thread, before async_connect.
  void set_message_handler(message_handler h);
  void set_receipt_handler(receipt_handler h);
  void set_state_handler(state_handler h);

  // Loop thread only.
  state current_state() const;
  session_counters counters() const;
  MetricsSnapshot metrics() const;
  std::string metrics_prometheus(std::string_view prefix = "velmor_smpp") const;
  std::size_t in_flight() const;
  std::size_t queued() const;
  std::size_t receipts_remembered() const;
  // The last socket error the platform reported (errno, resolver or TLS
  // code; 0: none since the last successful connect). Explains connect_failed.
  int last_socket_error() const;
  // The negotiated TLS version and cipher ("TLSv1.3 TLS_AES_256_GCM_SHA384");
  // empty over plain TCP or while not connected.
  std::string tls_description() const;

 private:
  friend class pool;
  // For the pool: lends the session its link (before async_connect), takes a
  // request moved from another bind (any thread), and moves this bind's
  // queue away while it is down and another bind is up (any thread).
  void join_pool(detail::pool_link* link);
  void adopt(detail::parked&& p);
  void release_queue_if_down();
  // Completes what the session holds with shutting_down and refuses what
  // comes after, as destruction does, leaving the object in place (loop
  // thread, or no loop running).
  void retire();

  // A std::function that calls a (possibly move-only) handler once, through
  // its executor.
  template <class Handler, class Executor>
  static auto once(Handler&& handler, const Executor& ex) {
    auto h = std::make_shared<std::decay_t<Handler>>(std::forward<Handler>(handler));
    return [h, ex](std::error_code ec, auto&&... result) {
      asio::dispatch(ex, [h, ec, r = std::make_tuple(std::move(result)...)]() mutable {
        std::apply([&](auto&&... v) { std::move (*h)(ec, std::move(v)...); }, std::move(r));
      });
    };
  }
  template <class Token>
  auto initiate_void(void (session::*start)(std::function<void(std::error_code)>), Token&& token) {
    return asio::async_initiate<Token, void(std::error_code)>(
        [this, start](auto handler) {
          auto ex = asio::get_associated_executor(handler, get_executor());
          (this->*start)(once(std::move(handler), ex));
        },
        token);
  }
  template <class Request, class Token>
  auto initiate(Request&& r, Token&& token) {
    return asio::async_initiate<Token, completion_signature>(
        [this](auto handler, auto&& r) {  // invoked once: an rvalue request may be moved from
          submit(std::forward<decltype(r)>(r), detail::completion(std::move(handler), get_executor()));
        },
        token, std::forward<Request>(r));
  }
  using completion_signature = void(std::error_code, response);
  template <class Token>
  auto initiate_text(text_request&& r, Token&& token) {
    return asio::async_initiate<Token, void(std::error_code, text_result)>(
        [this](auto handler, text_request r) {
          auto ex = asio::get_associated_executor(handler, get_executor());
          start_text(std::move(r), once(std::move(handler), ex));
        },
        token, std::move(r));
  }
  // An rvalue request with a token that makes a coroutine's awaitable: under
  // g++ 12 it is almost always a braced temporary inside co_await, which that
  // compiler destroys twice.
  template <class Token, class Signature = completion_signature>
  static constexpr void refuse_awaited_temporary() {
#if defined(VELMOR_SESSION_REFUSE_AWAITED_TEMPORARIES)
    static_assert(!detail::makes_awaitable<Token, Signature>,
                  "g++ 12 destroys a request made in place inside co_await twice: name the request, then pass it "
                  "as an lvalue (auto r = velmor::session::submit_sm_request{...}; co_await s.async_submit_sm(r, "
                  "asio::use_awaitable);)");
#endif
  }

  // One per request kind, so the request is moved once, into its slot.
  void submit(submit_sm_request&& r, detail::completion&& done);
  void submit(const submit_sm_request& r, detail::completion&& done);
  void submit(const data_sm_request& r, detail::completion&& done);
  void submit(submit_multi_request&& r, detail::completion&& done);
  void submit(data_sm_request&& r, detail::completion&& done);
  void submit(query_sm_request&& r, detail::completion&& done);
  void submit(cancel_sm_request&& r, detail::completion&& done);
  void submit(replace_sm_request&& r, detail::completion&& done);
  void submit(enquire_link_request&& r, detail::completion&& done);
  template <class Request>
  void submit_any(Request&& r, detail::completion&& done);
  void start_connect(std::function<void(std::error_code)> done);
  void start_shutdown(std::function<void(std::error_code)> done);
  void start_text(text_request r, std::function<void(std::error_code, text_result)> done);

  std::shared_ptr<detail::shell> shell_;
};

}  // namespace velmor::session
