// The session's shell: carries out the protocol machine's actions with the
// component (octets), Asio (timers, completions) and the application's
// handlers, one action at a time.
//
// Lifetime. Every run of actions keeps a frame on the stack; destroying the
// session marks the frames, completes what is left and detaches from the
// component, so a run that sees its frame marked returns without touching
// anything. The component's events reach the shell through a cell that
// detach empties: a component destroyed under its own event is handed to the
// loop, and whatever it still frames from the same read goes nowhere.
#include "session/Session.h"

#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include "component/BindType.h"
#include "session/detail/Machine.h"
#include "session/detail/PoolLink.h"
#include "session/detail/RateGate.h"
#include "session/detail/Receipts.h"
#include "sms/SubmitParts.h"

namespace velmor::session {

const char* to_string(state s) noexcept {
  switch (s) {
    case state::closed: return "closed";
    case state::connecting: return "connecting";
    case state::open: return "open";
    case state::binding: return "binding";
    case state::bound_tx: return "bound_tx";
    case state::bound_rx: return "bound_rx";
    case state::bound_trx: return "bound_trx";
    case state::unbinding: return "unbinding";
  }
  return "?";
}

namespace detail {
namespace {

// The component, with the two non-public hooks the shell needs: each framed
// PDU, and the socket's answer to a write.
class link_component final : public TVelmorSMPPDemo {
 public:
  using TVelmorSMPPDemo::TVelmorSMPPDemo;
  bool send(std::string_view pdu) { return CliSockSend(pdu); }
  void on_framed(std::function<void(std::string_view)> f) { FramedPDU = std::move(f); }
};

}  // namespace

struct deferral {
  std::weak_ptr<shell> owner;
  asio::io_context::executor_type ex;
  std::uint32_t ticket = 0;
  std::atomic<bool> done{false};
  deferral(std::weak_ptr<shell> o, asio::io_context::executor_type e, std::uint32_t t)
      : owner(std::move(o)), ex(e), ticket(t) {}
};

class shell : public std::enable_shared_from_this<shell> {
 public:
  shell(config cfg, TEventLoop& loop)
      : cfg_(std::move(cfg)),
        ctx_(loop.Context()),
        comp_(std::make_unique<link_component>(nullptr, loop)),
        m_(cfg_, static_cast<std::uint32_t>(clock::now().time_since_epoch().count())),
        timer_(ctx_),
        receipts_(ctx_.get_executor(), cfg_) {}

  ~shell() { detach(); }

  void attach();
  void detach();
  void retire() {
    if (detached_) return;
    m_.retire();
    run();
  }

  // ---- inputs from the application (loop thread) --------------------------------
  template <class Request>
  void request(const Request& r, completion&& done, std::uint16_t part_index = 0, std::uint16_t part_count = 1) {
    const std::uint32_t key = keep(std::move(done));
    if constexpr (std::is_same_v<Request, submit_sm_request> || std::is_same_v<Request, data_sm_request>)
      if ((r.registered_delivery & 0x03) != 0 && receipts_.behind()) {
        m_.refuse(key, errc::receipt_store_behind);
        run();
        return;
      }
    receipts_.requested(key, part_count);
    if constexpr (std::is_same_v<Request, submit_sm_request>)
      m_.request(r, key, now(), part_index, part_count);
    else
      m_.request(r, key, now());
    run();
  }
  void connect(std::function<void(std::error_code)> done) {
    m_.connect(keep_waiter(std::move(done)), now());
    run();
  }
  void shutdown(std::function<void(std::error_code)> done) {
    m_.shutdown(keep_waiter(std::move(done)), now());
    run();
  }
  void text(text_request r, std::function<void(std::error_code, text_result)> done);
  void adopt(parked&& p) {
    p.r.key = keep(std::move(p.done));
    receipts_.take_over(p.r.key, std::move(p.text_group));
    m_.adopt(std::move(p.r), now());
    run();
  }
  void hand_off_queued();
  void answer_deferred(std::uint32_t ticket, std::uint32_t status, const std::string& message_id) {
    if (detached_) return;
    m_.answer(ticket, status, message_id, now());
    run();
  }
  deferred_response make_deferral(std::uint32_t ticket) {
    deferred_response r;
    r.d_ = std::make_shared<deferral>(weak_from_this(), ctx_.get_executor(), ticket);
    return r;
  }

