// The command_id and command_status values of SMPP 3.4 with their protocol
// names, each declared once here. Every other table (the constants below, the
// names in sms/, the simulator, the command-line client) is generated from
// these lists, so a value and its name cannot drift apart.
#pragma once

#include <string_view>

#include "codec/Types.h"

// X(name, value): every command_id, named after its PDU.
#define VELMOR_COMMAND_IDS(X) \
  X(generic_nack, 0x80000000) \
  X(bind_receiver, 0x00000001) \
  X(bind_receiver_resp, 0x80000001) \
  X(bind_transmitter, 0x00000002) \
  X(bind_transmitter_resp, 0x80000002) \
  X(query_sm, 0x00000003) \
  X(query_sm_resp, 0x80000003) \
  X(submit_sm, 0x00000004) \
  X(submit_sm_resp, 0x80000004) \
  X(deliver_sm, 0x00000005) \
  X(deliver_sm_resp, 0x80000005) \
  X(unbind, 0x00000006) \
  X(unbind_resp, 0x80000006) \
  X(replace_sm, 0x00000007) \
  X(replace_sm_resp, 0x80000007) \
  X(cancel_sm, 0x00000008) \
  X(cancel_sm_resp, 0x80000008) \
  X(bind_transceiver, 0x00000009) \
  X(bind_transceiver_resp, 0x80000009) \
  X(outbind, 0x0000000B) \
  X(enquire_link, 0x00000015) \
  X(enquire_link_resp, 0x80000015) \
  X(submit_multi, 0x00000021) \
  X(submit_multi_resp, 0x80000021) \
  X(alert_notification, 0x00000102) \
  X(data_sm, 0x00000103) \
  X(data_sm_resp, 0x80000103)

// X(name, value, description): every command_status the protocol defines.
#define VELMOR_COMMAND_STATUSES(X) \
  X(ESME_ROK, 0x00, "No error") \
  X(ESME_RINVMSGLEN, 0x01, "Message length is invalid") \
  X(ESME_RINVCMDLEN, 0x02, "Command length is invalid") \
  X(ESME_RINVCMDID, 0x03, "Invalid command ID") \
  X(ESME_RINVBNDSTS, 0x04, "Incorrect bind status for given command") \
  X(ESME_RALYBND, 0x05, "ESME already in bound state") \
  X(ESME_RINVPRTFLG, 0x06, "Invalid priority flag") \
  X(ESME_RINVREGDLVFLG, 0x07, "Invalid registered delivery flag") \
  X(ESME_RSYSERR, 0x08, "System error") \
  X(ESME_RINVSRCADR, 0x0A, "Invalid source address") \
  X(ESME_RINVDSTADR, 0x0B, "Invalid destination address") \
  X(ESME_RINVMSGID, 0x0C, "Message ID is invalid") \
  X(ESME_RBINDFAIL, 0x0D, "Bind failed") \
  X(ESME_RINVPASWD, 0x0E, "Invalid password") \
  X(ESME_RINVSYSID, 0x0F, "Invalid system ID") \
  X(ESME_RCANCELFAIL, 0x11, "cancel_sm failed") \
  X(ESME_RREPLACEFAIL, 0x13, "replace_sm failed") \
  X(ESME_RMSGQFUL, 0x14, "Message queue full") \
  X(ESME_RINVSERTYP, 0x15, "Invalid service type") \
  X(ESME_RINVNUMDESTS, 0x33, "Invalid number of destinations") \
  X(ESME_RINVDLNAME, 0x34, "Invalid distribution list name") \
  X(ESME_RINVDESTFLAG, 0x40, "Destination flag is invalid (submit_multi)") \
  X(ESME_RINVSUBREP, 0x42, "Invalid submit with replace request (replace_if_present_flag set)") \
  X(ESME_RINVESMCLASS, 0x43, "Invalid esm_class field data") \
  X(ESME_RCNTSUBDL, 0x44, "Cannot submit to distribution list") \
  X(ESME_RSUBMITFAIL, 0x45, "submit_sm or submit_multi failed") \
  X(ESME_RINVSRCTON, 0x48, "Invalid source address TON") \
  X(ESME_RINVSRCNPI, 0x49, "Invalid source address NPI") \
  X(ESME_RINVDSTTON, 0x50, "Invalid destination address TON") \
  X(ESME_RINVDSTNPI, 0x51, "Invalid destination address NPI") \
  X(ESME_RINVSYSTYP, 0x53, "Invalid system_type field") \
  X(ESME_RINVREPFLAG, 0x54, "Invalid replace_if_present flag") \
  X(ESME_RINVNUMMSGS, 0x55, "Invalid number of messages") \
  X(ESME_RTHROTTLED, 0x58, "Throttling error (ESME exceeded allowed message limits)") \
  X(ESME_RINVSCHED, 0x61, "Invalid scheduled delivery time") \
  X(ESME_RINVEXPIRY, 0x62, "Invalid message validity period (expiry time)") \
  X(ESME_RINVDFTMSGID, 0x63, "Predefined message invalid or not found") \
  X(ESME_RX_T_APPN, 0x64, "ESME receiver temporary application error") \
  X(ESME_RX_P_APPN, 0x65, "ESME receiver permanent application error") \
  X(ESME_RX_R_APPN, 0x66, "ESME receiver reject message error") \
  X(ESME_RQUERYFAIL, 0x67, "query_sm request failed") \
  X(ESME_RINVOPTPARSTREAM, 0xC0, "Error in the optional part of the PDU body") \
  X(ESME_ROPTPARNOTALLWD, 0xC1, "Optional parameter not allowed") \
  X(ESME_RINVPARLEN, 0xC2, "Invalid parameter length") \
  X(ESME_RMISSINGOPTPARAM, 0xC3, "Expected optional parameter missing") \
  X(ESME_RINVOPTPARAMVAL, 0xC4, "Invalid optional parameter value") \
  X(ESME_RDELIVERYFAILURE, 0xFE, "Delivery failure (data_sm_resp)") \
  X(ESME_RUNKNOWNERR, 0xFF, "Unknown error")

