#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <sstream>

#include "codec/Commands.h"
#include "session/Metrics.h"

using namespace velmor::session;
using namespace std::chrono;

namespace {

constexpr std::uint32_t kSubmitSm = velmor::command_id::submit_sm, kEnquireLink = velmor::command_id::enquire_link,
                        kDataSm = velmor::command_id::data_sm, kVendor = 0x00010000;
constexpr std::uint32_t kThrottled = velmor::command_status::ESME_RTHROTTLED,
                        kSubmitFail = velmor::command_status::ESME_RSUBMITFAIL, kVendorStatus = 0x400;

// Nearest-rank quantile of sorted samples.
std::uint64_t exact_quantile(const std::vector<std::uint64_t>& sorted, double q) {
  const auto rank = std::max<std::uint64_t>(1, static_cast<std::uint64_t>(std::ceil(q * sorted.size())));
  return sorted[rank - 1];
}

}  // namespace

TEST(RttHistogram, EveryBucketCoversItsRangeWithinOneThirtySecond) {
  for (std::size_t i = 0; i < RttHistogram::kBuckets; ++i) {
    const auto lo = RttHistogram::bucket_lower(i), w = RttHistogram::bucket_width(i);
    ASSERT_EQ(RttHistogram::bucket_of(lo), i) << i;
    ASSERT_EQ(RttHistogram::bucket_of(lo + w - 1), i) << i;
    if (i + 1 < RttHistogram::kBuckets) {
      ASSERT_EQ(lo + w, RttHistogram::bucket_lower(i + 1)) << i;
    }
    if (lo >= RttHistogram::kSub) {
      ASSERT_LE(w * RttHistogram::kSub, lo) << i;
    }
  }
  // Beyond the range: the last bucket, never out of bounds.
  for (std::uint64_t v : {std::uint64_t{1} << 37, std::uint64_t{1} << 62, ~std::uint64_t{0}})
    EXPECT_EQ(RttHistogram::bucket_of(v), RttHistogram::kBuckets - 1);
}

