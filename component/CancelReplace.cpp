// cancel_sm and replace_sm, with their header-only responses.
#include "component/Internal.h"

namespace velmor {

void TVelmorSMPPDemo::FormatCANCEL_SM(AnsiString& pdu, Cardinal& sequence_number, const AnsiString& service_type,
                                      const AnsiString& message_id, Byte source_addr_ton, Byte source_addr_npi,
                                      const AnsiString& source_addr, Byte dest_addr_ton, Byte dest_addr_npi,
                                      const AnsiString& destination_addr) {
  const velmor::pdu::CancelSm body{service_type,
                                   message_id,
                                   {source_addr_ton, source_addr_npi, source_addr},
                                   {dest_addr_ton, dest_addr_npi, destination_addr}};
  FormatRequest(pdu, command_id::cancel_sm, 0, sequence_number, body);
}

Cardinal TVelmorSMPPDemo::Cancel_SM(const AnsiString& service_type, const AnsiString& message_id, Byte source_addr_ton,
                                    Byte source_addr_npi, const AnsiString& source_addr, Byte dest_addr_ton,
                                    Byte dest_addr_npi, const AnsiString& destination_addr) {
  Cardinal seq = 0;
  FormatCANCEL_SM(FOut, seq, service_type, message_id, source_addr_ton, source_addr_npi, source_addr, dest_addr_ton,
                  dest_addr_npi, destination_addr);
  CliSockSend(FOut);
  return seq;
}

void TVelmorSMPPDemo::FormatREPLACE_SM(AnsiString& pdu, Cardinal& sequence_number, const AnsiString& message_id,
                                       Byte source_addr_ton, Byte source_addr_npi, const AnsiString& source_addr,
                                       const AnsiString& schedule_delivery_time, const AnsiString& validity_period,
                                       Byte registered_delivery, Byte sm_default_msg_id,
                                       const AnsiString& short_message) {
  const velmor::pdu::ReplaceSm body{message_id,
                                    {source_addr_ton, source_addr_npi, source_addr},
                                    schedule_delivery_time,
                                    validity_period,
                                    registered_delivery,
                                    sm_default_msg_id,
                                    {0, short_message}};
  FormatRequest(pdu, command_id::replace_sm, 0, sequence_number, body);
}

Cardinal TVelmorSMPPDemo::Replace_SM(const AnsiString& message_id, Byte source_addr_ton, Byte source_addr_npi,
                                     const AnsiString& source_addr, const AnsiString& schedule_delivery_time,
                                     const AnsiString& validity_period, Byte registered_delivery,
                                     Byte sm_default_msg_id, const AnsiString& short_message) {
  if (short_message.size() > MaxShortMessage) return 0;
  Cardinal seq = 0;
  FormatREPLACE_SM(FOut, seq, message_id, source_addr_ton, source_addr_npi, source_addr, schedule_delivery_time,
                   validity_period, registered_delivery, sm_default_msg_id, short_message);
  CliSockSend(FOut);
  return seq;
}

void TVelmorSMPPDemo::RecognCANCEL_SM_RESP(Cardinal command_status, Cardinal sequence_number, std::string_view) {
  if (command_status == 0)
    Fire(OnCancel_RESP_OK, sequence_number);
  else
    Fire(OnCancel_RESP_Error, command_status, sequence_number);
}

void TVelmorSMPPDemo::RecognREPLACE_SM_RESP(Cardinal command_status, Cardinal sequence_number, std::string_view) {
  if (command_status == 0)
    Fire(OnReplace_RESP_OK, sequence_number);
  else
    Fire(OnReplace_RESP_Error, command_status, sequence_number);
}

}  // namespace velmor
