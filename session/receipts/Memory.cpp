#include "session/receipts/Memory.h"

#include <algorithm>
#include <utility>

#include <asio/post.hpp>

#include "session/receipts/Rules.h"

namespace velmor::session::receipts {

memory_receipts::memory_receipts(receipt_limits limits) : limits_(limits) {
  limits_.max_entries = std::max<std::size_t>(limits_.max_entries, 1);
}

// Takes a node out of the index (only the keys that still name it) and off
// its list.
void memory_receipts::forget(account& a, list& from, list::iterator it) {
  const readings r = index_readings(it->entry.message_id);
  if (auto i = a.by_text.find(r.text); i != a.by_text.end() && i->second == it) a.by_text.erase(i);
  for (std::size_t k = 0; k < r.count; ++k) {
    auto& index = r.numbers[k].index == 'd' ? a.by_dec : a.by_hex;
    if (auto i = index.find(r.numbers[k].value); i != index.end() && i->second == it) index.erase(i);
  }
  from.erase(it);
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
    // Sized once for the entries and tombstones the limits allow, so that no
    // rehash of a large table holds the loop (up to 2M entries).
    const std::size_t n = std::min<std::size_t>(2 * limits_.max_entries, std::size_t{1} << 21);
    it->second.by_text.reserve(n);
    it->second.by_dec.reserve(n);
    it->second.by_hex.reserve(n);
  }
  last_ = &it->second;
  last_name_ = std::string(name);
  return *last_;
}

// A waiting entry becomes a tombstone (taken) or a marker of one nobody took
// (dropped); both stay tombstone_ttl, at most max_entries of them.
void memory_receipts::bury(account& a, list::iterator it, life why, time_point now) {
  it->state = why;
  it->since = now;
  a.graveyard.splice(a.graveyard.end(), a.waiting, it);
  while (a.graveyard.size() > limits_.max_entries) forget(a, a.graveyard, a.graveyard.begin());
}

void memory_receipts::expire(account& a, time_point now) {
  while (!a.waiting.empty() && now - a.waiting.front().since > limits_.max_age)
    bury(a, a.waiting.begin(), life::dropped, now);
  while (!a.graveyard.empty() && now - a.graveyard.front().since > limits_.tombstone_ttl)
    forget(a, a.graveyard, a.graveyard.begin());
  // A long message whose parts never all came: gone after max_age, looked
  // for now and then and whenever there are too many.
  if (!a.groups.empty() && (++a.sweeps % 4096 == 0 || a.groups.size() > limits_.max_entries))
    std::erase_if(a.groups, [&](const auto& g) { return now - g.second.since > limits_.max_age; });
}

void memory_receipts::remember(std::string_view name, receipt_entry e, time_point now) {
  if (trim_message_id(e.message_id).empty()) return;
  account& a = find_account(name, true);
  expire(a, now);
  if (auto old = a.by_text.find(trim_message_id(e.message_id)); old != a.by_text.end())
    forget(a, old->second->state == life::waiting ? a.waiting : a.graveyard, old->second);
  while (a.waiting.size() >= limits_.max_entries) bury(a, a.waiting.begin(), life::dropped, now);
  a.waiting.push_back(node{std::move(e), now, life::waiting});
  const auto it = std::prev(a.waiting.end());
  const readings r = index_readings(it->entry.message_id);  // views into the node's own id
  a.by_text.emplace(r.text, it);
  for (std::size_t k = 0; k < r.count; ++k)
    (r.numbers[k].index == 'd' ? a.by_dec : a.by_hex).try_emplace(r.numbers[k].value, it);
}

receipt_take memory_receipts::take(std::string_view name, std::string_view message_id, bool final_state, bool delivered,
                                   time_point now) {
  receipt_take r;
  account& a = find_account(name, false);
  if (a.waiting.empty() && a.graveyard.empty()) return r;
  expire(a, now);
  const readings want = lookup_readings(message_id);
  if (want.text.empty()) return r;
  list::iterator it;
  bool found = false;
  if (auto i = a.by_text.find(want.text); i != a.by_text.end()) {
    it = i->second;
    found = true;
  }
  for (std::size_t k = 0; k < want.count && !found; ++k) {
    const auto& index = want.numbers[k].index == 'd' ? a.by_dec : a.by_hex;
    if (auto i = index.find(want.numbers[k].value); i != index.end()) {
      it = i->second;
      found = true;
    }
  }
  if (!found) return r;
  if (it->state == life::dropped) {
    r.result = receipt_take::kind::expired;
    return r;
  }
  r.entry = it->entry;
  if (it->state == life::taken) {
    r.result = receipt_take::kind::duplicate;
    return r;
  }
  r.result = receipt_take::kind::matched;
  if (!final_state) return r;
  bury(a, it, life::taken, now);
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
  for (const auto& [name, a] : accounts_) n += a.waiting.size();
  return n;
}

void memory_receipt_store::prepare(std::string_view account) {
  std::lock_guard lock(mutex_);
  book_.prepare(account);
}

void memory_receipt_store::remember(std::string_view account, receipt_entry e) {
  std::lock_guard lock(mutex_);
  ++stats_.remembered;
  book_.remember(account, std::move(e), std::chrono::system_clock::now());
}

void memory_receipt_store::take(std::string_view account, std::string_view message_id, bool final_state, bool delivered,
                                asio::any_io_executor ex, take_handler done, std::string_view /*attempt*/) {
  receipt_take r;
  {
    std::lock_guard lock(mutex_);
    ++stats_.takes;
    r = book_.take(account, message_id, final_state, delivered, std::chrono::system_clock::now());
  }
  asio::post(ex, [done = std::move(done), r = std::move(r)]() mutable { done(std::move(r)); });
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
