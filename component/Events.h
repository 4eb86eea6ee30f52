// The 26 published events of TVelmorSMPPDemo, each listed once, in
// declaration order: the name after "On", then the handler's parameter list,
// Sender first. The component declares its event types (T + property name,
// a std::function of that list) and members from this list, and anything
// that must treat every event alike (a recorder, a fuzzer, a tracer) walks it
// through for_each_event instead of naming the events again.
//
// Expanded inside namespace velmor after the types the lists name.
#pragma once

// X(name, (parameters))
// clang-format off
#define VELMOR_EVENTS(X)                                                                                        \
  X(Connect, (TObject * Sender))                                                                                \
  X(Disconnect, (TObject * Sender))                                                                             \
  X(SockError, (TObject * Sender, Integer ErrorCode))                                                           \
  X(Connecting, (TObject * Sender))                                                                             \
  X(Bind_RESP_OK,                                                                                               \
    (TObject * Sender, TBindType Bind_Type, Cardinal sequence_number, AnsiString system_id,                     \
     TOPBind_RESP OPBind_RESP))                                                                                 \
  X(Bind_RESP_Error,                                                                                            \
    (TObject * Sender, TBindType Bind_Type, Cardinal command_status, Cardinal sequence_number,                  \
     AnsiString system_id, TOPBind_RESP OPBind_RESP))                                                           \
  X(Unbind_RESP_OK, (TObject * Sender, Cardinal sequence_number))                                               \
  X(Unbind_RESP_Error, (TObject * Sender, Cardinal command_status, Cardinal sequence_number))                   \
  X(Generic_NACK, (TObject * Sender, Cardinal command_status, Cardinal sequence_number))                        \
  X(Submit_SM_RESP_OK, (TObject * Sender, Cardinal sequence_number, AnsiString message_id))                     \
  X(Submit_SM_RESP_Error,                                                                                       \
    (TObject * Sender, Cardinal command_status, Cardinal sequence_number, AnsiString message_id))               \
  X(Submit_MULTI_RESP_OK,                                                                                       \
    (TObject * Sender, Cardinal sequence_number, AnsiString message_id, Byte no_unsuccess,                      \
     Tunsuccess_sme unsuccess_sme))                                                                             \
  X(Submit_MULTI_RESP_Error,                                                                                    \
    (TObject * Sender, Cardinal command_status, Cardinal sequence_number, AnsiString message_id,                \
     Byte no_unsuccess, Tunsuccess_sme unsuccess_sme))                                                          \
  X(Deliver_SM,                                                                                                 \
    (TObject * Sender, Cardinal sequence_number, AnsiString service_type, Byte source_addr_ton,                 \
     Byte source_addr_npi, AnsiString source_addr, Byte dest_addr_ton, Byte dest_addr_npi,                      \
     AnsiString destination_addr, Byte esm_class, Byte protocol_id, Byte priority_flag,                         \
     AnsiString schedule_delivery_time, AnsiString validity_period, Byte registered_delivery,                   \
     Byte replace_if_present_flag, Byte data_coding, Byte sm_default_msg_id, Byte sm_length,                    \
     AnsiString short_message, TOPDeliver_SM OPDeliver_SM))                                                     \
  X(Data_SM,                                                                                                    \
    (TObject * Sender, Cardinal sequence_number, AnsiString service_type, Byte source_addr_ton,                 \
     Byte source_addr_npi, AnsiString source_addr, Byte dest_addr_ton, Byte dest_addr_npi,                      \
     AnsiString destination_addr, Byte esm_class, Byte registered_delivery, Byte data_coding,                   \
     TOPData_SM OPData_SM))                                                                                     \
  X(Data_SM_RESP_OK,                                                                                            \
    (TObject * Sender, Cardinal sequence_number, AnsiString message_id, TOPData_SM_RESP OPData_SM_RESP))        \
  X(Data_SM_RESP_Error,                                                                                         \
    (TObject * Sender, Cardinal command_status, Cardinal sequence_number, AnsiString message_id,                \
     TOPData_SM_RESP OPData_SM_RESP))                                                                           \
  X(Query_SM_RESP_OK,                                                                                           \
    (TObject * Sender, Cardinal sequence_number, AnsiString message_id, AnsiString final_date,                  \
     Byte message_state, Byte error_code))                                                                      \
  X(Query_SM_RESP_Error,                                                                                        \
    (TObject * Sender, Cardinal command_status, Cardinal sequence_number, AnsiString message_id,                \
     AnsiString final_date, Byte message_state, Byte error_code))                                               \
  X(Cancel_RESP_OK, (TObject * Sender, Cardinal sequence_number))                                               \
  X(Cancel_RESP_Error, (TObject * Sender, Cardinal command_status, Cardinal sequence_number))                   \
  X(Replace_RESP_OK, (TObject * Sender, Cardinal sequence_number))                                              \
  X(Replace_RESP_Error, (TObject * Sender, Cardinal command_status, Cardinal sequence_number))                  \
  X(Enquire_LINK, (TObject * Sender, Cardinal command_status, Cardinal sequence_number))                        \
  X(Enquire_LINK_RESP, (TObject * Sender, Cardinal command_status, Cardinal sequence_number))                   \
  X(Unknown_command,                                                                                            \
    (TObject * Sender, Cardinal command_length, Cardinal command_id, Cardinal command_status,                   \
     Cardinal sequence_number, AnsiString Parameters))
// clang-format on

namespace velmor {

// Calls f(name, member) for each of the 26 event members of c in declaration
// order; name is the property name without "On" ("Submit_SM_RESP_OK"), member
// a reference to the std::function, which f may read or assign.
template <class Component, class F>
void for_each_event(Component& c, F&& f) {
#define VELMOR_EVENT_VISIT(name, params) f(#name, c.On##name);
  VELMOR_EVENTS(VELMOR_EVENT_VISIT)
#undef VELMOR_EVENT_VISIT
}

}  // namespace velmor
