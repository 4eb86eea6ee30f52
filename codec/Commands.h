// The command_id and command_status values of SMPP 3.4 with their protocol
// names, each declared once here. Every other table (the constants below, the
// names in sms/, the simulator, the command-line client) is generated from
// these lists, so a value and its name cannot drift apart.
#pragma once

#include <string_view>

#include "codec/Types.h"

// The command table of SMPP 3.4, one row per command:
//   X(name, command_id, response, from_esme, from_smsc)
// response   the command_id of its response; 0 for a response, for generic_nack
//            and for the two requests that have none (outbind, alert_notification)
// from_esme  the bind states in which an ESME may send it (none: never)
// from_smsc  the bind states in which an SMSC may send it (none: never)
// A response row carries the states of its request, from the answering side.
// generic_nack is allowed in every state, open included: it answers a PDU that
// could not be taken, which can arrive before any bind.
//
// Adding a command touches: this row; its body in pdu/Body.h (with its
// command_ids); for the component, its public method, builder, decoder and
// event (component/, and the decoder's row in the dispatch list in
// component/Velmorsmppdemo.cpp); for the simulator, its handler in
// tools/smsc/Session.cpp when it is to do more than refuse. The names, the
// refusals by bind state, the automatic answers, the CLI's command names and
// the fuzz dictionary (fuzz/make_corpus.py --dict, checked by a test) all
// follow from the row.
#define VELMOR_COMMANDS(X) \
  X(generic_nack, 0x80000000, 0, any_state, any_state) \
  X(bind_receiver, 0x00000001, 0x80000001, open, none) \
  X(bind_receiver_resp, 0x80000001, 0, none, open) \
  X(bind_transmitter, 0x00000002, 0x80000002, open, none) \
  X(bind_transmitter_resp, 0x80000002, 0, none, open) \
  X(query_sm, 0x00000003, 0x80000003, transmit, none) \
  X(query_sm_resp, 0x80000003, 0, none, transmit) \
  X(submit_sm, 0x00000004, 0x80000004, transmit, none) \
  X(submit_sm_resp, 0x80000004, 0, none, transmit) \
  X(deliver_sm, 0x00000005, 0x80000005, none, receive) \
  X(deliver_sm_resp, 0x80000005, 0, receive, none) \
  X(unbind, 0x00000006, 0x80000006, bound, bound) \
  X(unbind_resp, 0x80000006, 0, bound, bound) \
  X(replace_sm, 0x00000007, 0x80000007, transmit, none) \
  X(replace_sm_resp, 0x80000007, 0, none, transmit) \
  X(cancel_sm, 0x00000008, 0x80000008, transmit, none) \
  X(cancel_sm_resp, 0x80000008, 0, none, transmit) \
  X(bind_transceiver, 0x00000009, 0x80000009, open, none) \
  X(bind_transceiver_resp, 0x80000009, 0, none, open) \
  X(outbind, 0x0000000B, 0, none, open) \
  X(enquire_link, 0x00000015, 0x80000015, bound, bound) \
  X(enquire_link_resp, 0x80000015, 0, bound, bound) \
  X(submit_multi, 0x00000021, 0x80000021, transmit, none) \
  X(submit_multi_resp, 0x80000021, 0, none, transmit) \
  X(alert_notification, 0x00000102, 0, none, receive) \
  X(data_sm, 0x00000103, 0x80000103, transmit, receive) \
  X(data_sm_resp, 0x80000103, 0, receive, transmit)

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
#define VELMOR_COMMAND_ID_CONSTANT(name, id, response, from_esme, from_smsc) inline constexpr Cardinal name = id;
VELMOR_COMMANDS(VELMOR_COMMAND_ID_CONSTANT)
#undef VELMOR_COMMAND_ID_CONSTANT
}  // namespace command_id

namespace command_status {
#define VELMOR_COMMAND_STATUS_CONSTANT(name, value, description) inline constexpr Cardinal name = value;
VELMOR_COMMAND_STATUSES(VELMOR_COMMAND_STATUS_CONSTANT)
#undef VELMOR_COMMAND_STATUS_CONSTANT
}  // namespace command_status