TEST(RttHistogram, QuantilesWithinOneSixtyFourthOfKnownDistributions) {
  std::mt19937_64 rng(20261208);
  struct Case {
    const char* name;
    std::function<std::uint64_t()> draw;
  };
  const Case cases[] = {
      {"constant 7us", [] { return 7000; }},
      {"uniform 1us..100ms", [&] { return std::uniform_int_distribution<std::uint64_t>(1000, 100'000'000)(rng); }},
      {"exponential mean 5ms",
       [&] { return static_cast<std::uint64_t>(std::exponential_distribution<>(1 / 5e6)(rng)); }},
      {"log-uniform 1us..100s",
       [&] {
         return static_cast<std::uint64_t>(
             std::exp(std::uniform_real_distribution<>(std::log(1e3), std::log(1e11))(rng)));
       }},
      {"bimodal 200us / 2s",
       [&] {
         return std::bernoulli_distribution(0.95)(rng) ? 200'000 + rng() % 1000 : 2'000'000'000 + rng() % 1'000'000;
       }},
      {"below 32ns exact", [&] { return rng() % 32; }},
  };
  for (const auto& c : cases) {
    for (std::size_t n : {1u, 7u, 100u, 50'000u}) {
      RttHistogram h;
      std::vector<std::uint64_t> samples;
      std::uint64_t sum = 0;
      for (std::size_t i = 0; i < n; ++i) {
        samples.push_back(c.draw());
        sum += samples.back();
        h.record(nanoseconds(samples.back()));
      }
      std::sort(samples.begin(), samples.end());
      const LatencySummary s = h.summary();
      EXPECT_EQ(s.count, n) << c.name;
      EXPECT_EQ(static_cast<std::uint64_t>(s.sum.count()), sum) << c.name;
      EXPECT_EQ(static_cast<std::uint64_t>(s.max.count()), samples.back()) << c.name;
      for (auto [q, got] : {std::pair{0.5, s.p50}, {0.9, s.p90}, {0.99, s.p99}}) {
        const double want = static_cast<double>(exact_quantile(samples, q));
        EXPECT_LE(std::abs(static_cast<double>(got.count()) - want), want / 64 + 1e-9)
            << c.name << " n=" << n << " q=" << q << " want " << want << " got " << got.count();
      }
    }
  }
}

TEST(RttHistogram, EmptyAndNegativeAndHuge) {
  RttHistogram h;
  EXPECT_EQ(h.summary().p99, nanoseconds(0));
  EXPECT_EQ(h.summary().count, 0u);
  h.record(nanoseconds(-5));  // a clock that stepped back counts as 0, not as 2^64-5
  EXPECT_EQ(h.summary().max, nanoseconds(0));
  h.record(hours(1));  // beyond the last bucket: quantiles never exceed the exact max
  EXPECT_EQ(h.quantile(1.0), hours(1));
  EXPECT_LE(h.quantile(0.99), hours(1));
  EXPECT_EQ(h.quantile(0.5), nanoseconds(0));
}

// A session that only binds and idles must stay small: the counter tables and
// the histogram (~15 KB) come with the first request, and a fresh Metrics
// reports nothing at all.
TEST(Metrics, IdleMetricsHoldNoTablesAndReportNothing) {
  static_assert(sizeof(Metrics) < 128, "counter tables held inline");
  Metrics m;
  m.on_reconnect();
  MetricsSnapshot s = m.snapshot();
  EXPECT_TRUE(s.by_command.empty());
  EXPECT_EQ(s.rtt.count, 0u);
  EXPECT_EQ(s.rtt.max.count(), 0);
  EXPECT_EQ(s.reconnects, 1u);
  m.on_response(kSubmitSm, 0, std::chrono::microseconds(250));
  s = m.snapshot();
  EXPECT_EQ(s.by_command.at(kSubmitSm).ok, 1u);
  EXPECT_EQ(s.rtt.count, 1u);
}

TEST(Metrics, CountersBalancePerCommand) {
  enum Op { Sent, Ok, Err, Timeout, Late, Throttled, Retried, Disconnected };
  struct Step {
    Op op;
    std::uint32_t command;
    std::uint32_t status = 0;
    int times = 1;
  };
  const Step steps[] = {
      {Sent, kSubmitSm, 0, 10},
      {Ok, kSubmitSm, 0, 5},
      {Err, kSubmitSm, kThrottled, 2},
      {Err, kSubmitSm, kSubmitFail},
      {Throttled, kSubmitSm, 0, 2},
      {Retried, kSubmitSm, 0, 2},
      {Timeout, kSubmitSm},
      {Late, kSubmitSm},
      {Disconnected, kSubmitSm},
      {Sent, kDataSm, 0, 3},
      {Ok, kDataSm, 0, 3},
      {Sent, kEnquireLink, 0, 4},
      {Timeout, kEnquireLink, 0, 4},
      {Sent, kVendor},
      {Err, kVendor, kVendorStatus},
      {Err, kSubmitSm, kThrottled},
  };
  Metrics m;
  std::map<std::uint32_t, CommandCounters> want;
  for (const auto& s : steps)
    for (int i = 0; i < s.times; ++i) {
      CommandCounters& w = want[s.command];
      switch (s.op) {
        case Sent: m.on_sent(s.command), ++w.sent; break;
        case Ok: m.on_response(s.command, 0, microseconds(100)), ++w.ok; break;
        case Err: m.on_response(s.command, s.status, microseconds(100)), ++w.error_by_status[s.status]; break;
        case Timeout: m.on_timeout(s.command), ++w.timed_out; break;
        case Late: m.on_late(s.command), ++w.late; break;
        case Throttled: m.on_throttled(s.command), ++w.throttled; break;
        case Retried: m.on_retried(s.command), ++w.retried; break;
        case Disconnected: m.on_disconnected(s.command), ++w.disconnected; break;
      }
    }
  m.on_reconnect();
  m.on_reconnect();
  m.set_in_flight(3);
  m.set_queue_depth(17);

  const MetricsSnapshot snap = m.snapshot();
  ASSERT_EQ(snap.by_command.size(), want.size());  // commands without activity are absent
  std::uint64_t responses = 0;
  for (const auto& [id, w] : want) {
    SCOPED_TRACE(id);
    const CommandCounters& got = snap.by_command.at(id);
    EXPECT_EQ(got.sent, w.sent);
    EXPECT_EQ(got.ok, w.ok);
    EXPECT_EQ(got.timed_out, w.timed_out);
    EXPECT_EQ(got.late, w.late);
    EXPECT_EQ(got.throttled, w.throttled);
    EXPECT_EQ(got.retried, w.retried);
    EXPECT_EQ(got.disconnected, w.disconnected);
    EXPECT_EQ(got.error_by_status, w.error_by_status);
    responses += got.ok;
    for (auto [status, n] : got.error_by_status) responses += n;
  }
  EXPECT_EQ(snap.by_command.at(kSubmitSm).error_by_status.at(kThrottled), 3u);
  EXPECT_EQ(snap.rtt.count, responses);  // every response, ok or error, is one rtt sample
  EXPECT_EQ(snap.reconnects, 2u);
  EXPECT_EQ(snap.in_flight, 3u);
  EXPECT_EQ(snap.queue_depth, 17u);
}

namespace {

// Checks the text format and the naming conventions, and returns every series
// ("name{labels}") with its value: each sample line is name{labels} value,
// HELP then TYPE once per family before its samples, counters end in _total,
// no series twice, label values escaped.
std::map<std::string, std::string> ParseExposition(const std::string& text, const std::string& prefix) {
  std::map<std::string, std::string> values;
  EXPECT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n');
  const std::regex name_re("[a-zA-Z_:][a-zA-Z0-9_:]*");
  const std::string pair = R"([a-zA-Z_][a-zA-Z0-9_]*="(?:[^"\\\n]|\\[\\"n])*")";
  const std::regex sample_re("([a-zA-Z_:][a-zA-Z0-9_:]*)(\\{" + pair + "(?:," + pair + ")*\\})? (\\S+)");
  std::map<std::string, std::string> type_of;
  std::set<std::string> helped;
  std::string current;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    SCOPED_TRACE(line);
    if (line.rfind("# HELP ", 0) == 0 || line.rfind("# TYPE ", 0) == 0) {
      std::istringstream parts(line.substr(7));
      std::string family, rest;
      parts >> family >> rest;
      EXPECT_TRUE(std::regex_match(family, name_re));
      EXPECT_EQ(family.rfind(prefix + "_", 0), 0u);
      EXPECT_FALSE(rest.empty());
      if (line[2] == 'H') {
        EXPECT_TRUE(helped.insert(family).second) << "HELP twice";
      } else {
        EXPECT_TRUE(type_of.emplace(family, rest).second) << "TYPE twice";
        EXPECT_TRUE(rest == "counter" || rest == "gauge" || rest == "summary");
        EXPECT_TRUE(helped.count(family)) << "HELP comes first";
        if (rest == "counter") {
          EXPECT_EQ(family.substr(family.size() - 6), "_total");
        }
        current = family;
      }
      continue;
    }
    std::smatch sm;
    if (!std::regex_match(line, sm, sample_re)) {
      ADD_FAILURE() << "not a sample line";
      continue;
    }
    const std::string name = sm[1];
    const bool own =
        name == current || (type_of[current] == "summary" && (name == current + "_sum" || name == current + "_count"));
    EXPECT_TRUE(own) << "sample outside its family " << current;
    std::size_t used = 0;
    const double v = std::stod(sm[3].str(), &used);
    EXPECT_EQ(used, sm[3].length());
    EXPECT_GE(v, 0);
    EXPECT_TRUE(values.emplace(name + sm[2].str(), sm[3]).second) << "series twice";
  }
  EXPECT_EQ(helped.size(), type_of.size());
  return values;
}

}  // namespace