  config cfg_;
  asio::io_context& ctx_;
  std::unique_ptr<link_component> comp_;
  machine m_;
  asio::steady_timer timer_;
  time_point timer_at_ = time_point::max();
  receipts receipts_;
  message_handler on_message_;
  receipt_handler on_receipt_;
  state_handler on_state_;
  pool_link* link_ = nullptr;
  std::unique_ptr<limiter_gate> gate_;  // with config::rate_limiter
  int last_socket_error_ = 0;
  bool detached_ = false;

 private:
  // What the component's events reach the shell through.
  struct cell {
    shell* self;
  };
  // One per run of actions or component event on the stack.
  struct frame {
    explicit frame(shell& s) : outer(s.frames_) { s.frames_ = this; }
    frame* outer;
    bool dead = false;
  };
  void pop(frame& f) { frames_ = f.outer; }

  std::uint32_t keep(completion&& done) {
    if (free_keys_.empty()) {
      done_.push_back(std::move(done));
      return static_cast<std::uint32_t>(done_.size() - 1);
    }
    const std::uint32_t k = free_keys_.back();
    free_keys_.pop_back();
    done_[k] = std::move(done);
    return k;
  }
  std::uint32_t keep_waiter(std::function<void(std::error_code)> done) {
    if (free_waiters_.empty()) {
      waiters_.push_back(std::move(done));
      return static_cast<std::uint32_t>(waiters_.size() - 1);
    }
    const std::uint32_t k = free_waiters_.back();
    free_waiters_.pop_back();
    waiters_[k] = std::move(done);
    return k;
  }
  std::function<void(std::error_code)> take_waiter(std::uint32_t k) {
    free_waiters_.push_back(k);
    return std::move(waiters_[k]);
  }
  // A read's PDUs are read at one time: the clock is read once for them all,
  // and forgotten when the loop turns.
  time_point now() { return read_time_ != time_point{} ? read_time_ : clock::now(); }
  time_point read_time() {
    if (read_time_ == time_point{}) {
      read_time_ = clock::now();
      asio::post(ctx_, [w = weak_from_this()] {
        if (auto s = w.lock()) s->read_time_ = {};
      });
    }
    return read_time_;
  }
  void unload() {
    if (link_) link_->load.fetch_sub(1, std::memory_order_relaxed);
  }

  void run();
  void execute(action& a, frame& f);
  void complete(action& a);
  void arm(time_point t);

  std::shared_ptr<cell> cell_ = std::make_shared<cell>(cell{this});
  frame* frames_ = nullptr;
  int events_ = 0;  // component events on the stack
  bool running_ = false;
  std::size_t head_ = 0;
  std::vector<completion> done_;
  std::vector<std::uint32_t> free_keys_;
  std::vector<std::function<void(std::error_code)>> waiters_;
  std::vector<std::uint32_t> free_waiters_;
  time_point read_time_{};
  std::uint16_t text_ref_ = 0;

