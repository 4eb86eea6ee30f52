// Each receipt store against a real server: the same decisions from memory,
// SQLite and Redis; Redis shared by two clients and restarted under load;
// SQLite surviving kill -9; two rate limiters on one Redis budget.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <asio/io_context.hpp>

#include "receipts/Servers.h"
#include "session/receipts/Desk.h"
#include "session/receipts/Memory.h"
#include "session/receipts/Open.h"
#include "session/receipts/Redis.h"
#include "session/receipts/RedisRate.h"
#include "session/receipts/Sqlite.h"

using namespace velmor::session;
using namespace velmor::session::receipts;
using namespace velmor::receipts_test;
using namespace std::chrono_literals;

namespace {

#define NEED_REDIS(server) \
  if (!(server).available()) GTEST_SKIP() << "redis-server is not installed (apt-get install redis-server)"; \
  ASSERT_TRUE((server).start()) << "redis-server did not start on port " << (server).port()

receipt_entry entry(std::string id, std::uint64_t tag, std::uint16_t index = 0, std::uint16_t count = 1,
                    std::string group = {}) {
  receipt_entry e;
  e.message_id = std::move(id);
  e.tag = tag;
  e.destination_addr = "4670000" + std::to_string(tag);
  e.part_index = index;
  e.part_count = count;
  e.group = std::move(group);
  e.submitted = std::chrono::system_clock::time_point(std::chrono::milliseconds(1'700'000'000'123));
  return e;
}

// Runs io until done() or a generous bound.
template <class F>
bool run_until(asio::io_context& io, F done, std::chrono::milliseconds limit = 10s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done() && std::chrono::steady_clock::now() < end) {
    io.restart();
    io.run_for(5ms);
  }
  return done();
}

receipt_take take_now(asio::io_context& io, receipt_store& s, std::string_view account, std::string_view id,
                      bool final_state = true, bool delivered = true) {
  std::optional<receipt_take> got;
  s.take(account, id, final_state, delivered, io.get_executor(), [&](receipt_take t) { got = std::move(t); });
  EXPECT_TRUE(run_until(io, [&] { return got.has_value(); })) << "no answer for " << id;
  return got.value_or(receipt_take{});
}

const char* kind(receipt_take::kind k) {
  switch (k) {
    case receipt_take::kind::matched: return "matched";
    case receipt_take::kind::duplicate: return "duplicate";
    case receipt_take::kind::none: return "none";
    case receipt_take::kind::expired: return "expired";
    case receipt_take::kind::unreachable: return "unreachable";
  }
  return "?";
}

