#include "Rules.h"

#include <charconv>

#include "sms/Names.h"

namespace velmor::smsc {
namespace {

constexpr struct {
  Fault fault;
  const char* name;
} kFaults[] = {{Fault::no_response, "no-response"}, {Fault::delay, "delay"},   {Fault::throttled, "throttled"},
               {Fault::queue_full, "queue-full"},   {Fault::refuse, "refuse"}, {Fault::undeliverable, "undeliverable"}};

constexpr Cardinal kSubmitFail = 0x45;

std::optional<unsigned long long> number(std::string_view t) {
  int base = 10;
  if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) base = 16, t.remove_prefix(2);
  unsigned long long v = 0;
  const auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), v, base);
  if (t.empty() || ec != std::errc{} || end != t.data() + t.size()) return std::nullopt;
  return v;
}

}  // namespace

const char* fault_name(Fault f) {
  for (const auto& k : kFaults)
    if (k.fault == f) return k.name;
  return "?";
}

std::optional<Fault> fault_from_name(std::string_view name) {
  for (const auto& k : kFaults)
    if (name == k.name) return k.fault;
  return std::nullopt;
}

std::optional<FaultRule> parse_rule(std::string_view text, std::string& error) {
  const std::size_t eq = text.find('=');
  if (eq == std::string_view::npos) {
    error = "'" + std::string(text) + "' is not PREFIX=FAULT[:ARG]";
    return std::nullopt;
  }
  FaultRule r;
  r.prefix = std::string(text.substr(0, eq));
  if (r.prefix.size() > 20) {
    error = "prefix '" + r.prefix + "' is longer than an address (20)";
    return std::nullopt;
  }
  std::string_view rest = text.substr(eq + 1), arg;
  if (const std::size_t colon = rest.find(':'); colon != std::string_view::npos)
    arg = rest.substr(colon + 1), rest = rest.substr(0, colon);
  const auto fault = fault_from_name(rest);
  if (!fault) {
    error = "'" + std::string(rest) +
            "' is not a fault (no-response, delay:MS, throttled, queue-full, refuse[:STATUS], undeliverable)";
    return std::nullopt;
  }
  r.fault = *fault;
  if (r.fault == Fault::delay) {
    std::string_view ms = arg;
    unsigned long long scale = 1;
    if (ms.size() > 2 && ms.substr(ms.size() - 2) == "ms")
      ms.remove_suffix(2);
    else if (!ms.empty() && ms.back() == 's')
      ms.remove_suffix(1), scale = 1000;
    const auto v = number(ms);
    if (!v || *v * scale > 3'600'000) {
      error = "delay needs a time up to 1h, e.g. delay:500ms";
      return std::nullopt;
    }
    r.delay = std::chrono::milliseconds(*v * scale);
  } else if (r.fault == Fault::refuse) {
    r.status = kSubmitFail;
    if (!arg.empty()) {
      if (const auto named = sms::CommandStatusFromName(arg)) {
        r.status = *named;
      } else if (const auto v = number(arg); v && *v <= 0xFFFFFFFFull && *v != 0) {
        r.status = static_cast<Cardinal>(*v);
      } else {
        error = "refuse takes a non-zero command_status (0x45, 69 or ESME_RSUBMITFAIL), not '" + std::string(arg) + "'";
        return std::nullopt;
      }
    }
  } else if (!arg.empty()) {
    error = std::string(fault_name(r.fault)) + " takes no argument";
    return std::nullopt;
  }
  return r;
}

std::string rule_text(const FaultRule& r) {
  std::string t = r.prefix + "=" + fault_name(r.fault);
  if (r.fault == Fault::delay) t += ":" + std::to_string(r.delay.count()) + "ms";
  if (r.fault == Fault::refuse) {
    const auto name = sms::CommandStatusName(r.status);
    t += ":" + (name ? std::string(*name) : std::to_string(r.status));
  }
  return t;
}

const FaultRule* match_rule(const std::vector<FaultRule>& rules, std::string_view destination) {
  for (const FaultRule& r : rules)
    if (destination.substr(0, r.prefix.size()) == r.prefix) return &r;
  return nullptr;
}

}  // namespace velmor::smsc
