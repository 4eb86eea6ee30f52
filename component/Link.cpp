// enquire_link, enquire_link_resp, unbind and generic_nack: header-only PDUs.
// The component never sends any of them by itself.
#include "component/Internal.h"

namespace velmor {

void TVelmorSMPPDemo::FormatENQUIRE_LINK(AnsiString& pdu, Cardinal& sequence_number) {
  FormatPDU(pdu, command_id::enquire_link, 0, sequence_number, {}, {});
}

void TVelmorSMPPDemo::FormatENQUIRE_LINK_RESP(AnsiString& pdu, Cardinal sequence_number) {
  FormatPDU_RESP(pdu, command_id::enquire_link_resp, 0, sequence_number, {}, {});
}

void TVelmorSMPPDemo::FormatUNBIND(AnsiString& pdu, Cardinal& sequence_number) {
  FormatPDU(pdu, command_id::unbind, 0, sequence_number, {}, {});
}

void TVelmorSMPPDemo::FormatGENERIC_NACK(AnsiString& pdu, Cardinal& sequence_number, Cardinal command_status) {
  FormatPDU(pdu, command_id::generic_nack, command_status, sequence_number, {}, {});
}

Cardinal TVelmorSMPPDemo::Enquire_LINK() {
  Cardinal seq = 0;
  FormatENQUIRE_LINK(FOut, seq);
  CliSockSend(FOut);
  return seq;
}

void TVelmorSMPPDemo::Enquire_LINK_RESP(Cardinal sequence_number) {
  FormatENQUIRE_LINK_RESP(FOut, sequence_number);
  CliSockSend(FOut);
}

Cardinal TVelmorSMPPDemo::Unbind() {
  Cardinal seq = 0;
  FormatUNBIND(FOut, seq);
  CliSockSend(FOut);
  return seq;
}

Cardinal TVelmorSMPPDemo::Generic_NACK(Cardinal command_status) {
  Cardinal seq = 0;
  FormatGENERIC_NACK(FOut, seq, command_status);
  CliSockSend(FOut);
  return seq;
}

// The bodies of these PDUs carry nothing; any octets after the header are
// ignored.
void TVelmorSMPPDemo::RecognENQUIRE_LINK(Cardinal command_status, Cardinal sequence_number, std::string_view) {
  Fire(OnEnquire_LINK, command_status, sequence_number);
}

void TVelmorSMPPDemo::RecognENQUIRE_LINK_RESP(Cardinal command_status, Cardinal sequence_number, std::string_view) {
  Fire(OnEnquire_LINK_RESP, command_status, sequence_number);
}

void TVelmorSMPPDemo::RecognGENERIC_NACK(Cardinal command_status, Cardinal sequence_number, std::string_view) {
  Fire(OnGeneric_NACK, command_status, sequence_number);
}

void TVelmorSMPPDemo::RecognUNBIND_RESP(Cardinal command_status, Cardinal sequence_number, std::string_view) {
  if (command_status == 0)
    Fire(OnUnbind_RESP_OK, sequence_number);
  else
    Fire(OnUnbind_RESP_Error, command_status, sequence_number);
}

}  // namespace velmor
