// Messages submitted and awaiting their delivery receipt, keyed by the message_id the
// SMSC returned in submit_sm_resp / submit_multi_resp / data_sm_resp.
//
// Threads: not synchronised; the session calls it on its loop thread only.
// Memory: bounded by Limits::max_entries; the oldest entries go first.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace velmor::session {

class ReceiptBook {
 public:
  struct Entry {
    std::string message_id;
    std::uint64_t tag = 0;  // the application's reference for the message
    std::string destination_addr;
    std::uint16_t part_index = 0;  // 0-based part of a long message
    std::uint16_t part_count = 1;
    std::chrono::steady_clock::time_point submitted;
  };
  struct Limits {
    std::size_t max_entries = 100000;  // 0 is taken as 1
    std::chrono::seconds max_age{std::chrono::hours(72)};
  };

  // ReceiptBook(Limits limits = {}) in effect: a default argument cannot use Limits'
  // member initialisers inside this class, so the default is a constructor of its own.
  ReceiptBook();
  explicit ReceiptBook(Limits limits);
  // The indexes point into the entries, so a copy would point into the original: moves only.
  ReceiptBook(const ReceiptBook&) = delete;
  ReceiptBook& operator=(const ReceiptBook&) = delete;
  ReceiptBook(ReceiptBook&&) noexcept = default;
  ReceiptBook& operator=(ReceiptBook&&) noexcept = default;

  // Keeps e until its final receipt, until it is older than max_age (counted from this
  // call's now), or until max_entries newer entries push it out. An entry whose
  // message_id (blanks around it ignored) is already kept replaces the older one. An
  // empty message_id is not kept: no receipt could name it.
  void remember(Entry e, std::chrono::steady_clock::time_point now);

  // Finds the entry a receipt's id names, first dropping entries older than max_age.
  // The id (blanks and NULs around it ignored) is read as text, as a decimal number when
  // it is all digits, and as a hexadecimal number when it is all hex digits after an
  // optional 0x, each only when the value fits 64 bits (so "1A2B", "1a2b", "0x1a2b", "00001A2B" are all 6699 read as
  // hex, and "6699", "006699" are 6699 read as decimal and 0x6699 read as hex). The first of these rules that finds an
  // entry wins:
  //   1. same text;
  //   2. same value read in the same base (leading zeros, letter case, 0x prefix);
  //   3. the receipt's decimal value equals the entry's hex value (SMSCs that answer
  //      submit_sm_resp in hex and write the receipt's id: in decimal);
  //   4. the receipt's hex value equals the entry's decimal value (the reverse).
  // Within a rule the oldest entry wins. A final receipt removes the entry; an
  // intermediate one (ENROUTE; see sms::IsFinalNotification) leaves it for the final one.
  std::optional<Entry> match(std::string_view message_id, bool final_state, std::chrono::steady_clock::time_point now);

  std::size_t size() const { return by_id_.size(); }

 private:
  struct Node {
    Entry entry;
    std::chrono::steady_clock::time_point remembered;
    std::optional<std::uint64_t> dec, hex;
    std::uint64_t serial = 0;  // remember() order, for "oldest wins"
  };
  using List = std::list<Node>;  // insertion order, oldest first
  using Iter = List::iterator;

  void expire(std::chrono::steady_clock::time_point now);
  void unlink(Iter it);  // out of the indexes, still in order_
  void erase(Iter it);
  std::optional<Iter> find(std::string_view id);

  Limits limits_;
  List order_;
  std::unordered_map<std::string_view, Iter> by_id_;  // views into Node::entry.message_id (trimmed)
  std::unordered_multimap<std::uint64_t, Iter> by_dec_, by_hex_;
  std::uint64_t next_serial_ = 0;
};

}  // namespace velmor::session
