// submit_sm through the session pool against the fast sink: one bind on one
// loop, next to eight binds spread over two loop threads. The driver keeps
// every bind's window full: each completion makes the next request, from
// whichever loop thread it runs on, and the pool chooses the bind.
// client_cpu_us_per_msg is the CPU of the loop threads together.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "bench/FastSink.h"
#include "bench/Fixtures.h"
#include "session/Pool.h"

namespace velmor::bench {
namespace {

constexpr std::uint64_t kMessages = 1'000'000;
constexpr std::size_t kWindow = 1000;  // per bind

struct driver {
  session::pool* p = nullptr;
  std::uint64_t total = 0;
  std::atomic<std::uint64_t> sent{0}, done{0}, ok{0};
  const session::submit_sm_request tmpl{.source_addr_ton = 1,
                                        .source_addr_npi = 1,
                                        .source_addr = "VELMOR",
                                        .dest_addr_ton = 1,
                                        .dest_addr_npi = 1,
                                        .destination_addr = "447700900123",
                                        .short_message = "Benchmark message 0001"};
  void one() {
    if (sent.fetch_add(1, std::memory_order_relaxed) >= total) return;
    p->async_submit_sm(tmpl, [this](std::error_code ec, session::response) {
      if (!ec) ok.fetch_add(1, std::memory_order_relaxed);
      done.fetch_add(1, std::memory_order_relaxed);
      one();
    });
  }
};

void BM_Pool_submit_sm(benchmark::State& state) {
  const auto binds = static_cast<std::size_t>(state.range(0));
  const auto threads = static_cast<std::size_t>(state.range(1));
  for (auto _ : state) {
    FastSink sink;
    sink.start();
    std::vector<std::unique_ptr<TEventLoop>> loops;
    std::vector<TEventLoop*> raw;
    for (std::size_t t = 0; t < threads; ++t) raw.push_back(loops.emplace_back(std::make_unique<TEventLoop>()).get());
    session::pool_config pc;
    for (std::size_t i = 0; i < binds; ++i) {
      session::config c;
      c.port = sink.port();
      c.system_id = "bench";
      c.password = "pw";
      c.bind_type = Transmitter;
      c.window = kWindow;
      c.queue_limit = kWindow;
      pc.binds.push_back(c);
    }
    auto p = std::make_unique<session::pool>(pc, raw);
    std::vector<double> cpu0(threads), cpu1(threads);
    std::vector<std::thread> workers;
    for (std::size_t t = 0; t < threads; ++t)
      workers.emplace_back([&, t] {
        cpu0[t] = ThreadCpuMicros();
        raw[t]->Run();
        cpu1[t] = ThreadCpuMicros();
      });
    std::atomic<int> bound{-1};
    p->async_connect([&](std::error_code ec) { bound = ec ? 0 : 1; });
    while (bound.load() < 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    driver d;
    d.p = p.get();
    d.total = kMessages;
    const auto t0 = std::chrono::steady_clock::now();
    if (bound.load() == 1)
      for (std::size_t i = 0; i < binds * kWindow; ++i) d.one();
    const auto until = t0 + std::chrono::minutes(2);
    while (bound.load() == 1 && d.done.load() < kMessages && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    for (auto* l : raw) l->Stop();
    for (auto& w : workers) w.join();
    p.reset();
    sink.stop();
    if (bound.load() != 1) {
      state.SkipWithError("could not bind");
      break;
    }
    double cpu = 0;
    for (std::size_t t = 0; t < threads; ++t) cpu += cpu1[t] - cpu0[t];
    state.SetIterationTime(secs);
    state.counters["msgs"] = static_cast<double>(kMessages);
    state.counters["msgs_per_s"] = static_cast<double>(d.ok.load()) / secs;
    // Includes the binds' connect and the idle wait, both small next to the run.
    state.counters["client_cpu_us_per_msg"] = cpu / static_cast<double>(kMessages);
    if (d.ok.load() != kMessages) state.SkipWithError("not every submit_sm succeeded");
  }
}

BENCHMARK(BM_Pool_submit_sm)
    ->ArgNames({"binds", "threads"})
    ->Args({1, 1})
    ->Args({8, 2})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace velmor::bench

BENCHMARK_MAIN();
