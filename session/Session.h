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

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include <asio/associated_executor.hpp>
#include <asio/async_result.hpp>
#include <asio/dispatch.hpp>
#include <asio/io_context.hpp>

#include "component/Velmorsmppdemo.h"
#include "session/Error.h"
#include "session/Metrics.h"
#include "session/ReceiptBook.h"
#include "session/ReceiptStore.h"
#include "session/receipts/Matcher.h"
#include "sms/Receipt.h"

namespace velmor::session {

using clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

enum class state : std::uint8_t {
  closed,      // no connection (initial, after a close, between reconnect attempts)
  connecting,  // TCP connection under way
  open,        // connected, bind not yet sent
  binding,     // bind sent, waiting for its response
  bound_tx,    // bound as transmitter
  bound_rx,    // bound as receiver
  bound_trx,   // bound as transceiver
  unbinding,   // unbind sent, waiting for unbind_resp
};
const char* to_string(state s) noexcept;

// How send_text splits a text that does not fit one short_message.
enum class split_method : std::uint8_t { udh, sar, payload };

struct config {
  std::string host = "127.0.0.1";
  int port = 2775;
  TBindType bind_type = Transceiver;
  std::string system_id;
  std::string password;
  std::string system_type;
  Byte addr_ton = 0;
  Byte addr_npi = 0;
  std::string address_range;

