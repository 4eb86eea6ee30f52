#include "session/receipts/Memory.h"

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#include <time.h>
#endif

#include <asio/post.hpp>

#include "session/receipts/Rules.h"

namespace velmor::session::receipts {

namespace {

constexpr std::uint64_t kHigh = ~std::uint64_t{0} << 32;

std::uint64_t mix(std::uint64_t x) noexcept {  // splitmix64's finaliser
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ULL;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

// A key's cell tag: 24 bits hashed from all but the fastest-changing part of
// the key, those 6 bits themselves, and the kind. Ids are mostly counted up,
// so a run of them shares one block of cells: the cells a remember touches
// are those of its recent neighbours, and a receipt, which comes soon after,
// finds them in the cache.
std::uint64_t tag(std::uint64_t block, unsigned low, std::uint8_t kind) noexcept {
  return (mix(block) & ~std::uint64_t{0} << 40) | std::uint64_t{low & 63u} << 34 | std::uint64_t{kind} << 32;
}

constexpr std::size_t kHugePage = std::size_t{2} << 20;

// Room for a table or a chunk of nodes. Large ones go on huge pages where
// the system has them: the first touch of each 4 KB page is a page fault
// (one per 2 MB on huge pages), and a probe far from the last ones would
// miss the TLB as well. Not zeroed.
void* large_block(std::size_t bytes, bool huge) {
  huge = huge && bytes >= kHugePage;
  void* p = huge ? std::aligned_alloc(kHugePage, (bytes + kHugePage - 1) / kHugePage * kHugePage) : std::malloc(bytes);
  if (!p) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
  if (huge) ::madvise(p, bytes, MADV_HUGEPAGE);
#endif
  return p;
}

// Places a text's block: a word at a time, then mixed. Two texts that meet
// share a block and are told apart by their tags and nodes.
std::uint64_t fold(std::string_view s) noexcept {
  std::uint64_t h = s.size();
  std::size_t i = 0;
  for (; i + 8 <= s.size(); i += 8) {
    std::uint64_t w;
    std::memcpy(&w, s.data() + i, 8);
    h = (h ^ w) * 0x9e3779b97f4a7c15ULL;
  }
  std::uint64_t w = 0;
  if (i == s.size()) return h;  // tag() mixes it
  if (s.size() >= 8) {
    std::memcpy(&w, s.data() + s.size() - 8, 8);  // the last eight, overlapping the words before
  } else {
    for (; i < s.size(); ++i) w = w << 8 | static_cast<unsigned char>(s[i]);
  }
  return (h ^ w) * 0x9e3779b97f4a7c15ULL;
}

}  // namespace

std::uint64_t memory_receipts::text_tag(std::string_view text) noexcept {
  // The last two characters change fastest (a decimal or hex counter): they
  // place the key inside its block, so that a hundred counted ids share one
  // and a remember seldom reaches a block that is not in the cache.
  const std::size_t n = text.size();
  const unsigned last = static_cast<unsigned char>(text[n - 1]) & 15u;
  const unsigned before = n > 1 ? static_cast<unsigned char>(text[n - 2]) & 15u : 0u;
  return tag(fold(text.substr(0, n > 1 ? n - 2 : 0)) ^ n, 10 * before + last, static_cast<std::uint8_t>(key::text));
}

std::uint64_t memory_receipts::number_tag(key k, std::uint64_t value) noexcept {
  return tag((value >> 6) ^ (k == key::dec ? 0x9e3779b97f4a7c15ULL : 0x632be59bd9b4e019ULL),
             static_cast<unsigned>(value & 63), static_cast<std::uint8_t>(k));
}

void memory_receipts::index::release::operator()(std::uint64_t* p) const noexcept { std::free(p); }

void memory_receipts::index::reset(std::size_t cells) {
  bits_ = 6;
  while ((std::size_t{1} << bits_) < cells && bits_ < 30) ++bits_;
  size_ = std::size_t{1} << bits_;
  const std::size_t bytes = size_ * sizeof(std::uint64_t);
  void* p = large_block(bytes, true);
  std::memset(p, 0, bytes);
  cells_.reset(static_cast<std::uint64_t*>(p));
  used_ = 0;
}

// The block's place, then two cells per low value: a run of keys fills half
// its block, and keys of other blocks fill the rest.
inline std::size_t memory_receipts::index::home(std::uint64_t t) const noexcept {
  const std::uint64_t block = t >> 40;  // 24 bits
  const std::uint64_t at = bits_ <= 24 ? block >> (24 - bits_) : block << (bits_ - 24);
  return (at + 2 * ((t >> 34) & 63)) & (size_ - 1);
}

template <class Same>
std::uint32_t memory_receipts::index::find(std::uint64_t t, Same same) const {
  const std::size_t mask = size_ - 1;
  for (std::size_t i = home(t);; i = (i + 1) & mask) {
    const std::uint64_t c = cells_[i];
    if (c == 0) return npos;
    if ((c & kHigh) == t && same(static_cast<std::uint32_t>(c) - 1)) return static_cast<std::uint32_t>(c) - 1;
  }
}

template <class Same>
void memory_receipts::index::add(std::uint64_t t, std::uint32_t slot, Same same) {
  if (4 * (used_ + 1) > 3 * size_) grow();  // only past the size prepared for
  const std::size_t mask = size_ - 1;
  const std::size_t at = home(t);
  // Counted ids walk their block two cells at a time: the line the id eight
  // on will need is fetched now, so that the walk does not wait for memory.
  __builtin_prefetch(cells_.get() + ((at + 16) & mask), 1);
  for (std::size_t i = at;; i = (i + 1) & mask) {
    const std::uint64_t c = cells_[i];
    if (c == 0) {
      cells_[i] = t | (std::uint64_t{slot} + 1);
      ++used_;
      return;
    }
    if ((c & kHigh) == t && same(static_cast<std::uint32_t>(c) - 1)) return;
  }
}

void memory_receipts::index::erase(std::uint64_t t, std::uint32_t slot) {
  const std::uint64_t want = t | (std::uint64_t{slot} + 1);
  const std::size_t mask = size_ - 1;
  std::size_t i = home(t);
  for (;; i = (i + 1) & mask) {
    if (cells_[i] == 0) return;  // another entry holds the key (a number keeps its first)
    if (cells_[i] == want) break;
  }
  --used_;
  // Moves back each later cell of the run whose home is not between the hole
  // and itself.
  for (std::size_t j = i;;) {
    cells_[i] = 0;
    for (;;) {
      j = (j + 1) & mask;
      const std::uint64_t c = cells_[j];
      if (c == 0) return;
      const std::size_t h = home(c);
      if (i <= j ? (i < h && h <= j) : (i < h || h <= j)) continue;
      cells_[i] = c;
      i = j;
      break;
    }
  }
}

void memory_receipts::index::grow() {
  const auto old = std::move(cells_);
  const std::size_t n = size_;
  reset(2 * n);
  const std::size_t mask = size_ - 1;
  for (std::size_t k = 0; k < n; ++k) {
    const std::uint64_t c = old[k];
    if (c == 0) continue;
    std::size_t i = home(c);
    while (cells_[i] != 0) i = (i + 1) & mask;
    cells_[i] = c;
    ++used_;
  }
}

void memory_receipts::node::keep(receipt_entry&& e) {
  id_len = static_cast<std::uint32_t>(e.message_id.size());
  dest_len = static_cast<std::uint32_t>(e.destination_addr.size());
  group_len = static_cast<std::uint32_t>(e.group.size());
  const std::size_t n = std::size_t{id_len} + dest_len + group_len;
  delete[] std::exchange(spill, nullptr);  // a reused slot's; none held if the new block fails
  if (n > kInline) spill = new char[n];
  char* out = spill ? spill : text;
  std::memcpy(out, e.message_id.data(), id_len);
  std::memcpy(out + id_len, e.destination_addr.data(), dest_len);
  std::memcpy(out + id_len + dest_len, e.group.data(), group_len);
  tag = e.tag;
  part_index = e.part_index;
  part_count = e.part_count;
  submitted = e.submitted;
}

receipt_entry memory_receipts::node::entry() const {
  return receipt_entry{std::string(id()),    tag,      std::string(dest()), part_index, part_count,
                       std::string(group()), submitted};
}

void memory_receipts::chunk_release::operator()(node* p) const noexcept { std::free(p); }

memory_receipts::account::~account() {
  for (std::uint32_t i = 0; i < made; ++i) at(i).~node();
}

memory_receipts::memory_receipts(receipt_limits limits) : limits_(limits) {
  limits_.max_entries = std::max<std::size_t>(limits_.max_entries, 1);
  big_ = limits_.max_entries >= kChunk / 2;  // up to 2 * max_entries slots
}

memory_receipts::node* memory_receipts::new_chunk() {
  void* p = big_ && source_ ? source_(true) : nullptr;
  // A small account's chunk: ordinary pages, touched only as slots are made.
  return static_cast<node*>(p ? p : large_block(chunk_bytes(), big_));
}

std::uint32_t memory_receipts::find_text(account& a, std::uint64_t t, std::string_view text) {
  return a.keys.find(t, [&](std::uint32_t n) {
    const std::string_view id = a.at(n).id();
    return id == text || trim_message_id(id) == text;
  });
}

std::uint32_t memory_receipts::find_number(account& a, key k, std::uint64_t value) {
  return a.keys.find(number_tag(k, value), [&](std::uint32_t n) { return a.at(n).holds(k, value); });
}

// Takes a node out of the index (only the keys that still name it), off its
// list, and into the free chain.
void memory_receipts::forget(account& a, std::uint32_t n) {
  node& x = a.at(n);
  a.keys.erase(text_tag(trim_message_id(x.id())), n);
  if (x.has_dec) a.keys.erase(number_tag(key::dec, x.dec), n);
  if (x.has_hex) a.keys.erase(number_tag(key::hex, x.hex), n);
  unlink(a, x.state == life::waiting ? a.waiting : a.graveyard, n);
  x.next = a.free;
  a.free = n;
}

memory_receipts::account& memory_receipts::find_account(std::string_view name, bool create) {
  if (last_ && name == last_name_) return *last_;
  auto it = accounts_.find(std::string(name));
  if (it == accounts_.end()) {
    if (!create) {
      static account none;  // never written: a take on an account nobody remembered into
      return none;
    }
    it = accounts_.try_emplace(std::string(name)).first;
    // Sized once for the keys of the entries and tombstones the limits allow
    // (three readings each), so that no rehash of a large table holds the
    // loop (up to 1M entries: 64 MB of cells).
    const std::size_t n = std::min<std::size_t>(limits_.max_entries, std::size_t{1} << 20);
    it->second.keys.reset(8 * n);
  }
  last_ = &it->second;
  last_name_ = std::string(name);
  return *last_;
}

void memory_receipts::unlink(account& a, fifo& from, std::uint32_t n) {
  node& x = a.at(n);
  (x.prev == npos ? from.head : a.at(x.prev).next) = x.next;
  (x.next == npos ? from.tail : a.at(x.next).prev) = x.prev;
  --from.size;
}

void memory_receipts::append(account& a, fifo& to, std::uint32_t n) {
  node& x = a.at(n);
  x.prev = to.tail;
  x.next = npos;
  (to.tail == npos ? to.head : a.at(to.tail).next) = n;
  to.tail = n;
  ++to.size;
}

// A waiting entry becomes a tombstone (taken) or a marker of one nobody took
// (dropped); both stay tombstone_ttl, at most max_entries of them.
void memory_receipts::bury(account& a, std::uint32_t n, life why, time_point now) {
  unlink(a, a.waiting, n);
  node& x = a.at(n);
  x.state = why;
  x.since = now;
  append(a, a.graveyard, n);
  while (a.graveyard.size > limits_.max_entries) forget(a, a.graveyard.head);
}

// Every call brings the time; with a coarse clock most bring the same one
// as the last, and then nothing has come due since.
void memory_receipts::expire(account& a, time_point now) {
  const bool moved = now != a.expired_at;
  if (moved) {
    a.expired_at = now;
    while (a.waiting.size != 0 && now - a.at(a.waiting.head).since > limits_.max_age)
      bury(a, a.waiting.head, life::dropped, now);
    while (a.graveyard.size != 0 && now - a.at(a.graveyard.head).since > limits_.tombstone_ttl)
      forget(a, a.graveyard.head);
  }
  // A long message whose parts never all came: gone after max_age, looked
  // for now and then and whenever there are too many.
  if (!a.groups.empty() && ((moved && ++a.sweeps % 4096 == 0) || a.groups.size() > limits_.max_entries))
    std::erase_if(a.groups, [&](const auto& g) { return now - g.second.since > limits_.max_age; });
}

void memory_receipts::remember(std::string_view name, receipt_entry&& e, time_point now) {
  const std::string_view text = trim_message_id(e.message_id);
  if (text.empty()) return;
  account& a = find_account(name, true);
  expire(a, now);
  const std::uint64_t t = text_tag(text);
  if (const std::uint32_t old = find_text(a, t, text); old != npos) forget(a, old);
  while (a.waiting.size >= limits_.max_entries) bury(a, a.waiting.head, life::dropped, now);
  // A slot: a forgotten one, or a new one (a chunk at a time; at most
  // 2 * max_entries are ever in use).
  std::uint32_t n = a.free;
  if (n != npos) {
    a.free = a.at(n).next;
  } else {
    if ((a.made & (kChunk - 1)) == 0) {
      a.chunks.emplace_back(new_chunk());
    } else if ((a.made & (kChunk - 1)) == kChunk / 2 && big_ && source_) {
      source_(false);
    }
    n = a.made;
    new (&a.at(n)) node();
    ++a.made;
    // New slots are made in order: the next ones' lines are fetched ahead.
    if (((n + 4) & (kChunk - 1)) > (n & (kChunk - 1))) __builtin_prefetch(&a.at(n + 4), 1);
  }
  node& x = a.at(n);
  x.keep(std::move(e));
  x.since = now;
  x.state = life::waiting;
  const readings r = index_readings(x.id());
  x.has_dec = x.has_hex = false;
  for (std::size_t k = 0; k < r.count; ++k) {
    const bool dec = r.numbers[k].index == 'd';
    (dec ? x.has_dec : x.has_hex) = true;
    (dec ? x.dec : x.hex) = r.numbers[k].value;
  }
  append(a, a.waiting, n);
  a.keys.add(t, n, [](std::uint32_t) { return false; });  // the old one of this text is gone
  for (std::size_t k = 0; k < r.count; ++k) {
    const key kind = key_of(r.numbers[k]);
    const std::uint64_t v = r.numbers[k].value;
    a.keys.add(number_tag(kind, v), n, [&](std::uint32_t m) { return a.at(m).holds(kind, v); });
  }
}

receipt_take memory_receipts::take(std::string_view name, std::string_view message_id, bool final_state, bool delivered,
                                   time_point now) {
  receipt_take r;
  account& a = find_account(name, false);
  if (a.waiting.size == 0 && a.graveyard.size == 0) return r;
  expire(a, now);
  const std::string_view text = trim_message_id(message_id);
  if (text.empty()) return r;
  std::uint32_t n = find_text(a, text_tag(text), text);
  if (n == npos) {  // the numbers only when the text names nothing
    const readings want = lookup_readings(message_id);
    for (std::size_t k = 0; k < want.count && n == npos; ++k)
      n = find_number(a, key_of(want.numbers[k]), want.numbers[k].value);
  }
  if (n == npos) return r;
  node& x = a.at(n);
  if (x.state == life::dropped) {
    r.result = receipt_take::kind::expired;
    return r;
  }
  r.entry = x.entry();
  if (x.state == life::taken) {
    r.result = receipt_take::kind::duplicate;
    return r;
  }
  r.result = receipt_take::kind::matched;
  if (!final_state) return r;
  bury(a, n, life::taken, now);
  if (r.entry.part_count > 1 && !r.entry.group.empty()) {
    group& g = a.groups.try_emplace(r.entry.group, group{0, false, now}).first->second;
    ++g.done;
    g.failed = g.failed || !delivered;
    if (g.done >= r.entry.part_count) {
      r.whole_delivered = !g.failed;
      a.groups.erase(r.entry.group);
    }
  }
  return r;
}

std::size_t memory_receipts::size() const {
  std::size_t n = 0;
  for (const auto& [name, a] : accounts_) n += a.waiting.size;
  return n;
}

namespace {
// The store's times bound ages of minutes and hours (max_age, tombstone_ttl):
// the kernel's coarse wall clock (a tick, a few ms) is exact enough and costs
// a quarter of a precise reading, paid twice per message.
std::chrono::system_clock::time_point coarse_now() {
#ifdef CLOCK_REALTIME_COARSE
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME_COARSE, &ts);
  return std::chrono::system_clock::time_point(std::chrono::duration_cast<std::chrono::system_clock::duration>(
      std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec)));
#else
  return std::chrono::system_clock::now();
#endif
}
}  // namespace

