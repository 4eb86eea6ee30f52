// submit_sm at W=1000 through the managed session, next to the bare
// component doing the same work by hand, in the same run, against the
// simulator on a thread of its own. The difference in client CPU per message
// is what the session costs: window, deadline list, completion and metrics.
// (The same pair against the fast sink is in AnchorBench.cpp.)
#include <benchmark/benchmark.h>

#include "bench/SessionPipeline.h"
#include "bench/Simulator.h"

namespace velmor::bench {
namespace {

constexpr std::uint64_t kMessages = 1'000'000;
constexpr std::int64_t kWindow = 1000;

void BM_Bare_submit_sm(benchmark::State& state) {
  for (auto _ : state) {
    TEventLoop loop;
    Simulator sim(true, loop);
    TVelmorSMPPDemo c(nullptr, loop);
    PipelineComponent(loop, c, sim.port(), kWindow, kMessages).report(state);
  }
}

void BM_Session_submit_sm(benchmark::State& state) {
  for (auto _ : state) {
    TEventLoop loop;
    Simulator sim(true, loop);
    PipelineSession(loop, sim.port(), kWindow, kMessages).report(state);
  }
}

BENCHMARK(BM_Bare_submit_sm)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Session_submit_sm)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace velmor::bench

BENCHMARK_MAIN();
