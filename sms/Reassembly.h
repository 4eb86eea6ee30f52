// Reassembly of inbound multipart messages (deliver_sm / data_sm).
//
// Thread: a Reassembler is not synchronised; use one per session or guard it.
// No clock is read: every call takes the caller's steady_clock time.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sms/Encoding.h"
#include "sms/Result.h"
#include "sms/Segment.h"

namespace velmor::sms {

// The fields of a received deliver_sm or data_sm that reassembly needs.
struct InboundPart {
  std::string source;       // source_addr
  std::string destination;  // destination_addr
  std::uint8_t esm_class = 0;
  std::uint8_t data_coding = 0;
  Octets short_message;
  std::optional<SarValues> sar;
  // When present it carries the user data (UDH included if esm_class has UDHI) and
  // short_message is ignored.
  std::optional<Octets> message_payload;
};

enum class ConcatKind : std::uint8_t { None, Udh8, Udh16, Sar };

struct Message {
  std::string source;
  std::string destination;
  std::uint8_t esm_class = 0;    // of the first part, UDHI cleared
  std::uint8_t data_coding = 0;  // of the first part
  Octets octets;                 // user data without UDH; GSM unpacked if options.gsm_packed
  ConcatKind kind = ConcatKind::None;
  std::uint16_t reference = 0;
  std::uint8_t total_parts = 1;
};

// UTF-8 text of a completed message by its data_coding (GSM always unpacked here).
inline Result<std::string> DecodeMessage(const Message& m, OnBadInput on_bad = OnBadInput::Report) {
  return DecodeText(m.octets, m.data_coding, DecodeOptions{on_bad, false});
}

enum class DropReason : std::uint8_t { Expired, Evicted };

// A partial message given up on. Its parts are handed back so nothing is lost unseen.
struct DroppedMessage {
  DropReason reason = DropReason::Expired;
  std::string source;
  std::string destination;
  ConcatKind kind = ConcatKind::None;
  std::uint16_t reference = 0;
  std::uint8_t total_parts = 0;
  std::uint8_t data_coding = 0;
  std::vector<std::pair<std::uint8_t, Octets>> parts;  // (seq, user data) in seq order
};

enum class Malformed : std::uint8_t {
  None,
  UdhPastEnd,     // UDHL or an IE length runs past the user data
  TotalZero,      // total parts 0
  SeqZero,        // sequence number 0
  SeqAboveTotal,  // sequence number above total
  BadConcatIe,    // concatenation IE 0x00/0x08 with a length other than 3/4
};

enum class FeedStatus : std::uint8_t {
  Complete,   // `message` is set
  Pending,    // part stored, more to come
  Duplicate,  // this seq was already held; ignored
  Malformed,  // `malformed` says why; nothing stored
};

struct FeedResult {
  FeedStatus status = FeedStatus::Pending;
  Malformed malformed = Malformed::None;
  std::optional<Message> message;
  std::vector<DroppedMessage> dropped;  // expired or evicted while handling this call
};

struct ReassemblyOptions {
  std::size_t max_pending = 1024;                                        // partial messages held at once
  std::size_t max_pending_octets = 4 * 1024 * 1024;                      // user data held at once
  std::chrono::steady_clock::duration expiry = std::chrono::minutes(5);  // from first part
  bool gsm_packed = false;  // GSM user data arrives packed 7-bit (unpacked on the way in)
};

class Reassembler {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;

  explicit Reassembler(ReassemblyOptions options = {});

  // Takes one part. Expired partials are dropped first; when holding this part would
  // exceed max_pending or max_pending_octets the oldest partials are evicted. Both are
  // returned in FeedResult::dropped. A part without concatenation info completes at
  // once. A copy of a part that arrives after its message completed is not
  // recognised (references repeat); it opens a new partial that expires in time.
  // Never throws on any input.
  FeedResult Feed(const InboundPart& part, TimePoint now);

  // Drops partials whose first part arrived at or before now - expiry.
  std::vector<DroppedMessage> Expire(TimePoint now);

  std::size_t PendingCount() const noexcept { return pending_.size(); }
  std::size_t PendingOctets() const noexcept { return pendingOctets_; }

 private:
  struct Key {
    std::string source;
    std::string destination;
    ConcatKind kind;
    std::uint16_t reference;
    std::uint8_t total;
    auto operator<=>(const Key&) const = default;
  };
  struct Entry {
    TimePoint first_seen;
    std::uint8_t esm_class = 0;
    std::uint8_t data_coding = 0;
    std::vector<std::optional<Octets>> parts;
    std::size_t received = 0;
    std::size_t octets = 0;
    std::multimap<TimePoint, Key>::iterator order;
  };

  DroppedMessage Drop(std::map<Key, Entry>::iterator it, DropReason reason);

  ReassemblyOptions options_;
  std::map<Key, Entry> pending_;
  std::multimap<TimePoint, Key> byAge_;
  std::size_t pendingOctets_ = 0;
};

}  // namespace velmor::sms
