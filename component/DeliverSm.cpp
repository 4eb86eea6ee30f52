// deliver_sm (mobile-originated messages and delivery receipts) and the
// deliver_sm_resp with which the application acknowledges it. The component
// never acknowledges a deliver_sm by itself.
#include "component/Internal.h"

namespace velmor {

// Fields the body no longer holds read as 0 or empty, and the event still
// fires, so that the application can answer the PDU by its sequence number.
// short_message is cut by sm_length, never by a terminator.
void TVelmorSMPPDemo::RecognDELIVER_SM(Cardinal, Cardinal sequence_number, std::string_view body) {
  if (!OnDeliver_SM.Assigned()) return;
  // pdu::DeliverSm's fields, in its order, read into objects of their own:
  // the body as one object (over 128 octets) is zero-filled first by a
  // `rep stos` that takes as long as reading every field.
  std::string_view service_type;
  pdu::Address source, dest;
  pdu::MessageFields m;
  codec::Cursor c(body);
  pdu::read(c, service_type);
  pdu::read(c, source);
  pdu::read(c, dest);
  pdu::read(c, m);
  const std::string_view optional = c.rest();
  Fire(OnDeliver_SM, sequence_number, service_type, source.ton, source.npi, source.addr, dest.ton, dest.npi, dest.addr,
       m.esm_class, m.protocol_id, m.priority_flag, m.schedule_delivery_time, m.validity_period, m.registered_delivery,
       m.replace_if_present_flag, m.data_coding, m.sm_default_msg_id, m.short_message.sm_length, m.short_message.text,
       made<tlv::decoded<TOPDeliver_SM>>(optional));
}

void TVelmorSMPPDemo::FormatDELIVER_SM_RESP(AnsiString& pdu, Cardinal command_status, Cardinal sequence_number,
                                            const AnsiString& message_id) {
  format_response(pdu, command_id::deliver_sm_resp, command_status, sequence_number,
                  velmor::pdu::MessageIdResp{message_id});
}

void TVelmorSMPPDemo::Deliver_SM_RESP(Cardinal command_status, Cardinal sequence_number, const AnsiString& message_id) {
  FormatDELIVER_SM_RESP(FOut, command_status, sequence_number, message_id);
  CliSockSend(FOut);
}

}  // namespace velmor
