// submit_sm with a delivery receipt for each, W=1000, through the managed
// session against the simulator (its own thread, receipts 1 ms after the
// response), with each receipt store: the same run without receipts, the
// memory store, SQLite (a file in /tmp) and Redis (a redis-server of the
// bench's own, no persistence). A run ends when every response has come and
// every receipt has been reported; matched counts receipts matched to their
// submit. worst_pause_ms: the longest the client's loop went without running
// a 1 ms probe timer (what a handler or a store call blocking it would show).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>

#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include "bench/Fixtures.h"
#include "bench/Simulator.h"
#include "receipts/Servers.h"
#include "session/Session.h"
#include "session/receipts/Open.h"

namespace velmor::bench {
namespace {

constexpr std::uint64_t kMessages = 200'000;
constexpr std::int64_t kWindow = 1000;

enum class store_kind { none, unmatched, memory, sqlite, redis };

// The same run with receipts delivered and reported but not matched: a store
// that keeps nothing and answers every take at once. What the real stores
// are measured against.
class no_store final : public session::receipt_store {
 public:
  void remember(std::string_view, session::receipt_entry) override {}
  void take(std::string_view, std::string_view, bool, bool, asio::any_io_executor ex, take_handler done,
            std::string_view) override {
    session::receipt_take t;
    t.result = session::receipt_take::kind::matched;
    asio::post(ex, [done = std::move(done), t = std::move(t)]() mutable { done(std::move(t)); });
  }
  session::receipt_store_stats stats() const override { return {}; }
};

void run(benchmark::State& state, store_kind kind) {
  for (auto _ : state) {
    std::optional<receipts_test::redis_server> redis;
    std::filesystem::path dir;
    session::config cfg;
    cfg.system_id = "bench";
    cfg.password = "pw";
    cfg.bind_type = Transceiver;
    cfg.window = kWindow;
    cfg.queue_limit = 2 * kWindow;
    cfg.request_timeout = std::chrono::seconds(60);
    cfg.receipts.max_entries = 1'000'000;
    if (kind == store_kind::unmatched) {
      cfg.receipt_store = std::make_shared<no_store>();
    } else if (kind == store_kind::sqlite) {
      dir = receipts_test::scratch_dir("velmor-bench-sqlite");
      cfg.receipt_store = session::receipts::open_receipt_store("sqlite:" + (dir / "r.db").string());
    } else if (kind == store_kind::redis) {
      redis.emplace(false);
      if (!redis->available() || !redis->start()) {
        state.SkipWithError("redis-server is not installed or did not start");
        return;
      }
      cfg.receipt_store = session::receipts::open_receipt_store(redis->url());
    }
    TEventLoop loop;
    Simulator sim(true, loop);
    cfg.port = sim.port();
    session::session s(cfg, loop);
    std::uint64_t matched = 0, reported = 0, done = 0, ok = 0, sent = 0;
    std::map<std::string, std::uint64_t> outcomes;
    std::int64_t inflight = 0;
    s.set_receipt_handler([&](const session::receipt_event& e) {
      ++reported;
      ++outcomes[std::string(session::receipts::to_string(e.outcome)) + "/" + session::receipts::to_string(e.reason)];
      matched +=
          e.outcome == session::receipts::outcome::matched || e.outcome == session::receipts::outcome::early_matched;
    });
    std::optional<std::error_code> bound;
    s.async_connect([&](std::error_code ec) { bound = ec; });
    loop.RunUntil([&] { return bound.has_value(); }, std::chrono::seconds(10));
    if (!bound || *bound) {
      state.SkipWithError("could not bind");
      return;
    }
    const session::submit_sm_request tmpl{.source_addr_ton = 1,
                                          .source_addr_npi = 1,
                                          .source_addr = "VELMOR",
                                          .dest_addr_ton = 1,
                                          .dest_addr_npi = 1,
                                          .destination_addr = "447700900123",
                                          .short_message = "Benchmark message 0001",
                                          .registered_delivery = static_cast<Byte>(kind == store_kind::none ? 0 : 1)};
    // The application holds back while its store is behind with writes,
    // before the session would refuse submits with receipt_store_behind.
    asio::steady_timer later(loop.Context());
    bool waiting = false;
    std::function<void()> top_up = [&] {
      if (cfg.receipt_store &&
          (cfg.receipt_store->congested() || cfg.receipt_store->backlog() > cfg.receipt_matching.max_unwritten / 2)) {
        if (!waiting) {
          waiting = true;
          later.expires_after(std::chrono::milliseconds(1));
          later.async_wait([&](std::error_code) {
            waiting = false;
            top_up();
          });
        }
        return;
      }
      while (inflight < kWindow && sent < kMessages) {
        ++sent;
        ++inflight;
        s.async_submit_sm(tmpl, [&](std::error_code ec, session::response) {
          ok += !ec;
          ++done;
          --inflight;
          top_up();
        });
      }
    };
    // The probe: a 1 ms timer; how late it runs is how long the loop was held.
    asio::steady_timer probe(loop.Context());
    std::chrono::steady_clock::duration worst{};
    std::function<void()> arm = [&] {
      const auto due = std::chrono::steady_clock::now() + std::chrono::milliseconds(1);
      probe.expires_at(due);
      probe.async_wait([&, due](std::error_code ec) {
        if (ec) return;
        worst = std::max(worst, std::chrono::steady_clock::now() - due);
        arm();
      });
    };
    const std::uint64_t receipts = kind == store_kind::none ? 0 : kMessages;
    const double cpu0 = ThreadCpuMicros();
    const auto t0 = std::chrono::steady_clock::now();
    loop.Post([&] {
      arm();
      top_up();
    });
    loop.RunUntil([&] { return done == kMessages && reported >= receipts; }, std::chrono::minutes(3));
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double cpu = ThreadCpuMicros() - cpu0;
    probe.cancel();
    state.SetIterationTime(secs);
    state.counters["msgs"] = static_cast<double>(kMessages);
    state.counters["msgs_per_s"] = static_cast<double>(done) / secs;
    state.counters["receipts_matched"] = static_cast<double>(matched);
    state.counters["client_cpu_us_per_msg"] = cpu / static_cast<double>(kMessages);
    state.counters["worst_pause_ms"] = std::chrono::duration<double, std::milli>(worst).count();
    state.counters["vs_kannel_1600"] = static_cast<double>(done) / secs / 1600.0;
    if (ok != kMessages || matched != receipts) {
      for (const auto& [k, n] : outcomes)
        std::fprintf(stderr, "  %s: %llu\n", k.c_str(), static_cast<unsigned long long>(n));
      std::fprintf(stderr, "  responses ok %llu of %llu\n", static_cast<unsigned long long>(ok),
                   static_cast<unsigned long long>(done));
      state.SkipWithError("not every submit and receipt was matched");
    }
    if (!dir.empty()) std::filesystem::remove_all(dir);
  }
}

void BM_Receipts_none(benchmark::State& st) { run(st, store_kind::none); }
void BM_Receipts_unmatched(benchmark::State& st) { run(st, store_kind::unmatched); }
void BM_Receipts_memory(benchmark::State& st) { run(st, store_kind::memory); }
void BM_Receipts_sqlite(benchmark::State& st) { run(st, store_kind::sqlite); }
void BM_Receipts_redis(benchmark::State& st) { run(st, store_kind::redis); }

BENCHMARK(BM_Receipts_none)->Apply(OncePerRun);
BENCHMARK(BM_Receipts_unmatched)->Apply(OncePerRun);
BENCHMARK(BM_Receipts_memory)->Apply(OncePerRun);
BENCHMARK(BM_Receipts_sqlite)->Apply(OncePerRun);
BENCHMARK(BM_Receipts_redis)->Apply(OncePerRun);

}  // namespace
}  // namespace velmor::bench

BENCHMARK_MAIN();
