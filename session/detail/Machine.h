// The session's protocol logic as a state machine with no I/O: bind state
// and the requests each state allows, the window and its queue, deadlines,
// keep-alive, automatic answers, throttling, reconnect backoff and graceful
// shutdown.
//
// Inputs are calls: the link came up or went down, a framed PDU arrived, the
// time advanced, a request, a shutdown, the application's answer to an
// inbound message. Every input carries the current time; the machine never
// reads a clock, never touches a socket or a timer, and never calls the
// application. Each input appends actions to actions(); whoever drives the
// machine (the session's shell, a test, the fuzzer) carries them out in
// order. Requests are named by a key the caller chooses; the machine hands it
// back, once, in the request's complete action.
//
// Re-entrancy: an input may be given while the actions of an earlier one are
// being carried out (a completion that makes a request); its actions are
// appended after the ones still waiting. clear_actions() forgets them all
// once every one is carried out. received() is the exception: it is given
// only once the actions of earlier inputs are all carried out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <system_error>
#include <unordered_map>
#include <vector>

#include "codec/Commands.h"
#include "session/Error.h"
#include "session/Metrics.h"
#include "session/Types.h"
#include "session/detail/SharedRate.h"
#include "sms/Receipt.h"

namespace velmor::session::detail {

using time_point = clock::time_point;

// What the machine asks of its driver.
enum class act : std::uint8_t {
  write,     // hand octets(a) to the socket; seq: the request's sequence number (0: not a request)
  connect,   // open the TCP connection (then link_up, or link_down / socket_error)
  close,     // close the connection (link_down follows once it was up)
  wake,      // call tick() at `at` (or earlier; an earlier wake is harmless)
  complete,  // complete request `key` with (ec, resp)
  done,      // complete the connect or shutdown call `key` with ec
  message,   // hand inbound(a) to the message handler; then answer(inbound, status)
  receipt,   // hand inbound(a) and receipt(a) to the receipt code; then answer(inbound, 0)
  state,     // the state changed to st, for the reason ec
  release,   // this bind is down: its queue may move to another bind (take_queue()); then released()
};

// A request's facts the receipt code keeps when its response carries a
// message_id: tag, destination and part.
struct receipt_note {
  bool wanted = false;
  std::uint64_t tag = 0;
  std::string destination_addr;
  std::uint16_t part_index = 0, part_count = 1;
};

inline constexpr std::uint32_t no_index = 0xFFFFFFFF;

// A submit budget kept outside the machine (config::rate_limiter): take
// answers at once; false says when to ask again at the latest (the keeper
// may make the machine try sooner, through tick).
struct rate_gate {
  virtual ~rate_gate() = default;
  virtual bool take(time_point now, time_point& next) = 0;
};

struct action {
  act kind = act::write;
  // complete/done: a refusal inside the call that made the request; the
  // driver completes it later, never inside that call.
  bool immediate = false;
  state st = state::closed;
  std::uint32_t key = 0;      // complete, done
  std::uint32_t inbound = 0;  // message, receipt: the id answer() takes
  Cardinal seq = 0;           // write
  Cardinal command_id = 0;    // write: of the PDU
  // write: octets(); message, receipt: inbound(); complete: response_of(),
  // and in len the note_of() to remember (no_index: none).
  std::uint32_t off = 0, len = 0;
  time_point at{};     // wake
  std::error_code ec;  // complete, done, state
};

// A queued request on its way to another bind of a pool (never sent, or only
// refused with a throttling status).
struct moved_request {
  std::string pdu;
  std::uint32_t key = 0;
  Cardinal command_id = 0;
  time_point deadline{};
  int attempts = 0;
  std::uint16_t part_index = 0, part_count = 1;
  receipt_note note;
};

class machine {
 public:
  // cfg: everything but host, port, tls and the hooks is read. A bad seed of
  // 0 takes `seed` instead (the driver's clock, say).
  machine(const config& cfg, std::uint32_t seed);
  machine(const machine&) = delete;
  machine& operator=(const machine&) = delete;

