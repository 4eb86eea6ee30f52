#include "session/Metrics.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>

#include "sms/Names.h"

namespace velmor::session {

// ---- RttHistogram ----

std::size_t RttHistogram::bucket_of(std::uint64_t ns) noexcept {
  if (ns < kSub) return static_cast<std::size_t>(ns);
  if (ns >> kMaxBits) return kBuckets - 1;
  const unsigned shift = static_cast<unsigned>(std::bit_width(ns)) - 1 - kSubBits;
  return static_cast<std::size_t>(shift * kSub + (ns >> shift));
}

std::uint64_t RttHistogram::bucket_lower(std::size_t index) noexcept {
  if (index < 2 * kSub) return index;
  const std::uint64_t shift = index / kSub - 1;
  return (kSub + index % kSub) << shift;
}

std::uint64_t RttHistogram::bucket_width(std::size_t index) noexcept {
  return index < 2 * kSub ? 1 : std::uint64_t{1} << (index / kSub - 1);
}

void RttHistogram::record(std::chrono::nanoseconds d) noexcept {
  const std::uint64_t ns = d.count() > 0 ? static_cast<std::uint64_t>(d.count()) : 0;
  ++buckets_[bucket_of(ns)];
  ++count_;
  sum_ += ns;
  max_ = std::max(max_, ns);
}

std::chrono::nanoseconds RttHistogram::quantile(double q) const noexcept {
  if (count_ == 0) return {};
  q = std::clamp(q, 0.0, 1.0);
  const auto rank = std::max<std::uint64_t>(1, static_cast<std::uint64_t>(std::ceil(q * static_cast<double>(count_))));
  std::uint64_t seen = 0;
  for (std::size_t i = 0; i < kBuckets; ++i) {
    seen += buckets_[i];
    if (seen >= rank) {
      // The top rank is the exact max; the last bucket is open-ended, so its midpoint means nothing.
      if (rank == count_ || i == kBuckets - 1) break;
      const std::uint64_t mid = bucket_lower(i) + bucket_width(i) / 2;
      return std::chrono::nanoseconds(static_cast<std::int64_t>(std::min(mid, max_)));
    }
  }
  return std::chrono::nanoseconds(static_cast<std::int64_t>(max_));
}

LatencySummary RttHistogram::summary() const noexcept {
  LatencySummary s;
  s.p50 = quantile(0.50);
  s.p90 = quantile(0.90);
  s.p99 = quantile(0.99);
  s.max = std::chrono::nanoseconds(static_cast<std::int64_t>(max_));
  s.count = count_;
  s.sum = std::chrono::nanoseconds(static_cast<std::int64_t>(sum_));
  return s;
}

// ---- Metrics ----

Metrics::Tables& Metrics::tables() {
  if (!tables_) tables_ = std::make_unique<Tables>();
  return *tables_;
}

Metrics::Slot& Metrics::slot(std::uint32_t command_id) {
  if (command_id < 0x40) return tables().fixed[command_id];
  if (command_id - 0x100u < 0x10u) return tables().fixed[0x40 + (command_id - 0x100u)];
  for (auto& [id, s] : other_)
    if (id == command_id) return s;
  return other_.emplace_back(command_id, Slot{}).second;
}

void Metrics::on_sent(std::uint32_t command_id) { ++slot(command_id).sent; }

void Metrics::on_response(std::uint32_t command_id, std::uint32_t command_status, std::chrono::nanoseconds rtt) {
  Slot& s = slot(command_id);
  if (command_status == 0) {
    ++s.ok;
  } else {
    auto it = std::find_if(s.errors.begin(), s.errors.end(), [&](const auto& e) { return e.first == command_status; });
    if (it == s.errors.end())
      s.errors.emplace_back(command_status, 1);
    else
      ++it->second;
  }
  tables().rtt.record(rtt);
}

void Metrics::on_timeout(std::uint32_t command_id) { ++slot(command_id).timed_out; }
void Metrics::on_late(std::uint32_t command_id) { ++slot(command_id).late; }
void Metrics::on_throttled(std::uint32_t command_id) { ++slot(command_id).throttled; }
void Metrics::on_retried(std::uint32_t command_id) { ++slot(command_id).retried; }
void Metrics::on_disconnected(std::uint32_t command_id) { ++slot(command_id).disconnected; }
void Metrics::on_reconnect() { ++reconnects_; }

MetricsSnapshot Metrics::snapshot() const {
  MetricsSnapshot out;
  auto add = [&](std::uint32_t id, const Slot& s) {
    if (!s.sent && !s.ok && !s.timed_out && !s.late && !s.throttled && !s.retried && !s.disconnected &&
        s.errors.empty())
      return;
    CommandCounters& c = out.by_command[id];
    c.sent = s.sent;
    c.ok = s.ok;
    c.timed_out = s.timed_out;
    c.late = s.late;
    c.throttled = s.throttled;
    c.retried = s.retried;
    c.disconnected = s.disconnected;
    for (const auto& [status, n] : s.errors) c.error_by_status[status] = n;
  };
  if (tables_)
    for (std::uint32_t i = 0; i < kFixedSlots; ++i) add(i < 0x40 ? i : 0x100 + (i - 0x40), tables_->fixed[i]);
  for (const auto& [id, s] : other_) add(id, s);
  out.in_flight = in_flight_;
  out.queue_depth = queue_depth_;
  out.reconnects = reconnects_;
  if (tables_) out.rtt = tables_->rtt.summary();
  return out;
}

// ---- Prometheus text exposition ----

namespace {

std::string hex32(std::uint32_t v) {
  char buf[11];
  std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(v));
  return buf;
}

std::string command_label(std::uint32_t id) {
  const auto name = sms::CommandIdName(id);
  return name ? std::string(*name) : hex32(id);
}

std::string status_label(std::uint32_t status) {
  const auto name = sms::CommandStatusName(status);
  return name ? std::string(*name) : hex32(status);
}

std::string metric_prefix(std::string_view prefix) {
  std::string out;
  for (char c : prefix) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == ':';
    out += ok ? c : '_';
  }
  if (out.empty() || (out[0] >= '0' && out[0] <= '9')) out.insert(out.begin(), '_');
  return out;
}

