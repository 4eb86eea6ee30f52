// Stand-in until the receipt book of the session layer lands: what was
// submitted, remembered by message_id, bounded in count and age.
// Single-threaded.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace velmor::session {

class ReceiptBook {
 public:
  struct Entry {
    std::string message_id;
    std::uint64_t tag = 0;
    std::string destination_addr;
    std::uint16_t part_index = 0;
    std::uint16_t part_count = 1;
    std::chrono::steady_clock::time_point submitted{};
  };
  struct Limits {
    std::size_t max_entries = 100000;
    std::chrono::seconds max_age{std::chrono::hours(72)};
  };
  ReceiptBook();
  explicit ReceiptBook(Limits limits);
  void remember(Entry e, std::chrono::steady_clock::time_point now);
  // Exact id, else numeric equivalence (hex id vs decimal id, leading
  // zeros). A final receipt removes the entry.
  std::optional<Entry> match(std::string_view message_id, bool final_state, std::chrono::steady_clock::time_point now);
  std::size_t size() const { return by_id_.size(); }

 private:
  void expire(std::chrono::steady_clock::time_point now);
  Limits limits_;
  std::unordered_map<std::string, Entry> by_id_;
  std::deque<std::pair<std::chrono::steady_clock::time_point, std::string>> order_;
};

}  // namespace velmor::session
