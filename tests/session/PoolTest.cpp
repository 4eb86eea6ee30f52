// The pool against SMSC simulators over loopback sockets: which bind each
// request goes to, the shared budget, a bind lost in the middle of a run,
// and binds spread over two threads.
#include <asio/use_future.hpp>

#include <atomic>
#include <map>
#include <regex>
#include <thread>

#include "Fixture.h"
#include "session/Pool.h"
#include "session/RateLimiter.h"

namespace velmor::session::test {
namespace {

// The simulator's view: submits per bind (by system_id) and per request (by
// the text, "r<n>").
struct submit_log {
  std::map<std::string, int> per_bind;
  std::vector<int> per_request;
  explicit submit_log(std::size_t n) : per_request(n, 0) {}
  void watch(smsc::Server& sim) {
    sim.smsc().on_submit = [this](const smsc::Session& s, const smsc::MessageView& m) {
      ++per_bind[s.system_id()];
      const std::string text(m.short_message);
      if (text.size() > 1 && text[0] == 'r') {
        const auto id = std::stoul(text.substr(1));
        if (id < per_request.size()) ++per_request[id];
      }
    };
  }
};

config bind_config(int port, int index, std::size_t window) {
  config c = fast_config(port);
  c.system_id = "b" + std::to_string(index);
  c.bind_type = Transmitter;
  c.window = window;
  c.request_timeout = 5s;
  return c;
}

std::unique_ptr<smsc::Server> start_sim(TEventLoop& loop, std::chrono::milliseconds response_delay) {
  smsc::Config sc;
  sc.response_delay = response_delay;
  sc.delivery_delay = 20ms;
  auto sim = std::make_unique<smsc::Server>(sc, loop);
  EXPECT_TRUE(sim->start("127.0.0.1", 0));
  return sim;
}

bool connect(pool& p, TEventLoop& loop) {
  std::optional<std::error_code> r;
  p.async_connect([&](std::error_code ec) { r = ec; });
  return loop.RunUntil([&] { return r.has_value(); }, 5s) && !*r;
}

submit_sm_request numbered(std::size_t i) {
  return {.destination_addr = "46700000001", .short_message = "r" + std::to_string(i)};
}

// Submits out.size() numbered requests through the pool, each recorded in its outcome.
void submit_all(pool& p, std::vector<outcome>& out) {
  for (std::size_t i = 0; i < out.size(); ++i)
    p.async_submit_sm(numbered(i), [&o = out[i]](std::error_code ec, response r) {
      ++o.done;
      o.ec = ec;
      o.r = std::move(r);
    });
}

// ---- which bind ---------------------------------------------------------------------------

struct BalanceCase {
  const char* name;
  std::vector<std::size_t> windows;
  std::size_t requests;
  std::vector<int> expected;  // submits per bind
};

class PoolBalance : public ::testing::TestWithParam<BalanceCase> {};

// All requests are made before the loop runs again, so each choice sees the
// ones before it: the free windows fill evenly, ties in turn.
TEST_P(PoolBalance, GoesToTheBindWithTheMostFreeWindow) {
  const BalanceCase& c = GetParam();
  TEventLoop loop;
  auto sim = start_sim(loop, 50ms);
  submit_log log(c.requests);
  log.watch(*sim);
  pool_config pc;
  for (std::size_t i = 0; i < c.windows.size(); ++i) pc.binds.push_back(bind_config(sim->port(), int(i), c.windows[i]));
  pool p(pc, loop);
  ASSERT_TRUE(connect(p, loop));

  std::vector<outcome> out(c.requests);
  submit_all(p, out);
  ASSERT_TRUE(loop.RunUntil([&] { return SessionFixture::all_done(out); }, 5s));
  for (const auto& o : out) {
    EXPECT_EQ(o.done, 1);
    EXPECT_FALSE(o.ec) << o.ec.message();
  }
  for (std::size_t i = 0; i < c.windows.size(); ++i) {
    EXPECT_EQ(log.per_bind["b" + std::to_string(i)], c.expected[i]) << "bind " << i;
    EXPECT_EQ(p.load(i), 0) << "bind " << i;  // every request taken off again
  }
}

INSTANTIATE_TEST_SUITE_P(Pool, PoolBalance,
                         ::testing::Values(BalanceCase{"unequal_windows_fill_evenly", {2, 4, 6}, 12, {2, 4, 6}},
                                           BalanceCase{"equal_windows", {3, 3, 3}, 9, {3, 3, 3}},
                                           BalanceCase{"ties_in_turn", {5, 5, 5}, 3, {1, 1, 1}},
                                           BalanceCase{"queues_fill_evenly_too", {1, 1}, 6, {3, 3}}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- budget ----------------------------------------------------------------------------------

// A limiter that only answers later, as a shared (Redis) one does.
class async_limiter final : public rate_limiter {
 public:
  async_limiter(double rate, double burst) : bucket_(rate, burst) {}
  void take(asio::any_io_executor ex, take_handler done) override { bucket_.take(std::move(ex), std::move(done)); }

 private:
  local_rate_limiter bucket_;
};

// The same budget of 100/s for all binds together: the pool's own bucket, a
// rate_limiter that answers at once, and one that answers only later.
class PoolBudget : public ::testing::TestWithParam<const char*> {};

TEST_P(PoolBudget, SharesOneSubmitBudgetAcrossBinds) {
  TEventLoop loop;
  auto sim = start_sim(loop, 0ms);
  constexpr std::size_t n = 31;
  submit_log log(n);
  log.watch(*sim);
  pool_config pc;
  for (int i = 0; i < 3; ++i) pc.binds.push_back(bind_config(sim->port(), i, 100));
  const std::string kind = GetParam();
  if (kind == "pool_bucket") pc.submit_rate = 100;  // per second, all binds together
  if (kind == "local_limiter") pc.rate_limiter = std::make_shared<local_rate_limiter>(100, 1);
  if (kind == "async_limiter") pc.rate_limiter = std::make_shared<async_limiter>(100, 1);
  pool p(pc, loop);
  ASSERT_TRUE(connect(p, loop));

  std::vector<outcome> out(n);
  const auto t0 = clock::now();
  submit_all(p, out);
  ASSERT_TRUE(loop.RunUntil([&] { return SessionFixture::all_done(out); }, 5s));
  const auto took = clock::now() - t0;
  for (const auto& o : out) EXPECT_FALSE(o.ec) << o.ec.message();
  // One token at once, then one per 10 ms for all three binds: 300 ms, not 100.
  EXPECT_GE(took, 280ms);
  EXPECT_LT(took, 2s);
  for (int i = 0; i < 3; ++i) EXPECT_GE(log.per_bind["b" + std::to_string(i)], 8) << "bind " << i;
}
INSTANTIATE_TEST_SUITE_P(Budgets, PoolBudget, ::testing::Values("pool_bucket", "local_limiter", "async_limiter"),
                         [](const auto& info) { return std::string(info.param); });

// ---- a bind lost -----------------------------------------------------------------------------

// Two binds to two SMSCs; the second SMSC goes away in the middle of the run.
// Its requests in flight complete with disconnected, its queue moves to the
// first bind, every request completes exactly once, and none reaches an SMSC
// twice.
TEST(Pool, BindLostMidRunQueuedRequestsMoveNoneLostNoneResent) {
  TEventLoop loop;
  auto sim_a = start_sim(loop, 10ms);
  auto sim_b = start_sim(loop, 10ms);
  constexpr std::size_t n = 300;
  constexpr std::size_t window = 4;
  submit_log log(n);
  log.watch(*sim_a);
  log.watch(*sim_b);
  pool_config pc;
  pc.binds = {bind_config(sim_a->port(), 0, window), bind_config(sim_b->port(), 1, window)};
  pool p(pc, loop);
  std::vector<std::pair<std::size_t, state>> states;
  p.set_state_handler([&](std::size_t i, state st, std::error_code) { states.emplace_back(i, st); });
  ASSERT_TRUE(connect(p, loop));

  std::vector<outcome> out(n);
  submit_all(p, out);
  ASSERT_TRUE(loop.RunUntil([&] { return log.per_bind["b1"] >= 20; }, 5s));
  const int a_before = log.per_bind["b0"];
  sim_b->stop();  // drops the connection; reconnects are refused from now on
  ASSERT_TRUE(loop.RunUntil([&] { return SessionFixture::all_done(out); }, 10s));

  std::size_t ok = 0, disconnected = 0, twice = 0, sent_twice = 0;
  for (std::size_t i = 0; i < n; ++i) {
    twice += out[i].done != 1;
    sent_twice += log.per_request[i] > 1;
    if (!out[i].ec) {
      ++ok;
      EXPECT_EQ(log.per_request[i], 1) << "request " << i;
    } else if (out[i].ec == errc::disconnected) {
      ++disconnected;
    } else {
      ADD_FAILURE() << "request " << i << ": " << out[i].ec.message();
    }
  }
  EXPECT_EQ(twice, 0u);
  EXPECT_EQ(sent_twice, 0u);
  EXPECT_EQ(ok + disconnected, n);
  EXPECT_LE(disconnected, window);                // only what was in flight on the lost bind
  EXPECT_GT(log.per_bind["b0"], a_before + 100);  // the other bind carried the rest
  loop.ProcessMessages();
  EXPECT_GT(p.bind(1).counters().handed_off, 100u);
  EXPECT_FALSE(p.bound(1));
  EXPECT_TRUE(p.bound(0));
  EXPECT_NE(std::find(states.begin(), states.end(), std::pair<std::size_t, state>{1, state::closed}), states.end());
}

// Every bind down when the requests come: they wait, and go through the
// first bind that comes back.
TEST(Pool, RequestsQueuedWhileAllBindsAreDownGoThroughTheFirstBack) {
  TEventLoop loop;
  auto sim_a = start_sim(loop, 0ms);
  const int port_b = [&] {
    auto probe = start_sim(loop, 0ms);
    return probe->port();
  }();  // nothing listens there any more
  pool_config pc;
  pc.binds = {bind_config(sim_a->port(), 0, 2), bind_config(port_b, 1, 2)};
  for (auto& c : pc.binds) c.reconnect_min = c.reconnect_max = 100ms;
  pool p(pc, loop);
  std::optional<std::error_code> r;
  p.async_connect([&](std::error_code ec) { r = ec; });
  sim_a->stop();  // the first attempt of bind 0 fails too
  ASSERT_TRUE(loop.RunUntil([&] { return r.has_value(); }, 5s));
  EXPECT_TRUE(*r);

  std::vector<outcome> out(6);
  submit_all(p, out);
  loop.RunFor(20ms);
  ASSERT_TRUE(sim_a->start("127.0.0.1", pc.binds[0].port));
  ASSERT_TRUE(loop.RunUntil([&] { return SessionFixture::all_done(out); }, 5s));
  for (const auto& o : out) {
    EXPECT_EQ(o.done, 1);
    EXPECT_FALSE(o.ec) << o.ec.message();
  }
}

// ---- destruction ---------------------------------------------------------------------------

// The pool destroyed from a completion, on its loop: the requests still held
// complete with shutting_down, and a request their handlers make through the
// pool while it goes completes with shutting_down too, each exactly once.
TEST(Pool, DestroyedInsideACompletionCompletesEverythingOnce) {
  TEventLoop loop;
  auto sim = start_sim(loop, 20ms);
  pool_config pc;
  pc.binds = {bind_config(sim->port(), 0, 1), bind_config(sim->port(), 1, 1)};
  auto p = std::make_unique<pool>(pc, loop);
  pool* raw = p.get();
  ASSERT_TRUE(connect(*p, loop));
  std::vector<outcome> out(6);
  outcome late;
  bool made_late = false;
  for (std::size_t i = 0; i < out.size(); ++i)
    p->async_submit_sm(numbered(i), [&, i](std::error_code ec, response) {
      ++out[i].done;
      out[i].ec = ec;
      if (!ec && p) p.reset();
      if (ec == errc::shutting_down && !made_late) {
        made_late = true;
        raw->async_submit_sm(numbered(99), [&](std::error_code e, response) {
          ++late.done;
          late.ec = e;
        });
      }
    });
  ASSERT_TRUE(loop.RunUntil([&] { return SessionFixture::all_done(out) && late.done > 0; }, 5s));
  loop.RunFor(50ms);
  std::size_t ok = 0;
  for (const auto& o : out) {
    EXPECT_EQ(o.done, 1);
    ok += !o.ec;
    if (o.ec) {
      EXPECT_EQ(o.ec, make_error_code(errc::shutting_down)) << o.ec.message();
    }
  }
  EXPECT_GE(ok, 1u);
  EXPECT_EQ(late.done, 1);
  EXPECT_EQ(late.ec, make_error_code(errc::shutting_down));
}

// ---- two threads -----------------------------------------------------------------------------

TEST(Pool, BindsOverTwoThreadsRequestsFromAThirdOne) {
  TEventLoop sim_loop;
  auto sim = start_sim(sim_loop, 0ms);
  constexpr std::size_t n = 4000;
  submit_log log(n);
  log.watch(*sim);
  const int port = sim->port();
  std::thread sim_thread([&] { sim_loop.Run(); });

  TEventLoop l1, l2;
  pool_config pc;
  for (int i = 0; i < 4; ++i) pc.binds.push_back(bind_config(port, i, 50));
  auto p = std::make_unique<pool>(pc, std::vector<TEventLoop*>{&l1, &l2});
  std::thread t1([&] { l1.Run(); });
  std::thread t2([&] { l2.Run(); });
  ASSERT_NO_THROW(p->async_connect(asio::use_future).get());  // a future throws the error

  std::vector<std::atomic<int>> done(n);
  std::atomic<std::size_t> completed{0}, failed{0};
  for (std::size_t i = 0; i < n; ++i)
    p->async_submit_sm(numbered(i), [&, i](std::error_code ec, response) {
      done[i].fetch_add(1);
      if (ec) failed.fetch_add(1);
      completed.fetch_add(1);
    });
  const auto until = clock::now() + 20s;
  while (completed.load() < n && clock::now() < until) std::this_thread::sleep_for(5ms);
  // Read from a thread that runs neither loop: every bind's series, read on its own loop.
  const std::string text = p->metrics_prometheus();
  const std::regex sent_re(
      R"re(velmor_smpp_requests_sent_total\{account="b(\d)",bind="transmitter",index="(\d)",command="submit_sm"\} (\d+))re");
  std::uint64_t sent = 0, binds_seen = 0;
  for (std::sregex_iterator it(text.begin(), text.end(), sent_re), end; it != end; ++it, ++binds_seen) {
    EXPECT_EQ((*it)[1], (*it)[2]);
    sent += std::stoull((*it)[3]);
  }
  EXPECT_EQ(binds_seen, 4u);
  EXPECT_EQ(sent, n);
  for (int i = 0; i < 4; ++i)
    EXPECT_NE(text.find("velmor_smpp_state{account=\"b" + std::to_string(i) + "\",bind=\"transmitter\",index=\"" +
                        std::to_string(i) + "\",state=\"bound_tx\"} 1"),
              std::string::npos)
        << text;
  EXPECT_NO_THROW(p->async_shutdown(asio::use_future).get());

  l1.Stop();
  l2.Stop();
  t1.join();
  t2.join();
  sim_loop.Stop();
  sim_thread.join();
  ASSERT_EQ(completed.load(), n);
  EXPECT_EQ(failed.load(), 0u);
  std::size_t twice = 0, sent_twice = 0;
  for (std::size_t i = 0; i < n; ++i) {
    twice += done[i].load() != 1;
    sent_twice += log.per_request[i] != 1;
  }
  EXPECT_EQ(twice, 0u);
  EXPECT_EQ(sent_twice, 0u);
  for (int i = 0; i < 4; ++i) EXPECT_GT(log.per_bind["b" + std::to_string(i)], 400) << "bind " << i;
  p.reset();  // no loop runs: destroyed from here
}

}  // namespace
}  // namespace velmor::session::test
