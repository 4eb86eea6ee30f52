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
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "session/ReceiptStore.h"
#include "session/receipts/Rules.h"

namespace velmor::session::receipts {

class memory_receipts {
 public:
  using time_point = std::chrono::system_clock::time_point;
  explicit memory_receipts(receipt_limits limits = {});
  memory_receipts(const memory_receipts&) = delete;
  memory_receipts& operator=(const memory_receipts&) = delete;

  // Makes the account's index now (sized for the limits: a large
  // allocation), rather than on its first remember.
  void prepare(std::string_view account) { find_account(account, true); }
  void remember(std::string_view account, receipt_entry e, time_point now);
  receipt_take take(std::string_view account, std::string_view message_id, bool final_state, bool delivered,
                    time_point now);
  // Entries still waiting for a receipt, in every account.
  std::size_t size() const;

 private:
  static constexpr std::uint32_t npos = 0xFFFF'FFFF;
  enum class life : std::uint8_t { waiting, taken, dropped };
  enum class key : std::uint8_t { text, dec, hex };
  static key key_of(const reading& r) { return r.index == 'd' ? key::dec : key::hex; }
  // One entry, in a pool slot that never moves; linked into its list by slot
  // number. Its readings (Rules.h) are kept so that it can be taken out of
  // the index without reading its id again. The id and destination_addr sit
  // inline when they fit together (they nearly always do): a string kept per
  // entry would leave one heap block behind for each.
  struct node {
    static constexpr std::size_t kInline = 40;
    std::uint64_t tag = 0;
    time_point submitted{}, since{};  // since: remembered, or taken / dropped
    std::uint64_t text_tag = 0, dec = 0, hex = 0;
    std::string group;
    std::string spill;                       // id then destination_addr, when longer than kInline together
    std::uint32_t prev = npos, next = npos;  // in its list, or the free chain
    std::uint32_t id_len = 0, dest_len = 0;
    std::uint16_t part_index = 0, part_count = 1;
    life state = life::waiting;
    bool has_dec = false, has_hex = false;
    char text[kInline];

    const char* chars() const { return id_len + dest_len > kInline ? spill.data() : text; }
    std::string_view id() const { return {chars(), id_len}; }
    std::string_view dest() const { return {chars() + id_len, dest_len}; }
    void keep(receipt_entry&& e);
    receipt_entry entry() const;
    bool holds(key k, std::uint64_t v) const { return k == key::dec ? has_dec && dec == v : has_hex && hex == v; }
  };
  struct fifo {
    std::uint32_t head = npos, tail = npos;
    std::size_t size = 0;
  };
  // Open addressing with linear probing over 64-bit cells: the key's tag
  // (its kind and bits of its hash, which place its home cell) over the
  // slot + 1 (0: empty). A candidate is confirmed against its node. Removal
  // shifts the cells after it back, so probes never lengthen.
  class index {
   public:
    void reset(std::size_t cells);
    template <class Same>
    std::uint32_t find(std::uint64_t tag, Same same) const;
    // Adds the key for slot unless a node `same` accepts holds it already.
    template <class Same>
    void add(std::uint64_t tag, std::uint32_t slot, Same same);
    void erase(std::uint64_t tag, std::uint32_t slot);

   private:
    std::size_t home(std::uint64_t tag) const noexcept;
    void grow();
    struct release {
      void operator()(std::uint64_t* p) const noexcept;
    };
    std::unique_ptr<std::uint64_t[], release> cells_;
    std::size_t size_ = 0, used_ = 0;
    unsigned bits_ = 0;
  };
  struct group {
    std::uint16_t done = 0;
    bool failed = false;
    time_point since;
  };
  struct account {
    // The pool: slots made so far, in chunks; forgotten ones are reused.
    std::vector<std::unique_ptr<node[]>> chunks;
    std::uint32_t made = 0, free = npos;
    fifo waiting, graveyard;  // each oldest first
    index keys;               // by the readings of Rules.h; a number keeps its first entry
    std::unordered_map<std::string, group> groups;
    std::uint32_t sweeps = 0;
    node& at(std::uint32_t i) { return chunks[i >> kChunkBits][i & (kChunk - 1)]; }
  };
  static constexpr unsigned kChunkBits = 10;
  static constexpr std::uint32_t kChunk = 1u << kChunkBits;

  static std::uint64_t text_tag(std::string_view text) noexcept;  // text not empty
  static std::uint64_t number_tag(key k, std::uint64_t value) noexcept;
  void expire(account& a, time_point now);
  void bury(account& a, std::uint32_t n, life why, time_point now);
  void forget(account& a, std::uint32_t n);
  void unlink(account& a, fifo& from, std::uint32_t n);
  void append(account& a, fifo& to, std::uint32_t n);
  std::uint32_t find_text(account& a, std::uint64_t tag, std::string_view text);
  std::uint32_t find_number(account& a, key k, std::uint64_t value);
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
