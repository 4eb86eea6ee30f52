#include "sms/Receipt.h"

#include <cstddef>

namespace velmor::sms {
namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool IsAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
  return s;
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i)
    if (Lower(s[i]) != prefix[i]) return false;
  return true;
}

// Length of a key plus its ':' at s[0], or 0 when s does not start with a key.
// Two-word keys "submit date" / "done date" (separator space or '_') are one key.
std::size_t KeyLength(std::string_view s) {
  for (std::string_view word : {std::string_view("submit"), std::string_view("done")}) {
    if (StartsWithNoCase(s, word) && s.size() > word.size() + 5 && (s[word.size()] == ' ' || s[word.size()] == '_') &&
        StartsWithNoCase(s.substr(word.size() + 1), "date:"))
      return word.size() + 6;
  }
  if (s.empty() || !IsAlpha(s[0])) return 0;
  std::size_t i = 1;
  while (i < s.size() && (IsAlpha(s[i]) || IsDigit(s[i]) || s[i] == '_' || s[i] == '-')) ++i;
  return (i < s.size() && s[i] == ':') ? i + 1 : 0;
}

// Lower case with blanks, '_' and '-' removed: "Submit_Date" -> "submitdate".
std::string NormalKey(std::string_view key) {
  std::string out;
  for (char c : key)
    if (c != ' ' && c != '_' && c != '-') out += Lower(c);
  return out;
}

std::optional<std::uint64_t> ParseNumber(std::string_view s, unsigned base) noexcept {
  if (base == 16 && s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) s.remove_prefix(2);
  if (s.empty()) return std::nullopt;
  std::uint64_t v = 0;
  for (char c : s) {
    unsigned d;
    if (IsDigit(c))
      d = static_cast<unsigned>(c - '0');
    else if (base == 16 && Lower(c) >= 'a' && Lower(c) <= 'f')
      d = static_cast<unsigned>(Lower(c) - 'a' + 10);
    else
      return std::nullopt;
    if (v > (UINT64_MAX - d) / base) return std::nullopt;
    v = v * base + d;
  }
  return v;
}

}  // namespace

std::optional<ReceiptDate> ParseReceiptDate(std::string_view s) noexcept {
  s = Trim(s);
  if (s.size() != 10 && s.size() != 12) return std::nullopt;
  for (char c : s)
    if (!IsDigit(c)) return std::nullopt;
  auto two = [&](std::size_t i) { return static_cast<std::uint8_t>((s[i] - '0') * 10 + (s[i + 1] - '0')); };
  ReceiptDate d;
  d.year = static_cast<std::uint16_t>(2000 + two(0));
  d.month = two(2);
  d.day = two(4);
  d.hour = two(6);
  d.minute = two(8);
  d.has_seconds = s.size() == 12;
  d.second = d.has_seconds ? two(10) : 0;
  if (d.month < 1 || d.month > 12 || d.day < 1 || d.day > 31 || d.hour > 23 || d.minute > 59 || d.second > 59)
    return std::nullopt;
  return d;
}

std::optional<Receipt> ParseReceipt(std::string_view sm, const ReceiptTlvs& tlvs, const ReceiptOptions& options) {
  Receipt r;
  bool text_id = false;
  bool receipt_field = false;

  auto store = [&](std::string_view key, std::string_view value) {
    value = Trim(value);
    const std::string k = NormalKey(key);
    if (k == "id") {
      r.id = std::string(value);
      text_id = true;
    } else if (k == "sub") {
      r.sub = std::string(value);
      receipt_field = true;
    } else if (k == "dlvrd") {
      r.dlvrd = std::string(value);
      receipt_field = true;
    } else if (k == "submitdate") {
      r.submit_date_text = std::string(value);
      r.submit_date = ParseReceiptDate(value);
      receipt_field = true;
    } else if (k == "donedate") {
      r.done_date_text = std::string(value);
      r.done_date = ParseReceiptDate(value);
      receipt_field = true;
    } else if (k == "stat") {
      r.stat = std::string(value);
      r.state = MessageStateFromStat(value);
      receipt_field = true;
    } else if (k == "err") {
      r.err = std::string(value);
    } else if (options.keep_unknown_fields) {
      r.extra_fields.push_back({std::string(key), std::string(value)});
    }
  };

  // Walk blank-separated tokens; a token starting with a key opens a field, any other
  // token belongs to the open field's value (or is skipped before the first key).
  std::optional<std::string_view> key;
  std::size_t value_begin = 0;
  std::size_t value_end = 0;
  for (std::size_t pos = 0; pos < sm.size();) {
    while (pos < sm.size() && IsSpace(sm[pos])) ++pos;
    if (pos >= sm.size()) break;
    const std::size_t key_len = KeyLength(sm.substr(pos));
    if (key_len == 0) {
      while (pos < sm.size() && !IsSpace(sm[pos])) ++pos;
      value_end = pos;
      continue;
    }
    if (key) store(*key, sm.substr(value_begin, value_end - value_begin));
    key = sm.substr(pos, key_len - 1);
    pos += key_len;
    if (NormalKey(*key) == "text") {
      r.text = std::string(sm.substr(pos));
      key.reset();
      break;
    }
    value_begin = pos;
    while (pos < sm.size() && !IsSpace(sm[pos])) ++pos;
    value_end = pos;
  }
  if (key) store(*key, sm.substr(value_begin, value_end - value_begin));

  if (tlvs.receipted_message_id) {
    std::string_view id = *tlvs.receipted_message_id;
    while (!id.empty() && id.back() == '\0') id.remove_suffix(1);
    r.receipted_message_id = std::string(id);
    if (!text_id || r.id.empty()) r.id = std::string(id);
  }
  if (tlvs.message_state) {
    if (auto st = ToMessageState(*tlvs.message_state)) r.state = st;
    receipt_field = true;
  }
  if (tlvs.network_error_code && tlvs.network_error_code->size() == 3) {
    const std::string_view n = *tlvs.network_error_code;
    r.network_error = NetworkErrorCode{
        static_cast<std::uint8_t>(n[0]),
        static_cast<std::uint16_t>((static_cast<std::uint8_t>(n[1]) << 8) | static_cast<std::uint8_t>(n[2]))};
  }

  if (r.id.empty() || !receipt_field) return std::nullopt;
  r.id_decimal = ParseNumber(r.id, 10);
  r.id_hex = ParseNumber(r.id, 16);
  return r;
}

std::optional<std::uint64_t> MessageIdNumber(std::string_view id, unsigned base) noexcept {
  return ParseNumber(id, base);
}

bool SameMessageId(std::string_view a, std::string_view b) noexcept {
  a = Trim(a);
  b = Trim(b);
  if (a.empty() || b.empty()) return false;
  if (a.size() == b.size()) {
    bool same = true;
    for (std::size_t i = 0; i < a.size() && same; ++i) same = Lower(a[i]) == Lower(b[i]);
    if (same) return true;
  }
  const auto ad = ParseNumber(a, 10), ah = ParseNumber(a, 16);
  const auto bd = ParseNumber(b, 10), bh = ParseNumber(b, 16);
  return (ad && bd && *ad == *bd) || (ah && bh && *ah == *bh) || (ad && bh && *ad == *bh) || (ah && bd && *ah == *bd);
}

}  // namespace velmor::sms
