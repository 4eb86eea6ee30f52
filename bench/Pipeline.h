// submit_sm pipelined by the component, and by the managed session, against
// any SMSC on 127.0.0.1: the application keeps at most `window` requests
// outstanding, answers each submit_sm_resp with the next submit_sm and
// matches every response to its request by sequence number. Shared by every
// end-to-end benchmark, whatever peer it runs against.
#pragma once

#include <benchmark/benchmark.h>

#include <chrono>
#include <functional>
#include <optional>
#include <vector>

#include "bench/Fixtures.h"
#include "component/Velmorsmppdemo.h"

namespace velmor::bench {

struct PipelineResult {
  bool bound = false;
  double secs = 0;            // first submit_sm to last response
  double cpu_us = 0;          // CPU of the calling thread over the same span
  std::uint64_t total = 0;    // requests made
  std::uint64_t matched = 0;  // successful responses matched to their request
  bool clean = false;         // every request matched, nothing else arrived

  double msgs_per_s() const { return secs > 0 ? static_cast<double>(matched) / secs : 0; }

  // The common counters; an error unless the run was clean.
  void report(benchmark::State& state) const {
    if (!bound) {
      state.SkipWithError("could not bind");
      return;
    }
    state.SetIterationTime(secs);
    state.counters["msgs"] = static_cast<double>(total);
    state.counters["msgs_per_s"] = msgs_per_s();
    state.counters["client_cpu_us_per_msg"] = cpu_us / static_cast<double>(total);
    state.counters["matched"] = static_cast<double>(matched);
    if (!clean) state.SkipWithError("not every submit_sm_resp was received and matched");
  }
};

// Round trips in microseconds, request made to response handled, one per
// matched response; filled only when a pipeline is given one.
using RttLog = std::vector<float>;

inline double MicrosNow() {
  return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// The component `c` (connection options such as TLS already set) connects to
// port, binds as a transmitter and pipelines `total` submit_sm.
inline PipelineResult PipelineComponent(TEventLoop& loop, TVelmorSMPPDemo& c, int port, std::int64_t window,
                                        std::uint64_t total, RttLog* rtt = nullptr) {
  PipelineResult r;
  r.total = total;
  const AnsiString none = "", src = "VELMOR", dst = "447700900123", text = "Benchmark message 0001";
  const TOPSubmit_SM op{};
  std::vector<unsigned char> outstanding;
  std::vector<double> sent_at;  // by sequence number, when rtt is asked for
  std::uint64_t sent = 0, unmatched = 0, refused = 0;
  std::int64_t inflight = 0;
  bool connected = false, broken = false;

  auto top_up = [&] {
    while (inflight < window && sent < total) {
      const Cardinal seq = c.Submit_SM(none, 1, 1, src, 1, 1, dst, 0, 0, 0, none, none, 0, 0, 0, 0, text, op);
      if (seq == 0 || seq >= outstanding.size()) {
        broken = true;
        return;
      }
      outstanding[seq] = 1;
      if (rtt) sent_at[seq] = MicrosNow();
      ++sent;
      ++inflight;
    }
  };
  c.OnConnect = [&](TObject*) { connected = true; };
  c.OnDisconnect = [&](TObject*) { broken = true; };
  c.OnSockError = [&](TObject*, Integer) { broken = true; };
  c.OnBind_RESP_OK = [&](TObject*, TBindType, Cardinal, AnsiString, TOPBind_RESP) { r.bound = true; };
  c.OnSubmit_SM_RESP_OK = [&](TObject*, Cardinal seq, AnsiString id) {
    if (seq < outstanding.size() && outstanding[seq] && !id.empty()) {
      outstanding[seq] = 0;
      ++r.matched;
      if (rtt) rtt->push_back(static_cast<float>(MicrosNow() - sent_at[seq]));
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

  c.Connect("127.0.0.1", port);
  loop.RunUntil([&] { return connected || broken; }, std::chrono::seconds(10));
  const Cardinal bind_seq = c.Bind(Transmitter, "bench", "pw", "", 0, 0, "");
  loop.RunUntil([&] { return r.bound || broken; }, std::chrono::seconds(10));
  if (!r.bound) return r;
  outstanding.assign(bind_seq + total + 1, 0);
  if (rtt) {
    sent_at.assign(outstanding.size(), 0);
    rtt->reserve(total);
  }

  const double cpu0 = ThreadCpuMicros();
  const auto t0 = std::chrono::steady_clock::now();
  top_up();
  loop.RunUntil([&] { return r.matched + unmatched + refused == total || broken; }, std::chrono::minutes(5));
  r.secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  r.cpu_us = ThreadCpuMicros() - cpu0;
  r.clean = r.matched == total && !unmatched && !refused && !broken;
  c.OnDisconnect = nullptr;
  c.Disconnect();
  loop.ProcessMessages();
  return r;
}

}  // namespace velmor::bench
