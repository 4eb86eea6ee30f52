#include "session/Session.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <deque>
#include <random>
#include <unordered_map>

#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include "codec/Pdu.h"
#include "session/receipts/Desk.h"
#include "session/receipts/Memory.h"
#include "session/receipts/Rules.h"
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

constexpr Cardinal kResponseBit = codec::response_bit;
constexpr Cardinal ESME_RINVCMDID = 0x03;
constexpr Cardinal ESME_RINVBNDSTS = 0x04;
constexpr Cardinal ESME_RMSGQFUL = 0x14;
constexpr Cardinal ESME_RTHROTTLED = 0x58;
constexpr Cardinal ESME_RX_T_APPN = 0x64;

template <class R, std::size_t I = 0>
constexpr std::size_t index_of() {
  if constexpr (std::is_same_v<R, std::variant_alternative_t<I, request>>)
    return I;
  else
    return index_of<R, I + 1>();
}

// The command_id of a request kind, in the order of the request variant.
template <class R>
constexpr Cardinal command_of() {
  constexpr Cardinal ids[] = {command_id::submit_sm,   command_id::submit_multi, command_id::data_sm,
                              command_id::query_sm,    command_id::cancel_sm,    command_id::replace_sm,
                              command_id::enquire_link};
  return ids[index_of<R>()];
}

constexpr bool is_message(Cardinal id) {
  return id == command_id::submit_sm || id == command_id::submit_multi || id == command_id::data_sm;
}

// The protected builders give the two responses the component has no method
// for: unbind_resp, and a generic_nack that echoes the offending PDU's
// sequence number as the protocol asks (Generic_NACK spends a new one).
//
// A request is built once, when it is accepted, into the slot's own buffer
// (whose capacity the slot keeps), with no sequence number spent; each send
// stamps the next number into that buffer and hands it to the socket. The
// request itself is never copied, and a resend after throttling, or a move
// to another bind of a pool, needs nothing but the buffer.
class session_component final : public TVelmorSMPPDemo {
 public:
  using TVelmorSMPPDemo::TVelmorSMPPDemo;
  void respond(Cardinal id, Cardinal status, Cardinal seq) {
    AnsiString pdu;
    FormatPDU_RESP(pdu, id, status, seq, {}, {});
    CliSockSend(pdu);
  }

  // False when the fields cannot be sent (too long for their length octet);
  // nothing is built then.
  bool build(std::string& pdu, const submit_sm_request& r) {
    if (r.short_message.size() > MaxShortMessage || tlv::overlong(r.options)) return false;
    return keep_sequence([&](Cardinal& seq) {
      FormatSUBMIT_SM(pdu, seq, r.service_type, r.source_addr_ton, r.source_addr_npi, r.source_addr, r.dest_addr_ton,
                      r.dest_addr_npi, r.destination_addr, r.esm_class, r.protocol_id, r.priority_flag,
                      r.schedule_delivery_time, r.validity_period, r.registered_delivery, r.replace_if_present_flag,
                      r.data_coding, r.sm_default_msg_id, r.short_message, r.options);
    });
  }
  bool build(std::string& pdu, const submit_multi_request& r) {
    if (r.dest_address.size() > MaxDestinations || r.short_message.size() > MaxShortMessage || tlv::overlong(r.options))
      return false;
    return keep_sequence([&](Cardinal& seq) {
      FormatSUBMIT_MULTI(pdu, seq, r.service_type, r.source_addr_ton, r.source_addr_npi, r.source_addr, r.dest_address,
                         r.esm_class, r.protocol_id, r.priority_flag, r.schedule_delivery_time, r.validity_period,
                         r.registered_delivery, r.replace_if_present_flag, r.data_coding, r.sm_default_msg_id,
                         r.short_message, r.options);
    });
  }
  bool build(std::string& pdu, const data_sm_request& r) {
    if (tlv::overlong(r.options)) return false;
    return keep_sequence([&](Cardinal& seq) {
      FormatDATA_SM(pdu, seq, r.service_type, r.source_addr_ton, r.source_addr_npi, r.source_addr, r.dest_addr_ton,
                    r.dest_addr_npi, r.destination_addr, r.esm_class, r.registered_delivery, r.data_coding, r.options);
    });
  }
  bool build(std::string& pdu, const query_sm_request& r) {
    return keep_sequence([&](Cardinal& seq) {
      FormatQUERY_SM(pdu, seq, r.message_id, r.source_addr_ton, r.source_addr_npi, r.source_addr);
    });
  }
  bool build(std::string& pdu, const cancel_sm_request& r) {
    return keep_sequence([&](Cardinal& seq) {
      FormatCANCEL_SM(pdu, seq, r.service_type, r.message_id, r.source_addr_ton, r.source_addr_npi, r.source_addr,
                      r.dest_addr_ton, r.dest_addr_npi, r.destination_addr);
    });
  }
  bool build(std::string& pdu, const replace_sm_request& r) {
    if (r.short_message.size() > MaxShortMessage) return false;
    return keep_sequence([&](Cardinal& seq) {
      FormatREPLACE_SM(pdu, seq, r.message_id, r.source_addr_ton, r.source_addr_npi, r.source_addr,
                       r.schedule_delivery_time, r.validity_period, r.registered_delivery, r.sm_default_msg_id,
                       r.short_message);
    });
  }
  bool build(std::string& pdu, const enquire_link_request&) {
    return keep_sequence([&](Cardinal& seq) { FormatENQUIRE_LINK(pdu, seq); });
  }

  // Sends a built request under the next sequence number, which it returns.
  Cardinal send_built(std::string& pdu) {
    Fsequence_number = codec::next_sequence(Fsequence_number);
    const Cardinal seq = Fsequence_number;
    for (int i = 0; i < 4; ++i) pdu[12 + i] = static_cast<char>((seq >> (24 - 8 * i)) & 0xFF);
    CliSockSend(pdu);
    return seq;
  }

 private:
  template <class Format>
  bool keep_sequence(Format&& format) {
    const Cardinal before = Fsequence_number;
    Cardinal unused = 0;
    format(unused);
    Fsequence_number = before;
    return true;
  }
};

}  // namespace

struct deferral {
  std::weak_ptr<core> owner;
  asio::io_context::executor_type ex;
  Cardinal command_id = 0;
  Cardinal seq = 0;
  unsigned connection = 0;
  clock::time_point deadline{};
  std::atomic<bool> done{false};
  deferral(std::weak_ptr<core> o, asio::io_context::executor_type e) : owner(std::move(o)), ex(e) {}
};

struct slot {
  std::string pdu;  // the request, built; its sequence_number is stamped at each send
  completion done;
  Cardinal command_id = 0;
  Cardinal seq = 0;
  clock::time_point deadline{}, sent_at{};
  int attempts = 0;
  enum class where : std::uint8_t { free, queued, in_flight } at = where::free;
  std::uint16_t part_index = 0, part_count = 1;
  bool wants_receipt = false;  // registered_delivery asked for one: remembered with its message_id
  std::uint64_t tag = 0;
  std::string destination_addr;  // kept only when wants_receipt
  std::string group;             // a long text's parts: the same for all of them
  slot* prev = nullptr;          // deadline order, queued and in flight alike
  slot* next = nullptr;
};

