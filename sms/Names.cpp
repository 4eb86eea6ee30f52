#include "sms/Names.h"

#include <array>
#include <cstdio>

namespace velmor::sms {
namespace {

struct StatusEntry {
  std::uint32_t value;
  std::string_view name;
  std::string_view description;
};

constexpr std::array<StatusEntry, 48> kStatuses = {{
    {0x00, "ESME_ROK", "No error"},
    {0x01, "ESME_RINVMSGLEN", "Message length is invalid"},
    {0x02, "ESME_RINVCMDLEN", "Command length is invalid"},
    {0x03, "ESME_RINVCMDID", "Invalid command ID"},
    {0x04, "ESME_RINVBNDSTS", "Incorrect bind status for given command"},
    {0x05, "ESME_RALYBND", "ESME already in bound state"},
    {0x06, "ESME_RINVPRTFLG", "Invalid priority flag"},
    {0x07, "ESME_RINVREGDLVFLG", "Invalid registered delivery flag"},
    {0x08, "ESME_RSYSERR", "System error"},
    {0x0A, "ESME_RINVSRCADR", "Invalid source address"},
    {0x0B, "ESME_RINVDSTADR", "Invalid destination address"},
    {0x0C, "ESME_RINVMSGID", "Message ID is invalid"},
    {0x0D, "ESME_RBINDFAIL", "Bind failed"},
    {0x0E, "ESME_RINVPASWD", "Invalid password"},
    {0x0F, "ESME_RINVSYSID", "Invalid system ID"},
    {0x11, "ESME_RCANCELFAIL", "cancel_sm failed"},
    {0x13, "ESME_RREPLACEFAIL", "replace_sm failed"},
    {0x14, "ESME_RMSGQFUL", "Message queue full"},
    {0x15, "ESME_RINVSERTYP", "Invalid service type"},
    {0x33, "ESME_RINVNUMDESTS", "Invalid number of destinations"},
    {0x34, "ESME_RINVDLNAME", "Invalid distribution list name"},
    {0x40, "ESME_RINVDESTFLAG", "Destination flag is invalid (submit_multi)"},
    {0x42, "ESME_RINVSUBREP", "Invalid submit with replace request (replace_if_present_flag set)"},
    {0x43, "ESME_RINVESMCLASS", "Invalid esm_class field data"},
    {0x44, "ESME_RCNTSUBDL", "Cannot submit to distribution list"},
    {0x45, "ESME_RSUBMITFAIL", "submit_sm or submit_multi failed"},
    {0x48, "ESME_RINVSRCTON", "Invalid source address TON"},
    {0x49, "ESME_RINVSRCNPI", "Invalid source address NPI"},
    {0x50, "ESME_RINVDSTTON", "Invalid destination address TON"},
    {0x51, "ESME_RINVDSTNPI", "Invalid destination address NPI"},
    {0x53, "ESME_RINVSYSTYP", "Invalid system_type field"},
    {0x54, "ESME_RINVREPFLAG", "Invalid replace_if_present flag"},
    {0x55, "ESME_RINVNUMMSGS", "Invalid number of messages"},
    {0x58, "ESME_RTHROTTLED", "Throttling error (ESME exceeded allowed message limits)"},
    {0x61, "ESME_RINVSCHED", "Invalid scheduled delivery time"},
    {0x62, "ESME_RINVEXPIRY", "Invalid message validity period (expiry time)"},
    {0x63, "ESME_RINVDFTMSGID", "Predefined message invalid or not found"},
    {0x64, "ESME_RX_T_APPN", "ESME receiver temporary application error"},
    {0x65, "ESME_RX_P_APPN", "ESME receiver permanent application error"},
    {0x66, "ESME_RX_R_APPN", "ESME receiver reject message error"},
    {0x67, "ESME_RQUERYFAIL", "query_sm request failed"},
    {0xC0, "ESME_RINVOPTPARSTREAM", "Error in the optional part of the PDU body"},
    {0xC1, "ESME_ROPTPARNOTALLWD", "Optional parameter not allowed"},
    {0xC2, "ESME_RINVPARLEN", "Invalid parameter length"},
    {0xC3, "ESME_RMISSINGOPTPARAM", "Expected optional parameter missing"},
    {0xC4, "ESME_RINVOPTPARAMVAL", "Invalid optional parameter value"},
    {0xFE, "ESME_RDELIVERYFAILURE", "Delivery failure (data_sm_resp)"},
    {0xFF, "ESME_RUNKNOWNERR", "Unknown error"},
}};

struct CommandEntry {
  std::uint32_t value;
  std::string_view name;
};

constexpr std::uint32_t kResp = 0x80000000;

constexpr std::array<CommandEntry, 28> kCommands = {{
    {0x80000000, "generic_nack"},
    {0x00000001, "bind_receiver"},       {0x00000001 | kResp, "bind_receiver_resp"},
    {0x00000002, "bind_transmitter"},    {0x00000002 | kResp, "bind_transmitter_resp"},
    {0x00000003, "query_sm"},            {0x00000003 | kResp, "query_sm_resp"},
    {0x00000004, "submit_sm"},           {0x00000004 | kResp, "submit_sm_resp"},
    {0x00000005, "deliver_sm"},          {0x00000005 | kResp, "deliver_sm_resp"},
    {0x00000006, "unbind"},              {0x00000006 | kResp, "unbind_resp"},
    {0x00000007, "replace_sm"},          {0x00000007 | kResp, "replace_sm_resp"},
    {0x00000008, "cancel_sm"},           {0x00000008 | kResp, "cancel_sm_resp"},
    {0x00000009, "bind_transceiver"},    {0x00000009 | kResp, "bind_transceiver_resp"},
    {0x0000000B, "outbind"},
    {0x00000015, "enquire_link"},        {0x00000015 | kResp, "enquire_link_resp"},
    {0x00000021, "submit_multi"},        {0x00000021 | kResp, "submit_multi_resp"},
    {0x00000102, "alert_notification"},
    {0x00000103, "data_sm"},             {0x00000103 | kResp, "data_sm_resp"},
}};

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

} // namespace

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
    if (e.value == command_id) return e.name;
  return std::nullopt;
}

std::optional<std::uint32_t> CommandIdFromName(std::string_view name) noexcept {
  for (const auto& e : kCommands)
    if (e.name == name) return e.value;
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

} // namespace velmor::sms
