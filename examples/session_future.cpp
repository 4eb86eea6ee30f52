// The managed session with std::future: the loop runs on a thread of its
// own, and the main thread makes requests and waits for their results.
// Runs against the embedded SMSC simulator, or a real SMSC: session_future HOST PORT
#include <asio/use_future.hpp>

#include <cstdio>
#include <cstdlib>
#include <thread>

#include "session/Session.h"
#include "tools/smsc/Server.h"

using namespace velmor;
using namespace std::chrono_literals;

int main(int argc, char** argv) {
  TEventLoop loop;
  smsc::Server simulator(smsc::Config{}, loop);
  session::config cfg;
  cfg.system_id = "demo";
  cfg.password = "secret";
  cfg.bind_type = Transmitter;
  if (argc == 3) {
    cfg.host = argv[1];
    cfg.port = std::atoi(argv[2]);
  } else if (simulator.start("127.0.0.1", 0)) {
    cfg.port = simulator.port();
  }
  int exit_code = 1;
  {
    session::session smpp(cfg, loop);
    std::thread io([&] { loop.Run(); });
    try {
      // Requests may come from any thread; each future is fulfilled on the loop.
      smpp.async_connect(asio::use_future).get();
      for (int i = 1; i <= 3; ++i) {
        session::response r = smpp.async_submit_sm({.source_addr = "46700000000",
                                                    .destination_addr = "46700000001",
                                                    .short_message = "Hello #" + std::to_string(i)},
                                                   asio::use_future)
                                  .get();
        std::printf(
            "submit %d: message_id %s, sequence %u, round trip %lld us\n", i, r.message_id.c_str(), r.sequence_number,
            static_cast<long long>(std::chrono::duration_cast<std::chrono::microseconds>(r.round_trip).count()));
      }
      smpp.async_shutdown(asio::use_future).get();
      exit_code = 0;
    } catch (const std::system_error& e) {
      std::printf("failed: %s\n", e.code().message().c_str());  // one line naming the cause
    }
    loop.Stop();
    io.join();
  }  // the session goes with the loop stopped
  return exit_code;
}