class core : public std::enable_shared_from_this<core> {
 public:
  core(config cfg, TEventLoop& loop)
      : cfg_(std::move(cfg)),
        ctx_(loop.Context()),
        comp_(std::make_unique<session_component>(nullptr, loop)),
        deadline_timer_(ctx_),
        link_timer_(ctx_),
        pump_timer_(ctx_),
        desk_(ctx_.get_executor(), receipt_store_of(cfg_), receipt_account_of(cfg_), cfg_.receipt_matching),
        rng_(cfg_.random_seed != 0 ? cfg_.random_seed
                                   : static_cast<std::uint32_t>(clock::now().time_since_epoch().count())) {
    if (cfg_.window == 0) cfg_.window = 1;
    std::size_t n = 64;
    while (n < 4 * cfg_.window) n *= 2;
    table_.assign(n, nullptr);
    mask_ = n - 1;
    tokens_ = cfg_.submit_burst;
  }

  ~core() {
    // The component goes here unless detach() already handed it to the loop;
    // its handlers, which may outlive this, find the cell empty.
    cell_->self = nullptr;
    comp_.reset();
  }

  // What the component's handlers reach the core through.
  struct cell {
    core* self;
  };
  std::shared_ptr<cell> cell_ = std::make_shared<cell>(cell{this});
  int events_ = 0;  // component events running (nested runs may stack them)

  void attach();
  void detach();

  // ---- entry points (loop thread) -------------------------------------------------
  template <class Request>
  void accept(Request&& r, completion&& done, std::uint16_t part_index = 0, std::uint16_t part_count = 1);
  void connect_requested(std::function<void(std::error_code)> done);
  void shutdown_requested(std::function<void(std::error_code)> done);
  void text_requested(text_request r, std::function<void(std::error_code, text_result)> done);
  void answer_deferred(deferral& d, std::uint32_t status, const std::string& message_id);
  void adopt(parked&& p);
  void hand_off_queued();
  deferred_response make_deferral(const inbound_message& m);

  config cfg_;
  asio::io_context& ctx_;
  std::unique_ptr<session_component> comp_;
  state state_ = state::closed;
  bool started_ = false, shutting_ = false, detached_ = false;

  // window and queue
  std::deque<slot> pool_;
  std::vector<slot*> free_;
  std::deque<slot*> queue_;
  std::vector<slot*> table_;  // in flight, by sequence_number modulo its size
  std::unordered_map<Cardinal, slot*> overflow_;
  std::size_t mask_ = 0;
  std::size_t in_flight_ = 0;
  slot* dl_head_ = nullptr;
  slot* dl_tail_ = nullptr;

  asio::steady_timer deadline_timer_, link_timer_, pump_timer_;
  clock::time_point deadline_armed_ = clock::time_point::max();
  clock::time_point pump_armed_ = clock::time_point::max();
  enum class link_wait { none, connect, bind, keepalive, enquire, reconnect, drain, unbind } link_wait_{};
  unsigned link_gen_ = 0;
  unsigned connection_ = 0;  // bumped by every link loss
  int last_socket_error_ = 0;
  clock::time_point last_rx_{};
  clock::time_point turn_now_{};   // set while a response's completion runs
  clock::time_point read_time_{};  // see read_time()
  Cardinal bind_seq_ = 0, keepalive_seq_ = 0, unbind_seq_ = 0;
  std::error_code close_reason_;
  bool disconnect_owed_ = false;
  clock::time_point pause_until_{};
  double tokens_ = 1;
  clock::time_point tokens_at_{};
  int backoff_attempt_ = 0;
  std::uint16_t text_ref_ = 0;
  pool_link* link_ = nullptr;  // set when the session is a bind of a pool

  std::vector<std::function<void(std::error_code)>> connect_waiters_, shutdown_waiters_;
  std::deque<std::shared_ptr<deferral>> deferrals_;

  // The one place the session meets its receipt store.
  std::shared_ptr<receipt_store> receipt_store_of(const config& c) {
    if (c.receipt_store) return c.receipt_store;
    auto own = std::make_shared<receipts::memory_receipt_store>(
        receipt_limits{c.receipts.max_entries, c.receipts.max_age, receipt_limits{}.tombstone_ttl});
    own_store_ = own.get();
    return own;
  }
  receipts::memory_receipt_store* own_store_ = nullptr;  // the store made here, when config gave none
  static std::string receipt_account_of(const config& c) {
    return !c.receipt_account.empty() ? c.receipt_account : c.host + ":" + std::to_string(c.port) + "/" + c.system_id;
  }
  void receipt_reported(const receipts::receipt_matcher::report& r, Cardinal id, Cardinal seq, unsigned connection,
                        receipt_event& e);
  receipts::receipt_desk desk_;
  std::string text_group_;  // while a long text's parts are accepted
  std::uint64_t text_groups_ = 0;
  Metrics metrics_;
  session_counters counters_;
  std::minstd_rand rng_;
  message_handler on_message_;
  receipt_handler on_receipt_;
  state_handler on_state_;

 private:
  bool bound() const { return state_ == state::bound_tx || state_ == state::bound_rx || state_ == state::bound_trx; }
  bool allowed(Cardinal id) const {
    if (id == command_id::enquire_link) return true;
    return state_ == state::bound_tx || state_ == state::bound_trx;
  }
  bool receives() const {
    return state_ == state::bound_rx || state_ == state::bound_trx ||
           (state_ == state::unbinding && cfg_.bind_type != Transmitter);
  }

  // window
  slot* alloc_slot();
  void release(slot* s);
  void table_put(slot* s);
  slot* table_find(Cardinal seq) const;
  void table_remove(slot* s);
  void dl_insert(slot* s);
  void dl_remove(slot* s);
  // now: the time if the caller has just read it.
  void pump(clock::time_point now = {});
  bool take_token(clock::time_point now, clock::time_point& next);
  void send(slot* s, clock::time_point now);
  void enqueue(slot* s, clock::time_point now);
  void unload() {
    if (link_) link_->load.fetch_sub(1, std::memory_order_relaxed);
  }
  void finish(slot* s, std::error_code ec, response&& r);
  void fail_now(completion&& done, errc e);
  template <class Fill>
  void on_response(Cardinal resp_id, Cardinal status, Cardinal seq, Fill&& fill);
  void fail_queued(errc e);
  void fail_in_flight(errc e);
  void maybe_finish_drain();

  // timers
  void arm_deadline(clock::time_point t);
  void on_deadline();
  void arm_pump(clock::time_point t);
  void arm_link(link_wait w, clock::duration d);
  void cancel_link();
  void on_link_timer();

  // link
  bool set_state(state s, std::error_code ec = {});
  void connect();
  void close_link(std::error_code why);
  void link_down(std::error_code why);
  void schedule_reconnect();
  void finish_shutdown();
  void begin_unbind();
  void received() { last_rx_ = clock::now(); }
  clock::time_point read_time();

  // inbound
  void inbound(inbound_message&& m);
  void answer(Cardinal command_id, Cardinal seq, std::uint32_t status, const std::string& message_id);
  void on_unknown(Cardinal command_id, Cardinal seq);

  friend class velmor::session::session;
};

// ---- window ------------------------------------------------------------------------

slot* core::alloc_slot() {
  if (!free_.empty()) {
    slot* s = free_.back();
    free_.pop_back();
    return s;
  }
  return &pool_.emplace_back();
}

