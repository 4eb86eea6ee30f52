// Stand-in until the metrics of the session layer land: counters per
// command_id and a round-trip histogram, with the interface the session calls.
// Single-threaded: every call from the loop's thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace velmor::session {

struct CommandCounters {
  std::uint64_t sent = 0, ok = 0, error = 0, timeout = 0, late = 0, throttled = 0, retried = 0,
                disconnected = 0;
  std::map<std::uint32_t, std::uint64_t> by_status;  // error responses by command_status
};

struct MetricsSnapshot {
  std::map<std::uint32_t, CommandCounters> commands;  // by request command_id
  std::size_t in_flight = 0;
  std::size_t queue_depth = 0;
  std::uint64_t reconnects = 0;
  std::chrono::nanoseconds rtt_p50{0}, rtt_p90{0}, rtt_p99{0}, rtt_max{0};
};

class Metrics {
 public:
  void on_sent(std::uint32_t command_id);
  void on_response(std::uint32_t command_id, std::uint32_t command_status, std::chrono::nanoseconds rtt);
  void on_timeout(std::uint32_t command_id);
  void on_late(std::uint32_t command_id);
  void on_throttled(std::uint32_t command_id);
  void on_retried(std::uint32_t command_id);
  void on_disconnected(std::uint32_t command_id);
  void on_reconnect();
  void set_in_flight(std::size_t n) { in_flight_ = n; }
  void set_queue_depth(std::size_t n) { queue_depth_ = n; }
  MetricsSnapshot snapshot() const;

 private:
  CommandCounters& of(std::uint32_t command_id);
  std::map<std::uint32_t, CommandCounters> commands_;
  // Round trips in buckets of powers of two nanoseconds: 64 buckets cover
  // everything a 64-bit count can hold, in constant memory.
  std::uint64_t buckets_[64] = {};
  std::uint64_t samples_ = 0;
  std::chrono::nanoseconds max_{0};
  std::size_t in_flight_ = 0, queue_depth_ = 0;
  std::uint64_t reconnects_ = 0;
};

std::string to_prometheus(const MetricsSnapshot& s, std::string_view prefix = "velmor_smpp");

}  // namespace velmor::session
