// alert_notification: sent only; the protocol defines no response to it.
#include "component/Internal.h"

namespace velmor {

void TVelmorSMPPDemo::FormatALERT_NOTIFICATION(AnsiString& pdu, Cardinal& sequence_number, Byte source_addr_ton,
                                               Byte source_addr_npi, const AnsiString& source_addr, Byte esme_addr_ton,
                                               Byte esme_addr_npi, const AnsiString& esme_addr) {
  const velmor::pdu::AlertNotification body{{source_addr_ton, source_addr_npi, source_addr},
                                            {esme_addr_ton, esme_addr_npi, esme_addr}};
  FormatRequest(pdu, command_id::alert_notification, 0, sequence_number, body);
}

Cardinal TVelmorSMPPDemo::Alert_NOTIFICATION(Byte source_addr_ton, Byte source_addr_npi, const AnsiString& source_addr,
                                             Byte esme_addr_ton, Byte esme_addr_npi, const AnsiString& esme_addr) {
  Cardinal seq = 0;
  FormatALERT_NOTIFICATION(FOut, seq, source_addr_ton, source_addr_npi, source_addr, esme_addr_ton, esme_addr_npi,
                           esme_addr);
  CliSockSend(FOut);
  return seq;
}

}  // namespace velmor