  friend class velmor::session::session;
};

// ---- carrying out actions ---------------------------------------------------------

// Carries out the machine's actions in order. An input made while they run
// (a completion that makes a request) appends to them; this loop, the
// outermost, carries those out too.
void shell::run() {
  if (running_ || detached_) return;
  running_ = true;
  frame f(*this);
  std::vector<action>& out = m_.actions();
  while (head_ < out.size()) {
    execute(out[head_++], f);
    if (f.dead) return;  // the session was destroyed under a handler
  }
  head_ = 0;
  m_.clear_actions();
  running_ = false;
  pop(f);
}

void shell::complete(action& a) {
  completion done = std::move(done_[a.key]);
  free_keys_.push_back(a.key);
  unload();
  response& r = m_.response_of(a);
  receipts_.completed(a.key, m_.note_of(a), r.message_id);
  if (a.immediate) {
    // Never inside the initiating call: the caller's frame may not expect it.
    asio::post(ctx_, [d = std::move(done), ec = a.ec]() mutable { d(ec, response{}); });
    return;
  }
  done(a.ec, std::move(r));
}

// `a` lives in the machine's action list, which an input made by a handler
// may grow: whatever a handler needs is taken out of it first.
void shell::execute(action& a, frame& f) {
  switch (a.kind) {
    case act::write:
      if (!comp_->send(m_.octets(a))) m_.write_refused(a.seq, a.command_id, now());
      return;
    case act::connect:
      comp_->SetTLS(cfg_.tls);
      comp_->SetSendQueueLimit(cfg_.send_queue_limit);
      comp_->Connect(cfg_.host, cfg_.port);
      return;
    case act::close: comp_->Disconnect(); return;
    case act::wake: arm(a.at); return;
    case act::complete: complete(a); return;
    case act::done: {
      auto d = take_waiter(a.key);
      if (a.immediate)
        asio::post(ctx_, [d = std::move(d), ec = a.ec] { d(ec); });
      else
        d(a.ec);
      return;
    }
    case act::state: {
      if (!on_state_) return;
      const state_handler h = on_state_;  // the handler may replace itself
      h(a.st, a.ec);
      return;
    }
    case act::message: {
      const std::uint32_t ticket = a.inbound;
      inbound_message& m = m_.inbound(a);
      std::uint32_t status = 0;
      inbound_context ctx;
      ctx.shell_ = this;
      ctx.ticket_ = ticket;
      if (on_message_) {
        const message_handler h = on_message_;
        status = h(m, ctx);
        if (f.dead) return;
      } else if (!cfg_.accept_unhandled) {
        status = command_status::ESME_RX_T_APPN;  // nobody took it: the SMSC delivers it again
      }
      if (!ctx.deferred_) m_.answer(ticket, status, {}, now());
      return;
    }
    case act::receipt: {
      const std::uint32_t ticket = a.inbound;
      if (!on_receipt_ && !cfg_.accept_unhandled) {
        m_.answer(ticket, command_status::ESME_RX_T_APPN, {}, now());  // nobody takes it: delivered again later
        return;
      }
      sms::Receipt r = std::move(*m_.receipt(a));
      // Answered once the store has placed it and the handler has seen it.
      receipts_.deliver(std::move(m_.inbound(a)), std::move(r), [w = weak_from_this(), ticket](receipt_event& e) {
        auto s = w.lock();
        if (!s || s->detached_) return;
        s->m_.metrics().on_receipt(e.outcome, e.reason);
        if (s->on_receipt_) {
          const receipt_handler h = s->on_receipt_;  // the handler may replace itself
          h(e);
          if (s->detached_) return;
        }
        s->m_.answer(ticket, 0, {}, s->now());
        s->run();
      });
      return;
    }
    case act::release:
      hand_off_queued();
      m_.released(now());
      return;
  }
}

void shell::arm(time_point t) {
  if (t >= timer_at_) return;
  timer_at_ = t;
  timer_.expires_at(t);
  timer_.async_wait([w = weak_from_this()](const asio::error_code& ec) {
    if (ec) return;
    auto s = w.lock();
    if (!s || s->detached_) return;
    s->timer_at_ = time_point::max();
    s->m_.tick(clock::now());
    s->run();
  });
}

// This bind is down: what waits in its queue goes to the other binds of the
// pool.
void shell::hand_off_queued() {
  if (!link_ || detached_ || !link_->others_bound()) return;
  std::vector<moved_request> q = m_.take_queue();
  if (q.empty()) return;
  std::vector<parked> out;
  out.reserve(q.size());
  for (moved_request& r : q) {
    parked& p = out.emplace_back();
    p.done = std::move(done_[r.key]);
    p.text_group = receipts_.hand_over(r.key);
    free_keys_.push_back(r.key);
    p.r = std::move(r);
    unload();
  }
  link_->hand_off(std::move(out));
}

// ---- texts ----------------------------------------------------------------------

// Encoded and split here; each part is a submit_sm of its own, and the text
// completes once, with every part's message_id or the first failure.
void shell::text(text_request r, std::function<void(std::error_code, text_result)> done) {
  sms::SegmentOptions opts;
  opts.method = r.split;
  if (r.split == split_method::Udh8)
    opts.reference = static_cast<std::uint16_t>(++text_ref_ & 0xFF);
  else if (r.split != split_method::Payload)
    opts.reference = ++text_ref_;
  if (r.data_coding) opts.data_coding = *r.data_coding;
  auto parts = sms::SegmentText(r.text, opts);
  if (!parts) {
    m_.refuse(keep(completion([d = std::move(done)](std::error_code ec, response) { d(ec, {}); }, ctx_.get_executor())),
              errc::encoding_failed);
    run();
    return;
  }
  struct progress {
    std::function<void(std::error_code, text_result)> done;
    text_result result;
    std::size_t remaining = 0;
    bool failed = false;
  };
  auto p = std::make_shared<progress>();
  p->done = std::move(done);
  const std::size_t n = parts->size();
  // The pool counted the text as one request; each part is one.
  if (link_) link_->load.fetch_add(static_cast<std::int64_t>(n) - 1, std::memory_order_relaxed);
  p->result.parts = n;
  p->result.message_ids.resize(n);
  p->remaining = n;
  std::weak_ptr<shell> alive = weak_from_this();
  if (n > 1) receipts_.begin_text();
  for (std::size_t i = 0; i < n; ++i) {
    const sms::Part& part = (*parts)[i];
    submit_sm_request q;
    q.source_addr_ton = r.source_addr_ton;
    q.source_addr_npi = r.source_addr_npi;
    q.source_addr = r.source_addr;
    q.dest_addr_ton = r.dest_addr_ton;
    q.dest_addr_npi = r.dest_addr_npi;
    q.destination_addr = r.destination_addr;
    q.esm_class = part.esm_class;
    q.data_coding = part.data_coding;
    q.short_message = part.short_message;
    q.options = sms::ToOPSubmit_SM(part);
    q.registered_delivery = r.registered_delivery;
    q.tag = r.tag;
    q.timeout = r.timeout;
    auto on_part = [p, i](std::error_code ec, response resp) {
      if (p->failed) return;
      if (ec) {
        p->failed = true;
        p->done(ec, {});
        return;
      }
      p->result.message_ids[i] = std::move(resp.message_id);
      if (--p->remaining == 0) p->done({}, std::move(p->result));
    };
    request(q, completion(std::move(on_part), ctx_.get_executor()), static_cast<std::uint16_t>(i),
            static_cast<std::uint16_t>(n));
    if (alive.expired() || detached_) return;
  }
  receipts_.end_text();
}

// ---- the component's events -------------------------------------------------------

void shell::attach() {
  if (cfg_.rate_limiter) {
    gate_ = std::make_unique<limiter_gate>(cfg_.rate_limiter, ctx_.get_executor(), [w = weak_from_this()] {
      auto s = w.lock();
      if (!s || s->detached_) return;
      s->m_.tick(clock::now());  // a token came: send what waits for one
      s->run();
    });
    m_.set_rate_gate(gate_.get());
  }
  link_component& c = *comp_;
  auto on = [cell = cell_](auto fn) {
    return [cell, fn](auto&&... args) {
      shell* self = cell->self;
      if (self == nullptr) return;
      frame f(*self);
      ++self->events_;
      fn(*self, args...);
      if (f.dead) return;
      --self->events_;
      self->pop(f);
    };
  };
  if (cfg_.trace) {
    c.TraceSent = [t = cfg_.trace](std::string_view pdu) { t(true, pdu); };
    c.TraceReceived = [t = cfg_.trace](std::string_view pdu) { t(false, pdu); };
  }
  c.on_framed(on([](shell& s, std::string_view pdu) {
    s.m_.received(pdu, s.read_time());
    s.run();
  }));
  c.OnConnect = on([](shell& s, TObject*) {
    s.last_socket_error_ = 0;
    s.m_.link_up(clock::now());
    s.run();
  });
  c.OnDisconnect = on([](shell& s, TObject*) {
    s.m_.link_down(clock::now());
    s.run();
  });
  c.OnSockError = on([](shell& s, TObject*, Integer code) {
    s.last_socket_error_ = code;
    s.m_.socket_error(clock::now());
    s.run();
  });
  c.OnUnknown_command =
      on([](shell& s, TObject*, Cardinal length, Cardinal id, Cardinal status, Cardinal seq, AnsiString) {
        // Only an unframeable header arrives here: the component has closed the
        // link already, and OnDisconnect follows.
        if (s.cfg_.unframeable) s.cfg_.unframeable(length, id, status, seq);
      });
}

// Everything still waiting completes with shutting_down, the connection is
// dropped without unbind, and no handler of the application but those
// completions is called again.
void shell::detach() {
  if (detached_) return;
  for (frame* f = frames_; f; f = f->outer) f->dead = true;
  frames_ = nullptr;
  cell_->self = nullptr;
  on_message_ = nullptr;
  on_receipt_ = nullptr;
  on_state_ = nullptr;
  timer_.cancel();
  m_.retire();
  running_ = true;  // inputs made by the completions below append here
  std::vector<action>& out = m_.actions();
  while (head_ < out.size()) {
    action& a = out[head_++];
    if (a.kind == act::complete) {
      complete(a);
    } else if (a.kind == act::done) {
      auto d = take_waiter(a.key);
      if (d) d(a.ec);
    }
  }
  head_ = 0;
  m_.clear_actions();
  detached_ = true;
  if (comp_) {
    if (comp_->Connected()) comp_->Disconnect();
    if (events_ > 0) {
      // Never destroyed from inside its own event: the loop destroys it.
      std::shared_ptr<link_component> later(comp_.release());
      asio::post(ctx_, [later] {});
    } else {
      comp_.reset();
    }
  }
}

}  // namespace detail

// ---- deferred answers ------------------------------------------------------------

void deferred_response::complete(std::uint32_t command_status, std::string message_id) const {
  if (!d_ || d_->done.exchange(true)) return;
  asio::dispatch(d_->ex, [d = d_, command_status, id = std::move(message_id)] {
    if (auto s = d->owner.lock()) s->answer_deferred(d->ticket, command_status, id);
  });
}

deferred_response inbound_context::defer() {
  if (!deferred_ && shell_ != nullptr) {
    deferred_ = true;
    handle_ = shell_->make_deferral(ticket_);
  }
  return handle_;
}

// ---- session ----------------------------------------------------------------------

session::session(config cfg, TEventLoop& loop) : shell_(std::make_shared<detail::shell>(std::move(cfg), loop)) {
  shell_->attach();
}

session::~session() {
  shell_->detach();
  shell_.reset();
}

session::executor_type session::get_executor() const noexcept { return shell_->ctx_.get_executor(); }

template <class Request>
void session::submit_any(Request&& r, detail::completion&& done) {
  auto ex = shell_->ctx_.get_executor();
  if (ex.running_in_this_thread()) {
    shell_->request(r, std::move(done));
    return;
  }
  asio::post(ex, [s = shell_, r = std::decay_t<Request>(std::forward<Request>(r)), d = std::move(done)]() mutable {
    if (!s->detached_) s->request(r, std::move(d));
  });
}

void session::submit(submit_sm_request&& r, detail::completion&& d) { submit_any(std::move(r), std::move(d)); }
void session::submit(const submit_sm_request& r, detail::completion&& d) { submit_any(r, std::move(d)); }
void session::submit(const data_sm_request& r, detail::completion&& d) { submit_any(r, std::move(d)); }
void session::submit(submit_multi_request&& r, detail::completion&& d) { submit_any(std::move(r), std::move(d)); }
void session::submit(data_sm_request&& r, detail::completion&& d) { submit_any(std::move(r), std::move(d)); }
void session::submit(query_sm_request&& r, detail::completion&& d) { submit_any(std::move(r), std::move(d)); }
void session::submit(cancel_sm_request&& r, detail::completion&& d) { submit_any(std::move(r), std::move(d)); }
void session::submit(replace_sm_request&& r, detail::completion&& d) { submit_any(std::move(r), std::move(d)); }
void session::submit(enquire_link_request&& r, detail::completion&& d) { submit_any(std::move(r), std::move(d)); }

void session::start_connect(std::function<void(std::error_code)> done) {
  asio::dispatch(shell_->ctx_.get_executor(), [s = shell_, d = std::move(done)]() mutable {
    if (s->detached_) return d(make_error_code(errc::shutting_down));
    s->connect(std::move(d));
  });
}

void session::start_shutdown(std::function<void(std::error_code)> done) {
  asio::dispatch(shell_->ctx_.get_executor(), [s = shell_, d = std::move(done)]() mutable {
    if (s->detached_) return d(make_error_code(errc::shutting_down));
    s->shutdown(std::move(d));
  });
}

void session::start_text(text_request r, std::function<void(std::error_code, text_result)> done) {
  asio::dispatch(shell_->ctx_.get_executor(), [s = shell_, r = std::move(r), d = std::move(done)]() mutable {
    if (s->detached_) return d(make_error_code(errc::shutting_down), {});
    s->text(std::move(r), std::move(d));
  });
}

void session::join_pool(detail::pool_link* link) {
  shell_->link_ = link;
  shell_->m_.set_shared_rate(link ? link->rate : nullptr);
}

void session::adopt(detail::parked&& p) {
  asio::post(shell_->ctx_, [s = shell_, p = std::move(p)]() mutable {
    if (s->detached_) {
      if (s->link_) s->link_->load.fetch_sub(1, std::memory_order_relaxed);
      p.done(make_error_code(errc::shutting_down), {});
      return;
    }
    s->adopt(std::move(p));
  });
}

void session::release_queue_if_down() {
  asio::post(shell_->ctx_, [s = shell_] { s->hand_off_queued(); });
}

void session::retire() { shell_->retire(); }

void session::set_message_handler(message_handler h) { shell_->on_message_ = std::move(h); }
void session::set_receipt_handler(receipt_handler h) { shell_->on_receipt_ = std::move(h); }
void session::set_state_handler(state_handler h) { shell_->on_state_ = std::move(h); }
state session::current_state() const { return shell_->m_.current(); }
session_counters session::counters() const { return shell_->m_.counters(); }
MetricsSnapshot session::metrics() const {
  MetricsSnapshot m = shell_->m_.metrics().snapshot();
  m.session_state = shell_->m_.current();
  m.account = shell_->cfg_.system_id;
  m.bind = codec::bind_state_name(BoundState(shell_->cfg_.bind_type));
  return m;
}
std::string session::metrics_prometheus(std::string_view prefix) const { return to_prometheus(metrics(), prefix); }
std::size_t session::in_flight() const { return shell_->m_.in_flight(); }
std::size_t session::queued() const { return shell_->m_.queued(); }
std::size_t session::receipts_remembered() const { return shell_->receipts_.size(); }
int session::last_socket_error() const { return shell_->last_socket_error_; }
std::string session::tls_description() const {
  if (!shell_->comp_) return {};
  TVelmorSMPPDemo& c = *shell_->comp_;
  for (int i = 0; i < c.ComponentCount(); ++i)
    if (auto* s = dynamic_cast<TClientSocket*>(c.Components(i)); s && s->Socket()) return s->Socket()->TLSDescription();
  return {};
}

}  // namespace velmor::session
