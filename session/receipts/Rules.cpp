#include "session/receipts/Rules.h"

#include "sms/Receipt.h"

namespace velmor::session::receipts {

std::string_view trim_message_id(std::string_view s) noexcept {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\0'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

namespace {

void add(key_list& k, char kind, std::string_view text) {
  std::string& s = k.keys[k.size++];
  s.reserve(text.size() + 1);
  s.push_back(kind);
  s.append(text);
}

void add(key_list& k, char kind, std::optional<std::uint64_t> v) {
  if (v) add(k, kind, std::to_string(*v));
}

}  // namespace

key_list index_keys(std::string_view message_id) {
  key_list k;
  const std::string_view id = trim_message_id(message_id);
  if (id.empty()) return k;
  add(k, '=', id);
  add(k, 'd', sms::MessageIdNumber(id, 10));
  add(k, 'h', sms::MessageIdNumber(id, 16));
  return k;
}

key_list lookup_keys(std::string_view receipt_id) {
  key_list k;
  const std::string_view id = trim_message_id(receipt_id);
  if (id.empty()) return k;
  const auto dec = sms::MessageIdNumber(id, 10), hex = sms::MessageIdNumber(id, 16);
  add(k, '=', id);
  add(k, 'd', dec);
  add(k, 'h', hex);
  add(k, 'h', dec);
  add(k, 'd', hex);
  return k;
}

}  // namespace velmor::session::receipts
