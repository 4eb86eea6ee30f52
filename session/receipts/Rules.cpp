#include "session/receipts/Rules.h"

#include "sms/Receipt.h"

namespace velmor::session::receipts {

std::string_view trim_message_id(std::string_view s) noexcept {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\0'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

readings index_readings(std::string_view message_id) {
  readings r;
  r.text = trim_message_id(message_id);
  if (r.text.empty()) return r;
  if (auto d = sms::MessageIdNumber(r.text, 10)) r.numbers[r.count++] = {'d', *d};
  if (auto h = sms::MessageIdNumber(r.text, 16)) r.numbers[r.count++] = {'h', *h};
  return r;
}

readings lookup_readings(std::string_view receipt_id) {
  readings r;
  r.text = trim_message_id(receipt_id);
  if (r.text.empty()) return r;
  const auto dec = sms::MessageIdNumber(r.text, 10), hex = sms::MessageIdNumber(r.text, 16);
  if (dec) r.numbers[r.count++] = {'d', *dec};  // the same base
  if (hex) r.numbers[r.count++] = {'h', *hex};
  if (dec) r.numbers[r.count++] = {'h', *dec};  // decimal receipt, hex response
  if (hex) r.numbers[r.count++] = {'d', *hex};  // the reverse
  return r;
}

namespace {

key_list keys(const readings& r) {
  key_list k;
  if (r.text.empty()) return k;
  std::string& t = k.keys[k.size++];
  t.reserve(r.text.size() + 1);
  t.push_back('=');
  t.append(r.text);
  for (std::size_t i = 0; i < r.count; ++i) {
    std::string& s = k.keys[k.size++];
    s.push_back(r.numbers[i].index);
    s.append(std::to_string(r.numbers[i].value));
  }
  return k;
}

}  // namespace

key_list index_keys(std::string_view message_id) { return keys(index_readings(message_id)); }

key_list lookup_keys(std::string_view receipt_id) { return keys(lookup_readings(receipt_id)); }

}  // namespace velmor::session::receipts
