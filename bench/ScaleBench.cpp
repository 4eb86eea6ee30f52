// 1,000 sessions on one loop: each connects, binds, makes one enquire_link
// round trip and unbinds. The simulator runs in a child process, so the
// resident-memory figure is the client's alone. Run this binary once per
// measurement: a second run in the same process would reuse freed memory.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <vector>

#include "bench/Fixtures.h"
#include "bench/Simulator.h"

namespace velmor::bench {
namespace {

pid_t ForkSimulator(int& port) {
  return ForkPeer(port, [](const std::function<void(int)>& report) {
    TEventLoop loop;
    smsc::run_standalone(BenchConfig(), "127.0.0.1", 0, loop, report);
  });
}

void BM_Scale_sessions(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  RaiseFileLimit();
  int port = 0;
  const pid_t child = ForkSimulator(port);
  if (child <= 0 || port == 0) {
    state.SkipWithError("could not start the simulator");
    return;
  }
  for (auto _ : state) {
    TEventLoop loop;
    loop.ProcessMessages();
    int idle = 0, unbound = 0, failed = 0;
    std::vector<std::unique_ptr<TVelmorSMPPDemo>> cs;
    cs.reserve(count);
    const long rss0 = VmRSSKiB();
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i) {
      auto& c = *cs.emplace_back(std::make_unique<TVelmorSMPPDemo>(nullptr, loop));
      c.OnConnect = [&c](TObject*) { c.Bind(Transceiver, "bench", "pw", "", 0, 0, ""); };
      c.OnBind_RESP_OK = [&c](TObject*, TBindType, Cardinal, AnsiString, TOPBind_RESP) { c.Enquire_LINK(); };
      c.OnEnquire_LINK_RESP = [&idle](TObject*, Cardinal, Cardinal) { ++idle; };
      c.OnUnbind_RESP_OK = [&unbound](TObject*, Cardinal) { ++unbound; };
      c.OnSockError = [&failed](TObject*, Integer) { ++failed; };
      c.Connect("127.0.0.1", port);
    }
    loop.RunUntil([&] { return idle + failed >= count; }, std::chrono::seconds(60));
    const auto t_idle = std::chrono::steady_clock::now();
    const long rss1 = VmRSSKiB();
    for (auto& c : cs) c->Unbind();
    loop.RunUntil([&] { return unbound + failed >= count; }, std::chrono::seconds(60));
    const auto t1 = std::chrono::steady_clock::now();
    const double secs = std::chrono::duration<double>(t1 - t0).count();
    state.SetIterationTime(secs);
    state.counters["sessions"] = count;
    state.counters["total_ms"] = secs * 1e3;
    state.counters["to_idle_ms"] = std::chrono::duration<double, std::milli>(t_idle - t0).count();
    state.counters["rss_per_session_KiB"] = static_cast<double>(rss1 - rss0) / count;
    state.counters["failed"] = failed;
    if (failed || idle != count || unbound != count) state.SkipWithError("not every session completed");
    for (auto& c : cs) c->Disconnect();
    loop.ProcessMessages();
    cs.clear();
  }
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
}
BENCHMARK(BM_Scale_sessions)->Arg(1000)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace velmor::bench

BENCHMARK_MAIN();
