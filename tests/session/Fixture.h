// A session and the SMSC simulator on one loop over real loopback sockets,
// with durations short enough for the suite to run in seconds.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>

#include "session/Session.h"
#include "tools/smsc/Server.h"

namespace velmor::session::test {

using namespace std::chrono_literals;

// What a request completed with; done counts the completions (exactly one
// is expected).
struct outcome {
  int done = 0;
  std::error_code ec;
  response r;
};

inline config fast_config(int port) {
  config c;
  c.port = port;
  c.system_id = "esme";
  c.password = "pw";
  c.request_timeout = 2s;
  c.connect_timeout = 1s;
  c.bind_timeout = 1s;
  c.reconnect_min = 10ms;
  c.reconnect_max = 50ms;
  c.throttle_pause = 30ms;
  c.response_deadline = 100ms;
  c.drain_timeout = 1s;
  c.unbind_timeout = 300ms;
  c.random_seed = 7;
  return c;
}

struct SessionFixture : ::testing::Test {
  TEventLoop loop;
  std::unique_ptr<smsc::Server> sim;
  std::unique_ptr<session> s;
  std::vector<state> states;
  int port = 0;

  void start_sim(smsc::Config sc = {}) {
    sc.delivery_delay = 20ms;
    sim = std::make_unique<smsc::Server>(sc, loop);
    ASSERT_TRUE(sim->start("127.0.0.1", port));
    port = sim->port();
  }

  void make_session(config c) {
    s = std::make_unique<session>(std::move(c), loop);
    s->set_state_handler([this](state st, std::error_code) { states.push_back(st); });
  }

  // Starts the simulator (unless running) and a session bound as `type`.
  void bind(TBindType type = Transceiver, std::optional<config> c = {}) {
    if (!sim) start_sim();
    config cfg = c ? *c : fast_config(port);
    cfg.port = port;
    cfg.bind_type = type;
    make_session(cfg);
    std::optional<std::error_code> result;
    s->async_connect([&](std::error_code ec) { result = ec; });
    ASSERT_TRUE(loop.RunUntil([&] { return result.has_value(); }, 5s));
    ASSERT_FALSE(*result) << result->message();
  }

  void submit(outcome& o, submit_sm_request r = {}) {
    if (r.destination_addr.empty()) r.destination_addr = "46700000001";
    if (r.short_message.empty()) r.short_message = "hello";
    s->async_submit_sm(std::move(r), [&o](std::error_code ec, response r) {
      ++o.done;
      o.ec = ec;
      o.r = std::move(r);
    });
  }

  bool run_until(const std::function<bool()>& f, std::chrono::milliseconds t = 5s) { return loop.RunUntil(f, t); }

  static bool all_done(const std::vector<outcome>& v) {
    for (const auto& o : v)
      if (o.done == 0) return false;
    return true;
  }
};

}  // namespace velmor::session::test
