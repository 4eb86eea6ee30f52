// The values a receipt store keeps and answers with (see ReceiptStore.h).
// Plain values, no I/O: the matcher and the session's machine use them too.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace velmor::session {

// One message (or one part of a long one) waiting for its receipt.
struct receipt_entry {
  std::string message_id;  // as the submit's response gave it
  std::uint64_t tag = 0;   // the application's reference for the message
  std::string destination_addr;
  std::uint16_t part_index = 0;  // 0-based part of a long message
  std::uint16_t part_count = 1;
  // Names the long message the part belongs to (the same for all its parts,
  // unique in the account); empty for a single message.
  std::string group;
  std::chrono::system_clock::time_point submitted{};  // wall clock: entries outlive the process
  friend bool operator==(const receipt_entry&, const receipt_entry&) = default;
};

struct receipt_limits {
  std::size_t max_entries = 100'000;                          // per account; the oldest go first (memory, SQLite)
  std::chrono::seconds max_age{std::chrono::hours(72)};       // an entry no receipt took by then is gone
  std::chrono::seconds tombstone_ttl{std::chrono::hours(1)};  // after a final receipt: duplicates recognised
};

// What the store found for one receipt.
struct receipt_take {
  enum class kind : std::uint8_t {
    matched,      // the entry; for a final state it is now a tombstone
    duplicate,    // a final receipt already took the entry: a tombstone, entry filled in
    none,         // no entry and no tombstone
    expired,      // the entry was dropped by age or count before a receipt came (memory store)
    unreachable,  // the store cannot answer now; ask again later
  };
  kind result = kind::none;
  receipt_entry entry;  // matched and duplicate
  // With the final receipt that made every part of a long message final:
  // whether every part was delivered. Reported once per message.
  std::optional<bool> whole_delivered;
};

struct receipt_store_stats {
  std::uint64_t remembered = 0;        // entries written
  std::uint64_t remember_dropped = 0;  // entries given up: the store was unreachable and its backlog full
  std::uint64_t takes = 0;
  std::uint64_t unreachable = 0;  // takes answered unreachable
  std::size_t backlog = 0;        // operations waiting to be written
};

}  // namespace velmor::session