class chunk_maker {
 public:
  ~chunk_maker() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable()) thread_.join();
    std::free(spare_);
  }
  void* take() {
    std::lock_guard lock(mutex_);
    return std::exchange(spare_, nullptr);
  }
  void ahead() {
    {
      std::lock_guard lock(mutex_);
      if (spare_ || wanted_) return;
      if (!thread_.joinable()) {
        try {
          thread_ = std::thread([this] { run(); });
        } catch (const std::system_error&) {
          return;  // no thread to be had: the book makes every chunk itself
        }
      }
      wanted_ = true;
    }
    wake_.notify_one();
  }

 private:
  void run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, [&] { return stop_ || wanted_; });
      if (stop_) return;
      lock.unlock();
      void* p = nullptr;
      try {
        p = large_block(memory_receipts::chunk_bytes(), true);
        // One write per page makes the kernel supply it now, here.
        for (std::size_t i = 0; i < memory_receipts::chunk_bytes(); i += 4096) static_cast<volatile char*>(p)[i] = 0;
      } catch (const std::bad_alloc&) {
        // None made ahead: the book makes its chunk itself, and meets the
        // shortage there.
      }
      lock.lock();
      wanted_ = false;
      if (spare_ || stop_) {
        std::free(p);
      } else {
        spare_ = p;
      }
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::thread thread_;
  void* spare_ = nullptr;
  bool wanted_ = false, stop_ = false;
};

