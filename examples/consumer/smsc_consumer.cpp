// The installed simulator library: a Server on an ephemeral loopback port,
// shut down in order.
#include <cstdio>

#include "smsc/Server.h"

int main() {
  velmor::TEventLoop loop;
  velmor::smsc::Config cfg;
  cfg.first_message_id = 1;
  velmor::smsc::Server simulator(cfg, loop);
  if (!simulator.start("127.0.0.1", 0)) return 1;
  const int port = simulator.port();
  bool done = false;
  simulator.shutdown(std::chrono::milliseconds(100), [&] { done = true; });
  loop.RunUntil([&] { return done; }, std::chrono::seconds(5));
  std::printf("simulator listened on %d, shut down: %s\n", port, done ? "yes" : "no");
  return port > 0 && done && !simulator.active() ? 0 : 1;
}
