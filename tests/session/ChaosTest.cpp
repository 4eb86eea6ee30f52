// Many requests through the session while the simulator, at random, drops
// connections, holds responses past their deadlines, throttles, and closes
// in the middle of a PDU. Every request must complete exactly once, the
// outcomes must add up, nothing may be resent unless the SMSC refused it
// with a throttling status, and memory and descriptors must stay flat.
//
// VELMOR_CHAOS_REQUESTS (default 100000) and VELMOR_CHAOS_SECONDS (default
// 50: no new request after that, the rest drains) scale the run.
//
// Then receipts through a pool under the same faults: delivered on any bind,
// before their submit_sm_resp, and twice. Each is matched exactly once or
// reported with a reason, and the reports add up to the receipts received.
#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include <gtest/gtest.h>

#include "session/Pool.h"
#include "session/Session.h"
#include "tools/smsc/Server.h"

namespace velmor::session::test {
namespace {

using namespace std::chrono_literals;

std::uint64_t env_or(const char* name, std::uint64_t fallback) {
  const char* v = std::getenv(name);
  return v && *v ? std::strtoull(v, nullptr, 10) : fallback;
}

std::size_t open_descriptors() {
  std::size_t n = 0;
  if (DIR* d = ::opendir("/proc/self/fd")) {
    while (::readdir(d)) ++n;
    ::closedir(d);
  }
  return n;
}

std::size_t resident_kib() {
  long pages = 0, resident = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return static_cast<std::size_t>(resident) * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)) / 1024;
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

struct Tally {
  std::uint64_t ok = 0, rejected = 0, rejected_throttled = 0, timeouts = 0, disconnected = 0, local = 0;
};

TEST(SessionChaos, EveryRequestCompletesOnceThroughRandomFaults) {
  const std::uint64_t total = env_or("VELMOR_CHAOS_REQUESTS", 100'000);
  const auto budget = std::chrono::seconds(env_or("VELMOR_CHAOS_SECONDS", 50));

  TEventLoop loop;
  smsc::Config sc;
  sc.random_seed = 20240305;
  sc.delivery_delay = 0ms;
  sc.store_limit = 20'000;
  sc.pdu_log_limit = 0;
  sc.drop_probability = 0.0002;
  sc.throttle_probability = 0.01;
  sc.delay_probability = 0.002;
  sc.random_delay = 150ms;  // past the request deadline below
  sc.cut_probability = 0.0002;
  smsc::Server sim(sc, loop);
  ASSERT_TRUE(sim.start("127.0.0.1", 0));

  // The simulator's view: how often each request arrived, and how often it was
  // refused with a throttling status (the only licence to see it again).
  std::vector<std::uint32_t> seen(total, 0), throttled(total, 0);
  std::int64_t last = -1;
  std::uint64_t refusals_before = 0;
  auto settle_last = [&] {
    const std::uint64_t now = sim.smsc().counters().throttled + sim.smsc().counters().messages_refused;
    if (last >= 0 && now != refusals_before) ++throttled[static_cast<std::size_t>(last)];
    refusals_before = now;
    last = -1;
  };
  sim.smsc().on_submit = [&](const smsc::Session&, const smsc::MessageView& m) {
    settle_last();
    const std::string text(m.short_message);
    if (text.size() < 2 || text[0] != 'c') return;
    const std::uint64_t id = std::strtoull(text.c_str() + 1, nullptr, 10);
    if (id >= total) return;
    ++seen[id];
    last = static_cast<std::int64_t>(id);
  };

  config c;
  c.port = sim.port();
  c.system_id = "chaos";
  c.bind_type = Transmitter;
  c.window = 100;
  c.queue_limit = 1000;
  c.request_timeout = 50ms;
  c.connect_timeout = 1s;
  c.bind_timeout = 1s;
  c.reconnect_min = 5ms;
  c.reconnect_max = 50ms;
  c.throttle_pause = 5ms;
  c.throttle_retries = 3;
  c.enquire_link_idle = 1s;
  c.enquire_link_timeout = 500ms;
  c.random_seed = 11;
  auto s = std::make_unique<session>(c, loop);

  std::optional<std::error_code> bound;
  s->async_connect([&](std::error_code ec) { bound = ec; });
  ASSERT_TRUE(loop.RunUntil([&] { return bound.has_value(); }, 5s));
  ASSERT_FALSE(*bound) << bound->message();

  struct Driver {
    session* s;
    std::vector<std::uint8_t> done;
    Tally tally;
    std::uint64_t issued = 0, completed = 0, total = 0, outstanding = 0, target = 0;
    bool stop = false;
    void issue() {
      while (!stop && issued < total && outstanding < target) {
        const std::uint64_t id = issued++;
        ++outstanding;
        s->async_submit_sm({.destination_addr = "46700000001", .short_message = "c" + std::to_string(id)},
                           [this, id](std::error_code ec, response r) { complete(id, ec, r); });
      }
    }
    void complete(std::uint64_t id, std::error_code ec, const response&) {
      ++done[id];
      ++completed;
      --outstanding;
      if (!ec)
        ++tally.ok;
      else if (ec == errc::timeout)
        ++tally.timeouts;
      else if (ec == errc::disconnected)
        ++tally.disconnected;
      else if (auto st = command_status_of(ec)) {
        ++tally.rejected;
        if (*st == 0x58 || *st == 0x14) ++tally.rejected_throttled;
      } else {
        ++tally.local;
        if (tally.local < 4)
          std::printf(
              "local error: %s\n",
              ec.message().c_str());  // queue_full while reconnecting: back off until the next turn of the driver
        return;
      }
      issue();
    }
  } d{s.get()};
  d.done.assign(total, 0);
  d.total = total;
  d.target = 3 * c.window;  // the queue holds the rest; queue_full only if a reconnect drags on

  const std::size_t fds_before = open_descriptors();
  const auto t0 = std::chrono::steady_clock::now();
  std::size_t rss_warm = 0;
  d.issue();
  while (d.completed < d.issued || (d.issued < total && !d.stop)) {
    loop.RunFor(5ms);
    d.issue();
    if (rss_warm == 0 && d.completed >= total / 5) rss_warm = resident_kib();
    if (!d.stop && std::chrono::steady_clock::now() - t0 > budget) d.stop = true;
    if (std::chrono::steady_clock::now() - t0 > budget + 30s) break;  // a hang: reported below
  }
  settle_last();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  const std::size_t rss_end = resident_kib();
  const session_counters k = s->counters();
  const smsc::Counters& f = sim.smsc().counters();

  std::printf(
      "chaos: requests=%llu completed=%llu in %.1f s | ok=%llu rejected=%llu (throttled after retries %llu) "
      "timeouts=%llu disconnected=%llu local=%llu | late=%llu retried=%llu reconnects=%llu | faults: "
      "dropped=%llu throttled=%llu delayed=%llu cut=%llu\n",
      (unsigned long long)d.issued, (unsigned long long)d.completed, seconds, (unsigned long long)d.tally.ok,
      (unsigned long long)d.tally.rejected, (unsigned long long)d.tally.rejected_throttled,
      (unsigned long long)d.tally.timeouts, (unsigned long long)d.tally.disconnected, (unsigned long long)d.tally.local,
      (unsigned long long)k.late_responses, (unsigned long long)k.retried, (unsigned long long)k.reconnects,
      (unsigned long long)f.faults_dropped, (unsigned long long)f.faults_throttled,
      (unsigned long long)f.faults_delayed, (unsigned long long)f.faults_cut);

  // Exactly once, and the outcomes add up on both sides of the ledger.
  ASSERT_EQ(d.completed, d.issued) << "requests never completed";
  std::uint64_t twice = 0;
  for (std::uint64_t i = 0; i < d.issued; ++i) twice += d.done[i] != 1;
  EXPECT_EQ(twice, 0u);
  const Tally& t = d.tally;
  EXPECT_EQ(t.ok + t.rejected + t.timeouts + t.disconnected + t.local, d.issued);
  EXPECT_EQ(k.ok, t.ok);
  EXPECT_EQ(k.timeouts, t.timeouts);
  EXPECT_EQ(k.disconnected, t.disconnected);
  EXPECT_EQ(k.requests, d.issued);

  // Resent only after a refusal.
  std::uint64_t resent_without_refusal = 0;
  for (std::uint64_t i = 0; i < d.issued; ++i)
    if (seen[i] > 1 + throttled[i]) ++resent_without_refusal;
  EXPECT_EQ(resent_without_refusal, 0u);

  // Every fault kind was met when the run is long enough to meet them.
  if (d.issued >= 50'000) {
    EXPECT_GT(f.faults_dropped, 0u);
    EXPECT_GT(f.faults_throttled, 0u);
    EXPECT_GT(f.faults_delayed, 0u);
    EXPECT_GT(f.faults_cut, 0u);
    EXPECT_GT(t.timeouts, 0u);
    EXPECT_GT(t.disconnected, 0u);
    EXPECT_GT(k.late_responses, 0u);
  }

  // Flat: window, queue, table and receipt memory are bounded, and every
  // dropped connection gave its descriptor back.
  EXPECT_LE(open_descriptors(), fds_before + 2);
  if (!kSanitized && rss_warm != 0) {
    EXPECT_LT(rss_end, rss_warm + 16 * 1024) << rss_warm << " KiB -> " << rss_end;
  }
  EXPECT_EQ(s->in_flight(), 0u);
  EXPECT_EQ(s->queued(), 0u);

  std::optional<std::error_code> down;
  s->async_shutdown([&](std::error_code ec) { down = ec; });
  EXPECT_TRUE(loop.RunUntil([&] { return down.has_value(); }, 5s));
}

TEST(SessionChaos, EveryReceiptMatchedOnceOrReportedWithAReason) {
  const std::uint64_t total = env_or("VELMOR_CHAOS_RECEIPTS", 3'000);
  TEventLoop loop;
  // Two SMSCs of one account, two binds each: one sends every receipt before
  // its response and twice, the other plainly; both on any bind, in turn.
  std::unique_ptr<smsc::Server> sims[2];
  pool_config pc;
  std::uint64_t receipts_in = 0;  // deliver_sm framed by any bind
  for (int k = 0; k < 2; ++k) {
    smsc::Config sc;
    sc.random_seed = 77 + k;
    sc.first_message_id = 1 + static_cast<std::uint64_t>(k) * 1'000'000'000;  // ids unique in the account
    sc.delivery_delay = 0ms;
    sc.pdu_log_limit = 0;
    sc.receipt_before_response = k == 0;
    sc.duplicate_receipts = k == 0;
    sc.drop_probability = 0.002;
    sc.delay_probability = 0.01;
    sc.random_delay = 150ms;  // past the request deadline: a late response, its receipt has no entry
    sims[k] = std::make_unique<smsc::Server>(sc, loop);
    ASSERT_TRUE(sims[k]->start("127.0.0.1", 0));
    for (int b = 0; b < 2; ++b) {
      config c;
      c.port = sims[k]->port();
      c.system_id = "chaos";
      c.window = 20;
      c.request_timeout = 50ms;
      c.reconnect_min = 5ms;
      c.reconnect_max = 50ms;
      c.response_deadline = 2s;
      c.receipt_account = "one account";
      c.receipt_matching.wait = 300ms;
      c.random_seed = 3 + b;
      c.trace = [&receipts_in](bool sent, std::string_view pdu) {
        if (!sent && pdu.size() >= 8 && pdu[4] == 0 && pdu[5] == 0 && pdu[6] == 0 && pdu[7] == 5) ++receipts_in;
      };
      pc.binds.push_back(c);
    }
  }
  pool p(pc, loop);
  std::map<std::string, std::map<std::string, int>> by_id;  // message_id -> what its receipts were reported as
  std::uint64_t reports = 0;
  p.set_receipt_handler([&](const receipt_event& e) {
    ++reports;
    std::string what = receipts::to_string(e.outcome);
    if (e.outcome == receipts::outcome::early_matched) what = "matched";
    if (e.outcome == receipts::outcome::unmatched) {
      EXPECT_NE(e.reason, receipts::unmatched_reason::none) << "unmatched without a reason";
      what += std::string(" ") + receipts::to_string(e.reason);
    }
    ++by_id[e.message_id][what];
  });
  std::optional<std::error_code> up;
  p.async_connect([&](std::error_code ec) { up = ec; });
  ASSERT_TRUE(loop.RunUntil([&] { return up.has_value(); }, 5s));
  ASSERT_FALSE(*up);

  std::map<std::string, std::uint64_t> ok_ids;  // message_id -> tag, of submits answered 0
  std::uint64_t issued = 0, completed = 0;
  const auto t0 = std::chrono::steady_clock::now();
  while ((issued < total || completed < issued) && std::chrono::steady_clock::now() - t0 < 30s) {
    while (issued < total && issued - completed < 200) {
      const std::uint64_t tag = issued++;
      p.async_submit_sm({.destination_addr = "46700000001", .short_message = "r", .registered_delivery = 1, .tag = tag},
                        [&, tag](std::error_code ec, response r) {
                          ++completed;
                          if (!ec) ok_ids[r.message_id] = tag;
                        });
    }
    loop.RunFor(5ms);
  }
  ASSERT_EQ(completed, issued);
  // Quiet: every receipt received has been reported (the longest wait is 300 ms).
  std::uint64_t last = ~0ull;
  while (last != reports || reports != receipts_in) {
    last = reports;
    loop.RunFor(500ms);
    if (std::chrono::steady_clock::now() - t0 > 40s) break;
  }
  std::printf("chaos receipts: submits=%llu ok=%zu receipts in=%llu reports=%llu ids=%zu\n", (unsigned long long)issued,
              ok_ids.size(), (unsigned long long)receipts_in, (unsigned long long)reports, by_id.size());
  EXPECT_EQ(reports, receipts_in) << "each receipt received reported once";
  std::uint64_t matched = 0, unmatched_ok = 0;
  for (const auto& [id, what] : by_id) {
    const int m = what.count("matched") ? what.at("matched") : 0;
    const int dup = what.count("duplicate") ? what.at("duplicate") : 0;
    EXPECT_LE(m, 1) << id << " matched twice";
    if (dup > 0) {
      EXPECT_EQ(m, 1) << id << ": a duplicate of nothing matched";
    }
    if (ok_ids.count(id)) {
      // The entry was remembered: its receipt cannot go unmatched.
      unmatched_ok += m == 0;
    } else {
      EXPECT_EQ(m, 0) << id << ": matched with no entry";
    }
    matched += m;
  }
  EXPECT_EQ(unmatched_ok, 0u);
  EXPECT_GT(matched, total / 10);
  std::optional<std::error_code> down;
  p.async_shutdown([&](std::error_code ec) { down = ec; });
  EXPECT_TRUE(loop.RunUntil([&] { return down.has_value(); }, 5s));
}

}  // namespace
}  // namespace velmor::session::test
