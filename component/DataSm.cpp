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
  // Three C-Octet Strings (one NUL each) and seven one-octet fields.
  const std::size_t body = service_type.size() + source_addr.size() + destination_addr.size() + 10 +
                           tlv::encoded_size(OPData_SM);
  BeginRequest(pdu, command_id::data_sm, 0, sequence_number, body);
  codec::Writer w = codec::body_writer(pdu, body);
  w.cstring(service_type);
  w.u8(source_addr_ton);
  w.u8(source_addr_npi);
  w.cstring(source_addr);
  w.u8(dest_addr_ton);
  w.u8(dest_addr_npi);
  w.cstring(destination_addr);
  w.u8(esm_class);
  w.u8(registered_delivery);
  w.u8(data_coding);
  tlv::write(w, OPData_SM);
  codec::end_pdu(pdu);
}

Cardinal TVelmorSMPPDemo::Data_SM(const AnsiString& service_type, Byte source_addr_ton, Byte source_addr_npi,
                                  const AnsiString& source_addr, Byte dest_addr_ton, Byte dest_addr_npi,
                                  const AnsiString& destination_addr, Byte esm_class, Byte registered_delivery,
                                  Byte data_coding, const TOPData_SM& OPData_SM) {
  if (tlv::overlong(OPData_SM)) return 0;
  Cardinal seq = 0;
  FormatDATA_SM(FOut, seq, service_type, source_addr_ton, source_addr_npi, source_addr, dest_addr_ton,
                dest_addr_npi, destination_addr, esm_class, registered_delivery, data_coding, OPData_SM);
  CliSockSend(FOut);
  return seq;
}

// message_id, then optional parameters to the end of the body. With no NUL in
// the body, message_id is empty and every octet goes to the TLV decoder.
void TVelmorSMPPDemo::RecognDATA_SM_RESP(Cardinal command_status, Cardinal sequence_number,
                                         std::string_view body) {
  if (command_status == 0 ? !OnData_SM_RESP_OK : !OnData_SM_RESP_Error) return;
  codec::Cursor c(body);
  AnsiString message_id = str(c.cstring());
  TOPData_SM_RESP op = OPData_SM_RESP_Set(c.rest());
  if (command_status == 0)
    Fire(OnData_SM_RESP_OK, sequence_number, std::move(message_id), std::move(op));
  else
    Fire(OnData_SM_RESP_Error, command_status, sequence_number, std::move(message_id), std::move(op));
}

// Fields the body no longer holds read as 0 or empty; the event still fires.
void TVelmorSMPPDemo::RecognDATA_SM(Cardinal, Cardinal sequence_number, std::string_view body) {
  if (!OnData_SM) return;
  codec::Cursor c(body);
  const auto service_type = c.cstring();
  const Byte source_addr_ton = c.u8();
  const Byte source_addr_npi = c.u8();
  const auto source_addr = c.cstring();
  const Byte dest_addr_ton = c.u8();
  const Byte dest_addr_npi = c.u8();
  const auto destination_addr = c.cstring();
  const Byte esm_class = c.u8();
  const Byte registered_delivery = c.u8();
  const Byte data_coding = c.u8();
  const std::string_view optional = c.rest();
  FireWith(OnData_SM, [&](const TOnData_SM& fn) {
    fn(this, sequence_number, str(service_type), source_addr_ton, source_addr_npi, str(source_addr), dest_addr_ton,
       dest_addr_npi, str(destination_addr), esm_class, registered_delivery, data_coding,
       tlv::decoded<TOPData_SM>(optional));
  });
}

void TVelmorSMPPDemo::FormatDATA_SM_RESP(AnsiString& pdu, Cardinal command_status, Cardinal sequence_number,
                                         const AnsiString& message_id, const TOPData_SM_RESP& OPData_SM_RESP) {
  codec::begin_pdu(pdu, command_id::data_sm_resp, command_status, codec::response_sequence(sequence_number),
                   message_id.size() + 1 + tlv::encoded_size(OPData_SM_RESP));
  codec::put_cstring(pdu, message_id);
  tlv::append(pdu, OPData_SM_RESP);
  codec::end_pdu(pdu);
}

void TVelmorSMPPDemo::Data_SM_RESP(Cardinal command_status, Cardinal sequence_number, const AnsiString& message_id,
                                   const TOPData_SM_RESP& OPData_SM_RESP) {
  if (tlv::overlong(OPData_SM_RESP)) return;
  FormatDATA_SM_RESP(FOut, command_status, sequence_number, message_id, OPData_SM_RESP);
  CliSockSend(FOut);
}

}  // namespace velmor
