// alert_notification: sent only; the protocol defines no response to it.
#include "component/Internal.h"

namespace velmor {

void TVelmorSMPPDemo::FormatALERT_NOTIFICATION(AnsiString& pdu, Cardinal& sequence_number, Byte source_addr_ton,
                                               Byte source_addr_npi, const AnsiString& source_addr,
                                               Byte esme_addr_ton, Byte esme_addr_npi, const AnsiString& esme_addr) {
  BeginRequest(pdu, command_id::alert_notification, 0, sequence_number, source_addr.size() + esme_addr.size() + 6);
  codec::put_u8(pdu, source_addr_ton);
  codec::put_u8(pdu, source_addr_npi);
  codec::put_cstring(pdu, source_addr);
  codec::put_u8(pdu, esme_addr_ton);
  codec::put_u8(pdu, esme_addr_npi);
  codec::put_cstring(pdu, esme_addr);
  codec::end_pdu(pdu);
}

Cardinal TVelmorSMPPDemo::Alert_NOTIFICATION(Byte source_addr_ton, Byte source_addr_npi,
                                             const AnsiString& source_addr, Byte esme_addr_ton, Byte esme_addr_npi,
                                             const AnsiString& esme_addr) {
  Cardinal seq = 0;
  FormatALERT_NOTIFICATION(FOut, seq, source_addr_ton, source_addr_npi, source_addr, esme_addr_ton, esme_addr_npi,
                           esme_addr);
  CliSockSend(FOut);
  return seq;
}

}  // namespace velmor
