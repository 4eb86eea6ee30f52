// The managed session with C++20 coroutines (asio::use_awaitable): connect,
// query a submitted message, shut down — written as straight-line code.
// Runs against the embedded SMSC simulator, or a real SMSC: session_coroutine HOST PORT
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/use_awaitable.hpp>

#include <cstdio>
#include <cstdlib>

#include "session/Session.h"
#include "sms/Names.h"
#include "tools/smsc/Server.h"

using namespace velmor;
using namespace std::chrono_literals;

asio::awaitable<int> run(session::session& smpp) {
  try {
    co_await smpp.async_connect(asio::use_awaitable);
    // Requests are named locals: g++ 12 mishandles aggregate temporaries
    // inside a co_await expression.
    session::submit_sm_request hello{
        .source_addr = "46700000000", .destination_addr = "46700000001", .short_message = "Hello, coroutine"};
    session::response sent = co_await smpp.async_submit_sm(std::move(hello), asio::use_awaitable);
    std::printf("submitted, message_id %s\n", sent.message_id.c_str());
    session::query_sm_request query{.message_id = sent.message_id, .source_addr = "46700000000"};
    session::response q = co_await smpp.async_query_sm(std::move(query), asio::use_awaitable);
    const auto state = sms::ToMessageState(q.message_state);
    std::printf("query_sm: %s\n", state ? std::string(sms::MessageStateName(*state)).c_str() : "unknown");
    co_await smpp.async_shutdown(asio::use_awaitable);
    co_return 0;
  } catch (const std::system_error& e) {
    std::printf("failed: %s\n", e.code().message().c_str());
    co_return 1;
  }
}

int main(int argc, char** argv) {
  TEventLoop loop;
  smsc::Server simulator(smsc::Config{}, loop);
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
  int exit_code = -1;
  asio::co_spawn(loop.Context(), run(smpp), [&](std::exception_ptr, int rc) { exit_code = rc; });
  loop.RunUntil([&] { return exit_code >= 0; }, 10s);
  return exit_code < 0 ? 1 : exit_code;
}