// The same decisions, whatever the store.
void same_decisions(receipt_store& s, const std::string& who) {
  asio::io_context io;
  // A Redis store answers unreachable until its first connection is up.
  for (int i = 0; i < 200 && take_now(io, s, "A", "probe").result == receipt_take::kind::unreachable; ++i)
    std::this_thread::sleep_for(10ms);
  s.prepare("B");  // readied ahead; A is written first all the same
  s.remember("A", entry("1A2B", 1));
  s.remember("A", entry("00042", 2));
  s.remember("A", entry("10", 3));
  s.remember("A", entry("A", 4));
  s.remember("B", entry("77", 9));
  s.remember("A", entry("m1", 5, 0, 2, "g"));
  s.remember("A", entry("m2", 5, 1, 2, "g"));
  s.remember("A", entry("n1", 6, 0, 2, "h"));
  s.remember("A", entry("n2", 6, 1, 2, "h"));
  s.remember("A", entry("  ", 7));  // no id: not kept
  // A number names the first entry remembered under it, whether or not the
  // entry's text is the number's plain spelling.
  s.remember("A", entry("500", 10));
  s.remember("A", entry("0500", 11));
  s.remember("A", entry("0600", 12));
  s.remember("A", entry("600", 13));
  s.remember("A", entry("ff", 14));
  struct step {
    const char* account;
    const char* id;
    bool final_state, delivered;
    const char* want;
    std::uint64_t tag;
    int whole;  // -1 none, 0 failed, 1 delivered
  };
  const step steps[] = {
      {"A", "6699", true, true, "matched", 1, -1},  // hex answer, decimal receipt
      {"A", "0x1a2b", true, true, "duplicate", 1, -1},
      {"A", "42", false, false, "matched", 2, -1},  // intermediate: the entry stays
      {"A", "042", true, true, "matched", 2, -1},
      {"A", "42", true, true, "duplicate", 2, -1},
      {"A", "10", true, true, "matched", 3, -1},  // the same text before another base
      {"A", "A", true, true, "matched", 4, -1},
      {"A", "77", true, true, "none", 0, -1},  // another account's
      {"B", "77", true, true, "matched", 9, -1},
      {"A", "m1", true, true, "matched", 5, -1},
      {"A", "m2", true, false, "matched", 5, 0},
      {"A", "n2", true, true, "matched", 6, -1},
      {"A", "n2", true, true, "duplicate", 6, -1},
      {"A", "n1", true, true, "matched", 6, 1},
      {"A", "00500", true, true, "matched", 10, -1},
      {"A", "00600", true, true, "matched", 12, -1},
      {"A", "600", true, true, "matched", 13, -1},
      {"A", "255", true, true, "matched", 14, -1},  // plain hex answer, decimal receipt
      {"A", "999", true, true, "none", 0, -1},
      {"A", "", true, true, "none", 0, -1},
  };
  for (const auto& st : steps) {
    const receipt_take t = take_now(io, s, st.account, st.id, st.final_state, st.delivered);
    EXPECT_STREQ(kind(t.result), st.want) << who << ": " << st.account << " " << st.id;
    if (t.result == receipt_take::kind::matched || t.result == receipt_take::kind::duplicate) {
      EXPECT_EQ(t.entry.tag, st.tag) << who << ": " << st.id;
      EXPECT_EQ(t.entry.destination_addr, "4670000" + std::to_string(st.tag)) << who;
      EXPECT_EQ(t.entry.submitted, entry("x", 0).submitted) << who;
    }
    EXPECT_EQ(t.whole_delivered.has_value(), st.whole >= 0) << who << ": " << st.id;
    if (t.whole_delivered && st.whole >= 0) {
      EXPECT_EQ(*t.whole_delivered, st.whole == 1) << who << ": " << st.id;
    }
  }
}

}  // namespace

TEST(ReceiptStore, SameDecisionsInEveryStore) {
  memory_receipt_store memory;
  same_decisions(memory, "memory");
  const auto dir = scratch_dir("velmor-sqlite-same");
  {
    sqlite_receipt_store sqlite((dir / "r.db").string());
    same_decisions(sqlite, "sqlite");
  }
  std::filesystem::remove_all(dir);
  redis_server server;
  NEED_REDIS(server);
  auto redis = open_receipt_store(server.url());
  same_decisions(*redis, "redis");
}