TEST(Metrics, PrometheusExpositionIsWellFormed) {
  Metrics m;
  for (std::uint32_t id : {kSubmitSm, kDataSm, kVendor}) m.on_sent(id);
  m.on_response(kSubmitSm, 0, milliseconds(3));
  m.on_response(kSubmitSm, kThrottled, milliseconds(12));
  m.on_response(kVendor, kVendorStatus, microseconds(250));
  m.on_timeout(kDataSm);
  m.on_received(velmor::command_id::deliver_sm);
  m.on_received(velmor::command_id::deliver_sm);
  m.on_received(kDataSm);
  m.on_receipt(receipts::outcome::matched, receipts::unmatched_reason::none);
  m.on_receipt(receipts::outcome::unmatched, receipts::unmatched_reason::expired);
  m.on_reconnect();
  m.set_in_flight(2);
  MetricsSnapshot snap = m.snapshot();
  snap.account = "esme";
  snap.bind = "transceiver";
  snap.session_state = state::bound_trx;

  for (const auto& [prefix, want_prefix] :
       {std::pair{"velmor_smpp", "velmor_smpp"}, {"my-app.smpp", "my_app_smpp"}, {"9lives", "_9lives"}}) {
    SCOPED_TRACE(prefix);
    auto values = ParseExposition(to_prometheus(snap, prefix), want_prefix);
    const std::string p = std::string(want_prefix) + "_", l = R"(account="esme",bind="transceiver")";
    const std::pair<std::string, std::string> want[] = {
        {"requests_sent_total{" + l + R"(,command="submit_sm"})", "1"},
        {"requests_sent_total{" + l + R"(,command="0x00010000"})", "1"},
        {"responses_total{" + l + R"(,command="submit_sm",command_status="ESME_ROK"})", "1"},
        {"responses_total{" + l + R"(,command="submit_sm",command_status="ESME_RTHROTTLED"})", "1"},
        {"responses_total{" + l + R"(,command="0x00010000",command_status="0x00000400"})", "1"},
        {"timeouts_total{" + l + R"(,command="data_sm"})", "1"},
        {"messages_received_total{" + l + R"(,command="deliver_sm"})", "2"},
        {"messages_received_total{" + l + R"(,command="data_sm"})", "1"},
        {"receipts_total{" + l + R"(,outcome="matched"})", "1"},
        {"receipts_total{" + l + R"(,outcome="unmatched"})", "1"},
        {"receipts_total{" + l + R"(,outcome="duplicate"})", "0"},  // every outcome, zeros too
        {"receipts_unmatched_total{" + l + R"(,reason="expired"})", "1"},
        {"receipts_unmatched_total{" + l + R"(,reason="no_entry"})", "0"},
        {"reconnects_total{" + l + "}", "1"},
        {"in_flight{" + l + "}", "2"},
        {"queue_depth{" + l + "}", "0"},
        {"state{" + l + R"(,state="bound_trx"})", "1"},
        {"state{" + l + R"(,state="closed"})", "0"},
        {"rtt_seconds_count{" + l + "}", "3"},
    };
    for (const auto& [series, v] : want) EXPECT_EQ(values[p + series], v) << series;
    // Counted only where they mean something: a deliver_sm is never "sent", a submit_sm never "received".
    EXPECT_EQ(values.count(p + "requests_sent_total{" + l + R"(,command="deliver_sm"})"), 0u);
    EXPECT_EQ(values.count(p + "messages_received_total{" + l + R"(,command="submit_sm"})"), 0u);
    EXPECT_EQ(values.count(p + "receipts_unmatched_total{" + l + R"(,reason="none"})"), 0u);
    int states = 0, on = 0;
    for (const auto& [series, v] : values)
      if (series.rfind(p + "state{", 0) == 0) ++states, on += v == "1";
    EXPECT_EQ(states, 8);
    EXPECT_EQ(on, 1);
    // Seconds, not nanoseconds: p99 is the 12 ms sample, max exactly 12 ms.
    EXPECT_NEAR(std::stod(values[p + "rtt_seconds{" + l + R"(,quantile="0.99"})"]), 0.012, 0.012 / 64);
    EXPECT_NEAR(std::stod(values[p + "rtt_seconds{" + l + R"(,quantile="0.5"})"]), 0.003, 0.003 / 64);
    EXPECT_DOUBLE_EQ(std::stod(values[p + "rtt_max_seconds{" + l + "}"]), 0.012);
    EXPECT_DOUBLE_EQ(std::stod(values[p + "rtt_seconds_sum{" + l + "}"]), 0.01525);
  }
}

