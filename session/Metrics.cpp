#include "session/Metrics.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>

#include "codec/Commands.h"

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
void Metrics::on_received(std::uint32_t command_id) { ++slot(command_id).received; }
void Metrics::on_receipt(receipts::outcome o, receipts::unmatched_reason r) {
  Tables& t = tables();
  ++t.receipts[static_cast<std::size_t>(o) % kReceiptOutcomes];
  if (o == receipts::outcome::unmatched) ++t.unmatched[static_cast<std::size_t>(r) % kUnmatchedReasons];
}
void Metrics::on_reconnect() { ++reconnects_; }

MetricsSnapshot Metrics::snapshot() const {
  MetricsSnapshot out;
  auto add = [&](std::uint32_t id, const Slot& s) {
    if (!s.sent && !s.ok && !s.timed_out && !s.late && !s.throttled && !s.retried && !s.disconnected && !s.received &&
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
    c.received = s.received;
    for (const auto& [status, n] : s.errors) c.error_by_status[status] = n;
  };
  if (tables_)
    for (std::uint32_t i = 0; i < kFixedSlots; ++i) add(i < 0x40 ? i : 0x100 + (i - 0x40), tables_->fixed[i]);
  for (const auto& [id, s] : other_) add(id, s);
  out.in_flight = in_flight_;
  out.queue_depth = queue_depth_;
  out.reconnects = reconnects_;
  if (tables_) {
    out.rtt = tables_->rtt.summary();
    out.receipts = tables_->receipts;
    out.unmatched = tables_->unmatched;
  }
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
  const auto name = codec::command_id_name(id);
  return name.empty() ? hex32(id) : std::string(name);
}

std::string status_label(std::uint32_t status) {
  const auto name = codec::command_status_name(status);
  return name.empty() ? hex32(status) : std::string(name);
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

// key="value" with the value escaped as the text format asks (\\, \", \n).
std::string label(std::string_view key, std::string_view value) {
  std::string out(key);
  out += "=\"";
  for (char c : value) {
    if (c == '\\' || c == '"') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  out += '"';
  return out;
}

std::string seconds(std::chrono::nanoseconds d) {
  char buf[32];
  const auto r = std::to_chars(buf, buf + sizeof buf, std::chrono::duration<double>(d).count());
  return std::string(buf, r.ptr);
}

constexpr state kStates[] = {state::closed,   state::connecting, state::open,      state::binding,
                             state::bound_tx, state::bound_rx,   state::bound_trx, state::unbinding};

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
  // labels: already formatted `key="value",...`; suffix for summary parts.
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

struct CounterFamily {
  const char* name;
  const char* help;
  std::uint64_t CommandCounters::*field;
};
constexpr CounterFamily kByCommand[] = {
    {"requests_sent_total", "Requests written to the SMSC, by command.", &CommandCounters::sent},
    {"timeouts_total", "Requests that got no response in time, by command.", &CommandCounters::timed_out},
    {"late_responses_total", "Responses that arrived after their request timed out, by command.",
     &CommandCounters::late},
    {"throttled_total", "Requests throttled by the window, rate limit or ESME_RTHROTTLED, by command.",
     &CommandCounters::throttled},
    {"retries_total", "Requests sent again, by command.", &CommandCounters::retried},
    {"disconnected_total", "Requests outstanding when the connection was lost, by command.",
     &CommandCounters::disconnected},
    {"messages_received_total", "deliver_sm and data_sm received from the SMSC, receipts included, by command.",
     &CommandCounters::received},
};

std::string render(const std::vector<MetricsSnapshot>& binds, std::string_view prefix, bool indexed) {
  Writer w(prefix);
  std::vector<std::string> base;  // each bind's own labels
  for (std::size_t i = 0; i < binds.size(); ++i) {
    std::string l = label("account", binds[i].account) + ',' + label("bind", binds[i].bind);
    if (indexed) l += ',' + label("index", std::to_string(i));
    base.push_back(std::move(l));
  }
  auto each = [&](auto&& f) {
    for (std::size_t i = 0; i < binds.size(); ++i) f(binds[i], base[i]);
  };
  auto by_command = [&](auto&& f) {
    each([&](const MetricsSnapshot& s, const std::string& l) {
      for (const auto& [id, c] : s.by_command) f(c, l + ',' + label("command", command_label(id)));
    });
  };

  // A command's series are in the families that can count it: the request
  // families for what an ESME sends (and unknown ids), received for the SMSC's messages.
  for (const auto& f : kByCommand) {
    const bool inbound = f.field == &CommandCounters::received;
    w.family(f.name, "counter", f.help);
    each([&](const MetricsSnapshot& s, const std::string& l) {
      for (const auto& [id, c] : s.by_command) {
        const bool fits = inbound ? id == command_id::deliver_sm || id == command_id::data_sm
                                  : !codec::find(id) || codec::may_send(codec::sender::esme, id);
        if (fits) w.sample(l + ',' + label("command", command_label(id)), c.*f.field);
      }
    });
  }
  w.family("responses_total", "counter", "Responses received, by command and command_status.");
  by_command([&](const CommandCounters& c, const std::string& l) {
    if (c.ok) w.sample(l + ',' + label("command_status", status_label(0)), c.ok);
    for (const auto& [status, n] : c.error_by_status)
      w.sample(l + ',' + label("command_status", status_label(status)), n);
  });

  w.family("receipts_total", "counter", "Delivery receipts placed, by outcome.");
  each([&](const MetricsSnapshot& s, const std::string& l) {
    for (std::size_t o = 0; o < kReceiptOutcomes; ++o)
      w.sample(l + ',' + label("outcome", receipts::to_string(static_cast<receipts::outcome>(o))), s.receipts[o]);
  });
  w.family("receipts_unmatched_total", "counter", "Delivery receipts whose message was not found, by reason.");
  each([&](const MetricsSnapshot& s, const std::string& l) {
    for (std::size_t r = 1; r < kUnmatchedReasons; ++r)
      w.sample(l + ',' + label("reason", receipts::to_string(static_cast<receipts::unmatched_reason>(r))),
               s.unmatched[r]);
  });

  w.family("reconnects_total", "counter", "Connections re-established after a loss.");
  each([&](const MetricsSnapshot& s, const std::string& l) { w.sample(l, s.reconnects); });
  w.family("in_flight", "gauge", "Requests sent and awaiting their response.");
  each([&](const MetricsSnapshot& s, const std::string& l) { w.sample(l, s.in_flight); });
  w.family("queue_depth", "gauge", "Requests queued and not yet sent.");
  each([&](const MetricsSnapshot& s, const std::string& l) { w.sample(l, s.queue_depth); });
  w.family("state", "gauge", "1 for the session's current state, 0 for the others.");
  each([&](const MetricsSnapshot& s, const std::string& l) {
    for (state st : kStates) w.sample(l + ',' + label("state", to_string(st)), st == s.session_state ? 1u : 0u);
  });

  w.family("rtt_seconds", "summary", "Round-trip time from request written to response received.");
  each([&](const MetricsSnapshot& s, const std::string& l) {
    for (auto [q, v] : {std::pair{"0.5", s.rtt.p50}, {"0.9", s.rtt.p90}, {"0.99", s.rtt.p99}})
      w.sample(l + ',' + label("quantile", q), seconds(v));
    w.sample(l, seconds(s.rtt.sum), "_sum");
    w.sample(l, s.rtt.count, "_count");
  });
  w.family("rtt_max_seconds", "gauge", "Longest round-trip time recorded.");
  each([&](const MetricsSnapshot& s, const std::string& l) { w.sample(l, seconds(s.rtt.max)); });
  return w.take();
}

}  // namespace

std::string to_prometheus(const MetricsSnapshot& s, std::string_view prefix) { return render({s}, prefix, false); }

std::string to_prometheus(const std::vector<MetricsSnapshot>& binds, std::string_view prefix) {
  return render(binds, prefix, true);
}

}  // namespace velmor::session
