// The managed session with plain callbacks: connect and bind, send a long
// text with delivery receipts, print each part's receipt, shut down.
// Runs against the embedded SMSC simulator, or a real SMSC: session_callback HOST PORT
#include <cstdio>
#include <cstdlib>

#include "session/Session.h"
#include "tools/smsc/Server.h"

using namespace velmor;
using namespace std::chrono_literals;

int main(int argc, char** argv) {
  TEventLoop loop;
  smsc::Config sim_cfg;
  sim_cfg.delivery_delay = 100ms;
  smsc::Server simulator(sim_cfg, loop);

  session::config cfg;
  cfg.system_id = "demo";
  cfg.password = "secret";
  if (argc == 3) {
    cfg.host = argv[1];
    cfg.port = std::atoi(argv[2]);
  } else if (simulator.start("127.0.0.1", 0)) {
    cfg.port = simulator.port();
  }
  session::session smpp(cfg, loop);

  int exit_code = 1;
  bool finished = false;
  std::size_t parts = 0, receipts = 0;
  auto shutdown = [&] { smpp.async_shutdown([&](std::error_code) { finished = true; }); };
  // Handlers run on the loop: keep them short, never block.
  smpp.set_receipt_handler([&](const session::receipt_event& e) {
    std::printf("receipt for part %u/%u of message %llu to %s: %s\n", e.part_index + 1, e.part_count,
                static_cast<unsigned long long>(e.tag), e.destination_addr.c_str(),
                e.receipt.stat.value_or("?").c_str());
    if (++receipts == parts) {
      exit_code = 0;
      shutdown();
    }
  });
  smpp.async_connect([&](std::error_code ec) {
    if (ec) {
      std::printf("connect failed: %s\n", ec.message().c_str());
      finished = true;
      return;
    }
    std::printf("bound to %s:%d\n", cfg.host.c_str(), cfg.port);
    std::string text;
    for (int i = 0; i < 4; ++i) text += "A long message is split into parts, each with its own receipt. ";
    smpp.async_send_text({.source_addr = "46700000000",
                          .destination_addr = "46700000001",
                          .text = text,
                          .registered_delivery = 1,
                          .tag = 42},
                         [&](std::error_code ec, session::text_result r) {
                           if (ec) {
                             std::printf("send failed: %s\n", ec.message().c_str());
                             shutdown();
                             return;
                           }
                           parts = r.parts;
                           for (const auto& id : r.message_ids)
                             std::printf("part submitted, message_id %s\n", id.c_str());
                         });
  });
  loop.RunUntil([&] { return finished; }, 10s);
  return exit_code;
}
