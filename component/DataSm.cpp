// data_sm in both directions: sent by the application (answered by
// data_sm_resp from the SMSC), and received from the SMSC (answered by the
// application with Data_SM_RESP).
#include "component/Internal.h"

namespace velmor {

void TVelmorSMPPDemo::FormatDATA_SM(AnsiString& pdu, Cardinal& sequence_number, const AnsiString& service_type,
                                    Byte source_addr_ton, Byte source_addr_npi, const AnsiString& source_addr,
                                    Byte dest_addr_ton, Byte dest_addr_npi, const AnsiString& destination_addr,
                                    Byte esm_class, Byte registered_delivery, Byte data_coding,
                                    const TOPData_SM& OPData_SM) {
  const velmor::pdu::DataSm body{service_type,
                                 {source_addr_ton, source_addr_npi, source_addr},
                                 {dest_addr_ton, dest_addr_npi, destination_addr},
                                 esm_class,
                                 registered_delivery,
                                 data_coding,
                                 pdu::tlvs_of(OPData_SM)};
  FormatRequest(pdu, command_id::data_sm, 0, sequence_number, body);
}

Cardinal TVelmorSMPPDemo::Data_SM(const AnsiString& service_type, Byte source_addr_ton, Byte source_addr_npi,
                                  const AnsiString& source_addr, Byte dest_addr_ton, Byte dest_addr_npi,
                                  const AnsiString& destination_addr, Byte esm_class, Byte registered_delivery,
                                  Byte data_coding, const TOPData_SM& OPData_SM) {
  if (tlv::overlong(OPData_SM)) return 0;
  Cardinal seq = 0;
  FormatDATA_SM(FOut, seq, service_type, source_addr_ton, source_addr_npi, source_addr, dest_addr_ton, dest_addr_npi,
                destination_addr, esm_class, registered_delivery, data_coding, OPData_SM);
  CliSockSend(FOut);
  return seq;
}

// message_id, then optional parameters to the end of the body. With no NUL in
// the body, message_id is empty and every octet goes to the TLV decoder.
void TVelmorSMPPDemo::RecognDATA_SM_RESP(Cardinal command_status, Cardinal sequence_number, std::string_view body) {
  if (command_status == 0 ? !OnData_SM_RESP_OK : !OnData_SM_RESP_Error) return;
  pdu::DataSmResp r;
  pdu::read(body, r);
  const auto op = made<OPData_SM_RESP_Set>(r.optional.octets);
  if (command_status == 0)
    Fire(OnData_SM_RESP_OK, sequence_number, r.message_id, op);
  else
    Fire(OnData_SM_RESP_Error, command_status, sequence_number, r.message_id, op);
}

// Fields the body no longer holds read as 0 or empty; the event still fires.
void TVelmorSMPPDemo::RecognDATA_SM(Cardinal, Cardinal sequence_number, std::string_view body) {
  if (!OnData_SM.Assigned()) return;
  pdu::DataSm d;
  pdu::read(body, d);
  Fire(OnData_SM, sequence_number, d.service_type, d.source.ton, d.source.npi, d.source.addr, d.dest.ton, d.dest.npi,
       d.dest.addr, d.esm_class, d.registered_delivery, d.data_coding,
       made<tlv::decoded<TOPData_SM>>(d.optional.octets));
}

void TVelmorSMPPDemo::FormatDATA_SM_RESP(AnsiString& pdu, Cardinal command_status, Cardinal sequence_number,
                                         const AnsiString& message_id, const TOPData_SM_RESP& OPData_SM_RESP) {
  format_response(pdu, command_id::data_sm_resp, command_status, sequence_number,
                  velmor::pdu::DataSmResp{message_id, pdu::tlvs_of(OPData_SM_RESP)});
}

void TVelmorSMPPDemo::Data_SM_RESP(Cardinal command_status, Cardinal sequence_number, const AnsiString& message_id,
                                   const TOPData_SM_RESP& OPData_SM_RESP) {
  if (tlv::overlong(OPData_SM_RESP)) return;
  FormatDATA_SM_RESP(FOut, command_status, sequence_number, message_id, OPData_SM_RESP);
  CliSockSend(FOut);
}

}  // namespace velmor
