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
#include <optional>
#include <string>
#include <string_view>

#include "codec/Types.h"
#include "sms/Names.h"
#include "tools/smsc/Config.h"

namespace velmor::smsc {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;

// message_state values, shared with the message toolkit's names.
using sms::MessageState;

inline bool is_final(MessageState s) { return s != MessageState::Enroute && s != MessageState::Accepted; }

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
  std::uint32_t system = 0;  // interned system_id of the submitting session
  MessageState state = MessageState::Enroute;
  Byte registered_delivery = 0;
  Byte error = 0;
  Byte source_ton = 0, source_npi = 0, dest_ton = 0, dest_npi = 0;
  bool undeliverable = false;  // ends UNDELIVERABLE rather than DELIVERED
  FixedText<32> source;
  FixedText<32> destination;
  FixedText<20> text;  // the first 20 octets, as a receipt quotes them
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
  StoredMessage* add(TimePoint now, TimePoint due);

  StoredMessage* find(std::uint64_t id);

  // Each ENROUTE message whose due time has come becomes final (DELIVERED, or
  // UNDELIVERABLE when flagged), in submission order, and is passed to fn.
  // Messages are assumed due in submission order (one delivery delay for
  // all): a later one is not looked at before an earlier one is due.
  template <class F>
  void finalize_due(TimePoint now, F&& fn) {
    while (next_due_ < messages_.size()) {
      StoredMessage& m = messages_[next_due_];
      if (m.state == MessageState::Enroute) {
        if (m.due > now) break;
        m.state = m.undeliverable ? MessageState::Undeliverable : MessageState::Delivered;
        m.done = m.due;
        fn(m);
      }
      ++next_due_;
    }
  }

  // Calls fn on every message not final yet, oldest first; fn returns false
  // to stop.
  template <class F>
  void for_each_pending(F&& fn) {
    for (std::size_t i = next_due_; i < messages_.size(); ++i)
      if (!is_final(messages_[i].state) && !fn(messages_[i])) return;
  }

  std::size_t size() const { return messages_.size(); }
  std::size_t limit() const { return limit_; }
  void set_limit(std::size_t limit) { limit_ = limit; }
  std::uint64_t next_id() const { return next_id_; }

 private:
  std::deque<StoredMessage> messages_;  // messages_[i].id == front id + i
  std::uint64_t next_id_;
  std::size_t limit_;
  std::size_t next_due_ = 0;  // index of the oldest message maybe still ENROUTE
};

// YYMMDDhhmm of a wall-clock time, in UTC (the receipt's date fields).
void append_receipt_date(std::string& out, std::chrono::system_clock::time_point t);
// YYMMDDhhmmss000+ of a wall-clock time, in UTC (query_sm_resp final_date).
void append_absolute_time(std::string& out, std::chrono::system_clock::time_point t);

}  // namespace velmor::smsc