// A pool's binds share one exposition: each family once, one series per bind
// told apart by index even when account and bind are the same; label values
// that hold quotes, backslashes or newlines are escaped.
TEST(Metrics, PoolExpositionLabelsEveryBind) {
  Metrics a, b;
  a.on_sent(kSubmitSm);
  b.on_sent(kSubmitSm);
  b.on_sent(kSubmitSm);
  std::vector<MetricsSnapshot> binds{a.snapshot(), b.snapshot(), Metrics{}.snapshot()};
  for (auto& s : binds) s.bind = "transmitter";
  binds[0].account = binds[1].account = "shop";
  binds[2].account = "we\"ird\\\nid";
  binds[1].session_state = state::bound_tx;
  auto values = ParseExposition(to_prometheus(binds), "velmor_smpp");
  const std::string l0 = R"(account="shop",bind="transmitter",index="0")",
                    l1 = R"(account="shop",bind="transmitter",index="1")",
                    l2 = R"(account="we\"ird\\\nid",bind="transmitter",index="2")";
  EXPECT_EQ(values["velmor_smpp_requests_sent_total{" + l0 + R"(,command="submit_sm"})"], "1");
  EXPECT_EQ(values["velmor_smpp_requests_sent_total{" + l1 + R"(,command="submit_sm"})"], "2");
  EXPECT_EQ(values["velmor_smpp_state{" + l1 + R"(,state="bound_tx"})"], "1");
  EXPECT_EQ(values["velmor_smpp_state{" + l2 + R"(,state="closed"})"], "1");
  EXPECT_EQ(values["velmor_smpp_reconnects_total{" + l2 + "}"], "0");
}
