// The simulator's message store: every message accepted by submit_sm, by
// submit_multi (one per destination) or by data_sm, with its lifecycle
// ENROUTE -> DELIVERED / UNDELIVERABLE / DELETED.
//
// Message ids are consecutive numbers, so the store is a deque indexed by
// id - first id: lookup is O(1) and adding a message allocates nothing beyond
// the deque's blocks. Text fields are kept in fixed buffers for the same
// reason; they only feed receipts, which carry at most 20 octets of text.
//
// Pure and single-threaded: time is passed in, never read from a clock.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "Config.h"
#include "codec/Types.h"
#include "sms/Names.h"

namespace velmor::smsc {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;

// message_state values, shared with the message toolkit's names.
using sms::MessageState;

inline bool is_final(MessageState s) { return sms::IsFinal(s); }

// The seven-letter stat: word of a delivery receipt.

// Up to N octets; longer input keeps its first N.
template <std::size_t N>
struct FixedText {
  char data[N];
  std::uint8_t size = 0;

  void assign(std::string_view s) {
    size = static_cast<std::uint8_t>(s.size() < N ? s.size() : N);
    if (size != 0) std::memcpy(data, s.data(), size);  // an empty view may have no data pointer
  }
  std::string_view view() const { return {data, size}; }
};

struct StoredMessage {
  std::uint64_t id = 0;
  std::uint32_t system = 0;   // interned system_id of the submitting session
  std::uint64_t session = 0;  // SessionId of the submitting session (receipt_route submitter)
  MessageState state = MessageState::Enroute;
  Byte registered_delivery = 0;
  Byte error = 0;
  Byte data_coding = 0;  // of the text, for a replace_sm's new text
  Byte source_ton = 0, source_npi = 0, dest_ton = 0, dest_npi = 0;
  bool undeliverable = false;  // ends UNDELIVERABLE rather than DELIVERED
  bool expires = false;        // its validity period ends at `due`: ends EXPIRED
  bool scheduled = false;      // due out of submission order (scheduled or expiring)
  FixedText<32> source;
  FixedText<32> destination;
  FixedText<20> text;  // the receipt's quote of it (receipt_quote)
  TimePoint submitted{};
  TimePoint due{};   // when it leaves ENROUTE on its own
  TimePoint done{};  // when it became final
};

// Message id text <-> number, after Config's style and prefix.
class MessageIds {
 public:
  MessageIds(MessageIdStyle style, std::string prefix) : style_(style), prefix_(std::move(prefix)) {}

  // Appends the id's text to out (no NUL).
  void append(std::string& out, std::uint64_t id) const;
  std::string text(std::uint64_t id) const {
    std::string s;
    append(s, id);
    return s;
  }
  // The number an id text stands for; nullopt for anything this style would
  // not have produced (wrong prefix, stray characters, leading zeros).
  std::optional<std::uint64_t> parse(std::string_view text) const;

 private:
  MessageIdStyle style_;
  std::string prefix_;
};

class MessageStore {
 public:
  MessageStore(std::uint64_t first_id, std::size_t limit) : next_id_(first_id), limit_(limit) {}

  // A new ENROUTE message with the next id, or null when the store is full of
  // messages that are not final yet. The caller fills in the fields.
  // scheduled: due is not now + the common delivery delay (a schedule or a
  // validity period moved it), so it may come before earlier messages'.
  StoredMessage* add(TimePoint now, TimePoint due, bool scheduled = false);

  StoredMessage* find(std::uint64_t id);

  // A replace_sm's new times: m becomes final at due (EXPIRED when expires).
  void reschedule(StoredMessage& m, TimePoint due, bool expires);
  // m became final before its due time (cancelled): its entry goes.
  void unschedule(const StoredMessage& m);