// The memory store's bounds and its index under churn: runs of counted ids
// (they share blocks of the index) remembered past max_entries, so entries
// are dropped, then forgotten, from the middle of the index's runs.
TEST(ReceiptStore, MemoryBoundsUnderChurn) {
  using K = receipt_take::kind;
  const auto now = std::chrono::system_clock::time_point(std::chrono::hours(500000));
  for (const bool hex : {false, true}) {
    receipt_limits l;
    l.max_entries = 50;
    memory_receipts book(l);
    const auto id = [&](int i) {
      char b[24];
      std::snprintf(b, sizeof b, hex ? "%X" : "%d", 4000 + i);
      return std::string(b);
    };
    for (int i = 0; i < 200; ++i) book.remember("A", entry(id(i), i), now);
    EXPECT_EQ(book.size(), 50u);
    for (int i = 0; i < 200; ++i) {
      const receipt_take t = book.take("A", id(i), true, true, now);
      EXPECT_EQ(t.result, i < 100 ? K::none : i < 150 ? K::expired : K::matched) << hex << " " << i;
      EXPECT_EQ(t.entry.tag, i < 150 ? 0u : std::uint64_t(i)) << hex << " " << i;
    }
    // Each final take made a tombstone and pushed out the oldest marker.
    EXPECT_EQ(book.take("A", id(120), true, true, now).result, K::none);
    EXPECT_EQ(book.take("A", id(150), true, true, now).result, K::duplicate);
  }
  // A number belongs to the first entry kept under it: a later one of the
  // same number is found by its text only, and a replacement of the first
  // takes the number over.
  receipt_limits l;
  l.tombstone_ttl = std::chrono::seconds(1);
  memory_receipts book(l);
  book.remember("A", entry("01", 1), now);
  book.remember("A", entry("001", 2), now);
  EXPECT_EQ(book.take("A", "1", false, true, now).entry.tag, 1u);
  book.remember("A", entry("01", 3), now);
  EXPECT_EQ(book.take("A", "1", true, true, now).entry.tag, 3u);
  EXPECT_EQ(book.take("A", "001", true, true, now).entry.tag, 2u);
  // Texts whose last characters read alike ("1", "A") share a home cell: the
  // one kept is still found once the other's tombstone is forgotten.
  book.remember("A", entry("M1", 4), now);
  book.remember("A", entry("MA", 5), now);
  EXPECT_EQ(book.take("A", "M1", true, true, now).result, K::matched);
  EXPECT_EQ(book.take("A", "MA", true, true, now + std::chrono::seconds(2)).entry.tag, 5u);
}

// Past one chunk of slots (the later chunks made ahead on the store's own
// thread), with slots reused: an entry whose texts spill out of its slot
// follows one that fit and the other way round, and each take gives back
// exactly what was remembered.
TEST(ReceiptStore, MemoryAcrossChunksGivesBackEveryEntry) {
  using K = receipt_take::kind;
  receipt_limits l;
  l.max_entries = 20'000;  // up to 40,000 slots: more than one chunk
  memory_receipt_store store(l);
  asio::io_context io;
  const auto make = [](int i) {
    receipt_entry e = entry(std::to_string(90'000'000 + i), i, i % 3, 3, "g" + std::to_string(i / 3));
    if (i % 5 == 0) e.destination_addr.append(60, 'x');  // id, destination and group no longer fit inline
    return e;
  };
  constexpr int n = 45'000;
  for (int i = 0; i < n; ++i) {
    store.remember("A", make(i));
    if (i >= 100) {  // receipts a little behind the responses, as on a bind
      const int j = i - 100;
      const receipt_take t = take_now(io, store, "A", std::to_string(90'000'000 + j));
      ASSERT_EQ(t.result, K::matched) << j;
      ASSERT_EQ(t.entry, make(j)) << j;
      EXPECT_EQ(t.whole_delivered.has_value(), j % 3 == 2) << j;
    }
  }
  EXPECT_EQ(take_now(io, store, "A", std::to_string(90'000'000 + n - 1)).entry, make(n - 1));
  EXPECT_EQ(take_now(io, store, "A", std::to_string(90'000'000 + n - 1)).result, K::duplicate);
  EXPECT_EQ(take_now(io, store, "A", "90000001").result, K::none);  // its tombstone was pushed out long ago
}

TEST(ReceiptStore, OpenNamesWhatIsWrong) {
  for (const char* bad : {"mysql://x", "sqlite:", "redis://host:port", "redis://h:-1"}) {
    try {
      open_receipt_store(bad);
      ADD_FAILURE() << bad << " was accepted";
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find("receipt store"), std::string::npos) << e.what();
    }
  }
  EXPECT_THROW(open_receipt_store("sqlite:/nonexistent-dir/x/r.db"), std::runtime_error);
}

