// The machine's link: connect, bind, keep-alive, the PDUs the SMSC sends,
// reconnect with backoff, graceful shutdown and retirement.
#include "session/detail/Machine.h"

#include <algorithm>
#include <cmath>

#include "codec/Pdu.h"
#include "component/BindType.h"

namespace velmor::session::detail {
namespace {

constexpr Cardinal kResponseBit = codec::response_bit;

// Refusals that no retry can mend: the account or its credentials are wrong.
constexpr bool permanent_bind_failure(Cardinal status) {
  return status == command_status::ESME_RINVPASWD || status == command_status::ESME_RINVSYSID ||
         status == command_status::ESME_RINVSYSTYP;
}

}  // namespace

machine::machine(const config& c, std::uint32_t seed)
    : bind_type_(c.bind_type),
      system_id_(c.system_id),
      password_(c.password),
      system_type_(c.system_type),
      address_range_(c.address_range),
      addr_ton_(c.addr_ton),
      addr_npi_(c.addr_npi),
      window_(std::max<std::size_t>(1, c.window)),
      queue_limit_(c.queue_limit),
      policy_(c.when_queue_full),
      request_timeout_(c.request_timeout),
      enquire_link_idle_(c.enquire_link_idle),
      enquire_link_timeout_(c.enquire_link_timeout),
      connect_timeout_(c.connect_timeout),
      bind_timeout_(c.bind_timeout),
      reconnect_(c.reconnect),
      retry_permanent_(c.retry_permanent_bind_failures),
      queue_while_reconnecting_(c.queue_while_reconnecting),
      reconnect_min_(c.reconnect_min),
      reconnect_max_(c.reconnect_max),
      reconnect_jitter_(c.reconnect_jitter),
      submit_rate_(c.submit_rate),
      submit_burst_(c.submit_burst),
      throttle_pause_(c.throttle_pause),
      throttle_retries_(c.throttle_retries),
      response_deadline_(c.response_deadline),
      drain_timeout_(c.drain_timeout),
      unbind_timeout_(c.unbind_timeout),
      rng_(c.random_seed != 0 ? c.random_seed : seed) {
  std::size_t n = 64;
  while (n < 4 * window_) n *= 2;
  table_.assign(n, nullptr);
  mask_ = n - 1;
  tokens_ = submit_burst_;
  out_.reserve(64);
  responses_.reserve(64);
}

void machine::clear_actions() {
  out_.clear();
  wire_.clear();
  if (!responses_.empty()) responses_.clear();
  if (!notes_.empty()) notes_.clear();
  if (!inbound_.empty()) {
    inbound_.clear();
    receipts_.clear();
  }
}

// ---- the rules of the bind states: the command table's ------------------------------

// The bind state the command table knows this session by: while unbinding
// it is still bound as it was.
codec::bind_state machine::table_state() const {
  switch (state_) {
    case state::bound_tx: return codec::bind_state::bound_tx;
    case state::bound_rx: return codec::bind_state::bound_rx;
    case state::bound_trx: return codec::bind_state::bound_trx;
    case state::unbinding: return BoundState(bind_type_);
    default: return codec::bind_state::open;
  }
}

bool machine::receives() const { return tcp_up_ && codec::allowed_from_smsc(command_id::deliver_sm, table_state()); }

namespace {

// The states in which an ESME may send each request kind the session makes,
// read from the command table when this is compiled (a lookup per request
// would scan the table).
constexpr codec::state_set from_esme(Cardinal id) {
  for (const codec::Command& c : codec::commands)
    if (c.id == id) return c.from_esme;
  return codec::states::none;
}

codec::state_set esme_states(Cardinal id) {
  switch (id) {
#define VELMOR_REQUEST_STATES(name) \
  case command_id::name: { \
    constexpr codec::state_set s = codec::find(command_id::name)->from_esme; \
    return s; \
  }
    VELMOR_REQUEST_STATES(submit_sm)
    VELMOR_REQUEST_STATES(submit_multi)
    VELMOR_REQUEST_STATES(data_sm)
    VELMOR_REQUEST_STATES(query_sm)
    VELMOR_REQUEST_STATES(cancel_sm)
    VELMOR_REQUEST_STATES(replace_sm)
    VELMOR_REQUEST_STATES(enquire_link)
#undef VELMOR_REQUEST_STATES
    default: return from_esme(id);
  }
}

}  // namespace

// Whether the current bind lets the session send a request of this kind.
bool machine::sends(Cardinal id) const { return bound() && (esme_states(id) & codec::states::bit(table_state())) != 0; }

// What a request the SMSC sent asks of the session in the current state.
machine::rule machine::inbound_rule(Cardinal id) const {
  if (codec::is_response(id)) return rule::late;
  if (!codec::may_send(codec::sender::smsc, id)) return rule::invalid_command;  // unknown, or only an ESME sends it
  if (!codec::allowed_from_smsc(id, table_state())) return rule::wrong_state;
  switch (id) {
    case command_id::enquire_link:
    case command_id::unbind:
    case command_id::deliver_sm:
    case command_id::data_sm: return rule::handle;
    default: return rule::ignore;  // outbind, alert_notification: no response exists, nothing to do bound
  }
}

// The one receipt test of the message toolkit: every notification kind.
bool machine::notification(Byte esm_class) { return sms::IsReceiptEsmClass(esm_class); }

// ---- outputs ----------------------------------------------------------------------

void machine::emit_state(state s, std::error_code ec) {
  if (state_ == s) return;
  state_ = s;
  action& a = out_.emplace_back();
  a.kind = act::state;
  a.st = s;
  a.ec = ec;
}

void machine::emit_done(std::uint32_t key, std::error_code ec, bool immediate) {
  action& a = out_.emplace_back();
  a.kind = act::done;
  a.key = key;
  a.ec = ec;
  a.immediate = immediate;
}

void machine::complete_waiters(std::vector<std::uint32_t>& w, std::error_code ec) {
  for (std::uint32_t k : w) emit_done(k, ec);
  w.clear();
}

void machine::arm_link(link_wait w, time_point at) {
  link_wait_ = w;
  link_at_ = w == link_wait::none ? time_point::max() : at;
}

void machine::wake_at(time_point t) {
  if (t >= armed_) return;
  armed_ = t;
  action& a = out_.emplace_back();
  a.kind = act::wake;
  a.at = t;
}

// Every input ends here: the gauges, and a wake for the earliest deadline.
void machine::after(time_point) {
  metrics_.set_in_flight(in_flight_);
  metrics_.set_queue_depth(queue_.size() + waiting_.size());
  if (retired_) return;
  time_point t = std::min(link_at_, pump_at_);
  if (dl_head_) t = std::min(t, dl_head_->deadline);
  if (!inbound_waits_.empty()) t = std::min(t, inbound_waits_.front().deadline);
  if (t != time_point::max()) wake_at(t);
}

// ---- inputs -----------------------------------------------------------------------

void machine::connect(std::uint32_t key, time_point now) {
  if (retired_ || shutting_) {
    emit_done(key, make_error_code(errc::shutting_down), true);
  } else if (bound()) {
    emit_done(key, {}, true);
  } else {
    connect_waiters_.push_back(key);
    if (!started_) {  // otherwise an attempt or its backoff is under way
      started_ = true;
      stopped_by_shutdown_ = false;
      backoff_attempt_ = 0;
      start_link(now);
    }
  }
  after(now);
}

void machine::start_link(time_point now) {
  close_reason_ = {};
  closing_ = false;
  emit_state(state::connecting);
  arm_link(link_wait::connect, now + connect_timeout_);
  out_.emplace_back().kind = act::connect;
}

void machine::link_up(time_point now) {
  if (state_ != state::connecting || retired_) return;
  tcp_up_ = true;
  last_rx_ = now;
  emit_state(state::open);
  write_bind();
  arm_link(link_wait::bind, now + bind_timeout_);
  emit_state(state::binding);
  after(now);
}

void machine::socket_error(time_point now) {
  if (state_ == state::connecting && !tcp_up_) close_link(make_error_code(errc::connect_failed), now);
  after(now);
}

// Ends the connection for the given reason. One that was established owes its
// link_down, which finishes the job; one still being made ends here.
void machine::close_link(std::error_code why, time_point now) {
  if (state_ == state::closed || closing_) return;
  close_reason_ = why;
  arm_link(link_wait::none, {});
  out_.emplace_back().kind = act::close;
  if (tcp_up_) {
    closing_ = true;
  } else {
    lost(why, now);
  }
}

void machine::link_down(time_point now) {
  if (retired_) return;
  if (!tcp_up_ && state_ == state::closed) return;
  const std::error_code why = closing_ ? close_reason_ : make_error_code(errc::disconnected);
  lost(why, now);
  after(now);
}

void machine::lost(std::error_code why, time_point now) {
  tcp_up_ = false;
  closing_ = false;
  arm_link(link_wait::none, {});
  keepalive_seq_ = bind_seq_ = unbind_seq_ = 0;
  ++connection_;
  inbound_waits_.clear();  // no answer can reach the SMSC any more
  emit_state(state::closed, why);
  fail_in_flight(errc::disconnected);
  complete_waiters(connect_waiters_, why ? why : make_error_code(errc::connect_failed));
  if (shutting_) {
    finish_shutdown();
    return;
  }
  const bool stop = stop_after_close_;
  stop_after_close_ = false;
  if (!reconnect_ || stop) started_ = false;
  // What is queued may move to another bind first; released() then fails
  // what stays, when nothing will send it here.
  if (!queue_.empty() || !waiting_.empty()) {
    if (!reconnect_ || stop || !queue_while_reconnecting_)
      release_fail_ = stop ? why : make_error_code(errc::disconnected);
    out_.emplace_back().kind = act::release;
  }
  if (started_) schedule_reconnect(now);
}

void machine::released(time_point now) {
  if (release_fail_) fail_queued(*release_fail_);
  release_fail_.reset();
  after(now);
}

void machine::schedule_reconnect(time_point now) {
  const double base = static_cast<double>(reconnect_min_.count()) * std::ldexp(1.0, std::min(backoff_attempt_, 30));
  const double capped = std::min(base, static_cast<double>(reconnect_max_.count()));
  std::uniform_real_distribution<double> jitter(1 - reconnect_jitter_, 1 + reconnect_jitter_);
  const double ms = std::max(1.0, capped * (reconnect_jitter_ > 0 ? jitter(rng_) : 1.0));
  ++backoff_attempt_;
  arm_link(link_wait::reconnect,
           now + std::chrono::duration_cast<clock::duration>(std::chrono::duration<double, std::milli>(ms)));
}

void machine::shutdown(std::uint32_t key, time_point now) {
  if (retired_) {
    emit_done(key, make_error_code(errc::shutting_down), true);
    return after(now);
  }
  shutdown_waiters_.push_back(key);
  if (shutting_) return after(now);
  shutting_ = true;
  // Nothing new is sent from here on: what was never sent fails now, so its
  // outcome is known.
  fail_queued(make_error_code(errc::shutting_down));
  if (state_ == state::closed) {
    arm_link(link_wait::none, {});
    finish_shutdown();
  } else if (!bound()) {
    if (state_ != state::unbinding) close_link(make_error_code(errc::shutting_down), now);
  } else {
    arm_link(link_wait::drain, now + drain_timeout_);
    maybe_finish_drain(now);
  }
  after(now);
}

// The connection is gone for good: the shutdown calls complete.
void machine::finish_shutdown() {
  fail_queued(make_error_code(errc::shutting_down));
  shutting_ = false;
  started_ = false;
  stopped_by_shutdown_ = true;
  complete_waiters(shutdown_waiters_, {});
}

void machine::begin_unbind(time_point now) {
  if (!bound() || closing_) return;
  emit_state(state::unbinding);
  unbind_seq_ = next_seq();
  write(command_id::unbind, 0, unbind_seq_);
  arm_link(link_wait::unbind, now + unbind_timeout_);
}

void machine::maybe_finish_drain(time_point now) {
  if (shutting_ && bound() && link_wait_ == link_wait::drain && in_flight_ == 0) begin_unbind(now);
}

void machine::tick(time_point now) {
  if (retired_) return;
  armed_ = time_point::max();
  expire(now);
  if (pump_at_ <= now) pump_at_ = time_point::max();
  if (link_at_ <= now) {
    const link_wait what = link_wait_;
    arm_link(link_wait::none, {});
    switch (what) {
      case link_wait::none: break;
      case link_wait::connect: close_link(make_error_code(errc::connect_failed), now); break;
      case link_wait::bind: close_link(make_error_code(errc::bind_failed), now); break;
      case link_wait::keepalive:
        if (now - last_rx_ < enquire_link_idle_) {
          arm_link(link_wait::keepalive, last_rx_ + enquire_link_idle_);
        } else {
          keepalive_seq_ = next_seq();
          write(command_id::enquire_link, 0, keepalive_seq_);
          ++counters_.enquire_links_sent;
          arm_link(link_wait::enquire, now + enquire_link_timeout_);
        }
        break;
      case link_wait::enquire:
        ++counters_.links_declared_dead;
        close_link(make_error_code(errc::link_dead), now);
        break;
      case link_wait::reconnect:
        ++counters_.reconnects;
        metrics_.on_reconnect();
        start_link(now);
        break;
      case link_wait::drain: begin_unbind(now); break;
      case link_wait::unbind: close_link({}, now); break;
    }
  }
  pump(now);
  maybe_finish_drain(now);
  after(now);
}

void machine::received(std::string_view pdu, time_point now) {
  // After a close (or before the link is up) the rest of a read is ignored.
  if (retired_ || closing_ || !tcp_up_) return;
  codec::Cursor c(pdu);
  const codec::Header h = codec::read_header(c);
  const std::string_view body = c.rest();
  const Cardinal id = h.command_id, status = h.command_status, seq = h.sequence_number;
  last_rx_ = now;
  switch (id) {
    case command_id::bind_transmitter_resp:
    case command_id::bind_receiver_resp:
    case command_id::bind_transceiver_resp:
      if (state_ != state::binding || seq != bind_seq_) break;
      if (status != 0) {
        if (permanent_bind_failure(status) && !retry_permanent_) stop_after_close_ = true;
        close_link(smpp_error(status), now);
        break;
      }
      bind_seq_ = 0;
      backoff_attempt_ = 0;
      ++counters_.binds;
      arm_link(link_wait::keepalive, now + enquire_link_idle_);
      emit_state(id == command_id::bind_transmitter_resp ? state::bound_tx
                 : id == command_id::bind_receiver_resp  ? state::bound_rx
                                                         : state::bound_trx);
      complete_waiters(connect_waiters_, {});
      pump(now);
      break;
    case command_id::unbind_resp:
      if (state_ == state::unbinding && seq == unbind_seq_) close_link({}, now);
      break;
    case command_id::generic_nack:
      if (seq != 0 && seq == bind_seq_ && state_ == state::binding) {
        close_link(smpp_error(status ? status : command_status::ESME_RINVCMDID), now);
        break;
      }
      on_response(id, status, seq, body, now);
      break;
    case command_id::enquire_link_resp:
      if (seq != 0 && seq == keepalive_seq_) {
        keepalive_seq_ = 0;
        arm_link(link_wait::keepalive, now + enquire_link_idle_);
        break;
      }
      on_response(id, status, seq, body, now);
      break;
    default:
      if ((id & kResponseBit) != 0) {
        on_response(id, status, seq, body, now);
        break;
      }
      switch (inbound_rule(id)) {
        case rule::handle:
          if (id == command_id::enquire_link) {
            write(command_id::enquire_link_resp, 0, codec::response_sequence(seq));
          } else if (id == command_id::unbind) {
            // The SMSC ends the session: acknowledge, close, and come back as
            // the reconnect policy says.
            write(command_id::unbind_resp, 0, codec::response_sequence(seq));
            close_link(make_error_code(errc::peer_unbound), now);
          } else {
            on_message(id, seq, body, now);
          }
          break;
        case rule::wrong_state:
          // Answered when the command has a response; otherwise dropped.
          ++counters_.inbound_rejected_state;
          if (id == command_id::deliver_sm || id == command_id::data_sm)
            answer_inbound(id, seq, command_status::ESME_RINVBNDSTS, {});
          else if (const Cardinal resp = codec::response_id(id))
            write(resp, command_status::ESME_RINVBNDSTS, codec::response_sequence(seq));
          break;
        case rule::invalid_command:
          ++counters_.generic_nacks_sent;
          write(command_id::generic_nack, command_status::ESME_RINVCMDID, codec::response_sequence(seq));
          break;
        case rule::ignore: break;
        case rule::late:
          ++counters_.late_responses;
          metrics_.on_late(id & ~kResponseBit);
          break;
      }
  }
  maybe_finish_drain(now);
  after(now);
}

// Everything held completes with shutting_down; the connection is dropped
// without unbind.
void machine::retire() {
  if (retired_) return;
  retired_ = true;
  shutting_ = true;
  arm_link(link_wait::none, {});
  inbound_waits_.clear();
  if (tcp_up_ || state_ != state::closed) out_.emplace_back().kind = act::close;
  std::vector<slot*> all;
  for (slot* s = dl_head_; s; s = s->next) all.push_back(s);
  for (slot* s : all) finish(s, make_error_code(errc::shutting_down));
  complete_waiters(connect_waiters_, make_error_code(errc::shutting_down));
  complete_waiters(shutdown_waiters_, make_error_code(errc::shutting_down));
  tcp_up_ = false;
  closing_ = false;
  state_ = state::closed;
  metrics_.set_in_flight(0);
  metrics_.set_queue_depth(0);
}

}  // namespace velmor::session::detail
