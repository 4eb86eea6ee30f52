// The SMSC core, without I/O: configuration, the shared message store, the
// registry of sessions, counters and test hooks. A transport opens one
// Session per connection, feeds it, calls tick() now and then, and writes
// whatever the sessions listed by drain_dirty() have to say.
//
// Single-threaded: every call comes from the thread that owns the Smsc.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "Config.h"
#include "Mo.h"
#include "Session.h"
#include "Store.h"
#include "tlv/Tlv.h"

namespace velmor::smsc {

// What the simulator has done since it started; a snapshot (Smsc::counters()).
struct Counters {
  std::uint64_t octets_in = 0, pdus_in = 0, pdus_out = 0;
  std::uint64_t binds_accepted = 0, binds_rejected = 0, unbinds = 0, enquire_links = 0;
  std::uint64_t submit_sm = 0, submit_multi = 0, data_sm = 0;
  std::uint64_t query_sm = 0, cancel_sm = 0, replace_sm = 0;
  std::uint64_t messages_accepted = 0, messages_refused = 0, throttled = 0;
  std::uint64_t delivered = 0, undeliverable = 0, deleted = 0, expired = 0;
  // receipts_sent counts final and intermediate receipts; intermediate_receipts_sent
  // the ENROUTE notifications among them. mo_sent: Config::mo_every messages.
  std::uint64_t receipts_sent = 0, receipts_dropped = 0, intermediate_receipts_sent = 0, mo_sent = 0;
  std::uint64_t deliver_sm_sent = 0, data_sm_sent = 0, resent = 0;
  std::uint64_t responses_in = 0, unmatched_responses = 0, response_timeouts = 0;
  std::uint64_t generic_nacks_in = 0, generic_nacks_out = 0, invalid_length = 0, unknown_commands = 0;
  // Random faults injected (Config::drop_probability and the like), and
  // enquire_links left unanswered.
  std::uint64_t faults_dropped = 0, faults_throttled = 0, faults_delayed = 0, faults_cut = 0;
  std::uint64_t enquire_links_ignored = 0;
  // Requests and destinations a fault rule (Config::rules) acted on.
  std::uint64_t rule_faults = 0;
  // Gauge: sessions open at the moment of the snapshot.
  std::uint64_t sessions = 0;

  // One line per counter, "name value", in declaration order.
  std::string to_string() const;
};

class Smsc {
 public:
  explicit Smsc(Config config = {});
  ~Smsc();
  Smsc(const Smsc&) = delete;
  Smsc& operator=(const Smsc&) = delete;

  Config& config() { return config_; }
  const Config& config() const { return config_; }
  Counters counters() const;
  MessageStore& store() { return store_; }
  const MessageIds& ids() const { return ids_; }

  // ---- sessions ----------------------------------------------------------------
  // A new session, alive until close_session(); the reference stays valid
  // until then.
  Session& open_session(std::string peer = {});
  // Forgets the session: PDUs still owed to it are lost.
  void close_session(SessionId id);
  Session* session(SessionId id);
  std::size_t session_count() const { return sessions_.size(); }
  template <class F>
  void for_each_session(F&& fn) {
    for (auto& [id, s] : sessions_) fn(*s);
  }

  // Passes each session that has something to write (or to close) to fn, and
  // empties the list. fn may close the session.
  template <class F>
  void drain_dirty(F&& fn) {
    dirty_scratch_.swap(dirty_);
    for (SessionId id : dirty_scratch_) {
      if (Session* s = session(id)) {
        s->dirty_ = false;
        fn(*s);
      }
    }
    dirty_scratch_.clear();
  }

  // Advances time: ENROUTE messages that are due become final and their
  // receipts go out, unanswered PDUs past response_timeout are resent or
  // given up, and delayed responses that are due mark their session dirty.
  void tick(TimePoint now);

  // ---- traffic the SMSC originates ---------------------------------------------
  // Sends to a receiver or transceiver session bound with system_id (in turn,
  // when there are several). Returns the sequence number used, 0 when no such
  // session is bound.
  Cardinal deliver_sm(std::string_view system_id, const Originated& m, TimePoint now);
  Cardinal data_sm(std::string_view system_id, const Originated& m, TimePoint now);
  // A mobile-originated text, encoded and split (see Mo.h), to every bound
  // receiver and transceiver of system_id (empty: of any). Returns the
  // sessions it went to; 0 with `error` set when the text cannot be encoded.
  std::size_t send_mo(std::string_view system_id, const MoText& mo, TimePoint now, std::string& error);
  // enquire_link to every bound session; returns how many were sent.
  std::size_t enquire_link_all(TimePoint now);
  // unbind to every bound session not already closing; returns how many were
  // sent. Each such session closes once its unbind_resp arrives.
  std::size_t unbind_all(TimePoint now);

