// A complete ESME session against the embedded SMSC simulator:
// bind as transceiver, submit a message asking for a delivery receipt,
// acknowledge the receipt when it arrives, unbind and disconnect.
//
// Point it at a real SMSC by passing host and port: send_and_receive HOST PORT
#include <cstdio>
#include <cstdlib>
#include <string>

#include "package/VelmorSMPPDemo_LIB.h"
#include "tools/smsc/Server.h"

using namespace velmor;

int main(int argc, char** argv) {
  TEventLoop loop;

  // Without arguments, an SMSC of our own on an ephemeral loopback port.
  smsc::Config cfg;
  cfg.delivery_delay = std::chrono::milliseconds(100);
  smsc::Server simulator(cfg, loop);
  std::string host = "127.0.0.1";
  int port = 0;
  if (argc == 3) {
    host = argv[1];
    port = std::atoi(argv[2]);
  } else if (simulator.start(host, 0)) {
    port = simulator.port();
  }

  TVelmorSMPPDemo smpp(nullptr, loop);
  int exit_code = 1;
  bool finished = false;

  smpp.OnConnect = [&](TObject*) {
    std::printf("connected to %s:%d\n", host.c_str(), port);
    smpp.Bind(Transceiver, "demo", "secret", "", 1, 1, "");
  };
  smpp.OnBind_RESP_OK = [&](TObject*, TBindType, Cardinal, AnsiString system_id, TOPBind_RESP op) {
    std::printf("bound to %s (interface version %s)\n", system_id.c_str(),
                op.sc_interface_version.Field ? "3.4" : "unknown");
    TOPSubmit_SM opts{};
    opts.user_message_reference = {true, 42};
    smpp.Submit_SM("", 1, 1, "46700000000", 1, 1, "46700000001", 0, 0, 0, "", "",
                   /*registered_delivery*/ 1, 0, /*data_coding*/ 0, 0, "Hello from Velmor", opts);
  };
  smpp.OnBind_RESP_Error = [&](TObject*, TBindType, Cardinal status, Cardinal, AnsiString, TOPBind_RESP) {
    std::printf("bind rejected: 0x%08X\n", status);
    smpp.Disconnect();
  };
  smpp.OnSubmit_SM_RESP_OK = [&](TObject*, Cardinal seq, AnsiString message_id) {
    std::printf("submitted (sequence %u), message_id %s\n", seq, message_id.c_str());
  };
  smpp.OnSubmit_SM_RESP_Error = [&](TObject*, Cardinal status, Cardinal, AnsiString) {
    std::printf("submit rejected: 0x%08X\n", status);
    smpp.Unbind();
  };
  // The SMSC's messages are answered by the application: here, the receipt.
  smpp.OnDeliver_SM = [&](TObject*, Cardinal seq, AnsiString, Byte, Byte, AnsiString, Byte, Byte, AnsiString,
                          Byte esm_class, Byte, Byte, AnsiString, AnsiString, Byte, Byte, Byte, Byte, Byte,
                          AnsiString short_message, TOPDeliver_SM op) {
    smpp.Deliver_SM_RESP(0, seq, "");
    if (esm_class & 0x04) {
      std::printf("receipt for %s, message_state %u: %s\n",
                  op.receipted_message_id.Field ? op.receipted_message_id.Value.c_str() : "?", op.message_state.Value,
                  short_message.c_str());
      exit_code = 0;
      smpp.Unbind();
    }
  };
  smpp.OnEnquire_LINK = [&](TObject*, Cardinal, Cardinal seq) { smpp.Enquire_LINK_RESP(seq); };
  smpp.OnUnbind_RESP_OK = [&](TObject*, Cardinal) {
    std::printf("unbound\n");
    smpp.Disconnect();
  };
  smpp.OnDisconnect = [&](TObject*) {
    std::printf("disconnected\n");
    finished = true;
  };
  smpp.OnSockError = [&](TObject*, Integer code) {
    std::printf("socket error %d\n", code);
    finished = true;
  };

  smpp.Connect(host, port);
  loop.RunUntil([&] { return finished; }, std::chrono::seconds(10));
  return exit_code;
}
