// The receipt store in Redis, shared by every bind and every process of an
// account. Each entry is one string key with a TTL (max_age; a tombstone
// tombstone_ttl), each numeric reading of its id not spelled plainly (an id
// "0042" or "1A2B", not "42" or "1a2b") one key naming it, each long message
// not yet whole one hash. Keys:
//   velmor:rcpt:{ACCOUNT}:e:ID     the entry ("w" waiting or "t" tombstone, then its fields)
//   velmor:rcpt:{ACCOUNT}:k:KEY    d<decimal> / h<hex value> -> ID (Rules.h)
//   velmor:rcpt:{ACCOUNT}:g:GROUP  parts final so far, and whether one failed
// Remembers and takes queued together go to Redis as one Lua script call,
// atomic, so two processes never both take one receipt.
// Entries are not bounded by count here (Redis's maxmemory is); an entry past
// its TTL is gone, so a late receipt is unmatched no_entry, not expired.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "session/ReceiptStore.h"
#include "session/receipts/RedisLink.h"

namespace velmor::session::receipts {

class redis_receipt_store final : public receipt_store {
 public:
  redis_receipt_store(redis_address where, receipt_limits limits = {}, redis_link::options opt = {});
  void remember(std::string_view account, receipt_entry e) override;
  void take(std::string_view account, std::string_view message_id, bool final_state, bool delivered,
            asio::any_io_executor ex, take_handler done, std::string_view attempt = {}) override;
  receipt_store_stats stats() const override;
  bool congested() const override { return link_->congested(); }
  std::size_t backlog() const override { return link_->queued(); }

 private:
  struct answer {
    asio::any_io_executor ex;
    take_handler done;
    receipt_take take;
  };
  void hand_on(answer a);
  void round_end();

  receipt_limits limits_;
  std::string max_age_, tombstone_ttl_;  // in milliseconds, as Redis takes them
  std::vector<answer> answers_;          // a round trip's, gathered: worker thread only
  std::unique_ptr<redis_link> link_;
  std::atomic<std::uint64_t> remembered_{0}, refused_{0}, takes_{0}, unreachable_{0};
};

}  // namespace velmor::session::receipts
