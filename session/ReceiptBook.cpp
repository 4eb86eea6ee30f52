#include "session/ReceiptBook.h"

#include "sms/Receipt.h"

namespace velmor::session {

ReceiptBook::ReceiptBook() : ReceiptBook(Limits{}) {}
ReceiptBook::ReceiptBook(Limits limits) : limits_(limits) {}

void ReceiptBook::expire(std::chrono::steady_clock::time_point now) {
  while (!order_.empty() &&
         (by_id_.size() > limits_.max_entries || now - order_.front().first > limits_.max_age ||
          order_.size() > 2 * limits_.max_entries + 16)) {
    const auto it = by_id_.find(order_.front().second);
    if (it != by_id_.end() && it->second.submitted == order_.front().first) by_id_.erase(it);
    order_.pop_front();
  }
}

void ReceiptBook::remember(Entry e, std::chrono::steady_clock::time_point now) {
  e.submitted = now;
  order_.emplace_back(now, e.message_id);
  by_id_[e.message_id] = std::move(e);
  expire(now);
}

std::optional<ReceiptBook::Entry> ReceiptBook::match(std::string_view id, bool final_state,
                                                     std::chrono::steady_clock::time_point now) {
  expire(now);
  auto it = by_id_.find(std::string(id));
  if (it == by_id_.end()) {
    for (auto i = by_id_.begin(); i != by_id_.end(); ++i)
      if (sms::SameMessageId(id, i->first)) {
        it = i;
        break;
      }
  }
  if (it == by_id_.end()) return std::nullopt;
  Entry e = it->second;
  if (final_state) by_id_.erase(it);
  return e;
}

}  // namespace velmor::session