  std::size_t window = 10;         // requests in flight at most
  std::size_t queue_limit = 1000;  // requests waiting behind a full window (or a reconnect)
  milliseconds request_timeout{10'000};
  milliseconds enquire_link_idle{30'000};
  milliseconds enquire_link_timeout{10'000};
  milliseconds connect_timeout{10'000};
  milliseconds bind_timeout{10'000};
  bool reconnect = true;              // reconnect and rebind after the link is lost
  milliseconds reconnect_min{1'000};  // first backoff; doubled per failed attempt
  milliseconds reconnect_max{60'000};
  double reconnect_jitter = 0.2;          // each delay is scaled by a random factor in [1-j, 1+j]
  bool queue_while_reconnecting = true;   // false: requests fail at once with not_bound
  double submit_rate = 0;                 // submit_sm/submit_multi/data_sm per second; 0: unlimited
  double submit_burst = 1;                // tokens the bucket holds
  milliseconds throttle_pause{1'000};     // sending paused after ESME_RTHROTTLED / ESME_RMSGQFUL
  int throttle_retries = 3;               // resubmissions of a refused request before it fails
  milliseconds response_deadline{5'000};  // a deferred deliver_sm/data_sm answer; then ESME_RX_T_APPN
  milliseconds drain_timeout{5'000};      // shutdown: wait for requests in flight
  milliseconds unbind_timeout{5'000};     // shutdown: wait for unbind_resp
  // Messages waiting for their delivery receipt (see session/ReceiptStore.h
  // and README "Receipts"). receipt_store null: a memory store of this
  // session's own, limited by `receipts`. A pool gives all its binds one.
  ReceiptBook::Limits receipts{};
  std::shared_ptr<velmor::session::receipt_store> receipt_store;
  // Whose receipts the entries wait for; empty: "host:port/system_id", so the
  // binds and processes of one account share entries in a shared store.
  std::string receipt_account;
  receipts::matcher_config receipt_matching{};  // how long a receipt waits for its entry, how many wait
  // A deliver_sm or data_sm for which no handler is set (no receipt handler
  // for a receipt, no message handler for the rest) is answered
  // ESME_RX_T_APPN, so the SMSC delivers it again later; true answers it 0.
  bool accept_unhandled = false;
  std::uint32_t random_seed = 0;  // for the backoff jitter; 0: from the clock
  // TLS for every connection, verified by default (see TTLSOptions); each
  // reconnect makes a new handshake. A failed handshake is a connect_failed.
  TTLSOptions tls{};
  // Sees every PDU handed to the socket (sent true) and every framed PDU
  // received, on the loop's thread, before the session acts on it. A
  // diagnostic hook: it must not call into the session.
  std::function<void(bool sent, std::string_view pdu)> trace;
  // Called with the header of a PDU that cannot be framed (command_length 0
  // or beyond the largest PDU), once the component has dropped the link for
  // it; the state handler then sees closed with errc::disconnected.
  std::function<void(Cardinal command_length, Cardinal command_id, Cardinal command_status, Cardinal sequence_number)>
      unframeable;
};

// ---- requests (value structs; designated initializers welcome) ----------------------
// Fields are in protocol order, except that the text follows the addresses,
// so the common designated initializer reads naturally:
//   {.destination_addr = "4670001", .short_message = "Hi", .registered_delivery = 1}
// timeout 0 takes config::request_timeout. tag is the application's own value,
// handed back with each delivery receipt of the message.
struct submit_sm_request {
  std::string service_type;
  Byte source_addr_ton = 0, source_addr_npi = 0;
  std::string source_addr;
  Byte dest_addr_ton = 0, dest_addr_npi = 0;
  std::string destination_addr;
  std::string short_message;
  Byte esm_class = 0, protocol_id = 0, priority_flag = 0;
  std::string schedule_delivery_time, validity_period;
  Byte registered_delivery = 0, replace_if_present_flag = 0, data_coding = 0, sm_default_msg_id = 0;
  TOPSubmit_SM options{};
  std::uint64_t tag = 0;
  milliseconds timeout{0};
};

struct submit_multi_request {
  std::string service_type;
  Byte source_addr_ton = 0, source_addr_npi = 0;
  std::string source_addr;
  Tdest_address dest_address;
  std::string short_message;
  Byte esm_class = 0, protocol_id = 0, priority_flag = 0;
  std::string schedule_delivery_time, validity_period;
  Byte registered_delivery = 0, replace_if_present_flag = 0, data_coding = 0, sm_default_msg_id = 0;
  TOPSubmit_MULTI options{};
  milliseconds timeout{0};
};

struct data_sm_request {
  std::string service_type;
  Byte source_addr_ton = 0, source_addr_npi = 0;
  std::string source_addr;
  Byte dest_addr_ton = 0, dest_addr_npi = 0;
  std::string destination_addr;
  Byte esm_class = 0, registered_delivery = 0, data_coding = 0;
  TOPData_SM options{};
  std::uint64_t tag = 0;
  milliseconds timeout{0};
};

struct query_sm_request {
  std::string message_id;
  Byte source_addr_ton = 0, source_addr_npi = 0;
  std::string source_addr;
  milliseconds timeout{0};
};

struct cancel_sm_request {
  std::string service_type, message_id;
  Byte source_addr_ton = 0, source_addr_npi = 0;
  std::string source_addr;
  Byte dest_addr_ton = 0, dest_addr_npi = 0;
  std::string destination_addr;
  milliseconds timeout{0};
};

struct replace_sm_request {
  std::string message_id;
  Byte source_addr_ton = 0, source_addr_npi = 0;
  std::string source_addr;
  std::string schedule_delivery_time, validity_period;
  Byte registered_delivery = 0, sm_default_msg_id = 0;
  std::string short_message;
  milliseconds timeout{0};
};

struct enquire_link_request {
  milliseconds timeout{0};
};

// A UTF-8 text to one destination: encoded (GSM 7-bit when it fits, UCS-2
// otherwise, unless data_coding says), split, and submitted part by part.
struct text_request {
  std::string source_addr;
  Byte source_addr_ton = 0, source_addr_npi = 0;
  std::string destination_addr;
  Byte dest_addr_ton = 0, dest_addr_npi = 0;
  std::string text;
  split_method split = split_method::udh;
  std::optional<Byte> data_coding;
  Byte registered_delivery = 0;
  std::uint64_t tag = 0;
  milliseconds timeout{0};
};

// ---- results ----------------------------------------------------------------------
// The response to one request. Fields a response kind does not carry stay empty.
struct response {
  Cardinal command_id = 0;  // of the response PDU (generic_nack when the SMSC sent one)
  Cardinal sequence_number = 0;
  Cardinal command_status = 0;
  std::string message_id;
  std::chrono::nanoseconds round_trip{0};  // from the write of the request that got this response
  int attempts = 1;                        // > 1 after throttle retries
  // query_sm_resp
  std::string final_date;
  Byte message_state = 0, error_code = 0;
  // submit_multi_resp
  Tunsuccess_sme unsuccess_sme;
};

struct text_result {
  std::vector<std::string> message_ids;  // one per part, in part order
  std::size_t parts = 0;
};

// ---- what the SMSC sends --------------------------------------------------------------
// A deliver_sm or data_sm (command_id tells which); fields a PDU does not
// carry stay 0 or empty.
struct inbound_message {
  Cardinal command_id = 0;
  Cardinal sequence_number = 0;
  std::string service_type;
  Byte source_addr_ton = 0, source_addr_npi = 0;
  std::string source_addr;
  Byte dest_addr_ton = 0, dest_addr_npi = 0;
  std::string destination_addr;
  Byte esm_class = 0, protocol_id = 0, priority_flag = 0, registered_delivery = 0, data_coding = 0;
  std::string short_message;
  TOPDeliver_SM deliver_options{};
  TOPData_SM data_options{};
};

namespace detail {
class core;
struct deferral;
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
  friend class detail::core;
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
  friend class detail::core;
  detail::core* core_ = nullptr;
  const inbound_message* msg_ = nullptr;
  bool deferred_ = false;
  deferred_response handle_;
};

// Returns the command_status of the response (0 accepts), unless it defers.
using message_handler = std::function<std::uint32_t(const inbound_message&, inbound_context&)>;

// A delivery receipt, once its store has placed it (README "Receipts").
// matched: the message was found (outcome matched, early_matched,
// intermediate or duplicate): tag, destination_addr and the part are the
// submitter's; otherwise they are empty, reason says why, and message_id is
// what the receipt named. The deliver_sm / data_sm is answered once the
// handler has returned.
struct receipt_event {
  bool matched = false;
  receipts::outcome outcome = receipts::outcome::unmatched;
  receipts::unmatched_reason reason = receipts::unmatched_reason::none;
  bool intermediate = false;  // a non-final state (ENROUTE) or an intermediate notification (esm_class 0x20)
  // With the receipt that made every part of a long message final: whether
  // every part was delivered.
  std::optional<bool> whole_delivered;
  std::uint64_t tag = 0;
  std::string destination_addr;
  std::uint16_t part_index = 0, part_count = 1;
  std::string message_id;
  sms::Receipt receipt;
  inbound_message message;
};
using receipt_handler = std::function<void(const receipt_event&)>;
// Every state change; error says why the link went down (empty otherwise).
using state_handler = std::function<void(state, std::error_code)>;

// Counts of everything that completed, for the application and the tests.
struct session_counters {
  std::uint64_t requests = 0;  // accepted or refused at the call
  std::uint64_t ok = 0;        // completed with command_status 0
  std::uint64_t rejected = 0;  // completed with a non-zero command_status
  std::uint64_t timeouts = 0;
  std::uint64_t disconnected = 0;
  std::uint64_t local_errors = 0;  // refused by the session (not_bound, queue_full, shutting_down, ...)
  std::uint64_t late_responses = 0;
  std::uint64_t throttled = 0, retried = 0;
  std::uint64_t reconnects = 0, binds = 0;
  std::uint64_t enquire_links_sent = 0, links_declared_dead = 0;
  std::uint64_t inbound_answered = 0, inbound_rejected_state = 0, generic_nacks_sent = 0;
  std::uint64_t deferred_timeouts = 0;
  std::uint64_t handed_off = 0;  // queued requests moved to another bind of a pool
};

namespace detail {

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

using request = std::variant<submit_sm_request, submit_multi_request, data_sm_request, query_sm_request,
                             cancel_sm_request, replace_sm_request, enquire_link_request>;

// A request waiting in one bind's queue, built, on its way to another bind
// of a pool. It was never sent (or only refused with a throttling status).
struct parked {
  std::string pdu;
  completion done;
  Cardinal command_id = 0;
  clock::time_point deadline{};
  int attempts = 0;
  int hops = 0;
  std::uint16_t part_index = 0, part_count = 1;
  bool wants_receipt = false;
  std::uint64_t tag = 0;
  std::string destination_addr;
  std::string group;
};

// One token bucket shared by threads: a submit conforms while the budget's
// theoretical time of the next token (minus the burst) is not in the future.
class shared_rate {
 public:
  shared_rate(double per_second, double burst);
  // Takes a token; when none is left, says when the next one comes.
  bool take(clock::time_point now, clock::time_point& next);

 private:
  std::int64_t interval_ns_ = 0, tolerance_ns_ = 0;
  std::atomic<std::int64_t> next_ns_{0};
};

// What a pool lends each of its sessions. Every call is made on the
// session's loop thread.
struct pool_link {
  // Requests given to this bind and not yet completed or moved on; the pool
  // counts one when it chooses the bind, the session takes it off. A cache
  // line of its own: two threads write it.
  alignas(64) std::atomic<std::int64_t> load{0};
  alignas(64) shared_rate* rate = nullptr;
  std::function<bool()> others_bound;
  std::function<void(std::vector<parked>&&)> hand_off;
};

}  // namespace detail

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
  template <class Token>
  auto async_submit_sm(submit_sm_request&& r, Token&& token) {
    return initiate(std::move(r), std::forward<Token>(token));
  }
  template <class Token>
  auto async_submit_sm(const submit_sm_request& r, Token&& token) {
    return initiate(r, std::forward<Token>(token));
  }
  template <class Token>
  auto async_submit_multi(submit_multi_request r, Token&& token) {
    return initiate(std::move(r), std::forward<Token>(token));
  }
  template <class Token>
  auto async_data_sm(data_sm_request&& r, Token&& token) {
    return initiate(std::move(r), std::forward<Token>(token));
  }
  template <class Token>
  auto async_data_sm(const data_sm_request& r, Token&& token) {
    return initiate(r, std::forward<Token>(token));
  }
  template <class Token>
  auto async_query_sm(query_sm_request r, Token&& token) {
    return initiate(std::move(r), std::forward<Token>(token));
  }
  template <class Token>
  auto async_cancel_sm(cancel_sm_request r, Token&& token) {
    return initiate(std::move(r), std::forward<Token>(token));
  }
  template <class Token>
  auto async_replace_sm(replace_sm_request r, Token&& token) {
    return initiate(std::move(r), std::forward<Token>(token));
  }
  template <class Token>
  auto async_enquire_link(Token&& token) {
    return initiate(enquire_link_request{}, std::forward<Token>(token));
  }

  // Encodes, splits and submits a text; completes once with every part's
  // message_id, or with the first part's failure.
  // Signature: void(std::error_code, text_result).
  template <class Token>
  auto async_send_text(text_request r, Token&& token) {
    return asio::async_initiate<Token, void(std::error_code, text_result)>(
        [this](auto handler, text_request r) {
          auto ex = asio::get_associated_executor(handler, get_executor());
          start_text(std::move(r), once(std::move(handler), ex));
        },
        token, std::move(r));
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

  std::shared_ptr<detail::core> core_;
};

}  // namespace velmor::session