void core::release(slot* s) {
  s->at = slot::where::free;
  s->seq = 0;
  s->attempts = 0;
  free_.push_back(s);
}

// The window is a ring indexed by sequence_number: numbers are issued in
// order, so the requests in flight sit in distinct places as long as none
// outlives a full turn of the ring (4 x window). One that does (a long
// deadline among many fast requests) shares its place; the newcomer goes to
// a small overflow map instead.
void core::table_put(slot* s) {
  slot*& place = table_[s->seq & mask_];
  if (place == nullptr)
    place = s;
  else
    overflow_.emplace(s->seq, s);
}

slot* core::table_find(Cardinal seq) const {
  slot* s = table_[seq & mask_];
  if (s != nullptr && s->seq == seq) return s;
  if (overflow_.empty()) return nullptr;
  const auto it = overflow_.find(seq);
  return it == overflow_.end() ? nullptr : it->second;
}

void core::table_remove(slot* s) {
  slot*& place = table_[s->seq & mask_];
  if (place == s)
    place = nullptr;
  else
    overflow_.erase(s->seq);
}

// Deadlines mostly arrive in order (one default timeout), so insertion walks
// back from the tail a step or two at most.
void core::dl_insert(slot* s) {
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

void core::dl_remove(slot* s) {
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

void core::fail_now(completion&& done, errc e) {
  ++counters_.local_errors;
  unload();
  // Never inside the initiating call: the caller's frame may not expect it.
  asio::post(ctx_, [d = std::move(done), e]() mutable { d(make_error_code(e), response{}); });
}

template <class Request>
void core::accept(Request&& r, completion&& done, std::uint16_t part_index, std::uint16_t part_count) {
  using R = std::decay_t<Request>;
  ++counters_.requests;
  constexpr Cardinal id = command_of<R>();
  if (detached_ || shutting_) return fail_now(std::move(done), errc::shutting_down);
  if (!started_) return fail_now(std::move(done), errc::not_bound);
  if (bound()) {
    if (!allowed(id)) return fail_now(std::move(done), errc::invalid_state);
  } else if (!cfg_.queue_while_reconnecting) {
    return fail_now(std::move(done), errc::not_bound);
  }
  const bool goes_out_now = bound() && queue_.empty() && in_flight_ < cfg_.window;
  if (!goes_out_now && queue_.size() >= cfg_.queue_limit) return fail_now(std::move(done), errc::queue_full);

  slot* s = alloc_slot();
  const milliseconds timeout = r.timeout;
  if (!comp_->build(s->pdu, r)) {
    release(s);
    return fail_now(std::move(done), errc::invalid_argument);
  }
  s->wants_receipt = false;
  if constexpr (std::is_same_v<R, submit_sm_request> || std::is_same_v<R, data_sm_request>) {
    if ((r.registered_delivery & 0x03) != 0) {
      s->wants_receipt = true;
      s->tag = r.tag;
      s->destination_addr = r.destination_addr;
      s->group = part_count > 1 ? text_group_ : std::string();
    }
  }
  s->done = std::move(done);
  s->command_id = id;
  s->part_index = part_index;
  s->part_count = part_count;
  // A request made from a completion reuses the time its response was read.
  const auto now = turn_now_ != clock::time_point{} ? turn_now_ : clock::now();
  s->deadline = now + (timeout.count() > 0 ? timeout : cfg_.request_timeout);
  enqueue(s, now);
}

void core::enqueue(slot* s, clock::time_point now) {
  s->at = slot::where::queued;
  dl_insert(s);
  arm_deadline(s->deadline);
  queue_.push_back(s);
  pump(now);
}

// A request moved here from another bind of the pool keeps its deadline and
// its attempts; it is not refused for a full queue, as it was accepted
// already. While this bind is down too and another is up, it moves on.
void core::adopt(parked&& p) {
  ++counters_.requests;
  if (detached_ || shutting_) return fail_now(std::move(p.done), errc::shutting_down);
  if (!bound() && p.hops < 8 && link_ && link_->others_bound()) {
    ++p.hops;
    ++counters_.handed_off;
    unload();
    std::vector<parked> one;
    one.push_back(std::move(p));
    link_->hand_off(std::move(one));
    return;
  }
  if (!started_ || (!bound() && !cfg_.queue_while_reconnecting)) return fail_now(std::move(p.done), errc::not_bound);
  slot* s = alloc_slot();
  s->pdu = std::move(p.pdu);
  s->done = std::move(p.done);
  s->command_id = p.command_id;
  s->deadline = p.deadline;
  s->attempts = p.attempts;
  s->part_index = p.part_index;
  s->part_count = p.part_count;
  s->wants_receipt = p.wants_receipt;
  s->tag = p.tag;
  s->destination_addr = std::move(p.destination_addr);
  s->group = std::move(p.group);
  enqueue(s, clock::now());
}

// This bind is down: what waits in its queue goes to the other binds of the
// pool (nothing in flight: those requests may have reached the SMSC).
void core::hand_off_queued() {
  if (!link_ || shutting_ || detached_ || bound() || queue_.empty() || !link_->others_bound()) return;
  std::vector<parked> out;
  out.reserve(queue_.size());
  for (slot* s : queue_) {
    parked p;
    p.pdu = std::move(s->pdu);
    p.done = std::move(s->done);
    p.command_id = s->command_id;
    p.deadline = s->deadline;
    p.attempts = s->attempts;
    p.part_index = s->part_index;
    p.part_count = s->part_count;
    p.wants_receipt = s->wants_receipt;
    p.tag = s->tag;
    p.destination_addr = std::move(s->destination_addr);
    p.group = std::move(s->group);
    out.push_back(std::move(p));
    dl_remove(s);
    release(s);
    unload();
    ++counters_.handed_off;
  }
  queue_.clear();
  metrics_.set_queue_depth(0);
  link_->hand_off(std::move(out));
}

bool core::take_token(clock::time_point now, clock::time_point& next) {
  if (cfg_.submit_rate <= 0) return !link_ || !link_->rate || link_->rate->take(now, next);
  const double burst = std::max(1.0, cfg_.submit_burst);
  if (tokens_at_ != clock::time_point{}) {
    const double dt = std::chrono::duration<double>(now - tokens_at_).count();
    tokens_ = std::min(burst, tokens_ + dt * cfg_.submit_rate);
  }
  tokens_at_ = now;
  if (tokens_ >= 1) {
    if (link_ && link_->rate && !link_->rate->take(now, next)) return false;  // this bind's token stays
    tokens_ -= 1;
    return true;
  }
  next = now +
         std::chrono::duration_cast<clock::duration>(std::chrono::duration<double>((1 - tokens_) / cfg_.submit_rate));
  return false;
}

void core::pump(clock::time_point now) {
  if (bound() && !queue_.empty()) {
    if (now == clock::time_point{}) now = clock::now();
    if (now < pause_until_) {
      arm_pump(pause_until_);
    } else {
      while (!queue_.empty() && in_flight_ < cfg_.window && bound()) {
        slot* s = queue_.front();
        if (!allowed(s->command_id)) {
          queue_.pop_front();
          finish(s, errc::invalid_state, {});
          if (detached_) return;
          continue;
        }
        clock::time_point next{};
        if (is_message(s->command_id) && !take_token(now, next)) {
          arm_pump(next);
          break;
        }
        // The receipt store is behind with its writes: wait for it rather
        // than make it give entries up.
        if (s->wants_receipt && desk_.congested()) {
          arm_pump(now + milliseconds(1));
          break;
        }
        queue_.pop_front();
        send(s, now);
        if (detached_) return;
      }
    }
  }
  metrics_.set_in_flight(in_flight_);
  metrics_.set_queue_depth(queue_.size());
}

void core::send(slot* s, clock::time_point now) {
  s->seq = comp_->send_built(s->pdu);
  s->sent_at = now;
  s->at = slot::where::in_flight;
  ++s->attempts;
  table_put(s);
  ++in_flight_;
  metrics_.on_sent(s->command_id);
}

// Takes the slot out of the window or queue, releases it and completes its
// request; the handler runs last, with the session consistent.
void core::finish(slot* s, std::error_code ec, response&& r) {
  if (s->at == slot::where::in_flight) {
    table_remove(s);
    --in_flight_;
  } else if (s->at == slot::where::queued) {
    const auto it = std::find(queue_.begin(), queue_.end(), s);
    if (it != queue_.end()) queue_.erase(it);
  }
  dl_remove(s);
  completion done = std::move(s->done);
  release(s);
  unload();
  if (!ec)
    ++counters_.ok;
  else if (ec == errc::timeout)
    ++counters_.timeouts;
  else if (ec == errc::disconnected)
    ++counters_.disconnected;
  else if (command_status_of(ec))
    ++counters_.rejected;
  else
    ++counters_.local_errors;
  done(ec, std::move(r));
}

// Responses read together are read at one time: the clock is read once for
// them all, and forgotten when the loop turns (the handler that resets it
// runs after the one dispatching the read).
clock::time_point core::read_time() {
  if (read_time_ == clock::time_point{}) {
    read_time_ = clock::now();
    asio::post(ctx_, [w = weak_from_this()] {
      if (auto c = w.lock()) c->read_time_ = {};
    });
  }
  return read_time_;
}

template <class Fill>
void core::on_response(Cardinal resp_id, Cardinal status, Cardinal seq, Fill&& fill) {
  const auto now = read_time();
  last_rx_ = now;
  slot* s = table_find(seq);
  if (s == nullptr || (resp_id != command_id::generic_nack && (s->command_id | kResponseBit) != resp_id)) {
    ++counters_.late_responses;
    metrics_.on_late(resp_id & ~kResponseBit);
    return;
  }
  const auto rtt = std::chrono::duration_cast<std::chrono::nanoseconds>(now - s->sent_at);
  const Cardinal id = s->command_id;
  if ((status == ESME_RTHROTTLED || status == ESME_RMSGQFUL) && is_message(id)) {
    ++counters_.throttled;
    metrics_.on_throttled(id);
    pause_until_ = now + cfg_.throttle_pause;
    if (s->attempts <= cfg_.throttle_retries) {
      ++counters_.retried;
      metrics_.on_retried(id);
      table_remove(s);
      --in_flight_;
      s->at = slot::where::queued;
      queue_.push_front(s);
      arm_pump(pause_until_);
      maybe_finish_drain();
      return;
    }
  }
  metrics_.on_response(id, status, rtt);
  response r;
  r.command_id = resp_id;
  r.sequence_number = seq;
  r.command_status = status;
  r.round_trip = rtt;
  r.attempts = s->attempts;
  fill(r);
  if (status == 0 && !r.message_id.empty() && s->wants_receipt)
    desk_.remember({r.message_id, s->tag, s->destination_addr, s->part_index, s->part_count, s->group,
                    std::chrono::system_clock::now()});
  turn_now_ = now;
  finish(s, smpp_error(status), std::move(r));
  if (detached_) return;
  turn_now_ = {};
  pump(now);
  maybe_finish_drain();
}

void core::fail_queued(errc e) {
  while (!queue_.empty()) {
    slot* s = queue_.front();
    finish(s, e, {});
    if (detached_) return;
  }
  metrics_.set_queue_depth(0);
}

void core::fail_in_flight(errc e) {
  // Collected first: the handlers may add requests (which queue).
  std::vector<slot*> all;
  for (slot* s = dl_head_; s; s = s->next)
    if (s->at == slot::where::in_flight) all.push_back(s);
  for (slot* s : all) {
    if (e == errc::disconnected) metrics_.on_disconnected(s->command_id);
    finish(s, e, {});
    if (detached_) return;
  }
  metrics_.set_in_flight(in_flight_);
}

// ---- timers ---------------------------------------------------------------------------

void core::arm_deadline(clock::time_point t) {
  if (t >= deadline_armed_) return;
  deadline_armed_ = t;
  deadline_timer_.expires_at(t);
  deadline_timer_.async_wait([w = weak_from_this()](const asio::error_code& ec) {
    if (ec) return;
    if (auto c = w.lock()) c->on_deadline();
  });
}

void core::on_deadline() {
  deadline_armed_ = clock::time_point::max();
  const auto now = clock::now();
  while (dl_head_ != nullptr && dl_head_->deadline <= now) {
    slot* s = dl_head_;
    metrics_.on_timeout(s->command_id);
    finish(s, errc::timeout, {});
    if (detached_) return;
  }
  while (!deferrals_.empty() && deferrals_.front()->deadline <= now) {
    std::shared_ptr<deferral> d = std::move(deferrals_.front());
    deferrals_.pop_front();
    if (!d->done.exchange(true) && d->connection == connection_) {
      ++counters_.deferred_timeouts;
      answer(d->command_id, d->seq, ESME_RX_T_APPN, {});
    }
  }
  if (dl_head_) arm_deadline(dl_head_->deadline);
  if (!deferrals_.empty()) arm_deadline(deferrals_.front()->deadline);
  pump();
  maybe_finish_drain();
}

void core::arm_pump(clock::time_point t) {
  if (t >= pump_armed_) return;
  pump_armed_ = t;
  pump_timer_.expires_at(t);
  pump_timer_.async_wait([w = weak_from_this()](const asio::error_code& ec) {
    if (ec) return;
    if (auto c = w.lock()) {
      c->pump_armed_ = clock::time_point::max();
      c->pump();
    }
  });
}

void core::arm_link(link_wait what, clock::duration d) {
  link_wait_ = what;
  const unsigned gen = ++link_gen_;
  link_timer_.expires_after(d);
  link_timer_.async_wait([w = weak_from_this(), gen](const asio::error_code& ec) {
    if (ec) return;
    if (auto c = w.lock(); c && c->link_gen_ == gen) c->on_link_timer();
  });
}

void core::cancel_link() {
  ++link_gen_;
  link_wait_ = link_wait::none;
  link_timer_.cancel();
}

void core::on_link_timer() {
  const link_wait what = link_wait_;
  link_wait_ = link_wait::none;
  switch (what) {
    case link_wait::none: return;
    case link_wait::connect: close_link(errc::connect_failed); return;
    case link_wait::bind: close_link(errc::bind_failed); return;
    case link_wait::keepalive: {
      const auto idle = clock::now() - last_rx_;
      if (idle < cfg_.enquire_link_idle) {
        arm_link(link_wait::keepalive, cfg_.enquire_link_idle - idle);
        return;
      }
      keepalive_seq_ = comp_->Enquire_LINK();
      ++counters_.enquire_links_sent;
      arm_link(link_wait::enquire, cfg_.enquire_link_timeout);
      return;
    }
    case link_wait::enquire:
      ++counters_.links_declared_dead;
      close_link(errc::link_dead);
      return;
    case link_wait::reconnect:
      ++counters_.reconnects;
      metrics_.on_reconnect();
      connect();
      return;
    case link_wait::drain: begin_unbind(); return;
    case link_wait::unbind: close_link({}); return;
  }
}

// ---- link ------------------------------------------------------------------------------

bool core::set_state(state s, std::error_code ec) {
  if (state_ == s) return true;
  state_ = s;
  if (on_state_) {
    auto h = on_state_;  // the handler may replace itself
    h(s, ec);
  }
  return !detached_;
}

void core::connect() {
  close_reason_ = {};
  disconnect_owed_ = false;
  if (!set_state(state::connecting)) return;
  arm_link(link_wait::connect, cfg_.connect_timeout);
  comp_->SetTLS(cfg_.tls);
  comp_->Connect(cfg_.host, cfg_.port);
}

// Ends the connection for the given reason. A connection that was
// established owes its OnDisconnect, which finishes the job; one still being
// made is dropped here.
void core::close_link(std::error_code why) {
  if (state_ == state::closed) return;
  close_reason_ = why;
  cancel_link();
  if (comp_->Connected()) {
    disconnect_owed_ = true;
    comp_->Disconnect();
  } else {
    comp_->Disconnect();
    link_down(why);
  }
}

void core::link_down(std::error_code why) {
  if (state_ == state::closed) return;
  cancel_link();
  keepalive_seq_ = bind_seq_ = unbind_seq_ = 0;
  ++connection_;
  for (auto& d : deferrals_) d->done = true;  // no answer can reach the SMSC any more
  deferrals_.clear();
  if (!set_state(state::closed, why)) return;
  fail_in_flight(errc::disconnected);
  if (detached_) return;
  if (!connect_waiters_.empty()) {
    auto waiters = std::move(connect_waiters_);
    connect_waiters_.clear();
    const std::error_code ec = why ? why : make_error_code(errc::connect_failed);
    for (auto& w : waiters) w(ec);
    if (detached_) return;
  }
  if (shutting_) {
    finish_shutdown();
    return;
  }
  hand_off_queued();
  if (detached_) return;
  if (!cfg_.reconnect) {
    started_ = false;
    fail_queued(errc::disconnected);
    return;
  }
  if (!cfg_.queue_while_reconnecting) fail_queued(errc::disconnected);
  if (detached_) return;
  schedule_reconnect();
}

// The connection is gone for good: what is still queued fails, and the
// shutdown calls complete.
void core::finish_shutdown() {
  fail_queued(errc::shutting_down);
  if (detached_) return;
  shutting_ = false;
  started_ = false;
  auto waiters = std::move(shutdown_waiters_);
  shutdown_waiters_.clear();
  for (auto& w : waiters) w({});
}

void core::schedule_reconnect() {
  const double base = static_cast<double>(cfg_.reconnect_min.count()) * std::ldexp(1.0, std::min(backoff_attempt_, 30));
  const double capped = std::min(base, static_cast<double>(cfg_.reconnect_max.count()));
  std::uniform_real_distribution<double> jitter(1 - cfg_.reconnect_jitter, 1 + cfg_.reconnect_jitter);
  const double ms = std::max(1.0, capped * (cfg_.reconnect_jitter > 0 ? jitter(rng_) : 1.0));
  ++backoff_attempt_;
  arm_link(link_wait::reconnect,
           std::chrono::duration_cast<clock::duration>(std::chrono::duration<double, std::milli>(ms)));
}

void core::begin_unbind() {
  fail_queued(errc::shutting_down);
  if (detached_ || !bound()) return;
  if (!set_state(state::unbinding)) return;
  unbind_seq_ = comp_->Unbind();
  arm_link(link_wait::unbind, cfg_.unbind_timeout);
}

void core::maybe_finish_drain() {
  if (shutting_ && bound() && link_wait_ == link_wait::drain && in_flight_ == 0 && queue_.empty()) begin_unbind();
}

void core::connect_requested(std::function<void(std::error_code)> done) {
  if (detached_ || shutting_) {
    asio::post(ctx_, [d = std::move(done)] { d(make_error_code(errc::shutting_down)); });
    return;
  }
  if (bound()) {
    asio::post(ctx_, [d = std::move(done)] { d({}); });
    return;
  }
  connect_waiters_.push_back(std::move(done));
  if (started_) return;  // an attempt or its backoff is under way
  started_ = true;
  backoff_attempt_ = 0;
  connect();
}

void core::shutdown_requested(std::function<void(std::error_code)> done) {
  if (detached_) {
    asio::post(ctx_, [d = std::move(done)] { d(make_error_code(errc::shutting_down)); });
    return;
  }
  shutdown_waiters_.push_back(std::move(done));
  if (shutting_) return;
  shutting_ = true;
  if (state_ == state::closed) {
    // Not connected (never started, or waiting to reconnect): nothing to drain.
    cancel_link();
    finish_shutdown();
    return;
  }
  if (!bound()) {
    close_link(errc::shutting_down);
    return;
  }
  if (state_ == state::unbinding) return;
  arm_link(link_wait::drain, cfg_.drain_timeout);
  maybe_finish_drain();
}

// ---- inbound ---------------------------------------------------------------------------

void core::answer(Cardinal id, Cardinal seq, std::uint32_t status, const std::string& message_id) {
  ++counters_.inbound_answered;
  if (id == command_id::data_sm)
    comp_->Data_SM_RESP(status, seq, message_id, TOPData_SM_RESP{});
  else
    comp_->Deliver_SM_RESP(status, seq, message_id);
}

deferred_response core::make_deferral(const inbound_message& m) {
  auto d = std::make_shared<deferral>(weak_from_this(), ctx_.get_executor());
  d->command_id = m.command_id;
  d->seq = m.sequence_number;
  d->connection = connection_;
  d->deadline = clock::now() + cfg_.response_deadline;
  deferrals_.push_back(d);
  arm_deadline(d->deadline);
  deferred_response r;
  r.d_ = std::move(d);
  return r;
}

void core::answer_deferred(deferral& d, std::uint32_t status, const std::string& message_id) {
  if (d.connection != connection_ || detached_) return;
  answer(d.command_id, d.seq, status, message_id);
}

void core::inbound(inbound_message&& m) {
  received();
  if (!receives()) {
    ++counters_.inbound_rejected_state;
    answer(m.command_id, m.sequence_number, ESME_RINVBNDSTS, {});
    return;
  }
  const Cardinal id = m.command_id, seq = m.sequence_number;
  // A delivery receipt or another notification (SME acknowledgement,
  // intermediate), placed by the receipt store; answered once the handler
  // has it.
  if (sms::IsReceiptEsmClass(m.esm_class)) {
    sms::ReceiptTlvs tlvs;
    const bool deliver = id == command_id::deliver_sm;
    const auto& rid = deliver ? m.deliver_options.receipted_message_id : m.data_options.receipted_message_id;
    const auto& rst = deliver ? m.deliver_options.message_state : m.data_options.message_state;
    if (rid.Field) tlvs.receipted_message_id = rid.Value;
    if (rst.Field) tlvs.message_state = rst.Value;
    const std::string_view text =
        deliver ? std::string_view(m.short_message)
                : (m.data_options.message_payload.Field ? std::string_view(m.data_options.message_payload.Value)
                                                        : std::string_view());
    if (auto receipt = sms::ParseReceipt(text, tlvs)) {
      if (!on_receipt_ && !cfg_.accept_unhandled) {
        // Nobody takes it here: the SMSC keeps it and delivers it again.
        answer(id, seq, ESME_RX_T_APPN, {});
        return;
      }
      const bool final_state = sms::IsFinalNotification(m.esm_class, receipt->state);
      const bool delivered = receipt->state == sms::MessageState::Delivered;
      // The TLV names the message more surely than the text's id: field.
      std::string rid_text =
          receipt->receipted_message_id && !receipts::trim_message_id(*receipt->receipted_message_id).empty()
              ? *receipt->receipted_message_id
              : receipt->id;
      auto e = std::make_shared<receipt_event>();
      e->intermediate = !final_state;
      e->message_id = rid_text;
      e->receipt = std::move(*receipt);
      e->message = std::move(m);
      std::weak_ptr<core> self = weak_from_this();
      const unsigned conn = connection_;
      desk_.receipt(std::move(rid_text), final_state, delivered,
                    [self, e, id, seq, conn](const receipts::receipt_matcher::report& r) {
                      if (auto c = self.lock(); c && !c->detached_) c->receipt_reported(r, id, seq, conn, *e);
                    });
      return;
    }
  }
  if (!on_message_ && !cfg_.accept_unhandled) {
    answer(id, seq, ESME_RX_T_APPN, {});
    return;
  }
  std::uint32_t status = 0;
  inbound_context ctx;
  ctx.core_ = this;
  ctx.msg_ = &m;
  if (on_message_) {
    auto h = on_message_;
    status = h(m, ctx);
    if (detached_) return;
  }
  if (!ctx.deferred_ && state_ != state::closed) answer(id, seq, status, {});
}

void core::receipt_reported(const receipts::receipt_matcher::report& r, Cardinal id, Cardinal seq, unsigned connection,
                            receipt_event& e) {
  e.outcome = r.outcome;
  e.reason = r.reason;
  e.whole_delivered = r.whole_delivered;
  e.matched = r.outcome != receipts::outcome::unmatched;
  if (e.matched) {
    e.tag = r.entry.tag;
    e.destination_addr = r.entry.destination_addr;
    e.part_index = r.entry.part_index;
    e.part_count = r.entry.part_count;
    e.message_id = r.entry.message_id;
  }
  if (on_receipt_) {
    auto h = on_receipt_;
    h(e);
    if (detached_) return;
  }
  // The link it came on is gone: the SMSC delivers it again (a duplicate then).
  if (connection == connection_ && state_ != state::closed) answer(id, seq, 0, {});
}

void core::on_unknown(Cardinal id, Cardinal seq) {
  received();
  switch (id) {
    case command_id::unbind:
      // The SMSC ends the session: acknowledge, close, and come back as the
      // reconnect policy says.
      comp_->respond(command_id::unbind_resp, 0, seq);
      close_link(make_error_code(errc::disconnected));
      return;
    case command_id::outbind:
    case command_id::alert_notification: return;  // no response exists; a bound session has nothing to do with them
    default:
      if ((id & kResponseBit) != 0) {
        ++counters_.late_responses;
        metrics_.on_late(id & ~kResponseBit);
        return;
      }
      ++counters_.generic_nacks_sent;
      comp_->respond(command_id::generic_nack, ESME_RINVCMDID, seq);
      return;
  }
}

// ---- the component's events -------------------------------------------------------------

void core::attach() {
  session_component& c = *comp_;
  // Every event reaches the core through a cell the core empties when it
  // goes, and counts itself in events_ while it runs: a session destroyed
  // inside one leaves its core to the loop until the event has returned (see
  // ~session), so no reference count is taken per event. The component is
  // handed to the loop and destroyed from there, never from inside its own
  // event.
  auto on = [cell = cell_](auto fn) {
    return [cell, fn](TObject*, auto... args) {
      core* self = cell->self;
      if (self == nullptr) return;
      ++self->events_;
      fn(*self, std::move(args)...);
      --self->events_;
      if (self->detached_ && self->comp_) {
        std::shared_ptr<session_component> later(self->comp_.release());
        asio::post(self->ctx_, [later] {});
      }
    };
  };
  c.OnConnecting = on([](core&) {});
  if (cfg_.trace) {
    c.TraceSent = [t = cfg_.trace](std::string_view pdu) { t(true, pdu); };
    c.TraceReceived = [t = cfg_.trace](std::string_view pdu) { t(false, pdu); };
  }
  c.OnConnect = on([](core& k) {
    if (k.state_ != state::connecting) return;
    k.last_socket_error_ = 0;
    k.received();
    if (!k.set_state(state::open)) return;
    k.bind_seq_ = k.comp_->Bind(k.cfg_.bind_type, k.cfg_.system_id, k.cfg_.password, k.cfg_.system_type,
                                k.cfg_.addr_ton, k.cfg_.addr_npi, k.cfg_.address_range);
    k.arm_link(link_wait::bind, k.cfg_.bind_timeout);
    k.set_state(state::binding);
  });
  c.OnSockError = on([](core& k, Integer code) {
    k.last_socket_error_ = code;
    if (k.state_ == state::connecting) k.close_link(errc::connect_failed);
  });
  c.OnDisconnect = on([](core& k) {
    const std::error_code why = k.disconnect_owed_ ? k.close_reason_ : make_error_code(errc::disconnected);
    k.disconnect_owed_ = false;
    k.link_down(why);
  });
  c.OnBind_RESP_OK = on([](core& k, TBindType type, Cardinal seq, AnsiString, TOPBind_RESP) {
    k.received();
    if (k.state_ != state::binding || seq != k.bind_seq_) return;
    k.bind_seq_ = 0;
    k.backoff_attempt_ = 0;
    ++k.counters_.binds;
    const state s = type == Transmitter ? state::bound_tx : type == Receiver ? state::bound_rx : state::bound_trx;
    k.arm_link(link_wait::keepalive, k.cfg_.enquire_link_idle);
    if (!k.set_state(s)) return;
    auto waiters = std::move(k.connect_waiters_);
    k.connect_waiters_.clear();
    for (auto& f : waiters) {
      f({});
      if (k.detached_) return;
    }
    k.pump();
  });
  c.OnBind_RESP_Error = on([](core& k, TBindType, Cardinal status, Cardinal seq, AnsiString, TOPBind_RESP) {
    k.received();
    if (k.state_ == state::binding && seq == k.bind_seq_) k.close_link(smpp_error(status));
  });
  c.OnGeneric_NACK = on([](core& k, Cardinal status, Cardinal seq) {
    if (seq != 0 && seq == k.bind_seq_) {
      k.received();
      k.close_link(smpp_error(status ? status : ESME_RINVCMDID));
      return;
    }
    k.on_response(command_id::generic_nack, status, seq, [](response&) {});
  });
  auto unbind_resp = [](core& k, Cardinal seq) {
    k.received();
    if (k.state_ == state::unbinding && seq == k.unbind_seq_) k.close_link({});
  };
  c.OnUnbind_RESP_OK = on([unbind_resp](core& k, Cardinal seq) { unbind_resp(k, seq); });
  c.OnUnbind_RESP_Error = on([unbind_resp](core& k, Cardinal, Cardinal seq) { unbind_resp(k, seq); });
  c.OnEnquire_LINK = on([](core& k, Cardinal, Cardinal seq) {
    k.received();
    k.comp_->Enquire_LINK_RESP(seq);
  });
  c.OnEnquire_LINK_RESP = on([](core& k, Cardinal status, Cardinal seq) {
    if (seq != 0 && seq == k.keepalive_seq_) {
      k.received();
      k.keepalive_seq_ = 0;
      k.arm_link(link_wait::keepalive, k.cfg_.enquire_link_idle);
      return;
    }
    k.on_response(command_id::enquire_link_resp, status, seq, [](response&) {});
  });
  c.OnSubmit_SM_RESP_OK = on([](core& k, Cardinal seq, AnsiString id) {
    k.on_response(command_id::submit_sm_resp, 0, seq, [&](response& r) { r.message_id = std::move(id); });
  });
  c.OnSubmit_SM_RESP_Error = on([](core& k, Cardinal status, Cardinal seq, AnsiString id) {
    k.on_response(command_id::submit_sm_resp, status, seq, [&](response& r) { r.message_id = std::move(id); });
  });
  c.OnSubmit_MULTI_RESP_OK = on([](core& k, Cardinal seq, AnsiString id, Byte, Tunsuccess_sme u) {
    k.on_response(command_id::submit_multi_resp, 0, seq, [&](response& r) {
      r.message_id = std::move(id);
      r.unsuccess_sme = std::move(u);
    });
  });
  c.OnSubmit_MULTI_RESP_Error = on([](core& k, Cardinal status, Cardinal seq, AnsiString id, Byte, Tunsuccess_sme u) {
    k.on_response(command_id::submit_multi_resp, status, seq, [&](response& r) {
      r.message_id = std::move(id);
      r.unsuccess_sme = std::move(u);
    });
  });
  c.OnData_SM_RESP_OK = on([](core& k, Cardinal seq, AnsiString id, TOPData_SM_RESP) {
    k.on_response(command_id::data_sm_resp, 0, seq, [&](response& r) { r.message_id = std::move(id); });
  });
  c.OnData_SM_RESP_Error = on([](core& k, Cardinal status, Cardinal seq, AnsiString id, TOPData_SM_RESP) {
    k.on_response(command_id::data_sm_resp, status, seq, [&](response& r) { r.message_id = std::move(id); });
  });
  c.OnQuery_SM_RESP_OK = on([](core& k, Cardinal seq, AnsiString id, AnsiString final_date, Byte st, Byte err) {
    k.on_response(command_id::query_sm_resp, 0, seq, [&](response& r) {
      r.message_id = std::move(id);
      r.final_date = std::move(final_date);
      r.message_state = st;
      r.error_code = err;
    });
  });
  c.OnQuery_SM_RESP_Error =
      on([](core& k, Cardinal status, Cardinal seq, AnsiString id, AnsiString final_date, Byte st, Byte err) {
        k.on_response(command_id::query_sm_resp, status, seq, [&](response& r) {
          r.message_id = std::move(id);
          r.final_date = std::move(final_date);
          r.message_state = st;
          r.error_code = err;
        });
      });
  c.OnCancel_RESP_OK =
      on([](core& k, Cardinal seq) { k.on_response(command_id::cancel_sm_resp, 0, seq, [](response&) {}); });
  c.OnCancel_RESP_Error = on([](core& k, Cardinal status, Cardinal seq) {
    k.on_response(command_id::cancel_sm_resp, status, seq, [](response&) {});
  });
  c.OnReplace_RESP_OK =
      on([](core& k, Cardinal seq) { k.on_response(command_id::replace_sm_resp, 0, seq, [](response&) {}); });
  c.OnReplace_RESP_Error = on([](core& k, Cardinal status, Cardinal seq) {
    k.on_response(command_id::replace_sm_resp, status, seq, [](response&) {});
  });
  // The address fields deliver_sm and data_sm share.
  auto message = [](Cardinal command_id, Cardinal seq, AnsiString& service_type, Byte sa_ton, Byte sa_npi,
                    AnsiString& source, Byte da_ton, Byte da_npi, AnsiString& dest, Byte esm_class,
                    Byte registered_delivery, Byte data_coding) {
    inbound_message m;
    m.command_id = command_id;
    m.sequence_number = seq;
    m.service_type = std::move(service_type);
    m.source_addr_ton = sa_ton;
    m.source_addr_npi = sa_npi;
    m.source_addr = std::move(source);
    m.dest_addr_ton = da_ton;
    m.dest_addr_npi = da_npi;
    m.destination_addr = std::move(dest);
    m.esm_class = esm_class;
    m.registered_delivery = registered_delivery;
    m.data_coding = data_coding;
    return m;
  };
  c.OnDeliver_SM = on([message](core& k, Cardinal seq, AnsiString service_type, Byte sa_ton, Byte sa_npi,
                                AnsiString source, Byte da_ton, Byte da_npi, AnsiString dest, Byte esm_class,
                                Byte protocol_id, Byte priority_flag, AnsiString, AnsiString, Byte registered_delivery,
                                Byte, Byte data_coding, Byte, Byte, AnsiString short_message, TOPDeliver_SM op) {
    inbound_message m = message(command_id::deliver_sm, seq, service_type, sa_ton, sa_npi, source, da_ton, da_npi, dest,
                                esm_class, registered_delivery, data_coding);
    m.protocol_id = protocol_id;
    m.priority_flag = priority_flag;
    m.short_message = std::move(short_message);
    m.deliver_options = std::move(op);
    k.inbound(std::move(m));
  });
  c.OnData_SM = on([message](core& k, Cardinal seq, AnsiString service_type, Byte sa_ton, Byte sa_npi,
                             AnsiString source, Byte da_ton, Byte da_npi, AnsiString dest, Byte esm_class,
                             Byte registered_delivery, Byte data_coding, TOPData_SM op) {
    inbound_message m = message(command_id::data_sm, seq, service_type, sa_ton, sa_npi, source, da_ton, da_npi, dest,
                                esm_class, registered_delivery, data_coding);
    m.data_options = std::move(op);
    k.inbound(std::move(m));
  });
  c.OnUnknown_command = on([](core& k, Cardinal length, Cardinal id, Cardinal status, Cardinal seq, AnsiString) {
    if (!k.comp_->Connected()) {  // unframeable: the component has already closed the link
      if (k.cfg_.unframeable) k.cfg_.unframeable(length, id, status, seq);
      return;
    }
    k.on_unknown(id, seq);
  });
}

// Called by the session's destructor: everything still waiting completes with
// shutting_down, the connection is dropped without unbind, and no handler of
// the application is called again.
void core::detach() {
  shutting_ = true;
  cancel_link();
  deadline_timer_.cancel();
  pump_timer_.cancel();
  for (auto& d : deferrals_) d->done = true;
  deferrals_.clear();
  on_message_ = nullptr;
  on_receipt_ = nullptr;
  on_state_ = nullptr;
  std::vector<slot*> all;
  for (slot* s = dl_head_; s; s = s->next) all.push_back(s);
  auto connect_waiters = std::move(connect_waiters_);
  auto shutdown_waiters = std::move(shutdown_waiters_);
  detached_ = true;
  if (comp_ && comp_->Connected()) comp_->Disconnect();
  for (slot* s : all) finish(s, errc::shutting_down, {});
  for (auto& f : connect_waiters) f(make_error_code(errc::shutting_down));
  for (auto& f : shutdown_waiters) f(make_error_code(errc::shutting_down));
}

// ---- sending texts ---------------------------------------------------------------------------

void core::text_requested(text_request r, std::function<void(std::error_code, text_result)> done) {
  sms::SegmentOptions opts;
  switch (r.split) {
    case split_method::udh:
      opts.method = sms::SegmentMethod::Udh8;
      opts.reference = static_cast<std::uint16_t>(++text_ref_ & 0xFF);
      break;
    case split_method::sar:
      opts.method = sms::SegmentMethod::Sar;
      opts.reference = ++text_ref_;
      break;
    case split_method::payload: opts.method = sms::SegmentMethod::Payload; break;
  }
  if (r.data_coding) opts.data_coding = *r.data_coding;
  auto parts = sms::SegmentText(r.text, opts);
  if (!parts) {
    ++counters_.requests;
    ++counters_.local_errors;
    unload();
    asio::post(ctx_, [d = std::move(done)] { d(make_error_code(errc::encoding_failed), {}); });
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
  // The parts' receipts add up to one outcome under this name, unique in
  // the account: random per session, then counted.
  if (n > 1) {
    if (text_groups_ == 0) text_groups_ = (std::uint64_t{std::random_device{}()} << 32) ^ std::random_device{}();
    text_group_ = std::to_string(text_groups_++);
  }
  struct clear_group {
    std::string& g;
    ~clear_group() { g.clear(); }
  } clear{text_group_};
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
    accept(std::move(q), completion(std::move(on_part), ctx_.get_executor()), static_cast<std::uint16_t>(i),
           static_cast<std::uint16_t>(n));
    if (detached_) return;
  }
}

// ---- a budget shared by threads -------------------------------------------------------------

shared_rate::shared_rate(double per_second, double burst) {
  interval_ns_ = per_second > 0 ? static_cast<std::int64_t>(1e9 / per_second) : 0;
  tolerance_ns_ = static_cast<std::int64_t>(static_cast<double>(interval_ns_) * (std::max(1.0, burst) - 1));
}

bool shared_rate::take(clock::time_point now, clock::time_point& next) {
  if (interval_ns_ == 0) return true;
  const std::int64_t t = std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch()).count();
  std::int64_t cur = next_ns_.load(std::memory_order_relaxed);
  for (;;) {
    const std::int64_t start = std::max(cur, t);
    if (start - tolerance_ns_ > t) {
      next = clock::time_point(
          std::chrono::duration_cast<clock::duration>(std::chrono::nanoseconds(start - tolerance_ns_)));
      return false;
    }
    if (next_ns_.compare_exchange_weak(cur, start + interval_ns_, std::memory_order_relaxed)) return true;
  }
}

}  // namespace detail

