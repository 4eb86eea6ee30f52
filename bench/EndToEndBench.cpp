// submit_sm pipelined against the SMSC simulator over loopback. The
// application keeps at most W requests outstanding, answers each
// submit_sm_resp with the next submit_sm, and matches every response to its
// request by sequence number.
//
// range(0) = W; range(1) = 1 when the simulator has a thread and loop of its
// own (the client's CPU figure is then the client's alone), 0 when both share
// one loop on one thread (the CPU figure then includes the simulator).
// BM_EndToEnd_submit_sm_tls is the same over TLS (TLS 1.3, P-256
// certificate made at start-up, verified against its CA).
#include <benchmark/benchmark.h>

#include <chrono>
#include <vector>

#include "bench/Fixtures.h"
#include "bench/Simulator.h"
#include "tests/common/TestPki.h"

namespace velmor::bench {
namespace {

std::uint64_t MessagesFor(std::int64_t window) { return window == 1 ? 50'000 : 1'000'000; }

void RunEndToEnd(benchmark::State& state, bool tls) {
  const std::int64_t window = state.range(0);
  const bool own_thread = state.range(1) != 0;
  const std::uint64_t total = MessagesFor(window);
  TTLSOptions server_tls, client_tls;
  if (tls) {
    const test::TestPki& pki = test::test_pki();
    server_tls.enabled = client_tls.enabled = true;
    server_tls.cert_file = pki.cert;
    server_tls.key_file = pki.key;
    client_tls.ca_file = pki.ca;
  }

  for (auto _ : state) {
    TEventLoop loop;
    Simulator sim(own_thread, loop, server_tls);
    TVelmorSMPPDemo c(nullptr, loop);
    c.SetTLS(client_tls);
    const AnsiString none = "", src = "VELMOR", dst = "447700900123", text = "Benchmark message 0001";
    const TOPSubmit_SM op{};

    std::vector<unsigned char> outstanding;
    std::uint64_t sent = 0, matched = 0, unmatched = 0, refused = 0;
    std::int64_t inflight = 0;
    bool connected = false, bound = false, broken = false;

    auto top_up = [&] {
      while (inflight < window && sent < total) {
        const Cardinal seq = c.Submit_SM(none, 1, 1, src, 1, 1, dst, 0, 0, 0, none, none, 0, 0, 0, 0, text, op);
        if (seq == 0 || seq >= outstanding.size()) {
          broken = true;
          return;
        }
        outstanding[seq] = 1;
        ++sent;
        ++inflight;
      }
    };
    c.OnConnect = [&](TObject*) { connected = true; };
    c.OnDisconnect = [&](TObject*) { broken = true; };
    c.OnSockError = [&](TObject*, Integer) { broken = true; };
    c.OnBind_RESP_OK = [&](TObject*, TBindType, Cardinal, AnsiString, TOPBind_RESP) { bound = true; };
    c.OnSubmit_SM_RESP_OK = [&](TObject*, Cardinal seq, AnsiString id) {
      if (seq < outstanding.size() && outstanding[seq] && !id.empty()) {
        outstanding[seq] = 0;
        ++matched;
      } else {
        ++unmatched;
      }
      --inflight;
      top_up();
    };
    c.OnSubmit_SM_RESP_Error = [&](TObject*, Cardinal, Cardinal, AnsiString) {
      ++refused;
      --inflight;
      top_up();
    };

    c.Connect("127.0.0.1", sim.port());
    loop.RunUntil([&] { return connected || broken; }, std::chrono::seconds(10));
    const Cardinal bind_seq = c.Bind(Transmitter, "bench", "pw", "", 0, 0, "");
    loop.RunUntil([&] { return bound || broken; }, std::chrono::seconds(10));
    if (!bound) {
      state.SkipWithError("could not bind");
      break;
    }
    outstanding.assign(bind_seq + total + 1, 0);

    const double cpu0 = ThreadCpuMicros();
    const auto t0 = std::chrono::steady_clock::now();
    top_up();
    loop.RunUntil([&] { return matched + unmatched + refused == total || broken; }, std::chrono::minutes(5));
    const auto t1 = std::chrono::steady_clock::now();
    const double cpu1 = ThreadCpuMicros();

    const double secs = std::chrono::duration<double>(t1 - t0).count();
    state.SetIterationTime(secs);
    state.counters["msgs"] = static_cast<double>(total);
    state.counters["msgs_per_s"] = static_cast<double>(matched) / secs;
    state.counters["client_cpu_us_per_msg"] = (cpu1 - cpu0) / static_cast<double>(total);
    state.counters["matched"] = static_cast<double>(matched);
    if (matched != total || unmatched || refused || broken) {
      state.SkipWithError("not every submit_sm_resp was received and matched");
      break;
    }
    c.Disconnect();
    loop.ProcessMessages();
  }
}
void BM_EndToEnd_submit_sm(benchmark::State& state) { RunEndToEnd(state, false); }
void BM_EndToEnd_submit_sm_tls(benchmark::State& state) { RunEndToEnd(state, true); }

BENCHMARK(BM_EndToEnd_submit_sm)
    ->ArgNames({"W", "own_thread"})
    ->ArgsProduct({{1, 10, 100, 1000}, {1, 0}})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EndToEnd_submit_sm_tls)
    ->ArgNames({"W", "own_thread"})
    ->Args({1000, 1})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace velmor::bench

BENCHMARK_MAIN();
