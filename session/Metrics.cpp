#include "session/Metrics.h"

#include <bit>

#include "sms/Names.h"

namespace velmor::session {

CommandCounters& Metrics::of(std::uint32_t command_id) { return commands_[command_id]; }

void Metrics::on_sent(std::uint32_t id) { ++of(id).sent; }

void Metrics::on_response(std::uint32_t id, std::uint32_t status, std::chrono::nanoseconds rtt) {
  CommandCounters& c = of(id);
  if (status == 0) {
    ++c.ok;
  } else {
    ++c.error;
    ++c.by_status[status];
  }
  const auto ns = static_cast<std::uint64_t>(rtt.count() > 0 ? rtt.count() : 0);
  ++buckets_[ns == 0 ? 0 : 63 - std::countl_zero(ns)];
  ++samples_;
  if (rtt > max_) max_ = rtt;
}

void Metrics::on_timeout(std::uint32_t id) { ++of(id).timeout; }
void Metrics::on_late(std::uint32_t id) { ++of(id).late; }
void Metrics::on_throttled(std::uint32_t id) { ++of(id).throttled; }
void Metrics::on_retried(std::uint32_t id) { ++of(id).retried; }
void Metrics::on_disconnected(std::uint32_t id) { ++of(id).disconnected; }
void Metrics::on_reconnect() { ++reconnects_; }

MetricsSnapshot Metrics::snapshot() const {
  MetricsSnapshot s;
  s.commands = commands_;
  s.in_flight = in_flight_;
  s.queue_depth = queue_depth_;
  s.reconnects = reconnects_;
  s.rtt_max = max_;
  // Each quantile is reported as the upper edge of its bucket.
  auto quantile = [&](double q) {
    if (samples_ == 0) return std::chrono::nanoseconds(0);
    const auto want = static_cast<std::uint64_t>(q * static_cast<double>(samples_));
    std::uint64_t seen = 0;
    for (int i = 0; i < 64; ++i) {
      seen += buckets_[i];
      if (seen > want) return std::min(max_, std::chrono::nanoseconds(std::int64_t(2) << std::min(i, 61)));
    }
    return max_;
  };
  s.rtt_p50 = quantile(0.50);
  s.rtt_p90 = quantile(0.90);
  s.rtt_p99 = quantile(0.99);
  return s;
}

std::string to_prometheus(const MetricsSnapshot& s, std::string_view prefix) {
  std::string out;
  const std::string p(prefix);
  auto line = [&](std::string_view name, std::string_view labels, double v) {
    out += p;
    out += '_';
    out += name;
    if (!labels.empty()) {
      out += '{';
      out += labels;
      out += '}';
    }
    out += ' ';
    out += std::to_string(v);
    out += '\n';
  };
  for (const auto& [id, c] : s.commands) {
    const std::string cmd = "command=\"" + std::string(sms::CommandIdName(id).value_or("unknown")) + "\"";
    line("requests_sent_total", cmd, double(c.sent));
    line("responses_ok_total", cmd, double(c.ok));
    line("responses_error_total", cmd, double(c.error));
    line("timeouts_total", cmd, double(c.timeout));
    line("late_responses_total", cmd, double(c.late));
    line("throttled_total", cmd, double(c.throttled));
    line("retried_total", cmd, double(c.retried));
    line("disconnected_total", cmd, double(c.disconnected));
  }
  line("in_flight", "", double(s.in_flight));
  line("queue_depth", "", double(s.queue_depth));
  line("reconnects_total", "", double(s.reconnects));
  line("rtt_seconds", "quantile=\"0.5\"", double(s.rtt_p50.count()) / 1e9);
  line("rtt_seconds", "quantile=\"0.9\"", double(s.rtt_p90.count()) / 1e9);
  line("rtt_seconds", "quantile=\"0.99\"", double(s.rtt_p99.count()) / 1e9);
  line("rtt_max_seconds", "", double(s.rtt_max.count()) / 1e9);
  return out;
}

}  // namespace velmor::session
