// submit_sm and submit_sm_resp: the main outbound path.
#include "component/Internal.h"

namespace velmor {

void TVelmorSMPPDemo::FormatSUBMIT_SM(AnsiString& pdu, Cardinal& sequence_number, const AnsiString& service_type,
                                      Byte source_addr_ton, Byte source_addr_npi, const AnsiString& source_addr,
                                      Byte dest_addr_ton, Byte dest_addr_npi, const AnsiString& destination_addr,
                                      Byte esm_class, Byte protocol_id, Byte priority_flag,
                                      const AnsiString& schedule_delivery_time, const AnsiString& validity_period,
                                      Byte registered_delivery, Byte replace_if_present_flag, Byte data_coding,
                                      Byte sm_default_msg_id, const AnsiString& short_message,
                                      const TOPSubmit_SM& OPSubmit_SM) {
  const velmor::pdu::SubmitSm body{service_type,
                                   {source_addr_ton, source_addr_npi, source_addr},
                                   {dest_addr_ton, dest_addr_npi, destination_addr},
                                   {esm_class,
                                    protocol_id,
                                    priority_flag,
                                    schedule_delivery_time,
                                    validity_period,
                                    registered_delivery,
                                    replace_if_present_flag,
                                    data_coding,
                                    sm_default_msg_id,
                                    {0, short_message}},
                                   pdu::tlvs_of(OPSubmit_SM)};
  FormatRequest(pdu, command_id::submit_sm, 0, sequence_number, body);
}

Cardinal TVelmorSMPPDemo::Submit_SM(const AnsiString& service_type, Byte source_addr_ton, Byte source_addr_npi,
                                    const AnsiString& source_addr, Byte dest_addr_ton, Byte dest_addr_npi,
                                    const AnsiString& destination_addr, Byte esm_class, Byte protocol_id,
                                    Byte priority_flag, const AnsiString& schedule_delivery_time,
                                    const AnsiString& validity_period, Byte registered_delivery,
                                    Byte replace_if_present_flag, Byte data_coding, Byte sm_default_msg_id,
                                    const AnsiString& short_message, const TOPSubmit_SM& OPSubmit_SM) {
  // sm_length is one octet: a longer short_message could only be sent with a
  // wrong length, so the call is refused before a sequence number is spent.
  if (short_message.size() > MaxShortMessage || tlv::overlong(OPSubmit_SM)) return 0;
  Cardinal seq = 0;
  FormatSUBMIT_SM(FOut, seq, service_type, source_addr_ton, source_addr_npi, source_addr, dest_addr_ton, dest_addr_npi,
                  destination_addr, esm_class, protocol_id, priority_flag, schedule_delivery_time, validity_period,
                  registered_delivery, replace_if_present_flag, data_coding, sm_default_msg_id, short_message,
                  OPSubmit_SM);
  CliSockSend(FOut);
  return seq;
}

// message_id is the octets before the first NUL; anything after it is ignored.
void TVelmorSMPPDemo::RecognSUBMIT_SM_RESP(Cardinal command_status, Cardinal sequence_number, std::string_view body) {
  pdu::MessageIdResp r;
  pdu::read(body, r);
  if (command_status == 0)
    Fire(OnSubmit_SM_RESP_OK, sequence_number, r.message_id);
  else
    Fire(OnSubmit_SM_RESP_Error, command_status, sequence_number, r.message_id);
}

}  // namespace velmor
