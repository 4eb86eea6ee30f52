#include "session/receipts/Matcher.h"

#include <algorithm>
#include <utility>

#include "session/receipts/Rules.h"

namespace velmor::session::receipts {

const char* to_string(outcome o) noexcept {
  switch (o) {
    case outcome::matched: return "matched";
    case outcome::early_matched: return "early_matched";
    case outcome::duplicate: return "duplicate";
    case outcome::intermediate: return "intermediate";
    case outcome::unmatched: return "unmatched";
  }
  return "?";
}

const char* to_string(unmatched_reason r) noexcept {
  switch (r) {
    case unmatched_reason::none: return "none";
    case unmatched_reason::no_entry: return "no_entry";
    case unmatched_reason::expired: return "expired";
    case unmatched_reason::store_unreachable: return "store_unreachable";
  }
  return "?";
}

receipt_matcher::receipt_matcher(matcher_config cfg) : cfg_(cfg) {
  cfg_.max_parked = std::max<std::size_t>(cfg_.max_parked, 1);
  cfg_.retry_min = std::max(cfg_.retry_min, std::chrono::milliseconds(1));
  cfg_.retry_max = std::max(cfg_.retry_max, cfg_.retry_min);
}

receipt_matcher::lookup receipt_matcher::ask(ticket t, state& s) {
  s.in_lookup = true;
  return lookup{t, s.id, s.final_state, s.delivered};
}

receipt_matcher::lookup receipt_matcher::on_receipt(ticket t, std::string id, bool final_state, bool delivered,
                                                    clock::time_point now) {
  state& s = open_[t];
  s.id = std::move(id);
  s.final_state = final_state;
  s.delivered = delivered;
  s.deadline = now + cfg_.wait;
  return ask(t, s);
}

void receipt_matcher::unpark(ticket t, state& s) {
  if (!s.parked) return;
  s.parked = false;
  waiting_.erase(t);
  for (const std::string& k : lookup_keys(s.id)) {
    auto [first, last] = by_key_.equal_range(k);
    for (; first != last; ++first)
      if (first->second == t) {
        by_key_.erase(first);
        break;
      }
  }
}

receipt_matcher::report receipt_matcher::close(ticket t, state& s, report r) {
  unpark(t, s);
  r.t = t;
  open_.erase(t);
  return r;
}

void receipt_matcher::park(ticket t, state& s, unmatched_reason why, clock::time_point now) {
  s.last = why;
  s.backoff = s.backoff.count() == 0 ? cfg_.retry_min : std::min(s.backoff * 2, cfg_.retry_max);
  s.wake = std::min(now + s.backoff, s.deadline);
  wakes_.emplace(s.wake, t);
  if (s.parked) return;
  s.parked = true;
  waiting_.insert(t);
  for (const std::string& k : lookup_keys(s.id)) by_key_.emplace(k, t);
}

std::optional<receipt_matcher::report> receipt_matcher::on_take(ticket t, receipt_take r, clock::time_point now) {
  const auto it = open_.find(t);
  if (it == open_.end()) return std::nullopt;
  state& s = it->second;
  s.in_lookup = false;
  report out;
  switch (r.result) {
    case receipt_take::kind::matched:
      out.outcome = !s.final_state      ? outcome::intermediate
                    : s.backoff.count() ? outcome::early_matched
                                        : outcome::matched;
      out.entry = std::move(r.entry);
      out.whole_delivered = r.whole_delivered;
      return close(t, s, std::move(out));
    case receipt_take::kind::duplicate:
      out.outcome = outcome::duplicate;
      out.entry = std::move(r.entry);
      return close(t, s, std::move(out));
    case receipt_take::kind::expired:
      out.reason = unmatched_reason::expired;  // waiting would not bring it back
      return close(t, s, std::move(out));
    case receipt_take::kind::none:
    case receipt_take::kind::unreachable: {
      const auto why =
          r.result == receipt_take::kind::none ? unmatched_reason::no_entry : unmatched_reason::store_unreachable;
      if (now >= s.deadline) {
        out.reason = why;
        return close(t, s, std::move(out));
      }
      park(t, s, why, now);
      return std::nullopt;
    }
  }
  return std::nullopt;
}

void receipt_matcher::on_remembered(std::string_view message_id, std::vector<lookup>& out) {
  if (by_key_.empty()) return;
  for (const std::string& k : index_keys(message_id)) {
    auto [first, last] = by_key_.equal_range(k);
    for (; first != last; ++first) {
      state& s = open_.at(first->second);
      if (!s.in_lookup) out.push_back(ask(first->second, s));
    }
  }
}

void receipt_matcher::tick(clock::time_point now, std::vector<lookup>& lookups, std::vector<report>& reports) {
  // Over the bound: the oldest waiting are told now.
  while (waiting_.size() > cfg_.max_parked) {
    const ticket t = *waiting_.begin();
    state& s = open_.at(t);
    report r;
    r.reason = s.last;
    reports.push_back(close(t, s, std::move(r)));
  }
  while (!wakes_.empty() && wakes_.begin()->first <= now) {
    const auto [at, t] = *wakes_.begin();
    wakes_.erase(wakes_.begin());
    const auto it = open_.find(t);
    if (it == open_.end() || !it->second.parked || it->second.wake != at || it->second.in_lookup) continue;
    // Past the deadline one last lookup decides, so a store that came back
    // just now still matches.
    lookups.push_back(ask(t, it->second));
  }
}

std::optional<receipt_matcher::clock::time_point> receipt_matcher::next_wake() const {
  if (waiting_.size() > cfg_.max_parked) return clock::time_point::min();
  if (wakes_.empty()) return std::nullopt;
  return wakes_.begin()->first;
}

}  // namespace velmor::session::receipts
