// What the application is told about each delivery receipt, decided without
// I/O: the shell hands in receipts, the store's answers and the time, and
// carries out the lookups this asks for and the reports it gives back.
//
//   matched        the store had the entry (final state: it is now a tombstone)
//   early_matched  matched, after the receipt had waited for its submit's
//                  response (it came first, or on another bind or process)
//   duplicate      a final receipt already took the entry (a tombstone)
//   intermediate   a non-final state (ENROUTE) of a remembered message; the
//                  entry waits on for the final one
//   unmatched      with the reason: no_entry (none came within the wait),
//                  expired (the entry had been dropped by age or count),
//                  store_unreachable (the store did not answer within the wait)
//
// A receipt the store cannot place yet waits (parks): it is looked up again
// when an entry it may name is remembered here, and otherwise after a
// backoff from retry_min doubling to retry_max, until `wait` has passed
// since it came. At most max_parked wait; past that the oldest is reported
// unmatched at once. Nothing is dropped without a report.
//
// Single-threaded; time is passed in.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "session/ReceiptEntry.h"

namespace velmor::session::receipts {

enum class outcome : std::uint8_t { matched, early_matched, duplicate, intermediate, unmatched };
enum class unmatched_reason : std::uint8_t { none, no_entry, expired, store_unreachable };
const char* to_string(outcome o) noexcept;
const char* to_string(unmatched_reason r) noexcept;

struct matcher_config {
  std::chrono::milliseconds wait{30'000};  // how long a receipt may wait for its entry (or the store)
  std::size_t max_parked = 10'000;
  std::chrono::milliseconds retry_min{50}, retry_max{1'000};
  // Read by the session, not the matcher: while the store has more writes
  // waiting than this (receipt_store::backlog(); a store unreachable or
  // slower than the submits), a request asking for a receipt fails at once
  // with errc::receipt_store_behind rather than its entry pile up.
  std::size_t max_unwritten = 20'000;
};

class receipt_matcher {
 public:
  using clock = std::chrono::steady_clock;
  using ticket = std::uint64_t;  // the shell's name for one receipt: each larger than the one before

  // Ask the store: take(account, id, final_state, delivered).
  struct lookup {
    ticket t = 0;
    std::string id;
    bool final_state = true;
    bool delivered = false;
  };
  // Tell the application; the receipt is then closed.
  struct report {
    ticket t = 0;
    enum outcome outcome = outcome::unmatched;
    unmatched_reason reason = unmatched_reason::none;
    receipt_entry entry;                  // matched, early_matched, duplicate, intermediate
    std::optional<bool> whole_delivered;  // every part of a long message is now final
  };

  explicit receipt_matcher(matcher_config cfg = {});

  // A receipt came. final_state: it ends the message (an intermediate
  // notification, esm_class 0x20, or ENROUTE does not); delivered: its state
  // is DELIVERED. Returns the first lookup.
  lookup on_receipt(ticket t, std::string id, bool final_state, bool delivered, clock::time_point now);

  // The store's answer to a lookup of t: a report, or nothing while t waits.
  std::optional<report> on_take(ticket t, receipt_take r, clock::time_point now);

  // An entry was remembered: waiting receipts that may name it are looked up
  // again (appended to out).
  void on_remembered(std::string_view message_id, std::vector<lookup>& out);

  // Waiting receipts due for another lookup, and those whose wait is over
  // (reported unmatched) or pushed out by max_parked.
  void tick(clock::time_point now, std::vector<lookup>& lookups, std::vector<report>& reports);
  // When tick next has something to do; nullopt when nothing waits.
  std::optional<clock::time_point> next_wake() const;

  std::size_t parked() const { return waiting_.size(); }
  std::size_t open() const { return open_.size(); }

 private:
  struct state {
    std::string id;
    bool final_state = true, delivered = false;
    bool in_lookup = false;  // a lookup is out; its answer decides
    bool parked = false;
    clock::time_point deadline{}, wake{};
    std::chrono::milliseconds backoff{0};
    unmatched_reason last = unmatched_reason::no_entry;
  };
  void park(ticket t, state& s, unmatched_reason why, clock::time_point now);
  void unpark(ticket t, state& s);
  report close(ticket t, state& s, report r);
  lookup ask(ticket t, state& s);

  matcher_config cfg_;
  std::unordered_map<ticket, state> open_;
  std::set<ticket> waiting_;                             // parked; tickets grow, so oldest first
  std::multimap<clock::time_point, ticket> wakes_;       // min(retry_at, deadline); stale ones skipped
  std::unordered_multimap<std::string, ticket> by_key_;  // lookup keys of parked receipts
};

}  // namespace velmor::session::receipts
