// Counters, gauges and a round-trip-time histogram of one managed SMPP session, and
// their Prometheus text exposition (of one session, or of every bind of a pool).
//
// Threads: a Metrics object is not synchronised. The session calls every on_*/set_*
// method on its loop thread, and snapshot() must be taken on that same thread (post to
// the loop to read it from elsewhere). The returned MetricsSnapshot is a plain value
// that may then be moved to and read on any thread.
//
// Cost: on_* for the request commands of SMPP 3.4 (command_id 0x00..0x3F and
// 0x100..0x10F) is an array index and an increment; nothing is allocated except the
// first time a command meets a command_status it has not met before, or for a
// command_id outside those ranges. The histogram is a fixed array: recording a sample
// is a few bit operations. Text is made only by to_prometheus, on a scrape.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "session/Types.h"

namespace velmor::session {

// What happened to the requests of one command_id.
struct CommandCounters {
  std::uint64_t sent = 0;                                  // requests written
  std::uint64_t ok = 0;                                    // responses with command_status 0
  std::uint64_t timed_out = 0;                             // no response within the response timeout
  std::uint64_t late = 0;                                  // responses that arrived after their request timed out
  std::uint64_t throttled = 0;                             // requests held back or answered ESME_RTHROTTLED
  std::uint64_t retried = 0;                               // requests sent again
  std::uint64_t disconnected = 0;                          // requests outstanding when the connection was lost
  std::map<std::uint32_t, std::uint64_t> error_by_status;  // responses with a non-zero status
  std::uint64_t received = 0;                              // deliver_sm / data_sm from the SMSC (receipts too)
};

// Round-trip time quantiles. Each quantile is the midpoint of the histogram bucket
// holding the nearest-rank sample, so it is within 1/64 (about 1.6 %) of that sample's
// value for round trips up to 2^37 ns (about 137 s); a quantile that falls on a longer
// one, or on the top rank, is the exact max. All zero when count is 0.
struct LatencySummary {
  std::chrono::nanoseconds p50{}, p90{}, p99{}, max{};
  std::uint64_t count = 0;
  std::chrono::nanoseconds sum{};  // exact sum of the recorded samples
};

inline constexpr std::size_t kReceiptOutcomes = 5;   // receipts::outcome, matched .. unmatched
inline constexpr std::size_t kUnmatchedReasons = 4;  // receipts::unmatched_reason, none .. store_unreachable

struct MetricsSnapshot {
  std::map<std::uint32_t, CommandCounters> by_command;  // key: request command_id; only commands with activity
  std::size_t in_flight = 0, queue_depth = 0;
  std::uint64_t reconnects = 0;
  LatencySummary rtt;
  // Receipts placed, by receipts::outcome; the unmatched ones also by reason.
  std::array<std::uint64_t, kReceiptOutcomes> receipts{};
  std::array<std::uint64_t, kUnmatchedReasons> unmatched{};
  // Filled by session::metrics(): the state now, and the labels of every series.
  state session_state = state::closed;
  std::string account;  // config::system_id
  std::string bind;     // "transmitter", "receiver" or "transceiver"
};

// Log-linear histogram of durations in nanoseconds: exact below 32 ns, then 32 buckets
// per power of two (each bucket at most 1/32 of its lower bound wide). Fixed size;
// record() never allocates.
class RttHistogram {
 public:
  static constexpr unsigned kSubBits = 5;
  static constexpr std::uint64_t kSub = 1u << kSubBits;  // buckets per power of two
  static constexpr unsigned kMaxBits = 37;               // 2^37 ns ~ 137 s
  static constexpr std::size_t kBuckets = (kMaxBits - kSubBits) * kSub + kSub;

  void record(std::chrono::nanoseconds d) noexcept;
  // Midpoint of the bucket holding the sample of rank ceil(q * count), at most max();
  // 0 when empty. q is clamped to [0, 1].
  std::chrono::nanoseconds quantile(double q) const noexcept;
  LatencySummary summary() const noexcept;
  std::uint64_t count() const noexcept { return count_; }

  static std::size_t bucket_of(std::uint64_t ns) noexcept;
  static std::uint64_t bucket_lower(std::size_t index) noexcept;
  static std::uint64_t bucket_width(std::size_t index) noexcept;