// ---- deferred answers --------------------------------------------------------------------

void deferred_response::complete(std::uint32_t command_status, std::string message_id) const {
  if (!d_ || d_->done.exchange(true)) return;
  asio::dispatch(d_->ex, [d = d_, command_status, id = std::move(message_id)] {
    if (auto c = d->owner.lock()) c->answer_deferred(*d, command_status, id);
  });
}

deferred_response inbound_context::defer() {
  if (!deferred_ && core_ != nullptr) {
    deferred_ = true;
    handle_ = core_->make_deferral(*msg_);
  }
  return handle_;
}

// ---- session ------------------------------------------------------------------------------

session::session(config cfg, TEventLoop& loop) : core_(std::make_shared<detail::core>(std::move(cfg), loop)) {
  core_->attach();
}

namespace {
// Keeps a detached core until none of its events is running any more.
struct keep_until_idle {
  std::shared_ptr<detail::core> c;
  void operator()() {
    if (c->events_ > 0) {
      asio::io_context& ctx = c->ctx_;
      asio::post(ctx, keep_until_idle{std::move(c)});
    }
  }
};
}  // namespace

session::~session() {
  core_->detach();
  if (core_->events_ > 0) {
    asio::io_context& ctx = core_->ctx_;
    asio::post(ctx, keep_until_idle{std::move(core_)});
  }
  core_.reset();
}

