#include <cstdio>

#include "package/VelmorSMPPDemo_LIB.h"

int main() {
  velmor::TEventLoop loop;
  velmor::TVelmorSMPPDemo smpp(nullptr, loop);
  velmor::Register();
  // Not connected: the PDU is built, numbered and refused by the socket.
  const velmor::Cardinal seq = smpp.Enquire_LINK();
  std::printf("enquire_link numbered %u, %zu class(es) registered\n", seq, velmor::RegisteredComponents().size());
  return seq == 1 ? 0 : 1;
}