namespace velmor {

namespace command_id {
#define VELMOR_COMMAND_ID_CONSTANT(name, value) inline constexpr Cardinal name = value;
VELMOR_COMMAND_IDS(VELMOR_COMMAND_ID_CONSTANT)
#undef VELMOR_COMMAND_ID_CONSTANT
}  // namespace command_id

namespace command_status {
#define VELMOR_COMMAND_STATUS_CONSTANT(name, value, description) inline constexpr Cardinal name = value;
VELMOR_COMMAND_STATUSES(VELMOR_COMMAND_STATUS_CONSTANT)
#undef VELMOR_COMMAND_STATUS_CONSTANT
}  // namespace command_status

namespace codec {

struct CommandIdEntry {
  Cardinal value;
  std::string_view name;
};

struct CommandStatusEntry {
  Cardinal value;
  std::string_view name;
  std::string_view description;
};

#define VELMOR_COMMAND_ID_ENTRY(name, value) CommandIdEntry{value, #name},
inline constexpr CommandIdEntry command_ids[] = {VELMOR_COMMAND_IDS(VELMOR_COMMAND_ID_ENTRY)};
#undef VELMOR_COMMAND_ID_ENTRY

#define VELMOR_COMMAND_STATUS_ENTRY(name, value, description) CommandStatusEntry{value, #name, description},
inline constexpr CommandStatusEntry command_statuses[] = {VELMOR_COMMAND_STATUSES(VELMOR_COMMAND_STATUS_ENTRY)};
#undef VELMOR_COMMAND_STATUS_ENTRY

// The protocol name of a command_id ("submit_sm_resp"); empty when SMPP 3.4
// defines none.
constexpr std::string_view command_id_name(Cardinal id) {
  for (const auto& e : command_ids)
    if (e.value == id) return e.name;
  return {};
}

// The protocol name of a command_status ("ESME_RTHROTTLED"); empty for a
// reserved or vendor-specific value.
constexpr std::string_view command_status_name(Cardinal status) {
  for (const auto& e : command_statuses)
    if (e.value == status) return e.name;
  return {};
}

}  // namespace codec
}  // namespace velmor
