#include "sms/Names.h"

#include <array>
#include <cstdio>

#include "codec/Commands.h"

namespace velmor::sms {
namespace {

// Both tables are the codec's, declared once with their values.
constexpr auto& kStatuses = codec::command_statuses;
constexpr auto& kCommands = codec::commands;

struct StateEntry {
  MessageState state;
  std::string_view name;
  std::string_view stat;
};

constexpr std::array<StateEntry, 8> kStates = {{
    {MessageState::Enroute, "ENROUTE", "ENROUTE"},
    {MessageState::Delivered, "DELIVERED", "DELIVRD"},
    {MessageState::Expired, "EXPIRED", "EXPIRED"},
    {MessageState::Deleted, "DELETED", "DELETED"},
    {MessageState::Undeliverable, "UNDELIVERABLE", "UNDELIV"},
    {MessageState::Accepted, "ACCEPTED", "ACCEPTD"},
    {MessageState::Unknown, "UNKNOWN", "UNKNOWN"},
    {MessageState::Rejected, "REJECTED", "REJECTD"},
}};

bool EqualsNoCase(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
    if (x != y) return false;
  }
  return true;
}

std::string Hex32(std::uint32_t v) {
  char buf[11];
  std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(v));
  return buf;
}

}  // namespace

std::optional<std::string_view> CommandStatusName(std::uint32_t status) noexcept {
  for (const auto& e : kStatuses)
    if (e.value == status) return e.name;
  return std::nullopt;
}

std::optional<std::string_view> CommandStatusDescription(std::uint32_t status) noexcept {
  for (const auto& e : kStatuses)
    if (e.value == status) return e.description;
  return std::nullopt;
}

std::optional<std::uint32_t> CommandStatusFromName(std::string_view name) noexcept {
  for (const auto& e : kStatuses)
    if (e.name == name) return e.value;
  return std::nullopt;
}

std::string FormatCommandStatus(std::uint32_t status) {
  auto name = CommandStatusName(status);
  return Hex32(status) + " " + (name ? std::string(*name) : std::string("(reserved/vendor)"));
}

std::optional<std::string_view> CommandIdName(std::uint32_t command_id) noexcept {
  for (const auto& e : kCommands)
    if (e.id == command_id) return e.name;
  return std::nullopt;
}

std::optional<std::uint32_t> CommandIdFromName(std::string_view name) noexcept {
  for (const auto& e : kCommands)
    if (e.name == name) return e.id;
  return std::nullopt;
}

std::string FormatCommandId(std::uint32_t command_id) {
  auto name = CommandIdName(command_id);
  return Hex32(command_id) + " " + (name ? std::string(*name) : std::string("(reserved/vendor)"));
}

std::optional<MessageState> ToMessageState(std::uint8_t value) noexcept {
  if (value < 1 || value > 8) return std::nullopt;
  return static_cast<MessageState>(value);
}

std::string_view MessageStateName(MessageState state) noexcept {
  for (const auto& e : kStates)
    if (e.state == state) return e.name;
  return "UNKNOWN";
}

std::string_view ReceiptStat(MessageState state) noexcept {
  for (const auto& e : kStates)
    if (e.state == state) return e.stat;
  return "UNKNOWN";
}

std::optional<MessageState> MessageStateFromStat(std::string_view stat) noexcept {
  for (const auto& e : kStates)
    if (EqualsNoCase(stat, e.stat) || EqualsNoCase(stat, e.name)) return e.state;
  return std::nullopt;
}

}  // namespace velmor::sms
