// The one event-log format of the tests: every event of a component becomes
// one line of text, its name followed by every argument, so that a failing
// comparison prints both sides whole.
//
// Expected lines are built with the same formatter from values written in the
// test (ev("Submit_SM_RESP_OK", 2, "abc")), so the format is never spelled
// out by hand except for aggregates and unsuccess lists, written as Raw text:
// {TAG:value ...} and [ton/npi'addr':code ...].
//
// Octet strings are shown between quotes with anything outside printable
// ASCII, the quote and the backslash as \xNN, so a NUL inside a field shows.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "common/Hex.h"
#include "component/Events.h"
#include "component/Velmorsmppdemo.h"

namespace velmor::test {

// Text that goes into an event line as it is.
struct Raw {
  std::string text;
};

inline std::string show(std::string_view s) {
  std::string out = "'";
  for (char ch : s) {
    const auto b = static_cast<unsigned char>(ch);
    if (b < 0x20 || b >= 0x7F || ch == '\'' || ch == '\\') {
      char buf[5];
      std::snprintf(buf, sizeof buf, "\\x%02X", b);
      out += buf;
    } else {
      out += ch;
    }
  }
  return out + "'";
}

template <class T>
std::string arg(const T& v);

// Present members as TAG:value in wire order. An absent member that still
// carries a value is shown as !TAG:value: decoders must hand out clean records.
template <class Agg>
std::string members(const Agg& a) {
  std::string out;
  Agg::visit(a, [&out](const auto& m) {
    using R = std::decay_t<decltype(m)>;
    char tag[8];
    std::snprintf(tag, sizeof tag, "%04X", static_cast<unsigned>(R::tag));
    std::string item;
    if constexpr (std::is_same_v<R, Talert_on_message_delivery>) {
      if (m.Field) item = tag;
    } else if (m.Field) {
      item = std::string(tag) + ":" + arg(m.Value);
    } else if (!(m.Value == typename R::value_type{})) {
      item = "!" + std::string(tag) + ":" + arg(m.Value);
    }
    if (!item.empty()) out += (out.empty() ? "" : " ") + item;
    return false;
  });
  return "{" + out + "}";
}

template <class T>
std::string arg(const T& v) {
  if constexpr (std::is_same_v<T, Raw>) {
    return v.text;
  } else if constexpr (std::is_convertible_v<const T&, std::string_view>) {
    return show(v);
  } else if constexpr (std::is_enum_v<T>) {
    return std::to_string(static_cast<unsigned long long>(v));
  } else if constexpr (std::is_integral_v<T>) {
    return std::to_string(static_cast<long long>(v));
  } else if constexpr (std::is_same_v<T, Tunsuccess_sme>) {
    std::string out;
    for (const auto& e : v)
      out += (out.empty() ? "" : " ") + arg(e.dest_addr_ton) + "/" + arg(e.dest_addr_npi) + show(e.destination_addr) +
             ":" + arg(e.error_status_code);
    return "[" + out + "]";
  } else {
    return members(v);
  }
}

template <class... A>
std::string ev(std::string_view name, const A&... a) {
  std::string out(name);
  ((out += " " + arg(a)), ...);
  return out;
}

// Assigns every one of the 26 events of c to a handler that appends its line
// to log; a Sender other than c is logged as an error line of its own.
inline void record_all(TVelmorSMPPDemo& c, std::vector<std::string>& log) {
  for_each_event(c, [&c, &log](const char* name, auto& event) {
    event = [&c, &log, name](TObject* sender, const auto&... a) {
      if (sender != &c) log.push_back(std::string("wrong Sender in ") + name);
      log.push_back(ev(name, a...));
    };
  });
}

// The same, owning its log.
struct Recorder {
  std::vector<std::string> log;
  explicit Recorder(TVelmorSMPPDemo& comp) { record_all(comp, log); }
};

// Wraps every event of c so that after() runs once the handler already
// assigned (if any) has returned.
inline void after_every_event(TVelmorSMPPDemo& c, std::function<void()> after) {
  for_each_event(c, [&after](const char*, auto& event) {
    event = [inner = event, after](TObject* s, const auto&... a) {
      if (inner) inner(s, a...);
      after();
    };
  });
}

}  // namespace velmor::test
