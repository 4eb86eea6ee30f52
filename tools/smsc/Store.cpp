#include "tools/smsc/Store.h"

#include <charconv>
#include <ctime>

#include "sms/Encoding.h"
#include "sms/Utf8.h"

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

StoredMessage* MessageStore::add(TimePoint now, TimePoint due, bool scheduled) {
  while (messages_.size() >= limit_ && !messages_.empty() && is_final(messages_.front().state)) {
    messages_.pop_front();
    if (next_due_ > 0) --next_due_;
  }
  if (messages_.size() >= limit_) return nullptr;
  StoredMessage& m = messages_.emplace_back();
  m.id = next_id_++;
  m.submitted = now;
  m.due = due;
  m.scheduled = scheduled;
  if (scheduled) scheduled_.emplace(due, m.id);
  return &m;
}

void MessageStore::reschedule(StoredMessage& m, TimePoint due, bool expires) {
  unschedule(m);
  m.due = due;
  m.expires = expires;
  m.scheduled = true;
  scheduled_.emplace(due, m.id);
}

void MessageStore::unschedule(const StoredMessage& m) {
  if (!m.scheduled) return;
  auto [it, end] = scheduled_.equal_range(m.due);
  for (; it != end; ++it) {
    if (it->second == m.id) {
      scheduled_.erase(it);
      return;
    }
  }
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

namespace {

// Two decimal digits at text[at]; -1 when either is not a digit.
int two_digits(std::string_view text, std::size_t at) {
  const char a = text[at], b = text[at + 1];
  if (a < '0' || a > '9' || b < '0' || b > '9') return -1;
  return (a - '0') * 10 + (b - '0');
}

}  // namespace

SmppTime parse_smpp_time(std::string_view text, std::chrono::system_clock::time_point now) {
  using namespace std::chrono;
  SmppTime r;
  if (text.empty()) return r;
  r.valid = false;
  if (text.size() != 16) return r;
  int f[6];
  for (int i = 0; i < 6; ++i)
    if ((f[i] = two_digits(text, static_cast<std::size_t>(i) * 2)) < 0) return r;
  const char tenths = text[12], p = text[15];
  const int quarters = two_digits(text, 13);
  if (tenths < '0' || tenths > '9' || quarters < 0) return r;
  if (p == 'R') {
    // Relative: "000" in place of tenths and offset.
    if (tenths != '0' || quarters != 0) return r;
    const sys_days today = floor<days>(now);
    year_month_day ymd{today};
    ymd = ymd + years{f[0]} + months{f[1]};
    if (!ymd.ok()) ymd = ymd.year() / ymd.month() / last;
    r.at = now + (sys_days{ymd} - today) + days{f[2]} + hours{f[3]} + minutes{f[4]} + seconds{f[5]};
  } else if (p == '+' || p == '-') {
    if (quarters > 48 || f[3] > 23 || f[4] > 59 || f[5] > 59) return r;
    const year_month_day ymd{year{2000 + f[0]}, month{static_cast<unsigned>(f[1])}, day{static_cast<unsigned>(f[2])}};
    if (!ymd.ok()) return r;
    const auto local = sys_days{ymd} + hours{f[3]} + minutes{f[4]} + seconds{f[5]} + milliseconds{(tenths - '0') * 100};
    const minutes offset{quarters * 15};
    r.at = time_point_cast<system_clock::duration>(p == '+' ? local - offset : local + offset);
  } else {
    return r;
  }
  r.valid = true;
  r.present = true;
  return r;
}

std::string receipt_quote(std::string_view sm, Byte esm_class, Byte data_coding, std::size_t max_chars) {
  if ((esm_class & 0x40) != 0) {
    const std::size_t udh = sm.empty() ? 0 : 1 + static_cast<unsigned char>(sm[0]);
    sm.remove_prefix(std::min(udh, sm.size()));
  }
  // Four octets cover a character in every coding (a UCS-2 surrogate pair).
  sm = sm.substr(0, max_chars * 4);
  std::string out;
  const sms::Alphabet alphabet = sms::AlphabetOf(data_coding);
  std::string utf8;
  if (alphabet != sms::Alphabet::Binary && alphabet != sms::Alphabet::Unsupported) {
    // A UCS-2 text cut above may end in half a unit: drop it rather than
    // quote it as a replacement character.
    if (alphabet == sms::Alphabet::Ucs2 && sm.size() % 2 != 0) sm.remove_suffix(1);
    if (auto d = sms::DecodeText(sm, data_coding, {.on_bad = sms::OnBadInput::Replace}))
      utf8 = std::move(*d);
    else
      utf8.clear();
  }
  if (utf8.empty()) {
    // Nothing decodable: one '?' per non-printable octet.
    for (std::size_t i = 0; i < sm.size() && out.size() < max_chars; ++i)
      out.push_back(sm[i] >= 0x20 && sm[i] < 0x7F && alphabet != sms::Alphabet::Binary ? sm[i] : '?');
    return out;
  }
  std::size_t pos = 0, chars = 0;
  while (pos < utf8.size() && chars < max_chars) {
    const auto cp = sms::NextCodePoint(utf8, pos);
    if (!cp) ++pos;
    out.push_back(cp && *cp >= 0x20 && *cp < 0x7F ? static_cast<char>(*cp) : '?');
    ++chars;
  }
  return out;
}

}  // namespace velmor::smsc
