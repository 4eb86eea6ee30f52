// The SMSC simulator as a library, inside the program that tests against it:
// a Server on an ephemeral loopback port, a component that binds and submits
// a message asking for an intermediate and a final receipt, the simulator's
// trace of every PDU, its counters, and an orderly shutdown that unbinds the
// session before closing it.
//
// Outside this tree, find_package(VelmorSMPPDemo) and link
// VelmorSMPPDemo::smsc; the header is "smsc/Server.h" either way.
#include <cstdio>
#include <string>

#include "package/VelmorSMPPDemo_LIB.h"
#include "smsc/Server.h"

using namespace velmor;

int main() {
  TEventLoop loop;

  smsc::Config cfg;
  cfg.delivery_delay = std::chrono::milliseconds(50);
  cfg.trace = [](std::string_view session, bool received, std::string_view pdu) {
    // command_id is the header's second field.
    Cardinal id = 0;
    for (std::size_t i = 4; i < 8 && i < pdu.size(); ++i) id = id << 8 | static_cast<unsigned char>(pdu[i]);
    std::printf("  smsc %s %s command_id 0x%08X, %zu octets\n", std::string(session).c_str(), received ? "<-" : "->",
                id, pdu.size());
  };
  smsc::Server simulator(cfg, loop);
  if (!simulator.start("127.0.0.1", 0)) {
    std::printf("cannot listen on 127.0.0.1\n");
    return 1;
  }

  TVelmorSMPPDemo smpp(nullptr, loop);
  bool intermediate = false, final_receipt = false, disconnected = false, shut_down = false;

  smpp.OnConnect = [&](TObject*) { smpp.Bind(Transceiver, "inproc", "secret", "", 1, 1, ""); };
  smpp.OnBind_RESP_OK = [&](TObject*, TBindType, Cardinal, AnsiString, TOPBind_RESP) {
    smpp.Submit_SM("", 1, 1, "46700000000", 1, 1, "46700000001", 0, 0, 0, "", "",
                   /*registered_delivery: final receipt and intermediate notification*/ 0x11, 0, 0, 0,
                   "Hello, in process", TOPSubmit_SM{});
  };
  smpp.OnDeliver_SM = [&](TObject*, Cardinal seq, AnsiString, Byte, Byte, AnsiString, Byte, Byte, AnsiString,
                          Byte esm_class, Byte, Byte, AnsiString, AnsiString, Byte, Byte, Byte, Byte, Byte,
                          AnsiString short_message, TOPDeliver_SM) {
    smpp.Deliver_SM_RESP(0, seq, "");
    std::printf("%s: %s\n", esm_class & 0x20 ? "intermediate" : "receipt", short_message.c_str());
    if (esm_class & 0x20) intermediate = true;
    if (esm_class & 0x04) {
      final_receipt = true;
      // The simulator unbinds the session, waits up to 200 ms for its
      // unbind_resp, then closes it and stops listening.
      simulator.shutdown(std::chrono::milliseconds(200), [&] { shut_down = true; });
    }
  };
  smpp.OnEnquire_LINK = [&](TObject*, Cardinal, Cardinal seq) { smpp.Enquire_LINK_RESP(seq); };
  smpp.OnDisconnect = [&](TObject*) { disconnected = true; };
  smpp.OnSockError = [&](TObject*, Integer code) {
    std::printf("socket error %d\n", code);
    disconnected = true;
  };

  smpp.Connect("127.0.0.1", simulator.port());
  loop.RunUntil([&] { return (disconnected && shut_down) || (disconnected && !final_receipt); },
                std::chrono::seconds(10));
  std::printf("%s", simulator.smsc().counters().to_string().c_str());
  const bool ok = intermediate && final_receipt && disconnected && shut_down && !simulator.active();
  std::printf("%s\n", ok ? "ok" : "FAILED");
  return ok ? 0 : 1;
}