std::string seconds(std::chrono::nanoseconds d) {
  char buf[32];
  const auto r = std::to_chars(buf, buf + sizeof buf, std::chrono::duration<double>(d).count());
  return std::string(buf, r.ptr);
}

class Writer {
 public:
  explicit Writer(std::string_view prefix) : prefix_(metric_prefix(prefix)) {}

  void family(std::string_view name, std::string_view type, std::string_view help) {
    name_ = prefix_;
    name_ += '_';
    name_ += name;
    out_ += "# HELP " + name_ + ' ' + std::string(help) + '\n';
    out_ += "# TYPE " + name_ + ' ' + std::string(type) + '\n';
  }
  // labels: already formatted `key="value",...` or empty; suffix for summary parts.
  void sample(const std::string& labels, std::string_view value, std::string_view suffix = {}) {
    out_ += name_;
    out_ += suffix;
    if (!labels.empty()) out_ += '{' + labels + '}';
    out_ += ' ';
    out_ += value;
    out_ += '\n';
  }
  void sample(const std::string& labels, std::uint64_t value, std::string_view suffix = {}) {
    sample(labels, std::to_string(value), suffix);
  }
  std::string take() { return std::move(out_); }

 private:
  std::string prefix_, name_, out_;
};

}  // namespace

std::string to_prometheus(const MetricsSnapshot& s, std::string_view prefix) {
  Writer w(prefix);
  struct CounterFamily {
    const char* name;
    const char* help;
    std::uint64_t CommandCounters::*field;
  };
  static constexpr CounterFamily kCounters[] = {
      {"requests_sent_total", "Requests written to the SMSC, by command.", &CommandCounters::sent},
      {"responses_ok_total", "Responses with command_status 0, by command.", &CommandCounters::ok},
      {"timeouts_total", "Requests that got no response in time, by command.", &CommandCounters::timed_out},
      {"late_responses_total", "Responses that arrived after their request timed out, by command.",
       &CommandCounters::late},
      {"throttled_total", "Requests throttled by the window, rate limit or ESME_RTHROTTLED, by command.",
       &CommandCounters::throttled},
      {"retries_total", "Requests sent again, by command.", &CommandCounters::retried},
      {"disconnected_total", "Requests outstanding when the connection was lost, by command.",
       &CommandCounters::disconnected},
  };
  std::vector<std::pair<std::uint32_t, std::string>> commands;
  for (const auto& [id, c] : s.by_command) commands.emplace_back(id, "command=\"" + command_label(id) + '"');

  for (const auto& f : kCounters) {
    w.family(f.name, "counter", f.help);
    for (const auto& [id, labels] : commands) w.sample(labels, s.by_command.at(id).*f.field);
  }
  w.family("responses_error_total", "counter", "Responses with a non-zero command_status, by command and status.");
  for (const auto& [id, labels] : commands)
    for (const auto& [status, n] : s.by_command.at(id).error_by_status)
      w.sample(labels + ",status=\"" + status_label(status) + '"', n);

  w.family("reconnects_total", "counter", "Connections re-established after a loss.");
  w.sample({}, s.reconnects);
  w.family("in_flight", "gauge", "Requests sent and awaiting their response.");
  w.sample({}, s.in_flight);
  w.family("queue_depth", "gauge", "Requests queued and not yet sent.");
  w.sample({}, s.queue_depth);

  w.family("rtt_seconds", "summary", "Round-trip time from request written to response received.");
  w.sample("quantile=\"0.5\"", seconds(s.rtt.p50));
  w.sample("quantile=\"0.9\"", seconds(s.rtt.p90));
  w.sample("quantile=\"0.99\"", seconds(s.rtt.p99));
  w.sample({}, seconds(s.rtt.sum), "_sum");
  w.sample({}, s.rtt.count, "_count");
  w.family("rtt_max_seconds", "gauge", "Longest round-trip time recorded.");
  w.sample({}, seconds(s.rtt.max));
  return w.take();
}

}  // namespace velmor::session
