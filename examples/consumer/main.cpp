#include <cstdio>

#include "package/VelmorSMPPDemo_LIB.h"
#include "sms/Names.h"

int main() {
  velmor::TEventLoop loop;
  velmor::TVelmorSMPPDemo smpp(nullptr, loop);
  velmor::Register();
  // Not connected: the PDU is built, numbered and refused by the socket.
  const velmor::Cardinal seq = smpp.Enquire_LINK();
  const std::string status = velmor::sms::FormatCommandStatus(0x58);
  std::printf("enquire_link numbered %u, %zu class(es) registered, %s\n", seq, velmor::RegisteredComponents().size(),
              status.c_str());
  return seq == 1 && status == "0x00000058 ESME_RTHROTTLED" ? 0 : 1;
}
