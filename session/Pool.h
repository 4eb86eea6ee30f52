// velmor::session::pool: several binds behind one submit interface.
//
// Each bind is a session of its own (one per config; repeat a config for
// several binds to the same SMSC account), on one of the loops given at
// construction: bind i lives on loops[i % loops.size()]. Each reconnects on
// its own.
//
// Choosing a bind. Every request goes to the bound session with the most
// free window slots (window minus the requests it holds); among ties, one on
// the loop the request is made from (no hand-off between threads), then in
// turn. The counts are relaxed atomics, so a request made from any thread
// chooses without a lock and is then carried to the chosen bind's loop.
// While no bind is up, requests wait in the queue of the one chosen.
//
// A bind that goes down. Its requests in flight complete with
// errc::disconnected (they may have reached the SMSC); its queued requests,
// never sent, move to the binds that are up, keeping their deadlines, and
// are sent there once. Requests queued while every bind was down move as
// soon as one comes up. Nothing is resent except after a throttling refusal,
// exactly as in one session.
//
// Budget. pool_config::submit_rate is one token bucket for all binds
// together (submit_sm, submit_multi, data_sm), on top of each bind's own
// config::submit_rate.
//
// Threads. Requests may be made from any thread. Completions run on the loop
// of the bind the request was first given to, or through the handler's
// associated executor. The message, receipt and state handlers run on the
// loop of the bind concerned: with several loops they run on several
// threads, possibly at once.
//
// Lifetime. Destroy the pool with its loops no longer running, or, with one
// loop, on that loop's thread; requests still waiting complete with
// errc::shutting_down when their loop next runs.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <system_error>
#include <vector>

#include "session/Session.h"
#include "session/detail/PoolLink.h"

namespace velmor::session {

struct pool_config {
  std::vector<config> binds;  // one session per entry
  double submit_rate = 0;     // submit_sm/submit_multi/data_sm per second, all binds together; 0: unlimited
  double submit_burst = 1;
  // The receipt store of every bind whose config gives none; null: one
  // memory store for them all. Binds of one account (the same
  // config::receipt_account, or host, port and system_id) match each other's
  // receipts.
  std::shared_ptr<velmor::session::receipt_store> receipt_store;
  // The budget every bind whose config gives none draws from (one for them
  // all; a Redis one is shared with other processes too), on top of
  // submit_rate above.
  std::shared_ptr<velmor::session::rate_limiter> rate_limiter;
};

// Every state change of one bind (its index in pool_config::binds).
using pool_state_handler = std::function<void(std::size_t bind, state, std::error_code)>;

class pool {
 public:
  // Every bind on one loop.
  pool(pool_config cfg, TEventLoop& loop);
  // Bind i on loops[i % loops.size()]; the application runs each loop on a
  // thread of its own.
  pool(pool_config cfg, const std::vector<TEventLoop*>& loops);
  ~pool();
  pool(const pool&) = delete;
  pool& operator=(const pool&) = delete;

  // Connects and binds every bind. Completes once every bind has finished
  // its first attempt: without error when at least one is bound, otherwise
  // with the first bind's error. Signature: void(std::error_code).
  template <class Token>
  auto async_connect(Token&& token) {
    return each(&session::async_connect<std::function<void(std::error_code)>>, false, std::forward<Token>(token));
  }
  // Shuts every bind down; completes when all have. Signature: void(std::error_code).
  template <class Token>
  auto async_shutdown(Token&& token) {
    return each(&session::async_shutdown<std::function<void(std::error_code)>>, true, std::forward<Token>(token));
  }

