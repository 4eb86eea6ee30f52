// Our figures next to peers doing the same work in the same process, each
// pair back to back, so a ratio is not skewed by the load of the moment.
// bench/run.sh runs this binary three times (rounds) and prints the median
// of each ratio.
//
//   BM_Anchor_build_submit_sm/peer:0|1     ours / libsmpp34's smpp34_pack
//   BM_Anchor_decode_receipt/peer:0|1      ours (decode + dispatch to handlers
//                                          that read every argument) /
//                                          libsmpp34's smpp34_unpack + reads
//   BM_Anchor_e2e/W:w/client:c             submit_sm pipelined against the
//       fast sink (own thread): c = 0 our component, 1 the bare C client,
//       2 the managed session, 3 the npm `smpp` client (node, own process)
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/FastSink.h"
#include "bench/Libsmpp34Peer.h"
#include "bench/SessionPipeline.h"
#include "bench/bare_client.h"

extern char** environ;

namespace velmor::bench {
namespace {

void BM_Anchor_build_submit_sm(benchmark::State& state) {
  TEventLoop loop;
  Probe c(nullptr, loop);
  const SubmitSmArgs args;
  smpp34_peer::SubmitSm peer;
  AnsiString pdu, theirs;
  Cardinal seq = 0;
  // Both build the same octets, or the comparison means nothing.
  args.Format(c, pdu, seq);
  if (!peer.pack(theirs, seq) || theirs != pdu) {
    state.SkipWithError("libsmpp34 packs other octets than ours for the same submit_sm");
    return;
  }
  if (state.range(0) == 0) {
    for (auto _ : state) {
      args.Format(c, pdu, seq);
      benchmark::DoNotOptimize(pdu.data());
      benchmark::ClobberMemory();
    }
  } else {
    for (auto _ : state) {
      peer.pack(theirs, ++seq);
      benchmark::DoNotOptimize(theirs.data());
      benchmark::ClobberMemory();
    }
  }
  state.counters["octets"] = static_cast<double>(pdu.size());
}
BENCHMARK(BM_Anchor_build_submit_sm)->ArgName("peer")->Arg(0)->Arg(1);

void BM_Anchor_decode_receipt(benchmark::State& state) {
  const std::string pdu = DeliverReceipt();
  // Both read the same values: one receipt gives the same sum either way.
  {
    TEventLoop loop;
    Probe c(nullptr, loop);
    Sink sink;
    sink.Assign(c);
    c.ReceiveOctets(pdu);
    if (smpp34_peer::unpack_deliver_sm(pdu) != sink.sum) {
      state.SkipWithError("libsmpp34 reads other values than ours from the same deliver_sm");
      return;
    }
  }
  if (state.range(0) == 0) {
    Dispatch(state, pdu);
    return;
  }
  std::size_t sum = 0;
  for (auto _ : state) sum += smpp34_peer::unpack_deliver_sm(pdu);
  benchmark::DoNotOptimize(sum);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * pdu.size()));
}
BENCHMARK(BM_Anchor_decode_receipt)->ArgName("peer")->Arg(0)->Arg(1);

// ---- end to end against the fast sink ---------------------------------------

enum Client { component = 0, bare_c = 1, managed_session = 2, npm_smpp = 3 };

std::uint64_t MessagesFor(std::int64_t window, std::int64_t client) {
  if (client == npm_smpp) return 100'000;
  return window == 1 ? 50'000 : 1'000'000;
}

// Runs bench/npm/client.js under node against port; its one line of JSON
// gives the figures. Errors are one line naming the cause.
PipelineResult RunNpm(int port, std::int64_t window, std::uint64_t total, std::string& error) {
  PipelineResult r;
  r.total = total;
  const char* node = VELMOR_NODE;
  if (!*node || access(node, X_OK) != 0) {
    error = "node not found (install nodejs: make deps)";
    return r;
  }
  if (access(VELMOR_NPM_MODULES "/smpp/package.json", R_OK) != 0) {
    error = "npm package smpp missing in " VELMOR_NPM_MODULES " (bench/run.sh installs it with npm ci)";
    return r;
  }
  int out[2];
  if (pipe(out) != 0) {
    error = "pipe failed";
    return r;
  }
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, out[1], 1);
  posix_spawn_file_actions_addclose(&fa, out[0]);
  const std::string p = std::to_string(port), w = std::to_string(window), n = std::to_string(total);
  const char* argv[] = {node, VELMOR_NPM_CLIENT, p.c_str(), w.c_str(), n.c_str(), nullptr};
  setenv("NODE_PATH", VELMOR_NPM_MODULES, 1);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, node, &fa, nullptr, const_cast<char**>(argv), environ);
  posix_spawn_file_actions_destroy(&fa);
  close(out[1]);
  std::string line;
  char buf[512];
  for (ssize_t k; (k = read(out[0], buf, sizeof buf)) > 0;) line.append(buf, static_cast<std::size_t>(k));
  close(out[0]);
  int status = 0;
  if (rc == 0) waitpid(pid, &status, 0);
  double secs = 0, cpu = 0;
  unsigned long long msgs = 0, matched = 0;
  if (rc != 0 || std::sscanf(line.c_str(), "{\"msgs\":%llu,\"matched\":%llu,\"secs\":%lf,\"cpu_us\":%lf", &msgs,
                             &matched, &secs, &cpu) != 4) {
    error = "the npm smpp client gave no result (see its stderr above)";
    return r;
  }
  r.bound = true;
  r.secs = secs;
  r.cpu_us = cpu;
  r.matched = matched;
  r.clean = WIFEXITED(status) && WEXITSTATUS(status) == 0 && matched == total;
  return r;
}

void BM_Anchor_e2e(benchmark::State& state) {
  const std::int64_t window = state.range(0), client = state.range(1);
  const std::uint64_t total = MessagesFor(window, client);
  for (auto _ : state) {
    FastSink sink;
    sink.start();
    PipelineResult r;
    std::string error;
    switch (client) {
      case component: {
        TEventLoop loop;
        TVelmorSMPPDemo c(nullptr, loop);
        r = PipelineComponent(loop, c, sink.port(), window, total);
        break;
      }
      case bare_c: {
        bare_result b{};
        r.total = total;
        r.bound = true;
        r.clean = bare_client_run(sink.port(), static_cast<int>(window), total, &b) == 0;
        r.secs = b.secs;
        r.cpu_us = b.cpu_us;
        r.matched = b.matched;
        break;
      }
      case managed_session: {
        TEventLoop loop;
        r = PipelineSession(loop, sink.port(), window, total);
        break;
      }
      default: r = RunNpm(sink.port(), window, total, error); break;
    }
    if (!error.empty()) {
      state.SkipWithError(error.c_str());
      break;
    }
    r.report(state);
    sink.stop();
  }
}
// Pairs back to back: W=1 component, bare C; W=1000 component, bare C,
// session, npm.
BENCHMARK(BM_Anchor_e2e)
    ->ArgNames({"W", "client"})
    ->Args({1, component})
    ->Args({1, bare_c})
    ->Args({1000, component})
    ->Args({1000, bare_c})
    ->Args({1000, managed_session})
    ->Args({1000, npm_smpp})
    ->Apply(OncePerRun);

}  // namespace
}  // namespace velmor::bench

BENCHMARK_MAIN();
