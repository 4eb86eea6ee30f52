#include "session/ReceiptBook.h"

#include <algorithm>

#include "sms/Receipt.h"

namespace velmor::session {

namespace {

std::string_view trim(std::string_view s) noexcept {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\0'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

}  // namespace

ReceiptBook::ReceiptBook() : ReceiptBook(Limits{}) {}

ReceiptBook::ReceiptBook(Limits limits) : limits_(limits) {
  limits_.max_entries = std::max<std::size_t>(limits_.max_entries, 1);
}

void ReceiptBook::unlink(Iter it) {
  const auto unindex = [&](std::unordered_multimap<std::uint64_t, Iter>& index, std::optional<std::uint64_t> key) {
    if (!key) return;
    auto [first, last] = index.equal_range(*key);
    for (; first != last; ++first)
      if (first->second == it) {
        index.erase(first);
        return;
      }
  };
  unindex(by_dec_, it->dec);
  unindex(by_hex_, it->hex);
  by_id_.erase(trim(it->entry.message_id));
}

void ReceiptBook::erase(Iter it) {
  unlink(it);
  order_.erase(it);
}

void ReceiptBook::expire(std::chrono::steady_clock::time_point now) {
  while (!order_.empty() && now - order_.front().remembered > limits_.max_age) erase(order_.begin());
}

void ReceiptBook::remember(Entry e, std::chrono::steady_clock::time_point now) {
  expire(now);
  const std::string_view key = trim(e.message_id);
  if (key.empty()) return;
  if (auto old = by_id_.find(key); old != by_id_.end()) erase(old->second);
  while (order_.size() >= limits_.max_entries) erase(order_.begin());

  Node& n = order_.emplace_back(Node{std::move(e), now, {}, {}, next_serial_++});
  const Iter it = std::prev(order_.end());
  const std::string_view id = trim(n.entry.message_id);
  n.dec = sms::MessageIdNumber(id, 10);
  n.hex = sms::MessageIdNumber(id, 16);
  by_id_.emplace(id, it);
  if (n.dec) by_dec_.emplace(*n.dec, it);
  if (n.hex) by_hex_.emplace(*n.hex, it);
}

std::optional<ReceiptBook::Iter> ReceiptBook::find(std::string_view id) {
  if (auto exact = by_id_.find(id); exact != by_id_.end()) return exact->second;
  const auto dec = sms::MessageIdNumber(id, 10), hex = sms::MessageIdNumber(id, 16);
  std::optional<Iter> best;
  const auto consider = [&](const std::unordered_multimap<std::uint64_t, Iter>& index,
                            std::optional<std::uint64_t> key) {
    if (!key) return;
    auto [first, last] = index.equal_range(*key);
    for (; first != last; ++first)
      if (!best || first->second->serial < (*best)->serial) best = first->second;
  };
  // Each step is one rule of the contract in the header; stop at the first that finds.
  consider(by_dec_, dec);
  consider(by_hex_, hex);
  if (best) return best;
  consider(by_hex_, dec);
  if (best) return best;
  consider(by_dec_, hex);
  return best;
}

std::optional<ReceiptBook::Entry> ReceiptBook::match(std::string_view message_id, bool final_state,
                                                     std::chrono::steady_clock::time_point now) {
  expire(now);
  const std::string_view id = trim(message_id);
  if (id.empty()) return std::nullopt;
  const auto it = find(id);
  if (!it) return std::nullopt;
  if (!final_state) return (*it)->entry;
  unlink(*it);
  Entry e = std::move((*it)->entry);
  order_.erase(*it);
  return e;
}

}  // namespace velmor::session
