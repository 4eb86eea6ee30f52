// Flag helpers shared by the files that build velmorsmppdemo's command line
// (Options.cpp: connection, simulator and command flags; Flags.cpp: message
// fields, time units and the value types --help shows). Internal.
#pragma once

#include <CLI/CLI.hpp>

#include <charconv>
#include <string>
#include <string_view>
#include <vector>

#include "tools/cli/Options.h"

namespace velmor::cli::flags {

using CLI::ValidationError;

inline unsigned long long Number(const std::string& flag, std::string_view text, unsigned long long lo,
                                 unsigned long long hi) {
  unsigned long long v = 0;
  int base = 10;
  std::string_view digits = text;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    base = 16;
    digits.remove_prefix(2);
  }
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), v, base);
  if (digits.empty() || ec != std::errc{} || end != digits.data() + digits.size())
    throw ValidationError(flag, "'" + std::string(text) + "' is not a number");
  if (v < lo || v > hi)
    throw ValidationError(flag, std::string(text) + " is outside " + std::to_string(lo) + ".." + std::to_string(hi));
  return v;
}

inline void MaxLength(const std::string& flag, const std::string& v, std::size_t max) {
  if (v.size() > max)
    throw ValidationError(
        flag, "'" + v + "' is " + std::to_string(v.size()) + " octets; the field holds at most " + std::to_string(max));
}

inline std::string NonEmpty(const std::string& flag, const std::string& v) {
  if (v.empty()) throw ValidationError(flag, "empty");
  return v;
}

inline void SplitList(const std::string& flag, const std::string& text, std::vector<std::string>& out,
                      std::size_t max) {
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = text.find(',', start);
    std::string item = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    if (item.empty()) throw ValidationError(flag, "empty entry in '" + text + "'");
    if (max) MaxLength(flag, item, max);
    out.push_back(std::move(item));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
}

// The names of a library name table, "a|b|c".
template <class Table>
inline std::string Names(const Table& table) {
  std::string out;
  for (const auto& e : table) out += (out.empty() ? "" : "|") + std::string(e.name);
  return out;
}

// The entry of a library name table that v names exactly; otherwise a refusal
// listing the names (`also` first, a name handled before the table).
template <class Table>
const auto& Pick(const std::string& flag, const std::string& v, const Table& table, std::string_view also = {}) {
  for (const auto& e : table)
    if (e.name == v) return e;
  std::vector<std::string> names;
  if (!also.empty()) names.emplace_back(also);
  for (const auto& e : table) names.emplace_back(e.name);
  std::string list;
  for (std::size_t i = 0; i < names.size(); ++i)
    list += (i == 0 ? "" : i + 1 == names.size() ? " or " : ", ") + names[i];
  throw ValidationError(flag, "'" + v + "' is not " + list);
}

inline bool IsHex(std::string_view s) {
  if (s.size() % 2 != 0) return false;
  for (char c : s)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) return false;
  return true;
}

// A single-value option: given twice is an error, not "the last one wins".
template <class F>
CLI::Option* One(CLI::App* app, const std::string& name, F&& f, const std::string& help) {
  auto* opt = app->add_option_function<std::string>(name, std::forward<F>(f), help);
  opt->multi_option_policy(CLI::MultiOptionPolicy::Throw);
  return opt;
}
inline CLI::Option* Flag(CLI::App* app, const std::string& name, bool& target, const std::string& help) {
  auto* opt = app->add_flag_function(
      name,
      [&target, name](std::int64_t n) {
        if (n > 1) throw ValidationError(name, "given more than once");
        target = true;
      },
      help);
  return opt;
}

// Message fields: --service-type, --esm-class, --tlv; and for submit_sm and
// submit_multi also --priority, --protocol-id, --schedule, --validity, fields
// a data_sm does not have (data_sm = true leaves them out).
void MessageFlags(CLI::App* s, Options& o, bool data_sm = false);
// A receipt store's text: memory, sqlite:PATH or redis://HOST:PORT[/DB].
void StoreText(const std::string& flag, const std::string& v);
// --store and --account (send, listen).
void StoreFlags(CLI::App* s, Options& o);
// Sets the value type each flag shows in --help (PORT, N, MS, FILE, ...).
void TypeNames(CLI::App& app);
// A time flag: a number with a unit, or a bare number in bare_unit_ms.
CLI::Option* Time(CLI::App* s, const std::string& name, unsigned& target_ms, unsigned long long bare_unit_ms,
                  unsigned long long lo_ms, unsigned long long hi_ms, const std::string& help);

}  // namespace velmor::cli::flags
