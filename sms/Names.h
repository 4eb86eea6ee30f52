// Protocol names for SMPP 3.4 command_status, command_id and message_state values,
// and the delivery-receipt `stat:` words. All lookups are constexpr tables; returned
// string_views refer to static storage.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velmor::sms {

// "ESME_RSUBMITFAIL" for 0x45; nullopt for reserved or vendor-specific values.
std::optional<std::string_view> CommandStatusName(std::uint32_t status) noexcept;
// Short description, e.g. "submit_sm or submit_multi failed".
std::optional<std::string_view> CommandStatusDescription(std::uint32_t status) noexcept;
// Reverse lookup by protocol name (exact, upper case).
std::optional<std::uint32_t> CommandStatusFromName(std::string_view name) noexcept;
// "0x00000045 ESME_RSUBMITFAIL"; unknown values "0x00000400 (reserved/vendor)".
std::string FormatCommandStatus(std::uint32_t status);

// "submit_sm", "submit_sm_resp", "generic_nack", ...; nullopt when SMPP 3.4 defines
// no such command (outbind and alert_notification have no response).
std::optional<std::string_view> CommandIdName(std::uint32_t command_id) noexcept;
std::optional<std::uint32_t> CommandIdFromName(std::string_view name) noexcept;
// "0x00000004 submit_sm"; unknown values "0x00001234 (reserved/vendor)".
std::string FormatCommandId(std::uint32_t command_id);

enum class MessageState : std::uint8_t {
  Enroute = 1,
  Delivered = 2,
  Expired = 3,
  Deleted = 4,
  Undeliverable = 5,
  Accepted = 6,
  Unknown = 7,
  Rejected = 8,
};

// Per SMPP 3.4 ENROUTE is the only intermediate message_state: every other one,
// ACCEPTED and UNKNOWN included, is final (no later state follows it).
constexpr bool IsFinal(MessageState state) noexcept { return state != MessageState::Enroute; }

// message_state byte -> enum; nullopt outside 1..8.
std::optional<MessageState> ToMessageState(std::uint8_t value) noexcept;
// "DELIVERED", "UNDELIVERABLE", ...
std::string_view MessageStateName(MessageState state) noexcept;
// Receipt stat: form: "DELIVRD", "UNDELIV", "ACCEPTD", ...
std::string_view ReceiptStat(MessageState state) noexcept;
// Receipt stat: word (short or long form, any case) -> state.
std::optional<MessageState> MessageStateFromStat(std::string_view stat) noexcept;

}  // namespace velmor::sms
