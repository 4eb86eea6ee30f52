// 10,000 idle bound sessions on one loop, against the fast sink in a forked
// child (so the resident memory measured is the client's alone). layer:0
// bare components (connect, bind_transceiver, one enquire_link round trip);
// layer:1 the managed session on top (async_connect until bound). The
// descriptor limit is raised here (setrlimit). Once all are idle: resident
// memory (VmRSS) and heap in use (mallinfo2, this thread's arena) per
// session, over what the process held before the first was created. Run one
// layer per process: a second run would reuse memory the first freed.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>
#include <vector>

#include "bench/FastSink.h"
#include "bench/Fixtures.h"
#include "session/Session.h"

namespace velmor::bench {
namespace {

std::size_t HeapInUse() {
  const struct mallinfo2 m = mallinfo2();
  return m.uordblks + m.hblkhd;
}

void BM_Scale10k_idle(benchmark::State& state) {
  // VELMOR_SCALE_SESSIONS overrides the count (for a profile under valgrind).
  const char* env = std::getenv("VELMOR_SCALE_SESSIONS");
  const int count = env ? std::atoi(env) : static_cast<int>(state.range(0));
  const bool layer = state.range(1) != 0;
  if (RaiseFileLimit(static_cast<rlim_t>(count) + 256) < static_cast<rlim_t>(count) + 64) {
    state.SkipWithError("the descriptor limit cannot be raised above the session count (ulimit -Hn)");
    return;
  }
  int port = 0;
  const pid_t child = ForkPeer(port, [](const std::function<void(int)>& report) {
    FastSink sink;
    sink.start();
    report(sink.port());
    pause();
  });
  if (child <= 0 || port == 0) {
    state.SkipWithError("could not start the fast sink");
    return;
  }
  for (auto _ : state) {
    TEventLoop loop;
    loop.ProcessMessages();
    int idle = 0, failed = 0;
    std::vector<std::unique_ptr<TVelmorSMPPDemo>> cs;
    std::vector<std::unique_ptr<session::session>> ss;
    (layer ? ss.reserve(count) : cs.reserve(count));
    const long rss0 = VmRSSKiB();
    const std::size_t heap0 = HeapInUse();
    const auto t0 = std::chrono::steady_clock::now();
    session::config cfg;
    cfg.port = port;
    cfg.system_id = "bench";
    cfg.password = "pw";
    cfg.reconnect = false;
    for (int i = 0; i < count; ++i) {
      if (layer) {
        auto& s = *ss.emplace_back(std::make_unique<session::session>(cfg, loop));
        s.async_connect([&](std::error_code ec) { ++(ec ? failed : idle); });
      } else {
        auto& c = *cs.emplace_back(std::make_unique<TVelmorSMPPDemo>(nullptr, loop));
        c.OnConnect = [&c](TObject*) { c.Bind(Transceiver, "bench", "pw", "", 0, 0, ""); };
        c.OnBind_RESP_OK = [&c](TObject*, TBindType, Cardinal, AnsiString, TOPBind_RESP) { c.Enquire_LINK(); };
        c.OnEnquire_LINK_RESP = [&idle](TObject*, Cardinal, Cardinal) { ++idle; };
        c.OnSockError = [&failed](TObject*, Integer) { ++failed; };
      }
      if (!layer) cs.back()->Connect("127.0.0.1", port);
      // Let the loop take connections as they come, so the sink's backlog
      // never overflows into SYN retries.
      if (i % 512 == 511) loop.ProcessMessages();
    }
    loop.RunUntil([&] { return idle + failed >= count; }, std::chrono::seconds(120));
    loop.ProcessMessages();
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const long rss1 = VmRSSKiB();
    const std::size_t heap1 = HeapInUse();
    state.SetIterationTime(secs);
    state.counters["sessions"] = count;
    state.counters["to_idle_ms"] = secs * 1e3;
    state.counters["rss_per_session_KiB"] = static_cast<double>(rss1 - rss0) / count;
    state.counters["heap_per_session_B"] = (static_cast<double>(heap1) - static_cast<double>(heap0)) / count;
    state.counters["failed"] = failed;
    if (failed || idle != count) state.SkipWithError("not every session reached idle and bound");
    ss.clear();
    for (auto& c : cs) c->Disconnect();
    cs.clear();
    loop.ProcessMessages();
  }
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
}
BENCHMARK(BM_Scale10k_idle)->ArgNames({"sessions", "layer"})->Args({10000, 0})->Args({10000, 1})->Apply(OncePerRun);

}  // namespace
}  // namespace velmor::bench

BENCHMARK_MAIN();
