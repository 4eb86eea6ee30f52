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

#include "bench/Pipeline.h"
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
    PipelineComponent(loop, c, sim.port(), window, total).report(state);
  }
}
void BM_EndToEnd_submit_sm(benchmark::State& state) { RunEndToEnd(state, false); }
void BM_EndToEnd_submit_sm_tls(benchmark::State& state) { RunEndToEnd(state, true); }

BENCHMARK(BM_EndToEnd_submit_sm)
    ->ArgNames({"W", "own_thread"})
    ->ArgsProduct({{1, 10, 100, 1000}, {1, 0}})
    ->Apply(OncePerRun);
BENCHMARK(BM_EndToEnd_submit_sm_tls)->ArgNames({"W", "own_thread"})->Args({1000, 1})->Apply(OncePerRun);

}  // namespace
}  // namespace velmor::bench

BENCHMARK_MAIN();