memory_receipt_store::memory_receipt_store(receipt_limits limits) : book_(limits) {
  book_.set_chunk_source([this](bool now) -> void* {  // inside book_ calls: mutex_ is held
    if (now) return maker_ ? maker_->take() : nullptr;
    if (!maker_) maker_ = std::make_unique<chunk_maker>();
    maker_->ahead();
    return nullptr;
  });
}

memory_receipt_store::~memory_receipt_store() = default;

void memory_receipt_store::prepare(std::string_view account) {
  std::lock_guard lock(mutex_);
  book_.prepare(account);
}

void memory_receipt_store::remember(std::string_view account, receipt_entry e) {
  std::lock_guard lock(mutex_);
  ++stats_.remembered;
  book_.remember(account, std::move(e), coarse_now());
}

void memory_receipt_store::take(std::string_view account, std::string_view message_id, bool final_state, bool delivered,
                                asio::any_io_executor ex, take_handler done, std::string_view /*attempt*/) {
  // The answer is made in place, inside the handler that carries it.
  auto answer = [&] {
    std::lock_guard lock(mutex_);
    ++stats_.takes;
    return [done = std::move(done), r = book_.take(account, message_id, final_state, delivered,
                                                   coarse_now())]() mutable { done(std::move(r)); };
  }();
  asio::post(ex, std::move(answer));
}

std::size_t memory_receipt_store::size() const {
  std::lock_guard lock(mutex_);
  return book_.size();
}

receipt_store_stats memory_receipt_store::stats() const {
  std::lock_guard lock(mutex_);
  return stats_;
}

}  // namespace velmor::session::receipts
