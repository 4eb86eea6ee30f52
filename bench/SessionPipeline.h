// submit_sm pipelined through the managed session (session/Session.h): the
// same work as PipelineComponent, with the window, deadlines and matching
// done by the session instead of the application.
#pragma once

#include <chrono>
#include <functional>
#include <optional>

#include "bench/Pipeline.h"
#include "session/Session.h"

namespace velmor::bench {

inline PipelineResult PipelineSession(TEventLoop& loop, int port, std::int64_t window, std::uint64_t total,
                                      RttLog* rtt = nullptr) {
  PipelineResult r;
  r.total = total;
  session::config cfg;
  cfg.port = port;
  cfg.system_id = "bench";
  cfg.password = "pw";
  cfg.bind_type = Transmitter;
  cfg.window = static_cast<decltype(cfg.window)>(window);
  cfg.queue_limit = 0;
  session::session s(cfg, loop);
  std::optional<std::error_code> bound;
  s.async_connect([&](std::error_code ec) { bound = ec; });
  loop.RunUntil([&] { return bound.has_value(); }, std::chrono::seconds(10));
  r.bound = bound && !*bound;
  if (!r.bound) return r;
  std::uint64_t sent = 0, done = 0;
  std::int64_t inflight = 0;
  // One request reused as a template; each call copies its strings, as an
  // application passing fresh values would.
  const session::submit_sm_request tmpl{.source_addr_ton = 1,
                                        .source_addr_npi = 1,
                                        .source_addr = "VELMOR",
                                        .dest_addr_ton = 1,
                                        .dest_addr_npi = 1,
                                        .destination_addr = "447700900123",
                                        .short_message = "Benchmark message 0001"};
  struct on_done {
    std::uint64_t* ok;
    std::uint64_t* done;
    std::int64_t* inflight;
    std::function<void()>* top_up;
    RttLog* rtt;
    double sent_at;
    void operator()(std::error_code ec, session::response) const {
      if (!ec) ++*ok;
      if (!ec && rtt) rtt->push_back(static_cast<float>(MicrosNow() - sent_at));
      ++*done;
      --*inflight;
      (*top_up)();
    }
  };
  std::function<void()> top_up = [&] {
    while (inflight < window && sent < total) {
      ++sent;
      ++inflight;
      s.async_submit_sm(tmpl, on_done{&r.matched, &done, &inflight, &top_up, rtt, rtt ? MicrosNow() : 0.0});
    }
  };
  if (rtt) rtt->reserve(total);
  const double cpu0 = ThreadCpuMicros();
  const auto t0 = std::chrono::steady_clock::now();
  loop.Post([&] { top_up(); });  // requests made on the loop go straight to the window
  loop.RunUntil([&] { return done == total; }, std::chrono::minutes(5));
  r.secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  r.cpu_us = ThreadCpuMicros() - cpu0;
  r.clean = r.matched == total;
  return r;
}

}  // namespace velmor::bench
