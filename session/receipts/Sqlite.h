// The receipt store in an SQLite file (WAL journal): entries outlive the
// process, a kill -9 included; what a batch had committed is there for the
// next process on the file. Several processes may share the file on one
// machine (they wait on each other's writes up to busy_timeout).
//
// Every call queues an operation for a worker thread, which runs whatever
// has queued in one transaction and then posts the takes' answers. Once a
// second it drops waiting entries past max_age or beyond max_entries of an
// account (kept as markers: a later receipt is unmatched `expired`) and
// deletes tombstones and markers past tombstone_ttl. A batch that fails
// (disk full, the file locked too long) is rolled back: its takes are
// answered unreachable and its entries are tried again (at most
// max_backlog wait; past that they are counted as dropped).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "session/ReceiptStore.h"

struct sqlite3;

namespace velmor::session::receipts {

class sqlite_receipt_store final : public receipt_store {
 public:
  // Opens (creating) the file and its tables; throws std::runtime_error
  // naming the file and SQLite's message when it cannot.
  explicit sqlite_receipt_store(std::string path, receipt_limits limits = {}, std::size_t max_backlog = 100'000);
  ~sqlite_receipt_store() override;  // writes what is queued, then stops
  void remember(std::string_view account, receipt_entry e) override;
  void take(std::string_view account, std::string_view message_id, bool final_state, bool delivered,
            asio::any_io_executor ex, take_handler done, std::string_view attempt = {}) override;
  receipt_store_stats stats() const override;
  bool congested() const override { return queued_.load(std::memory_order_relaxed) > max_backlog_ / 2; }
  std::size_t backlog() const override { return queued_.load(std::memory_order_relaxed); }

 private:
  struct op {
    bool is_take = false;
    std::string account;
    receipt_entry entry;  // remember
    std::string id;       // take
    bool final_state = false, delivered = false;
    asio::any_io_executor ex;
    take_handler done;
  };
  class db;
  void run();

  receipt_limits limits_;
  std::size_t max_backlog_;
  std::unique_ptr<db> db_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<op> queue_;
  bool stop_ = false;
  std::atomic<std::uint64_t> remembered_{0}, dropped_{0}, takes_{0}, unreachable_{0};
  std::atomic<std::size_t> queued_{0};  // queue_.size(), for congested()
  std::thread worker_;
};

}  // namespace velmor::session::receipts
