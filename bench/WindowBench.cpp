// Throughput and round-trip time against the window, for the pictures in
// bench/README.md: submit_sm pipelined against the fast sink (own thread) at
// W = 1, 10, 100 and 1000 by the component, the managed session and the bare
// C client, each keeping W outstanding and timing every request from the
// call that made it to the handler of its response (the bare client: from
// the send that carried it to the read that brought the response).
//
//   BM_Window/W:w/client:c   c = 0 component, 1 managed session, 2 bare C
//   counters: msgs_per_s, rtt_p50_us, rtt_p99_us, client_cpu_us_per_msg
#include <benchmark/benchmark.h>

#include <algorithm>

#include "bench/FastSink.h"
#include "bench/SessionPipeline.h"
#include "bench/bare_client.h"

namespace velmor::bench {
namespace {

std::uint64_t MessagesFor(std::int64_t window) {
  switch (window) {
    case 1: return 20'000;
    case 10: return 100'000;
    case 100: return 300'000;
    default: return 1'000'000;
  }
}

double Percentile(RttLog& v, double p) {
  if (v.empty()) return 0;
  const auto k = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1));
  std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(k), v.end());
  return v[k];
}

void BM_Window(benchmark::State& state) {
  const std::int64_t window = state.range(0), client = state.range(1);
  const std::uint64_t total = MessagesFor(window);
  for (auto _ : state) {
    FastSink sink;
    sink.start();
    PipelineResult r;
    RttLog rtt;
    if (client == 0) {
      TEventLoop loop;
      TVelmorSMPPDemo c(nullptr, loop);
      r = PipelineComponent(loop, c, sink.port(), window, total, &rtt);
    } else if (client == 1) {
      TEventLoop loop;
      r = PipelineSession(loop, sink.port(), window, total, &rtt);
    } else {
      rtt.resize(total);
      bare_result b{};
      b.rtt_us = rtt.data();
      r.total = total;
      r.bound = true;
      r.clean = bare_client_run(sink.port(), static_cast<int>(window), total, &b) == 0;
      r.secs = b.secs;
      r.cpu_us = b.cpu_us;
      r.matched = b.matched;
      rtt.resize(b.rtt_count);
    }
    r.report(state);
    state.counters["rtt_p50_us"] = Percentile(rtt, 0.50);
    state.counters["rtt_p99_us"] = Percentile(rtt, 0.99);
    sink.stop();
  }
}
BENCHMARK(BM_Window)->ArgNames({"W", "client"})->ArgsProduct({{1, 10, 100, 1000}, {0, 1, 2}})->Apply(OncePerRun);

}  // namespace
}  // namespace velmor::bench

BENCHMARK_MAIN();