session::executor_type session::get_executor() const noexcept { return core_->ctx_.get_executor(); }

template <class Request>
void session::submit_any(Request&& r, detail::completion&& done) {
  auto ex = core_->ctx_.get_executor();
  if (ex.running_in_this_thread()) {
    core_->accept(std::forward<Request>(r), std::move(done));
    return;
  }
  asio::post(ex, [c = core_, r = std::decay_t<Request>(std::forward<Request>(r)), d = std::move(done)]() mutable {
    c->accept(std::move(r), std::move(d));
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
  asio::dispatch(core_->ctx_.get_executor(),
                 [c = core_, d = std::move(done)]() mutable { c->connect_requested(std::move(d)); });
}

void session::start_shutdown(std::function<void(std::error_code)> done) {
  asio::dispatch(core_->ctx_.get_executor(),
                 [c = core_, d = std::move(done)]() mutable { c->shutdown_requested(std::move(d)); });
}

void session::start_text(text_request r, std::function<void(std::error_code, text_result)> done) {
  asio::dispatch(core_->ctx_.get_executor(), [c = core_, r = std::move(r), d = std::move(done)]() mutable {
    c->text_requested(std::move(r), std::move(d));
  });
}

void session::join_pool(detail::pool_link* link) { core_->link_ = link; }

void session::adopt(detail::parked&& p) {
  asio::post(core_->ctx_, [c = core_, p = std::move(p)]() mutable { c->adopt(std::move(p)); });
}

void session::release_queue_if_down() {
  asio::post(core_->ctx_, [c = core_] { c->hand_off_queued(); });
}

void session::retire() { core_->detach(); }

void session::set_message_handler(message_handler h) { core_->on_message_ = std::move(h); }
void session::set_receipt_handler(receipt_handler h) { core_->on_receipt_ = std::move(h); }
void session::set_state_handler(state_handler h) { core_->on_state_ = std::move(h); }
state session::current_state() const { return core_->state_; }
session_counters session::counters() const { return core_->counters_; }
MetricsSnapshot session::metrics() const { return core_->metrics_.snapshot(); }
std::string session::metrics_prometheus(std::string_view prefix) const { return to_prometheus(metrics(), prefix); }
std::size_t session::in_flight() const { return core_->in_flight_; }
std::size_t session::queued() const { return core_->queue_.size(); }
std::size_t session::receipts_remembered() const { return core_->own_store_ ? core_->own_store_->size() : 0; }
int session::last_socket_error() const { return core_->last_socket_error_; }
std::string session::tls_description() const {
  TVelmorSMPPDemo& c = *core_->comp_;
  for (int i = 0; i < c.ComponentCount(); ++i)
    if (auto* s = dynamic_cast<TClientSocket*>(c.Components(i)); s && s->Socket()) return s->Socket()->TLSDescription();
  return {};
}

}  // namespace velmor::session