  // ---- inputs -------------------------------------------------------------------
  void connect(std::uint32_t key, time_point now);   // async_connect
  void shutdown(std::uint32_t key, time_point now);  // async_shutdown
  void link_up(time_point now);
  void link_down(time_point now);
  void socket_error(time_point now);  // while connecting: the attempt failed
  void received(std::string_view pdu, time_point now);
  void tick(time_point now);
  // The socket refused the write of octets with this sequence number (its
  // send queue is full).
  void write_refused(Cardinal seq, Cardinal command_id, time_point now);
  void answer(std::uint32_t inbound, std::uint32_t command_status, std::string_view message_id, time_point now);
  // A request: built and queued, or refused with a complete action.
  void request(const submit_sm_request& r, std::uint32_t key, time_point now, std::uint16_t part_index = 0,
               std::uint16_t part_count = 1);
  void request(const submit_multi_request& r, std::uint32_t key, time_point now);
  void request(const data_sm_request& r, std::uint32_t key, time_point now);
  void request(const query_sm_request& r, std::uint32_t key, time_point now);
  void request(const cancel_sm_request& r, std::uint32_t key, time_point now);
  void request(const replace_sm_request& r, std::uint32_t key, time_point now);
  void request(const enquire_link_request& r, std::uint32_t key, time_point now);
  // A request refused before it reached the machine (a text that cannot be
  // encoded): counted, and completed with e.
  void refuse(std::uint32_t key, errc e);
  // A request another bind of the pool accepted already: kept with its
  // deadline, never refused for a full queue.
  void adopt(moved_request&& r, time_point now);
  // Everything held completes with shutting_down, and every later input is
  // refused the same way; the connection is closed without unbind.
  void retire();

  // For the pool: the queued requests (never sent), taken out.
  std::vector<moved_request> take_queue();
  // After a release action: what is still queued fails when this bind will
  // not send it (no reconnect).
  void released(time_point now);
  void set_shared_rate(shared_rate* r) { shared_rate_ = r; }
  // Set: submits draw from it instead of this machine's own bucket.
  void set_rate_gate(rate_gate* g) { gate_ = g; }

  // ---- outputs ------------------------------------------------------------------
  std::vector<action>& actions() { return out_; }
  std::string_view octets(const action& a) const { return std::string_view(wire_).substr(a.off, a.len); }
  inbound_message& inbound(const action& a) { return inbound_[a.off]; }
  std::optional<sms::Receipt>& receipt(const action& a) { return receipts_[a.off]; }
  // complete: the response (empty for a request that got none), and the
  // facts a receipt needs when the response carries a message_id for one.
  response& response_of(const action& a) { return a.off == no_index ? empty_ : responses_[a.off]; }
  const receipt_note* note_of(const action& a) const { return a.len == no_index ? nullptr : &notes_[a.len]; }
  // Once every action is carried out.
  void clear_actions();

  // ---- what the application may read --------------------------------------------
  state current() const { return state_; }
  bool bound() const { return state_ == state::bound_tx || state_ == state::bound_rx || state_ == state::bound_trx; }
  bool closing() const { return closing_; }
  const session_counters& counters() const { return counters_; }
  const Metrics& metrics() const { return metrics_; }
  Metrics& metrics() { return metrics_; }  // the shell counts what it decides (receipt outcomes)
  std::size_t in_flight() const { return in_flight_; }
  std::size_t queued() const { return queue_.size() + waiting_.size(); }
  std::size_t window() const { return window_; }
  // Requests held (queued, waiting or in flight), for the fuzzer's balance.
  std::size_t held() const { return held_; }

 private:
  enum class where : std::uint8_t { free, waiting, queued, in_flight };
  struct slot {
    std::string pdu;  // the request, built; its sequence_number is stamped at each send
    std::uint32_t key = 0;
    Cardinal command_id = 0, seq = 0;
    time_point deadline{}, sent_at{};
    int attempts = 0;
    where at = where::free;
    std::uint16_t part_index = 0, part_count = 1;
    receipt_note note;
    slot* prev = nullptr;  // deadline order, waiting, queued and in flight alike
    slot* next = nullptr;
  };
  struct inbound_wait {
    std::uint32_t id;
    Cardinal command_id, seq;
    unsigned connection;
    time_point deadline;
    bool answered;
  };
  enum class link_wait : std::uint8_t { none, connect, bind, keepalive, enquire, reconnect, drain, unbind };
  // What a PDU the SMSC sent in the current state asks of the session.
  enum class rule : std::uint8_t { handle, wrong_state, invalid_command, ignore, late };

  // ---- window (Window.cpp) ----
  slot* alloc_slot();
  void release(slot* s);
  void table_put(slot* s);
  slot* table_find(Cardinal seq) const;
  void table_remove(slot* s);
  void dl_insert(slot* s);
  void dl_remove(slot* s);
  bool refused_at_call(std::uint32_t key, Cardinal id, time_point now);
  template <class Build>
  void accept(std::uint32_t key, Cardinal id, milliseconds timeout, time_point now, receipt_note&& note,
              std::uint16_t part_index, std::uint16_t part_count, Build&& build);
  void enqueue(slot* s, time_point now);
  void admit_waiting();
  void pump(time_point now);
  bool take_token(time_point now, time_point& next);
  void send(slot* s, time_point now);
  // resp: index of responses_, or no_index.
  void finish(slot* s, std::error_code ec, std::uint32_t resp = no_index);
  void complete_now(std::uint32_t key, errc e);
  void on_response(Cardinal resp_id, Cardinal status, Cardinal seq, std::string_view body, time_point now);
  void fail_queued(std::error_code e);
  void fail_in_flight(errc e);
  void expire(time_point now);