// A take whose reply was lost is asked again under its attempt: the same
// answer (matched, with the whole outcome), never a duplicate of itself; a
// remember sent again after the take leaves the tombstone.
TEST(ReceiptStore, RedisTakeAskedAgainByItsAttemptGetsTheFirstAnswer) {
  redis_server server;
  NEED_REDIS(server);
  auto s = open_receipt_store(server.url());
  asio::io_context io;
  for (int i = 0; i < 200 && take_now(io, *s, "A", "probe").result == receipt_take::kind::unreachable; ++i)
    std::this_thread::sleep_for(10ms);
  s->remember("A", entry("p1", 1, 0, 2, "g"));
  s->remember("A", entry("p2", 1, 1, 2, "g"));
  const auto take = [&](const char* id, const char* attempt) {
    std::optional<receipt_take> got;
    s->take(
        "A", id, true, true, io.get_executor(), [&](receipt_take t) { got = std::move(t); }, attempt);
    EXPECT_TRUE(run_until(io, [&] { return got.has_value(); }));
    const receipt_take t = got.value_or(receipt_take{});
    return std::string(kind(t.result)) + (t.whole_delivered ? " whole" : "");
  };
  EXPECT_EQ(take("p1", "a.1"), "matched");
  EXPECT_EQ(take("p2", "a.2"), "matched whole");
  EXPECT_EQ(take("p2", "a.2"), "matched whole") << "the same attempt again";
  EXPECT_EQ(take("p2", "b.7"), "duplicate");
  EXPECT_EQ(take("p1", ""), "duplicate");
  s->remember("A", entry("p2", 1, 1, 2, "g"));  // sent again after a broken connection
  EXPECT_EQ(take("p2", "b.8"), "duplicate");
}

