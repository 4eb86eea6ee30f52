// The receipt store's decisions kept in memory: the default store, and the
// reference the durable stores follow (the same cases run against all three).
//
// memory_receipts is pure and single-threaded: time is passed in, nothing is
// posted. memory_receipt_store wraps it for the session: a mutex (a pool's
// binds share it from several threads) and completion through asio::post.
// Memory: per account at most max_entries entries waiting, as many tombstones
// or dropped-entry markers, and one record per long message not yet whole.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "session/ReceiptStore.h"

namespace velmor::session::receipts {

class memory_receipts {
 public:
  using time_point = std::chrono::system_clock::time_point;
  explicit memory_receipts(receipt_limits limits = {});
  memory_receipts(const memory_receipts&) = delete;
  memory_receipts& operator=(const memory_receipts&) = delete;

  // Makes the account's tables now (sized for the limits: a large
  // allocation), rather than on its first remember.
  void prepare(std::string_view account) { find_account(account, true); }
  void remember(std::string_view account, receipt_entry e, time_point now);
  receipt_take take(std::string_view account, std::string_view message_id, bool final_state, bool delivered,
                    time_point now);
  // Entries still waiting for a receipt, in every account.
  std::size_t size() const;

 private:
  enum class life : std::uint8_t { waiting, taken, dropped };
  struct node {
    receipt_entry entry;
    time_point since;  // remembered, or taken / dropped
    life state = life::waiting;
  };
  using list = std::list<node>;
  struct group {
    std::uint16_t done = 0;
    bool failed = false;
    time_point since;
  };
  struct account {
    list waiting, graveyard;  // each oldest first
    // By the readings of Rules.h: the text (views into the nodes' ids, which
    // list nodes never move) and the numbers. A number keeps its first entry.
    std::unordered_map<std::string_view, list::iterator> by_text;
    std::unordered_map<std::uint64_t, list::iterator> by_dec, by_hex;
    std::unordered_map<std::string, group> groups;
    std::uint32_t sweeps = 0;
  };

  void expire(account& a, time_point now);
  void bury(account& a, list::iterator it, life why, time_point now);
  void forget(account& a, list& from, list::iterator it);
  account& find_account(std::string_view name, bool create);

  receipt_limits limits_;
  std::unordered_map<std::string, account> accounts_;
  account* last_ = nullptr;  // the account of the last call, and its name: most calls name the same one
  std::string last_name_;
};

class memory_receipt_store final : public receipt_store {
 public:
  explicit memory_receipt_store(receipt_limits limits = {}) : book_(limits) {}
  void prepare(std::string_view account) override;
  void remember(std::string_view account, receipt_entry e) override;
  void take(std::string_view account, std::string_view message_id, bool final_state, bool delivered,
            asio::any_io_executor ex, take_handler done, std::string_view attempt = {}) override;
  receipt_store_stats stats() const override;
  std::size_t size() const;  // entries waiting, in every account

 private:
  mutable std::mutex mutex_;
  memory_receipts book_;
  receipt_store_stats stats_;
};

}  // namespace velmor::session::receipts