 private:
  std::array<std::uint64_t, kBuckets> buckets_{};
  std::uint64_t count_ = 0, sum_ = 0, max_ = 0;
};

class Metrics {
 public:
  void on_sent(std::uint32_t command_id);
  // ok when command_status is 0, else error_by_status[command_status]++; rtt goes into
  // the histogram either way (a negative rtt counts as 0).
  void on_response(std::uint32_t command_id, std::uint32_t command_status, std::chrono::nanoseconds rtt);
  void on_timeout(std::uint32_t command_id);
  void on_late(std::uint32_t command_id);
  void on_throttled(std::uint32_t command_id);
  void on_retried(std::uint32_t command_id);
  void on_disconnected(std::uint32_t command_id);
  void on_received(std::uint32_t command_id);                          // a deliver_sm or data_sm from the SMSC
  void on_receipt(receipts::outcome o, receipts::unmatched_reason r);  // a receipt placed
  void on_reconnect();
  void set_in_flight(std::size_t n) { in_flight_ = n; }
  void set_queue_depth(std::size_t n) { queue_depth_ = n; }
  MetricsSnapshot snapshot() const;

 private:
  struct Slot {
    std::uint64_t sent = 0, ok = 0, timed_out = 0, late = 0, throttled = 0, retried = 0, disconnected = 0, received = 0;
    std::vector<std::pair<std::uint32_t, std::uint64_t>> errors;  // few distinct statuses per command
  };
  // 0x00..0x3F -> 0..63, 0x100..0x10F -> 64..79
  static constexpr std::size_t kFixedSlots = 80;
  Slot& slot(std::uint32_t command_id);

  // The counters and the histogram take ~15 KB; they are made on the first
  // request, so an idle bound session (bind and keep-alive are not counted)
  // holds none of it.
  struct Tables {
    std::array<Slot, kFixedSlots> fixed{};
    RttHistogram rtt;
    std::array<std::uint64_t, kReceiptOutcomes> receipts{};  // a receipt comes with a deliver_sm: tables exist
    std::array<std::uint64_t, kUnmatchedReasons> unmatched{};
  };
  Tables& tables();

  std::unique_ptr<Tables> tables_;
  std::vector<std::pair<std::uint32_t, Slot>> other_;  // any other command_id, in first-seen order
  std::size_t in_flight_ = 0, queue_depth_ = 0;
  std::uint64_t reconnects_ = 0;
};

// Prometheus text exposition format 0.0.4. Every family has one HELP and one TYPE line,
// present even without samples. Every series carries the labels account and bind
// (from the snapshot); the pool's rendering adds index, the bind's place in
// pool_config::binds. Counters:
//   <prefix>_requests_sent_total{command}
//   <prefix>_responses_total{command,command_status}     ESME_ROK included
//   <prefix>_timeouts_total{command}, _late_responses_total, _throttled_total,
//   _retries_total, _disconnected_total                  by command
//   <prefix>_messages_received_total{command}            deliver_sm, data_sm (receipts included)
//   <prefix>_receipts_total{outcome}                     every outcome, zeros included:
//       matched, early_matched, duplicate, intermediate, unmatched
//   <prefix>_receipts_unmatched_total{reason}            no_entry, expired, store_unreachable
//   <prefix>_reconnects_total
// Gauges: <prefix>_in_flight, <prefix>_queue_depth; <prefix>_state{state} with one series
// per session state (closed, connecting, open, binding, bound_tx, bound_rx, bound_trx,
// unbinding), 1 for the current one and 0 for the others; <prefix>_rtt_max_seconds.
// Summary: <prefix>_rtt_seconds{quantile="0.5"|"0.9"|"0.99"}, _sum, _count.
// command is the protocol name ("submit_sm"), command_status the ESME_ name
// ("ESME_RTHROTTLED"); values without a name are written "0x%08X". Label values are
// escaped. Characters of prefix that a metric name cannot hold are written as '_' (and a
// leading digit gets a '_' before it).
std::string to_prometheus(const MetricsSnapshot& s, std::string_view prefix = "velmor_smpp");
// Several binds in one exposition: each family once, with every bind's series, each
// labelled index="i" (its place in the vector) besides account and bind.
std::string to_prometheus(const std::vector<MetricsSnapshot>& binds, std::string_view prefix = "velmor_smpp");

}  // namespace velmor::session
