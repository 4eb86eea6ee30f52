// The machine's requests: taken at the call, queued behind a full window,
// sent under the next sequence number, matched to their responses, resent
// after a throttling refusal, and completed exactly once.
#include <algorithm>

#include "codec/Pdu.h"
#include "session/detail/Machine.h"

namespace velmor::session::detail {
namespace {

constexpr Cardinal kResponseBit = codec::response_bit;

constexpr bool is_message(Cardinal id) {
  return id == command_id::submit_sm || id == command_id::submit_multi || id == command_id::data_sm;
}

}  // namespace

// ---- slots ----------------------------------------------------------------------

machine::slot* machine::alloc_slot() {
  if (!free_.empty()) {
    slot* s = free_.back();
    free_.pop_back();
    return s;
  }
  return &slots_.emplace_back();
}

void machine::release(slot* s) {
  s->at = where::free;
  s->seq = 0;
  s->attempts = 0;
  free_.push_back(s);
}

// The window is a ring indexed by sequence_number: numbers are issued in
// order, so the requests in flight sit in distinct places as long as none
// outlives a full turn of the ring (4 x window). One that does (a long
// deadline among many fast requests) shares its place; the newcomer goes to
// a small overflow map instead.
void machine::table_put(slot* s) {
  slot*& place = table_[s->seq & mask_];
  if (place == nullptr)
    place = s;
  else
    overflow_.emplace(s->seq, s);
}

machine::slot* machine::table_find(Cardinal seq) const {
  slot* s = table_[seq & mask_];
  if (s != nullptr && s->seq == seq && s->at == where::in_flight) return s;
  if (overflow_.empty()) return nullptr;
  const auto it = overflow_.find(seq);
  return it == overflow_.end() ? nullptr : it->second;
}

void machine::table_remove(slot* s) {
  slot*& place = table_[s->seq & mask_];
  if (place == s)
    place = nullptr;
  else
    overflow_.erase(s->seq);
}

// Deadlines mostly arrive in order (one default timeout), so insertion walks
// back from the tail a step or two at most.
void machine::dl_insert(slot* s) {
  slot* after = dl_tail_;
  while (after != nullptr && after->deadline > s->deadline) after = after->prev;
  s->prev = after;
  s->next = after ? after->next : dl_head_;
  if (s->next)
    s->next->prev = s;
  else
    dl_tail_ = s;
  if (after)
    after->next = s;
  else
    dl_head_ = s;
}

void machine::dl_remove(slot* s) {
  if (s->prev)
    s->prev->next = s->next;
  else
    dl_head_ = s->next;
  if (s->next)
    s->next->prev = s->prev;
  else
    dl_tail_ = s->prev;
  s->prev = s->next = nullptr;
}

// ---- taking a request -----------------------------------------------------------

void machine::complete_now(std::uint32_t key, errc e) {
  ++counters_.local_errors;
  action& a = out_.emplace_back();
  a.kind = act::complete;
  a.immediate = true;
  a.key = key;
  a.ec = make_error_code(e);
  a.off = a.len = no_index;
}

void machine::refuse(std::uint32_t key, errc e) {
  ++counters_.requests;
  complete_now(key, e);
}

// The refusals every request kind shares, decided before anything is built.
bool machine::refused_at_call(std::uint32_t key, Cardinal id, time_point) {
  ++counters_.requests;
  errc e{};
  if (retired_ || shutting_ || (!started_ && stopped_by_shutdown_))
    e = errc::shutting_down;
  else if (!started_)
    e = errc::not_bound;
  else if (bound() ? !sends(id) : !queue_while_reconnecting_)
    e = bound() ? errc::invalid_state : errc::not_bound;
  if (e == errc{}) return false;
  complete_now(key, e);
  return true;
}

void machine::enqueue(slot* s, time_point now) {
  s->at = where::queued;
  dl_insert(s);
  queue_.push_back(s);
  pump(now);
}

// A request moved here from another bind of the pool keeps its deadline and
// its attempts; it is not refused for a full queue, as it was accepted
// already.
void machine::adopt(moved_request&& r, time_point now) {
  ++counters_.requests;
  if (retired_ || shutting_ || (!started_ && stopped_by_shutdown_)) {
    complete_now(r.key, errc::shutting_down);
    return after(now);
  }
  if (!started_ || (!bound() && !queue_while_reconnecting_)) {
    complete_now(r.key, errc::not_bound);
    return after(now);
  }
  slot* s = alloc_slot();
  s->pdu = std::move(r.pdu);
  s->key = r.key;
  s->command_id = r.command_id;
  s->deadline = r.deadline;
  s->attempts = r.attempts;
  s->part_index = r.part_index;
  s->part_count = r.part_count;
  s->note = std::move(r.note);
  ++held_;
  enqueue(s, now);
  after(now);
}

// This bind is down: what waits in its queue may go to other binds (nothing
// in flight: those requests may have reached the SMSC).
std::vector<moved_request> machine::take_queue() {
  std::vector<moved_request> out;
  if (retired_ || shutting_ || bound()) return out;
  for (std::deque<slot*>* q : {&queue_, &waiting_}) {
    for (slot* s : *q) {
      moved_request& m = out.emplace_back();
      m.pdu = std::move(s->pdu);
      m.key = s->key;
      m.command_id = s->command_id;
      m.deadline = s->deadline;
      m.attempts = s->attempts;
      m.part_index = s->part_index;
      m.part_count = s->part_count;
      m.note = std::move(s->note);
      dl_remove(s);
      release(s);
      --held_;
      ++counters_.handed_off;
    }
    q->clear();
  }
  metrics_.set_queue_depth(0);
  return out;
}

// ---- sending --------------------------------------------------------------------

bool machine::take_token(time_point now, time_point& next) {
  if (gate_) return gate_->take(now, next) && (!shared_rate_ || shared_rate_->take(now, next));
  if (submit_rate_ <= 0) return !shared_rate_ || shared_rate_->take(now, next);
  const double burst = std::max(1.0, submit_burst_);
  if (tokens_at_ != time_point{}) {
    const double dt = std::chrono::duration<double>(now - tokens_at_).count();
    tokens_ = std::min(burst, tokens_ + dt * submit_rate_);
  }
  tokens_at_ = now;
  if (tokens_ >= 1) {
    if (shared_rate_ && !shared_rate_->take(now, next)) return false;  // this bind's token stays
    tokens_ -= 1;
    return true;
  }
  next = now + std::chrono::duration_cast<clock::duration>(std::chrono::duration<double>((1 - tokens_) / submit_rate_));
  return false;
}

// Requests waiting for room move into the queue, in order, while it has room.
void machine::admit_waiting() {
  while (!waiting_.empty() && queue_.size() < queue_limit_) {
    slot* s = waiting_.front();
    waiting_.pop_front();
    s->at = where::queued;
    queue_.push_back(s);
  }
}

// Sends what the window has room for. Nothing new goes out once shutdown has
// begun or a close is under way.
void machine::pump(time_point now) {
  if (!waiting_.empty()) admit_waiting();
  if (!bound() || closing_ || shutting_ || queue_.empty()) return;
  if (now < pause_until_) {
    pump_at_ = std::min(pump_at_, pause_until_);
    return;
  }
  while (!queue_.empty() && in_flight_ < window_) {
    slot* s = queue_.front();
    if (!sends(s->command_id)) {
      finish(s, make_error_code(errc::invalid_state));
      continue;
    }
    time_point next{};
    if (is_message(s->command_id) && !take_token(now, next)) {
      pump_at_ = std::min(pump_at_, next);
      break;
    }
    queue_.pop_front();
    send(s, now);
    if (!waiting_.empty()) admit_waiting();
  }
}

void machine::send(slot* s, time_point now) {
  s->seq = next_seq();
  // The header again, by the one header writer, now with its number.
  codec::Writer w(s->pdu.data(), codec::header_size);
  codec::write_header(w, {static_cast<Cardinal>(s->pdu.size()), s->command_id, 0, s->seq});
  s->sent_at = now;
  s->at = where::in_flight;
  ++s->attempts;
  table_put(s);
  ++in_flight_;
  metrics_.on_sent(s->command_id);
  write_request(s);
}

// ---- completing -----------------------------------------------------------------

// Takes the slot out of the window or queue, releases it and emits its
// completion.
void machine::finish(slot* s, std::error_code ec, std::uint32_t resp) {
  if (s->at == where::in_flight) {
    table_remove(s);
    --in_flight_;
  } else if (s->at == where::queued || s->at == where::waiting) {
    auto& q = s->at == where::queued ? queue_ : waiting_;
    const auto it = std::find(q.begin(), q.end(), s);
    if (it != q.end()) q.erase(it);
  }
  dl_remove(s);
  --held_;
  if (!ec)
    ++counters_.ok;
  else if (ec == errc::timeout)
    ++counters_.timeouts;
  else if (ec == errc::disconnected)
    ++counters_.disconnected;
  else if (command_status_of(ec) || ec == errc::nacked)
    ++counters_.rejected;
  else
    ++counters_.local_errors;
  action& a = out_.emplace_back();
  a.kind = act::complete;
  a.key = s->key;
  a.ec = ec;
  a.off = resp;
  a.len = no_index;
  if (!ec && s->note.wanted && resp != no_index && !responses_[resp].message_id.empty()) {
    a.len = static_cast<std::uint32_t>(notes_.size());
    notes_.push_back(std::move(s->note));
  }
  s->note.wanted = false;
  release(s);
}

void machine::on_response(Cardinal resp_id, Cardinal status, Cardinal seq, std::string_view body, time_point now) {
  slot* s = table_find(seq);
  if (s == nullptr || (resp_id != command_id::generic_nack && (s->command_id | kResponseBit) != resp_id)) {
    ++counters_.late_responses;
    metrics_.on_late(resp_id & ~kResponseBit);
    return;
  }
  const auto rtt = std::chrono::duration_cast<std::chrono::nanoseconds>(now - s->sent_at);
  const Cardinal id = s->command_id;
  if ((status == command_status::ESME_RTHROTTLED || status == command_status::ESME_RMSGQFUL) && is_message(id)) {
    ++counters_.throttled;
    metrics_.on_throttled(id);
    pause_until_ = now + throttle_pause_;
    if (s->attempts <= throttle_retries_ && !shutting_) {
      ++counters_.retried;
      metrics_.on_retried(id);
      table_remove(s);
      --in_flight_;
      s->at = where::queued;
      queue_.push_front(s);
      pump_at_ = std::min(pump_at_, pause_until_);
      maybe_finish_drain(now);
      return;
    }
  }
  metrics_.on_response(id, status, rtt);
  const auto index = static_cast<std::uint32_t>(responses_.size());
  response& r = responses_.emplace_back();
  r.command_id = resp_id;
  r.sequence_number = seq;
  r.command_status = status;
  r.round_trip = rtt;
  r.attempts = s->attempts;
  decode_response(resp_id, body, r);
  // A nack never accepts: one without a status gets the session's own.
  const std::error_code ec =
      resp_id == command_id::generic_nack && status == 0 ? make_error_code(errc::nacked) : smpp_error(status);
  finish(s, ec, index);
  pump(now);
  maybe_finish_drain(now);
}

void machine::fail_queued(std::error_code e) {
  while (!waiting_.empty()) finish(waiting_.front(), e);
  while (!queue_.empty()) finish(queue_.front(), e);
  metrics_.set_queue_depth(0);
}

void machine::fail_in_flight(errc e) {
  std::vector<slot*> all;
  for (slot* s = dl_head_; s; s = s->next)
    if (s->at == where::in_flight) all.push_back(s);
  for (slot* s : all) {
    if (e == errc::disconnected) metrics_.on_disconnected(s->command_id);
    finish(s, make_error_code(e));
  }
}

// Requests past their deadline, and inbound messages the application did not
// answer in time.
void machine::expire(time_point now) {
  while (dl_head_ != nullptr && dl_head_->deadline <= now) {
    slot* s = dl_head_;
    metrics_.on_timeout(s->command_id);
    finish(s, make_error_code(errc::timeout));
  }
  while (!inbound_waits_.empty() && (inbound_waits_.front().answered || inbound_waits_.front().deadline <= now)) {
    const inbound_wait w = inbound_waits_.front();
    inbound_waits_.pop_front();
    if (w.answered || w.connection != connection_ || !tcp_up_ || closing_) continue;
    ++counters_.deferred_timeouts;
    answer_inbound(w.command_id, w.seq, command_status::ESME_RX_T_APPN, {});
  }
}

void machine::write_refused(Cardinal seq, Cardinal command_id, time_point now) {
  if (retired_) return;
  slot* s = seq != 0 ? table_find(seq) : nullptr;
  if (s != nullptr && s->command_id == command_id) {
    finish(s, make_error_code(errc::send_queue_full));
    pump(now);
    maybe_finish_drain(now);
  } else {
    // An answer, a bind or a keep-alive the SMSC will never see: the link
    // cannot be trusted any more.
    close_link(make_error_code(errc::send_queue_full), now);
  }
  after(now);
}

}  // namespace velmor::session::detail
