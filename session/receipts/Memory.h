// The receipt store's decisions kept in memory: the default store, and the
// reference the durable stores follow (the same cases run against all three).
//
// memory_receipts is pure and single-threaded: time is passed in, nothing is
// posted. memory_receipt_store wraps it for the session: a mutex (a pool's
// binds share it from several threads) and completion through asio::post.
// Memory: per account at most max_entries entries waiting, as many tombstones
// or dropped-entry markers, and one record per long message not yet whole.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
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
  void remember(std::string_view account, receipt_entry&& e, time_point now);
  receipt_take take(std::string_view account, std::string_view message_id, bool final_state, bool delivered,
                    time_point now);
  // Entries still waiting for a receipt, in every account.
  std::size_t size() const;

  // Room for nodes comes a chunk (chunk_bytes, freed with std::free) at a
  // time. Where an account may fill chunks, the book asks this source first:
  // source(true) hands over a chunk made ahead, or null (the book then makes
  // one itself); source(false), half way through a chunk, asks for the next
  // to be made ahead. Called inside remember, on the caller's thread.
  using chunk_source = std::function<void*(bool now)>;
  void set_chunk_source(chunk_source source) { source_ = std::move(source); }
  static std::size_t chunk_bytes() noexcept { return kChunk * sizeof(node); }

 private:
  static constexpr std::uint32_t npos = 0xFFFF'FFFF;
  enum class life : std::uint8_t { waiting, taken, dropped };
  enum class key : std::uint8_t { text, dec, hex };
  static key key_of(const reading& r) { return r.index == 'd' ? key::dec : key::hex; }
  // One entry, in a pool slot that never moves; linked into its list by slot
  // number. Its number readings (Rules.h) are kept so that it can be taken
  // out of the index without reading its id again. The id, destination_addr
  // and group sit inline when they fit together (they nearly always do): a
  // string per field would cost a heap block each, and a node that fills two
  // cache lines exactly keeps a chunk one huge page.
  struct node {
    node() = default;
    node(const node&) = delete;
    node& operator=(const node&) = delete;
    ~node() { delete[] spill; }
    std::uint64_t tag = 0;
    time_point submitted{}, since{};  // since: remembered, or taken / dropped
    std::uint64_t dec = 0, hex = 0;
    char* spill = nullptr;                   // the three texts, when longer than kInline together
    std::uint32_t prev = npos, next = npos;  // in its list, or the free chain
    std::uint32_t id_len = 0, dest_len = 0, group_len = 0;
    std::uint16_t part_index = 0, part_count = 1;
    life state = life::waiting;
    bool has_dec = false, has_hex = false;
    static constexpr std::size_t kInline = 53;
    char text[kInline];

    const char* chars() const { return spill ? spill : text; }
    std::string_view id() const { return {chars(), id_len}; }
    std::string_view dest() const { return {chars() + id_len, dest_len}; }
    std::string_view group() const { return {chars() + id_len + dest_len, group_len}; }
    void keep(receipt_entry&& e);
    receipt_entry entry() const;
    bool holds(key k, std::uint64_t v) const { return k == key::dec ? has_dec && dec == v : has_hex && hex == v; }
  };
  static_assert(sizeof(node) == 128, "a chunk of kChunk nodes is one 2 MB page");
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
    [[gnu::always_inline]] std::size_t home(std::uint64_t tag) const noexcept;
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
  // A chunk: room for kChunk nodes (2 MB), made one slot at a time as the
  // pool grows, so a small account touches only what it uses.
  struct chunk_release {
    void operator()(node* p) const noexcept;
  };
  struct account {
    account() = default;
    account(const account&) = delete;
    account& operator=(const account&) = delete;
    ~account();
    // The pool: slots made so far, in chunks; forgotten ones are reused.
    std::vector<std::unique_ptr<node, chunk_release>> chunks;
    std::uint32_t made = 0, free = npos;
    fifo waiting, graveyard;  // each oldest first
    index keys;               // by the readings of Rules.h; a number keeps its first entry
    std::unordered_map<std::string, group> groups;
    std::uint32_t sweeps = 0;
    time_point expired_at{};  // the time of the last expire: nothing more is due until it moves
    node& at(std::uint32_t i) { return chunks[i >> kChunkBits].get()[i & (kChunk - 1)]; }
  };
  static constexpr unsigned kChunkBits = 14;
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
  node* new_chunk();

  receipt_limits limits_;
  bool big_;  // an account may fill chunks: they go on huge pages, made ahead
  chunk_source source_;
  std::unordered_map<std::string, account> accounts_;
  account* last_ = nullptr;  // the account of the last call, and its name: most calls name the same one
  std::string last_name_;
};

class chunk_maker;

// The book's calls take a microsecond or less, and a pool's binds seldom
// meet in them: one atomic exchange to enter, where a mutex costs two library
// calls. A thread that finds it held spins a little, then yields.
class spin_lock {
 public:
  void lock() noexcept {
    for (unsigned spins = 0; held_.exchange(true, std::memory_order_acquire);) {
      while (held_.load(std::memory_order_relaxed)) {
        if (++spins < 64) {
#if defined(__x86_64__) || defined(__i386__)
          __builtin_ia32_pause();
#endif
        } else {
          std::this_thread::yield();
        }
      }
    }
  }
  void unlock() noexcept { held_.store(false, std::memory_order_release); }

 private:
  std::atomic<bool> held_{false};
};

// Makes the book's chunks ahead on a thread of its own (started when the
// first chunk is half full), so that the loop never waits while the kernel
// clears fresh pages for one: about 2 MB at a time.
class memory_receipt_store final : public receipt_store {
 public:
  explicit memory_receipt_store(receipt_limits limits = {});
  ~memory_receipt_store() override;
  void prepare(std::string_view account) override;
  void remember(std::string_view account, receipt_entry e) override;
  void take(std::string_view account, std::string_view message_id, bool final_state, bool delivered,
            asio::any_io_executor ex, take_handler done, std::string_view attempt = {}) override;
  receipt_store_stats stats() const override;
  std::size_t size() const;  // entries waiting, in every account

 private:
  mutable spin_lock mutex_;
  memory_receipts book_;
  receipt_store_stats stats_;
  std::unique_ptr<chunk_maker> maker_;  // guarded by mutex_; destroyed first
};

}  // namespace velmor::session::receipts