  // Cancels a message by id as cancel_sm would; false when unknown or final.
  bool cancel(std::uint64_t id, TimePoint now);
  // Ends a message that is not final yet in the final state given (its
  // receipt goes out as registered_delivery asks); false when the message is
  // unknown or already final, or the state is not final.
  bool force_state(std::uint64_t id, MessageState state, TimePoint now);

  // Fault rules (Config::rules): add gives the rule an id and puts it first
  // or last; remove by id (false when there is none).
  FaultRule add_rule(FaultRule rule, bool first = false);
  bool remove_rule(std::uint64_t id);

  // Receipt dates are wall-clock times: `steady` is taken to be `wall`, and
  // other steady times are converted by their distance from it. Set at
  // construction from the two clocks; tests pin it.
  void set_wall_clock(TimePoint steady, std::chrono::system_clock::time_point wall) {
    steady_anchor_ = steady;
    wall_anchor_ = wall;
  }
  std::chrono::system_clock::time_point wall(TimePoint t) const {
    return wall_anchor_ + std::chrono::duration_cast<std::chrono::system_clock::duration>(t - steady_anchor_);
  }

  // The deliver_sm body of the receipt for a final message, as it is sent.
  std::string receipt_body(const StoredMessage& m);
  // As receipt_body, for the intermediate notification of an ENROUTE message.
  std::string intermediate_body(const StoredMessage& m);

  // ---- hooks (all optional) --------------------------------------------------------
  // Every PDU received, before it is handled.
  std::function<void(const Session&, const codec::Header&, std::string_view raw)> on_pdu;
  // Every decoded submit_sm, submit_multi and data_sm, before it is answered
  // (also the ones then throttled or refused).
  std::function<void(const Session&, const MessageView&)> on_submit;
  // A non-zero result refuses the message request with that command_status.
  std::function<Cardinal(const Session&, const MessageView&)> submit_status;
  // Each response to a PDU the SMSC sent (deliver_sm_resp, data_sm_resp,
  // enquire_link_resp, or a generic_nack for one of them).
  std::function<void(const Session&, const codec::Header&)> on_response;
  // A message became final (before its receipt is sent).
  std::function<void(const StoredMessage&)> on_final;

 private:
  friend class Session;

  std::uint32_t intern(std::string_view system_id);
  Session* receiver_for(std::uint32_t system, SessionId submitter = 0);
  void finalized(StoredMessage& m, TimePoint now);
  void bound(Session& s, TimePoint now);
  void append_receipt(std::string& out, const StoredMessage& m, bool intermediate = false);
  void cancel(StoredMessage& m, TimePoint now);
  void send_mo(TimePoint now);
  // fn on every bound session that is not closing; returns how many.
  template <class F>
  std::size_t for_each_bound(F&& fn) {
    std::size_t n = 0;
    for (auto& [id, s] : sessions_) {
      if (!s->bound() || s->closing()) continue;
      fn(*s);
      ++n;
    }
    return n;
  }
  // Sends, or keeps for a later bind, a receipt body for system.
  void send_receipt(std::uint32_t system, const std::string& body, TimePoint now, SessionId submitter = 0);
  // The intermediate notification (ENROUTE) for a message just accepted.
  void accepted(const StoredMessage& m, TimePoint now);

  Config config_;
  Counters counters_;
  MessageIds ids_;
  MessageIds receipt_ids_;  // ids_, or decimal with receipt_ids_decimal
  MessageStore store_;
  std::map<SessionId, std::unique_ptr<Session>> sessions_;
  SessionId next_session_ = 1;
  std::vector<SessionId> dirty_, dirty_scratch_;
  std::unordered_map<std::string, std::uint32_t> systems_;
  std::vector<std::deque<std::string>> pending_receipts_;  // by interned system
  std::size_t pending_count_ = 0;
  std::size_t round_robin_ = 0;
  std::uint32_t mo_reference_ = 0;
  std::uint64_t next_rule_id_ = 0;
  TimePoint next_mo_{};
  TimePoint steady_anchor_;
  std::chrono::system_clock::time_point wall_anchor_;
  std::string scratch_;
  TOPDeliver_SM receipt_tlvs_;
  std::string receipt_text_;  // the receipt being formatted; reused
};

}  // namespace velmor::smsc
