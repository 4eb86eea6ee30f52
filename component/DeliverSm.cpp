// deliver_sm (mobile-originated messages and delivery receipts) and the
// deliver_sm_resp with which the application acknowledges it. The component
// never acknowledges a deliver_sm by itself.
#include "component/Internal.h"

namespace velmor {

// Fields the body no longer holds read as 0 or empty, and the event still
// fires, so that the application can answer the PDU by its sequence number.
// short_message is cut by sm_length, never by a terminator.
void TVelmorSMPPDemo::RecognDELIVER_SM(Cardinal, Cardinal sequence_number, std::string_view body) {
  if (!OnDeliver_SM) return;
  codec::Cursor c(body);
  const auto service_type = c.cstring();
  const Byte source_addr_ton = c.u8();
  const Byte source_addr_npi = c.u8();
  const auto source_addr = c.cstring();
  const Byte dest_addr_ton = c.u8();
  const Byte dest_addr_npi = c.u8();
  const auto destination_addr = c.cstring();
  const Byte esm_class = c.u8();
  const Byte protocol_id = c.u8();
  const Byte priority_flag = c.u8();
  const auto schedule_delivery_time = c.cstring();
  const auto validity_period = c.cstring();
  const Byte registered_delivery = c.u8();
  const Byte replace_if_present_flag = c.u8();
  const Byte data_coding = c.u8();
  const Byte sm_default_msg_id = c.u8();
  const Byte sm_length = c.u8();
  const auto short_message = c.octets(sm_length);
  const std::string_view optional = c.rest();
  FireWith(OnDeliver_SM, [&](const TOnDeliver_SM& fn) {
    fn(this, sequence_number, str(service_type), source_addr_ton, source_addr_npi, str(source_addr), dest_addr_ton,
       dest_addr_npi, str(destination_addr), esm_class, protocol_id, priority_flag, str(schedule_delivery_time),
       str(validity_period), registered_delivery, replace_if_present_flag, data_coding, sm_default_msg_id,
       sm_length, str(short_message), tlv::decoded<TOPDeliver_SM>(optional));
  });
}

void TVelmorSMPPDemo::FormatDELIVER_SM_RESP(AnsiString& pdu, Cardinal command_status, Cardinal sequence_number,
                                            const AnsiString& message_id) {
  codec::begin_pdu(pdu, command_id::deliver_sm_resp, command_status, codec::response_sequence(sequence_number),
                   message_id.size() + 1);
  codec::put_cstring(pdu, message_id);
  codec::end_pdu(pdu);
}

void TVelmorSMPPDemo::Deliver_SM_RESP(Cardinal command_status, Cardinal sequence_number,
                                      const AnsiString& message_id) {
  FormatDELIVER_SM_RESP(FOut, command_status, sequence_number, message_id);
  CliSockSend(FOut);
}

}  // namespace velmor
