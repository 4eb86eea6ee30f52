// submit_sm at W=1000 through the managed session, next to the bare
// component doing the same work by hand, in the same run, against the
// simulator on a thread of its own. The difference in client CPU per message
// is what the session costs: window, deadline list, completion and metrics.
#include <benchmark/benchmark.h>

#include <chrono>
#include <vector>

#include "bench/Fixtures.h"
#include "bench/Simulator.h"
#include "session/Session.h"

namespace velmor::bench {
namespace {

constexpr std::uint64_t kMessages = 1'000'000;
constexpr std::int64_t kWindow = 1000;

void report(benchmark::State& state, double secs, double cpu_us, std::uint64_t ok, std::uint64_t total) {
  state.SetIterationTime(secs);
  state.counters["msgs"] = static_cast<double>(total);
  state.counters["msgs_per_s"] = static_cast<double>(ok) / secs;
  state.counters["client_cpu_us_per_msg"] = cpu_us / static_cast<double>(total);
}

void BM_Bare_submit_sm(benchmark::State& state) {
  for (auto _ : state) {
    TEventLoop loop;
    Simulator sim(true, loop);
    TVelmorSMPPDemo c(nullptr, loop);
    const AnsiString none = "", src = "VELMOR", dst = "447700900123", text = "Benchmark message 0001";
    const TOPSubmit_SM op{};
    std::vector<unsigned char> outstanding;
    std::uint64_t sent = 0, ok = 0, done = 0;
    std::int64_t inflight = 0;
    bool bound = false;
    auto top_up = [&] {
      while (inflight < kWindow && sent < kMessages) {
        const Cardinal seq = c.Submit_SM(none, 1, 1, src, 1, 1, dst, 0, 0, 0, none, none, 0, 0, 0, 0, text, op);
        if (seq < outstanding.size()) outstanding[seq] = 1;
        ++sent;
        ++inflight;
      }
    };
    c.OnConnect = [&](TObject*) { c.Bind(Transmitter, "bench", "pw", "", 0, 0, ""); };
    c.OnBind_RESP_OK = [&](TObject*, TBindType, Cardinal, AnsiString, TOPBind_RESP) { bound = true; };
    c.OnSubmit_SM_RESP_OK = [&](TObject*, Cardinal seq, AnsiString) {
      if (seq < outstanding.size() && outstanding[seq]) {
        outstanding[seq] = 0;
        ++ok;
      }
      ++done;
      --inflight;
      top_up();
    };
    c.OnSubmit_SM_RESP_Error = [&](TObject*, Cardinal, Cardinal, AnsiString) {
      ++done;
      --inflight;
      top_up();
    };
    c.Connect("127.0.0.1", sim.port());
    loop.RunUntil([&] { return bound; }, std::chrono::seconds(10));
    if (!bound) {
      state.SkipWithError("could not bind");
      break;
    }
    outstanding.assign(kMessages + 16, 0);
    const double cpu0 = ThreadCpuMicros();
    const auto t0 = std::chrono::steady_clock::now();
    top_up();
    loop.RunUntil([&] { return done == kMessages; }, std::chrono::minutes(5));
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    report(state, secs, ThreadCpuMicros() - cpu0, ok, kMessages);
    if (ok != kMessages) state.SkipWithError("not every submit_sm succeeded");
    c.Disconnect();
    loop.ProcessMessages();
  }
}

void BM_Session_submit_sm(benchmark::State& state) {
  for (auto _ : state) {
    TEventLoop loop;
    Simulator sim(true, loop);
    session::config cfg;
    cfg.port = sim.port();
    cfg.system_id = "bench";
    cfg.password = "pw";
    cfg.bind_type = Transmitter;
    cfg.window = kWindow;
    cfg.queue_limit = 0;
    session::session s(cfg, loop);
    std::optional<std::error_code> bound;
    s.async_connect([&](std::error_code ec) { bound = ec; });
    loop.RunUntil([&] { return bound.has_value(); }, std::chrono::seconds(10));
    if (!bound || *bound) {
      state.SkipWithError("could not bind");
      break;
    }
    std::uint64_t sent = 0, ok = 0, done = 0;
    std::int64_t inflight = 0;
    // One request reused as a template; each call copies its strings, as an
    // application passing fresh values would.
    const session::submit_sm_request tmpl{.source_addr_ton = 1, .source_addr_npi = 1, .source_addr = "VELMOR",
                                          .dest_addr_ton = 1, .dest_addr_npi = 1, .destination_addr = "447700900123",
                                          .short_message = "Benchmark message 0001"};
    struct on_done {
      std::uint64_t* ok;
      std::uint64_t* done;
      std::int64_t* inflight;
      std::function<void()>* top_up;
      void operator()(std::error_code ec, session::response) const {
        if (!ec) ++*ok;
        ++*done;
        --*inflight;
        (*top_up)();
      }
    };
    std::function<void()> top_up = [&] {
      while (inflight < kWindow && sent < kMessages) {
        ++sent;
        ++inflight;
        s.async_submit_sm(tmpl, on_done{&ok, &done, &inflight, &top_up});
      }
    };
    const double cpu0 = ThreadCpuMicros();
    const auto t0 = std::chrono::steady_clock::now();
    loop.Post([&] { top_up(); });  // requests made on the loop go straight to the window
    loop.RunUntil([&] { return done == kMessages; }, std::chrono::minutes(5));
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    report(state, secs, ThreadCpuMicros() - cpu0, ok, kMessages);
    if (ok != kMessages) state.SkipWithError("not every submit_sm succeeded");
  }
}

BENCHMARK(BM_Bare_submit_sm)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Session_submit_sm)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace velmor::bench

BENCHMARK_MAIN();
