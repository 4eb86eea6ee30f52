// A minimal session: a local peer answers enquire_link; the component
// connects, tests the link, and disconnects. Everything runs on one loop.
#include <cstdio>
#include <string>

#include "codec/Pdu.h"
#include "package/VelmorSMPPDemo_LIB.h"

using namespace velmor;

int main() {
  TEventLoop loop;

  // The peer: answers every enquire_link with enquire_link_resp.
  TServerSocket peer(nullptr, loop);
  peer.OnClientRead = [](TObject*, TCustomWinSocket* s) {
    char buf[4096];
    const int n = s->ReceiveBuf(buf, sizeof buf);
    for (int at = 0; at + 16 <= n; at += 16) {
      codec::Cursor c(std::string_view(buf + at, 16));
      const codec::Header h = codec::read_header(c);
      if (h.command_id == command_id::enquire_link)
        s->SendText(codec::build_pdu(command_id::enquire_link_resp, 0, h.sequence_number, {}, {}));
    }
  };
  if (!peer.Open()) return 1;

  TVelmorSMPPDemo smpp(nullptr, loop);
  bool done = false;
  smpp.OnConnect = [&](TObject*) {
    std::printf("connected to 127.0.0.1:%d\n", peer.LocalPort());
    std::printf("enquire_link sent, sequence_number %u\n", smpp.Enquire_LINK());
  };
  smpp.OnEnquire_LINK_RESP = [&](TObject*, Cardinal status, Cardinal seq) {
    std::printf("enquire_link_resp received, command_status %u, sequence_number %u\n", status, seq);
    smpp.Disconnect();
  };
  smpp.OnDisconnect = [&](TObject*) {
    std::printf("disconnected\n");
    done = true;
  };
  smpp.OnSockError = [&](TObject*, Integer code) {
    std::printf("socket error %d\n", code);
    done = true;
  };
  smpp.Connect("127.0.0.1", peer.LocalPort());
  return loop.RunUntil([&] { return done; }, std::chrono::seconds(5)) ? 0 : 1;
}