// Redis refusing writes (out of memory): every item batched into a call
// hears so. Each remember is counted given up; a take that would turn an
// entry into a tombstone answers unreachable and leaves the entry, so it is
// matched once Redis takes writes again.
TEST(ReceiptStore, RedisRefusingWritesAnswersEveryItemAndLosesNoEntry) {
  redis_server server;
  NEED_REDIS(server);
  const auto cli = [&](const std::string& args) {
    return std::system(("redis-cli -p " + std::to_string(server.port()) + " " + args + " >/dev/null").c_str());
  };
  if (cli("PING") != 0) GTEST_SKIP() << "redis-cli is not installed (apt-get install redis-tools)";
  auto s = open_receipt_store(server.url());
  asio::io_context io;
  for (int i = 0; i < 200 && take_now(io, *s, "A", "probe").result == receipt_take::kind::unreachable; ++i)
    std::this_thread::sleep_for(10ms);
  s->remember("A", entry("kept", 7));
  for (int i = 0; i < 500 && s->stats().remembered < 1; ++i) std::this_thread::sleep_for(10ms);
  ASSERT_EQ(cli("CONFIG SET maxmemory 1"), 0);
  for (int i = 0; i < 40; ++i) s->remember("A", entry("m" + std::to_string(i), i));
  for (int i = 0; i < 500 && s->stats().remember_dropped < 40; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(s->stats().remember_dropped, 40u) << "a refused remember must be counted, not lost silently";
  EXPECT_EQ(kind(take_now(io, *s, "A", "m1").result), std::string("none"));
  EXPECT_EQ(kind(take_now(io, *s, "A", "kept").result), std::string("unreachable"));
  ASSERT_EQ(cli("CONFIG SET maxmemory 0"), 0);
  const receipt_take t = take_now(io, *s, "A", "kept");
  EXPECT_EQ(kind(t.result), std::string("matched"));
  EXPECT_EQ(t.entry.tag, 7u);
}

// Two clients of one Redis race for every receipt, twice over: each is
// taken exactly once, the other sees a duplicate.
TEST(ReceiptStore, RedisSharedByTwoClientsTakesEachReceiptOnce) {
  redis_server server;
  NEED_REDIS(server);
  auto a = open_receipt_store(server.url()), b = open_receipt_store(server.url());
  asio::io_context wait_io;
  for (auto* s : {a.get(), b.get()})
    for (int i = 0; i < 200 && take_now(wait_io, *s, "acct", "probe").result == receipt_take::kind::unreachable; ++i)
      std::this_thread::sleep_for(10ms);
  constexpr int n = 2000;
  for (int i = 0; i < n; ++i) a->remember("acct", entry(std::to_string(1000 + i), i));
  // b asks only once a has written everything (a's queue is in order).
  take_now(wait_io, *a, "acct", "no-such-id");
  std::atomic<int> matched{0}, duplicate{0}, other{0};
  std::vector<std::thread> threads;
  for (receipt_store* s : {a.get(), b.get(), a.get(), b.get()})
    threads.emplace_back([&, s] {
      asio::io_context io;
      int answers = 0;
      for (int i = 0; i < n; ++i)
        s->take("acct", std::to_string(1000 + i), true, true, io.get_executor(), [&](receipt_take t) {
          ++answers;
          (t.result == receipt_take::kind::matched     ? matched
           : t.result == receipt_take::kind::duplicate ? duplicate
                                                       : other)++;
        });
      run_until(
          io, [&] { return answers == n; }, 30s);
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(matched, n);
  EXPECT_EQ(duplicate, 3 * n);
  EXPECT_EQ(other, 0);
}

// Two limiters draw from one budget of 400/s for a second: together they
// stay within it (plus the burst).
TEST(RateLimiter, TwoRedisLimitersShareOneBudget) {
  redis_server server;
  NEED_REDIS(server);
  const redis_address where = parse_redis_url(server.url());
  constexpr double rate = 400, burst = 20;
  redis_rate_limiter x(where, "velmor:rate:{acct}", rate, burst), y(where, "velmor:rate:{acct}", rate, burst);
  asio::io_context io;
  // Connected first, so the second below is all budget.
  for (auto* l : {&x, &y}) {
    bool ok = false;
    for (int i = 0; i < 200 && !ok; ++i) {
      std::optional<rate_limiter::clock::duration> w;
      l->take(io.get_executor(), [&](rate_limiter::clock::duration d) { w = d; });
      run_until(io, [&] { return w.has_value(); });
      ok = w && *w < 1s && w->count() >= 0 && *w == rate_limiter::clock::duration::zero();
      if (!ok) std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(ok) << "the limiter never reached Redis";
  }
  std::this_thread::sleep_for(100ms);  // the budget refills its burst
  int granted = 0, outstanding = 0;
  const auto start = rate_limiter::clock::now(), end = start + 1s;
  std::function<void(rate_limiter*)> draw = [&](rate_limiter* l) {
    ++outstanding;
    l->take(io.get_executor(), [&, l](rate_limiter::clock::duration d) {
      --outstanding;
      if (rate_limiter::clock::now() >= end) return;
      if (d == rate_limiter::clock::duration::zero()) ++granted;
      draw(l);
    });
  };
  for (int i = 0; i < 32; ++i) draw(i % 2 ? &x : static_cast<rate_limiter*>(&y));
  run_until(
      io, [&] { return outstanding == 0; }, 5s);
  EXPECT_LE(granted, static_cast<int>(rate + burst + 2));
  // Loose: a loaded machine delays the round trips; what matters is the bound above.
  EXPECT_GE(granted, static_cast<int>(rate * 0.25)) << "the budget was hardly used";
}

TEST(RateLimiter, LocalBucketPacesAndAllowsItsBurst) {
  local_rate_limiter l(100, 5);
  const auto t0 = rate_limiter::clock::time_point(std::chrono::hours(10));
  int go = 0;
  for (int i = 0; i < 20; ++i) go += *l.try_take(t0) == rate_limiter::clock::duration::zero();
  EXPECT_EQ(go, 5);
  EXPECT_EQ(*l.try_take(t0), 10ms);
  EXPECT_EQ(*l.try_take(t0 + 10ms), rate_limiter::clock::duration::zero());
  local_rate_limiter unlimited(0, 1);
  EXPECT_EQ(*unlimited.try_take(t0), rate_limiter::clock::duration::zero());
}

// A process remembering into an SQLite file is killed with SIGKILL in the
// middle of its writes; a new process on the file matches every entry the
// first had reported written.
TEST(ReceiptStore, SqliteEntriesSurviveKill9) {
  const auto dir = scratch_dir("velmor-sqlite-kill");
  const std::string file = (dir / "r.db").string();
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(fds[0]);
    sqlite_receipt_store s(file);
    for (std::uint64_t i = 0;; ++i) {
      s.remember("acct", entry("M" + std::to_string(i), i));
      if (i % 500 == 499) {
        while (s.stats().remembered < i + 1) std::this_thread::sleep_for(1ms);
        const std::uint64_t written = i + 1;
        if (::write(fds[1], &written, sizeof written) != sizeof written) std::_Exit(1);
      }
    }
  }
  ::close(fds[1]);
  std::uint64_t written = 0, w = 0;
  while (written < 5000 && ::read(fds[0], &w, sizeof w) == sizeof w) written = w;
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  ::close(fds[0]);
  ASSERT_GE(written, 5000u);
  sqlite_receipt_store again(file);
  asio::io_context io;
  int matched = 0, answers = 0;
  for (std::uint64_t i = 0; i < written; ++i)
    again.take("acct", "M" + std::to_string(i), true, true, io.get_executor(), [&, i](receipt_take t) {
      ++answers;
      matched += t.result == receipt_take::kind::matched && t.entry.tag == i;
    });
  ASSERT_TRUE(run_until(
      io, [&] { return answers == static_cast<int>(written); }, 30s));
  EXPECT_EQ(matched, static_cast<int>(written));
  std::filesystem::remove_all(dir);
}

// Redis goes away while receipts come: they wait and match once it is back;
// with it gone for longer than the wait they are reported unmatched
// store_unreachable. Every receipt is reported exactly once.
TEST(ReceiptDesk, RedisStoppedAndStartedReceiptsWaitThenMatch) {
  redis_server server;
  NEED_REDIS(server);
  redis_link::options fast;
  fast.reconnect_every = 50ms;
  fast.io_timeout = 500ms;
  auto store = std::make_shared<redis_receipt_store>(parse_redis_url(server.url()), receipt_limits{}, fast);
  asio::io_context io;
  matcher_config cfg;
  cfg.wait = 3s;
  receipt_desk desk(io.get_executor(), store, "acct", cfg);
  constexpr int n = 300;
  for (int i = 0; i < n; ++i) desk.remember(entry(std::to_string(5000 + i), i));
  asio::io_context sync_io;
  take_now(sync_io, *store, "acct", "none-yet");  // everything written
  server.stop();
  std::map<int, std::string> told;
  int reports = 0;
  for (int i = 0; i < n; ++i)
    desk.receipt(std::to_string(5000 + i), true, true, [&, i](const receipt_matcher::report& r) {
      ++reports;
      told[i] = to_string(r.outcome) + std::string(r.outcome == outcome::unmatched ? to_string(r.reason) : "");
      if (r.outcome != outcome::unmatched) {
        EXPECT_EQ(r.entry.tag, static_cast<std::uint64_t>(i));
      }
    });
  run_until(
      io, [] { return false; }, 300ms);
  EXPECT_EQ(reports, 0) << "nothing is decided while the store is away";
  EXPECT_EQ(desk.parked(), static_cast<std::size_t>(n));
  ASSERT_TRUE(server.start());
  ASSERT_TRUE(run_until(
      io, [&] { return reports == n; }, 10s))
      << reports << " of " << n << " reported";
  for (const auto& [i, what] : told) EXPECT_EQ(what, "early_matched") << i;

  // Gone for longer than the wait: unmatched, with the reason.
  server.stop();
  int late = 0;
  std::string why;
  desk.receipt("5000", true, true, [&](const receipt_matcher::report& r) {
    ++late;
    why = to_string(r.reason);
  });
  ASSERT_TRUE(run_until(
      io, [&] { return late == 1; }, 10s));
  EXPECT_EQ(why, "store_unreachable");
  EXPECT_EQ(desk.open(), 0u);
}