namespace codec {

// The bit of command_id that marks a response.
inline constexpr Cardinal response_bit = 0x80000000;

// interface_version of a bind and sc_interface_version of its response: 3.4.
inline constexpr Byte interface_version = 0x34;

// The bind state of one side of a connection.
enum class bind_state : Byte { open, bound_tx, bound_rx, bound_trx };

// The two ends of a connection.
enum class sender : Byte { esme, smsc };

// A set of bind states.
using state_set = Byte;
namespace states {
constexpr state_set bit(bind_state s) { return static_cast<state_set>(1u << static_cast<unsigned>(s)); }
inline constexpr state_set none = 0;
inline constexpr state_set open = bit(bind_state::open);
inline constexpr state_set transmit = bit(bind_state::bound_tx) | bit(bind_state::bound_trx);
inline constexpr state_set receive = bit(bind_state::bound_rx) | bit(bind_state::bound_trx);
inline constexpr state_set bound = transmit | receive;
inline constexpr state_set any_state = open | bound;
}  // namespace states

struct Command {
  Cardinal id;
  std::string_view name;
  Cardinal response;    // 0: none
  state_set from_esme;  // states in which an ESME may send it
  state_set from_smsc;  // states in which an SMSC may send it
};

struct CommandStatusEntry {
  Cardinal value;
  std::string_view name;
  std::string_view description;
};

#define VELMOR_COMMAND_ENTRY(name, id, response, from_esme, from_smsc) \
  Command{id, #name, response, states::from_esme, states::from_smsc},
inline constexpr Command commands[] = {VELMOR_COMMANDS(VELMOR_COMMAND_ENTRY)};
#undef VELMOR_COMMAND_ENTRY

#define VELMOR_COMMAND_STATUS_ENTRY(name, value, description) CommandStatusEntry{value, #name, description},
inline constexpr CommandStatusEntry command_statuses[] = {VELMOR_COMMAND_STATUSES(VELMOR_COMMAND_STATUS_ENTRY)};
#undef VELMOR_COMMAND_STATUS_ENTRY

constexpr bool is_response(Cardinal id) { return (id & response_bit) != 0; }

// The row of a command_id; nullptr when SMPP 3.4 defines no such command.
constexpr const Command* find(Cardinal id) {
  for (const auto& c : commands)
    if (c.id == id) return &c;
  return nullptr;
}

// The row of a protocol name ("submit_sm", exact, lower case); nullptr when none.
constexpr const Command* find(std::string_view name) {
  for (const auto& c : commands)
    if (c.name == name) return &c;
  return nullptr;
}

// The protocol name of a command_id ("submit_sm_resp"); empty when SMPP 3.4
// defines none.
constexpr std::string_view command_id_name(Cardinal id) {
  const Command* c = find(id);
  return c ? c->name : std::string_view();
}

// The command_id of the response to a request; 0 for a response, for
// generic_nack, for outbind and alert_notification, and for an unknown id.
constexpr Cardinal response_id(Cardinal id) {
  const Command* c = find(id);
  return c ? c->response : 0;
}

// Whether this side may ever send the command, and whether in this bind state.
// (Rows are read without testing a pointer for null: g++ 12 with
// -fsanitize=undefined cannot evaluate that test in a constant expression.)
constexpr state_set states_for(sender s, const Command& c) { return s == sender::esme ? c.from_esme : c.from_smsc; }
constexpr state_set states_for(sender s, Cardinal id) {
  for (const auto& c : commands)
    if (c.id == id) return states_for(s, c);
  return states::none;
}
constexpr bool may_send(sender s, Cardinal id) { return states_for(s, id) != states::none; }
constexpr bool allowed(sender s, Cardinal id, bind_state st) { return (states_for(s, id) & states::bit(st)) != 0; }
constexpr bool allowed_from_esme(Cardinal id, bind_state st) { return allowed(sender::esme, id, st); }
constexpr bool allowed_from_smsc(Cardinal id, bind_state st) { return allowed(sender::smsc, id, st); }

// bind_transmitter, bind_receiver or bind_transceiver (or one of their
// responses) <-> the state a successful bind leads to.
constexpr Cardinal bind_command(bind_state st) {
  switch (st) {
    case bind_state::bound_tx: return command_id::bind_transmitter;
    case bind_state::bound_rx: return command_id::bind_receiver;
    case bind_state::bound_trx: return command_id::bind_transceiver;
    default: return 0;
  }
}
// bind_state::open for anything that is not a bind or bind response.
constexpr bind_state bound_state_of(Cardinal bind_id) {
  switch (bind_id & ~response_bit) {
    case command_id::bind_transmitter: return bind_state::bound_tx;
    case command_id::bind_receiver: return bind_state::bound_rx;
    case command_id::bind_transceiver: return bind_state::bound_trx;
    default: return bind_state::open;
  }
}
constexpr bool is_bind(Cardinal id) { return !is_response(id) && bound_state_of(id) != bind_state::open; }

// The three bind types by the names tools give them; each is its bind
// command's name less "bind_".
struct BindName {
  std::string_view name;
  bind_state state;
};
inline constexpr BindName bind_names[] = {
    {"transmitter", bind_state::bound_tx}, {"receiver", bind_state::bound_rx}, {"transceiver", bind_state::bound_trx}};

// "transmitter", "receiver", "transceiver"; "open" for bind_state::open.
constexpr std::string_view bind_state_name(bind_state st) {
  for (const auto& b : bind_names)
    if (b.state == st) return b.name;
  return "open";
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