  // Each ENROUTE message whose due time has come becomes final (DELIVERED,
  // UNDELIVERABLE when flagged, EXPIRED when its validity ran out first) and
  // is passed to fn. Messages added with the common delivery delay are due in
  // submission order, so a later one is not looked at before an earlier one
  // is due; scheduled ones are kept apart, ordered by their due time.
  template <class F>
  void finalize_due(TimePoint now, F&& fn) {
    while (!scheduled_.empty() && scheduled_.begin()->first <= now) {
      const auto [due, id] = *scheduled_.begin();
      scheduled_.erase(scheduled_.begin());
      // An entry left behind by a message whose time moved is not its time.
      if (StoredMessage* m = find(id); m != nullptr && m->state == MessageState::Enroute && m->due == due)
        finish(*m, fn);
    }
    while (next_due_ < messages_.size()) {
      StoredMessage& m = messages_[next_due_];
      if (m.state == MessageState::Enroute && !m.scheduled) {
        if (m.due > now) break;
        finish(m, fn);
      }
      ++next_due_;
    }
  }

  // Calls fn on every message not final yet, oldest first; fn returns false
  // to stop.
  template <class F>
  void for_each_pending(F&& fn) {
    // A scheduled message may sit before next_due_.
    for (std::size_t i = scheduled_.empty() ? next_due_ : 0; i < messages_.size(); ++i)
      if (!is_final(messages_[i].state) && !fn(messages_[i])) return;
  }

  // Calls fn on every message, newest first; fn returns false to stop.
  template <class F>
  void for_each_newest(F&& fn) const {
    for (auto it = messages_.rbegin(); it != messages_.rend(); ++it)
      if (!fn(*it)) return;
  }

  std::size_t size() const { return messages_.size(); }
  std::size_t limit() const { return limit_; }
  void set_limit(std::size_t limit) { limit_ = limit; }
  std::uint64_t next_id() const { return next_id_; }

 private:
  std::deque<StoredMessage> messages_;  // messages_[i].id == front id + i
  std::uint64_t next_id_;
  std::size_t limit_;
  std::size_t next_due_ = 0;                           // index of the oldest message maybe still ENROUTE
  std::multimap<TimePoint, std::uint64_t> scheduled_;  // due -> id

  template <class F>
  static void finish(StoredMessage& m, F& fn) {
    m.state = m.expires         ? MessageState::Expired
              : m.undeliverable ? MessageState::Undeliverable
                                : MessageState::Delivered;
    m.done = m.due;
    fn(m);
  }
};

// schedule_delivery_time or validity_period as a wall-clock time. Empty text
// is no time (present false). "YYMMDDhhmmsstnnp" is absolute: local time
// with its offset from UTC in quarter hours nn (00..48) ahead ('+') or behind
// ('-'), t tenths of a second. "YYMMDDhhmmss000R" is relative to now: years,
// months, days, hours, minutes and seconds added in turn (a day past the end
// of a month is clamped to its last day). Anything else is not valid; the
// caller refuses it (ESME_RINVSCHED / ESME_RINVEXPIRY). Years are 2000..2099.
struct SmppTime {
  bool valid = true;
  bool present = false;
  std::chrono::system_clock::time_point at{};
};
SmppTime parse_smpp_time(std::string_view text, std::chrono::system_clock::time_point now);

// What a receipt's text: field quotes of a message: its UDH left out when
// esm_class has UDHI (0x40), decoded after data_coding, and the first
// max_chars characters as printable ASCII, anything else (and octets that do
// not decode, binary data) as '?'.
std::string receipt_quote(std::string_view short_message, Byte esm_class, Byte data_coding, std::size_t max_chars = 20);

// YYMMDDhhmm of a wall-clock time, in UTC (the receipt's date fields).
void append_receipt_date(std::string& out, std::chrono::system_clock::time_point t);
// YYMMDDhhmmss000+ of a wall-clock time, in UTC (query_sm_resp final_date).
void append_absolute_time(std::string& out, std::chrono::system_clock::time_point t);

}  // namespace velmor::smsc
