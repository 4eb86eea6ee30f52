// Fault rules by destination prefix: how the simulator treats a message to a
// number that begins with the prefix. Magic numbers like these are how test
// suites steer an SMSC into the failures they must handle.
//
// Config::rules holds them in order; the first whose prefix begins the
// destination applies (an empty prefix matches every destination). Pure.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "codec/Types.h"

namespace velmor::smsc {

enum class Fault : std::uint8_t {
  no_response,    // the request is read and never answered
  delay,          // the response is held back `delay`
  throttled,      // ESME_RTHROTTLED
  queue_full,     // ESME_RMSGQFUL
  refuse,         // refused with `status`
  undeliverable,  // accepted; the receipt says UNDELIV
};

struct FaultRule {
  std::uint64_t id = 0;  // given by the Smsc when added; 0 before
  std::string prefix;
  Fault fault = Fault::refuse;
  Cardinal status = 0;                 // refuse
  std::chrono::milliseconds delay{0};  // delay
};

// "no-response", "delay", "throttled", "queue-full", "refuse", "undeliverable".
const char* fault_name(Fault f);
std::optional<Fault> fault_from_name(std::string_view name);

// "PREFIX=FAULT[:ARG]": delay takes milliseconds (or 500ms, 2s), refuse a
// command_status (0x45, 69 or ESME_RSUBMITFAIL; default ESME_RSUBMITFAIL).
// nullopt with `error` set (one line) when the text is not such a rule.
std::optional<FaultRule> parse_rule(std::string_view text, std::string& error);
// The rule's text as parse_rule reads it.
std::string rule_text(const FaultRule& r);

// The first rule whose prefix begins destination, or null.
const FaultRule* match_rule(const std::vector<FaultRule>& rules, std::string_view destination);

}  // namespace velmor::smsc
