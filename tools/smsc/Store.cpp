#include "tools/smsc/Store.h"

#include <charconv>
#include <ctime>

namespace velmor::smsc {

void MessageIds::append(std::string& out, std::uint64_t id) const {
  out.append(prefix_);
  char buf[24];
  const int base = style_ == MessageIdStyle::Hex ? 16 : 10;
  const auto r = std::to_chars(buf, buf + sizeof buf, id, base);
  for (char* p = buf; p != r.ptr; ++p) out.push_back(base == 16 && *p >= 'a' ? static_cast<char>(*p - 'a' + 'A') : *p);
}

std::optional<std::uint64_t> MessageIds::parse(std::string_view text) const {
  if (text.size() < prefix_.size() || text.substr(0, prefix_.size()) != prefix_) return std::nullopt;
  text.remove_prefix(prefix_.size());
  if (text.empty() || (text.size() > 1 && text.front() == '0')) return std::nullopt;
  const int base = style_ == MessageIdStyle::Hex ? 16 : 10;
  std::uint64_t v = 0;
  const auto r = std::from_chars(text.data(), text.data() + text.size(), v, base);
  if (r.ec != std::errc() || r.ptr != text.data() + text.size()) return std::nullopt;
  return v;
}

StoredMessage* MessageStore::add(TimePoint now, TimePoint due) {
  while (messages_.size() >= limit_ && !messages_.empty() && is_final(messages_.front().state)) {
    messages_.pop_front();
    if (next_due_ > 0) --next_due_;
  }
  if (messages_.size() >= limit_) return nullptr;
  StoredMessage& m = messages_.emplace_back();
  m.id = next_id_++;
  m.submitted = now;
  m.due = due;
  return &m;
}

StoredMessage* MessageStore::find(std::uint64_t id) {
  if (messages_.empty()) return nullptr;
  const std::uint64_t first = messages_.front().id;
  if (id < first || id - first >= messages_.size()) return nullptr;
  return &messages_[static_cast<std::size_t>(id - first)];
}

namespace {

void append2(std::string& out, int v) {
  out.push_back(static_cast<char>('0' + (v / 10) % 10));
  out.push_back(static_cast<char>('0' + v % 10));
}

std::tm utc(std::chrono::system_clock::time_point t) {
  const std::time_t tt = std::chrono::system_clock::to_time_t(t);
  std::tm tm{};
  gmtime_r(&tt, &tm);
  return tm;
}

}  // namespace

void append_receipt_date(std::string& out, std::chrono::system_clock::time_point t) {
  const std::tm tm = utc(t);
  append2(out, tm.tm_year % 100);
  append2(out, tm.tm_mon + 1);
  append2(out, tm.tm_mday);
  append2(out, tm.tm_hour);
  append2(out, tm.tm_min);
}

void append_absolute_time(std::string& out, std::chrono::system_clock::time_point t) {
  append_receipt_date(out, t);
  append2(out, utc(t).tm_sec);
  out.append("000+");
}

}  // namespace velmor::smsc