  // As session's, through the bind chosen for it.
  template <class Token>
  auto async_submit_sm(submit_sm_request&& r, Token&& token) {
    return choose().async_submit_sm(std::move(r), std::forward<Token>(token));
  }
  template <class Token>
  auto async_submit_sm(const submit_sm_request& r, Token&& token) {
    return choose().async_submit_sm(r, std::forward<Token>(token));
  }
  template <class Token>
  auto async_data_sm(data_sm_request&& r, Token&& token) {
    return choose().async_data_sm(std::move(r), std::forward<Token>(token));
  }
  template <class Token>
  auto async_data_sm(const data_sm_request& r, Token&& token) {
    return choose().async_data_sm(r, std::forward<Token>(token));
  }
  // Every part of one text goes through the same bind.
  template <class Token>
  auto async_send_text(text_request r, Token&& token) {
    return choose().async_send_text(std::move(r), std::forward<Token>(token));
  }

  // Handlers: set them before async_connect, with no loop running.
  void set_message_handler(message_handler h);
  void set_receipt_handler(receipt_handler h);
  void set_state_handler(pool_state_handler h);

  std::size_t size() const { return members_.size(); }
  // Whether bind i is bound now (any thread).
  bool bound(std::size_t i) const { return members_[i]->up.load(std::memory_order_relaxed); }
  // Requests bind i holds or is about to receive (any thread).
  std::int64_t load(std::size_t i) const { return members_[i]->link.load.load(std::memory_order_relaxed); }
  // Bind i itself, for its counters and metrics: on its loop's thread only.
  session& bind(std::size_t i) { return *members_[i]->s; }
  // Every bind's metrics in one Prometheus exposition, each series labelled
  // with the bind's index (see to_prometheus). A bind on the caller's own loop
  // is read at once; any other is read on its loop, which must be running, the
  // caller waiting: call it on the loop's thread with one loop, and with
  // several from a thread that runs none of them (two loop threads reading
  // each other's binds at once would wait for each other).
  std::string metrics_prometheus(std::string_view prefix = "velmor_smpp");

 private:
  struct member {
    detail::pool_link link;
    std::unique_ptr<session> s;
    std::int64_t window = 0;
    std::size_t loop = 0;  // index into loops_
    std::atomic<bool> up{false};
  };

  void build(pool_config cfg, const std::vector<TEventLoop*>& loops);
  session& choose();
  // The member a request goes to (counted on it), not `except`.
  std::size_t pick(std::size_t except);
  bool others_bound(std::size_t i) const;
  void hand_off(std::size_t from, std::vector<detail::parked>&& requests);
  void on_state(std::size_t i, state st, std::error_code ec);

  // Runs one void(std::error_code) operation on every bind and completes
  // once they all have.
  template <class Start, class Token>
  auto each(Start start, bool all_must_pass, Token&& token) {
    return asio::async_initiate<Token, void(std::error_code)>(
        [this, start, all_must_pass](auto handler) {
          using H = decltype(handler);
          struct tally {
            std::mutex m;
            std::size_t left = 0, passed = 0;
            std::error_code first;
            std::unique_ptr<H> h;
          };
          auto t = std::make_shared<tally>();
          t->left = members_.size();
          auto ex = asio::get_associated_executor(handler, members_.front()->s->get_executor());
          t->h = std::make_unique<H>(std::move(handler));
          for (auto& m : members_) {
            (m->s.get()->*start)(std::function<void(std::error_code)>([t, all_must_pass, ex](std::error_code ec) {
              std::unique_ptr<H> done;
              std::error_code result;
              {
                std::lock_guard<std::mutex> lock(t->m);
                if (ec && !t->first) t->first = ec;
                if (!ec) ++t->passed;
                if (--t->left != 0) return;
                done = std::move(t->h);
                const bool ok = all_must_pass ? !t->first : t->passed > 0;
                result = ok ? std::error_code{} : t->first;
              }
              asio::dispatch(ex, [done = std::move(done), result]() mutable { (*done)(result); });
            }));
          }
        },
        token);
  }

  std::vector<std::unique_ptr<member>> members_;
  std::vector<asio::io_context::executor_type> loops_;
  std::unique_ptr<detail::shared_rate> rate_;
  std::atomic<std::size_t> turn_{0};
  pool_state_handler on_state_;
};

}  // namespace velmor::session