  // ---- link (Machine.cpp) ----
  void emit_state(state s, std::error_code ec = {});
  void emit_done(std::uint32_t key, std::error_code ec, bool immediate = false);
  void complete_waiters(std::vector<std::uint32_t>& w, std::error_code ec);
  void start_link(time_point now);
  void close_link(std::error_code why, time_point now);
  void lost(std::error_code why, time_point now);
  void schedule_reconnect(time_point now);
  void finish_shutdown();
  void begin_unbind(time_point now);
  void maybe_finish_drain(time_point now);
  void arm_link(link_wait w, time_point at);
  void wake_at(time_point t);
  void after(time_point now);  // ends every input: metrics and the next wake
  bool receives() const;
  codec::bind_state table_state() const;
  bool sends(Cardinal command_id) const;
  rule inbound_rule(Cardinal command_id) const;
  static bool notification(Byte esm_class);

  // ---- octets (Wire.cpp) ----
  std::uint32_t put(std::string_view pdu);
  void write(Cardinal command_id, Cardinal status, Cardinal seq, std::string_view body = {});
  void write_request(slot* s);
  void write_bind();
  void decode_response(Cardinal resp_id, std::string_view body, response& r);
  void answer_inbound(Cardinal command_id, Cardinal seq, std::uint32_t status, std::string_view message_id);
  void on_message(Cardinal command_id, Cardinal seq, std::string_view body, time_point now);
  Cardinal next_seq();

  // configuration
  TBindType bind_type_;
  std::string system_id_, password_, system_type_, address_range_;
  Byte addr_ton_, addr_npi_;
  std::size_t window_, queue_limit_;
  queue_policy policy_;
  milliseconds request_timeout_, enquire_link_idle_, enquire_link_timeout_, connect_timeout_, bind_timeout_;
  bool reconnect_, retry_permanent_, queue_while_reconnecting_;
  milliseconds reconnect_min_, reconnect_max_;
  double reconnect_jitter_;
  double submit_rate_, submit_burst_;
  milliseconds throttle_pause_;
  int throttle_retries_;
  milliseconds response_deadline_, drain_timeout_, unbind_timeout_;

  // link
  state state_ = state::closed;
  bool started_ = false, shutting_ = false, retired_ = false;
  bool stopped_by_shutdown_ = false;  // later requests get shutting_down until the next connect
  bool closing_ = false;              // close asked for; waiting for link_down
  bool tcp_up_ = false;
  std::error_code close_reason_;
  bool stop_after_close_ = false;  // a permanent bind failure
  std::optional<std::error_code> release_fail_;
  link_wait link_wait_ = link_wait::none;
  time_point link_at_ = time_point::max();
  time_point last_rx_{};
  Cardinal seq_ = 0, bind_seq_ = 0, keepalive_seq_ = 0, unbind_seq_ = 0;
  unsigned connection_ = 0;
  int backoff_attempt_ = 0;
  std::minstd_rand rng_;
  std::vector<std::uint32_t> connect_waiters_, shutdown_waiters_;

  // window and queue
  std::deque<slot> slots_;
  std::vector<slot*> free_;
  std::deque<slot*> queue_, waiting_;
  std::vector<slot*> table_;  // in flight, by sequence_number modulo its size
  std::unordered_map<Cardinal, slot*> overflow_;
  std::size_t mask_ = 0, in_flight_ = 0, held_ = 0;
  slot* dl_head_ = nullptr;
  slot* dl_tail_ = nullptr;
  time_point pause_until_{}, pump_at_ = time_point::max();
  double tokens_ = 1;
  time_point tokens_at_{};
  shared_rate* shared_rate_ = nullptr;
  rate_gate* gate_ = nullptr;

  // inbound
  std::deque<inbound_wait> inbound_waits_;
  std::uint32_t next_inbound_ = 1;

  // outputs
  std::vector<action> out_;
  std::string wire_;
  // Beside the actions; kept (capacity and all) from one run to the next.
  // They grow only in received(), which is never given while actions are
  // carried out, so a handler may hold a reference into them while it runs.
  std::vector<inbound_message> inbound_;
  std::vector<std::optional<sms::Receipt>> receipts_;
  std::vector<response> responses_;
  std::vector<receipt_note> notes_;
  response empty_;
  time_point armed_ = time_point::max();

  Metrics metrics_;
  session_counters counters_;
};

}  // namespace velmor::session::detail
