// Sessions and a pool against the simulator's receipt modes over loopback:
// what the receipt handler sees, and what the SMSC is answered.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "receipts/Servers.h"
#include "session/Fixture.h"
#include "session/Pool.h"
#include "session/receipts/Memory.h"
#include "session/receipts/Open.h"

using namespace velmor;
using namespace velmor::session;
using namespace velmor::session::test;

namespace {

// "outcome" or "outcome whole:delivered", per receipt reported.
std::string said(const receipt_event& e) {
  std::string s = receipts::to_string(e.outcome);
  if (e.outcome == receipts::outcome::unmatched) s += std::string(" ") + receipts::to_string(e.reason);
  if (e.whole_delivered) s += *e.whole_delivered ? " whole:delivered" : " whole:failed";
  return s;
}

struct mode_case {
  const char* name;
  void (*set)(smsc::Config&);
  Byte registered_delivery;
  bool long_text;
  std::map<std::string, int> want;  // per kind of report, for 10 messages
};

struct SessionReceipts : SessionFixture, ::testing::WithParamInterface<mode_case> {};

}  // namespace

TEST_P(SessionReceipts, EveryReceiptReportedOnceWithItsTag) {
  const mode_case& c = GetParam();
  smsc::Config sc;
  c.set(sc);
  start_sim(sc);
  bind(Transceiver);
  std::map<std::string, int> got;
  std::vector<std::uint64_t> tags;
  s->set_receipt_handler([&](const receipt_event& e) {
    ++got[said(e)];
    if (e.matched) tags.push_back(e.tag);
  });
  int total = 0;
  for (const auto& [k, n] : c.want) total += n;
  for (std::uint64_t i = 0; i < 10; ++i) {
    if (c.long_text)
      s->async_send_text({.destination_addr = "4670009",
                          .text = std::string(400, 'x'),
                          .registered_delivery = c.registered_delivery,
                          .tag = 100 + i},
                         [](std::error_code, text_result) {});
    else
      s->async_submit_sm({.destination_addr = "4670009",
                          .short_message = "hi",
                          .registered_delivery = c.registered_delivery,
                          .tag = 100 + i},
                         [](std::error_code, response) {});
  }
  ASSERT_TRUE(run_until([&] {
    int n = 0;
    for (const auto& [k, v] : got) n += v;
    return n >= total;
  })) << c.name;
  loop.RunFor(100ms);  // nothing more comes
  EXPECT_EQ(got, c.want) << c.name;
  for (auto t : tags) EXPECT_TRUE(t >= 100 && t < 110) << t;
  EXPECT_EQ(sim->smsc().counters().receipts_sent, static_cast<std::uint64_t>(total)) << "each answered once";
}

INSTANTIATE_TEST_SUITE_P(
    Receipts, SessionReceipts,
    ::testing::Values(
        mode_case{"plain", [](smsc::Config&) {}, 1, false, {{"matched", 10}}},
        mode_case{"receipt_before_response",
                  [](smsc::Config& c) { c.receipt_before_response = true; },
                  1,
                  false,
                  {{"early_matched", 10}}},
        mode_case{"duplicates",
                  [](smsc::Config& c) { c.duplicate_receipts = true; },
                  1,
                  false,
                  {{"matched", 10}, {"duplicate", 10}}},
        mode_case{"hex_response_decimal_receipt",
                  [](smsc::Config& c) {
                    c.id_style = smsc::MessageIdStyle::Hex;
                    c.receipt_ids_decimal = true;
                  },
                  1,
                  false,
                  {{"matched", 10}}},
        mode_case{"intermediate", [](smsc::Config&) {}, 0x11, false, {{"intermediate", 10}, {"matched", 10}}},
        mode_case{"multipart", [](smsc::Config&) {}, 1, true, {{"matched", 20}, {"matched whole:delivered", 10}}},
        mode_case{"multipart_one_part_undeliverable",
                  [](smsc::Config& c) { c.undeliverable = {"4670009"}; },
                  1,
                  true,
                  {{"matched", 20}, {"matched whole:failed", 10}}}),
    [](const auto& info) { return std::string(info.param.name); });

// Without a receipt handler nobody takes a receipt: the SMSC is told to
// deliver it again (ESME_RX_T_APPN), unless the application accepts such PDUs.
TEST_F(SessionFixture, ReceiptWithoutHandlerIsRefusedUnlessAccepted) {
  for (const bool accept : {false, true}) {
    sim.reset();
    start_sim();
    config c = fast_config(port);
    c.accept_unhandled = accept;
    bind(Transceiver, c);
    std::vector<Cardinal> statuses;
    sim->smsc().on_response = [&](const smsc::Session&, const codec::Header& h) {
      statuses.push_back(h.command_status);
    };
    s->async_submit_sm({.destination_addr = "1", .short_message = "hi", .registered_delivery = 1},
                       [](std::error_code, response) {});
    ASSERT_TRUE(run_until([&] { return !statuses.empty(); }));
    EXPECT_EQ(statuses[0], accept ? 0u : 0x64u);
    s.reset();
  }
}

// A pool of four binds: the simulator hands receipts to the binds in turn,
// and every one matches the submit, whichever bind made it.
TEST_F(SessionFixture, PoolMatchesReceiptsOnEveryBind) {
  start_sim();
  pool_config pc;
  for (int i = 0; i < 4; ++i) pc.binds.push_back(fast_config(port));
  pool p(pc, loop);
  std::map<std::string, int> got;
  std::set<std::uint64_t> tags;
  p.set_receipt_handler([&](const receipt_event& e) {
    ++got[said(e)];
    tags.insert(e.tag);
  });
  std::optional<std::error_code> up;
  p.async_connect([&](std::error_code ec) { up = ec; });
  ASSERT_TRUE(run_until([&] { return up.has_value(); }));
  ASSERT_FALSE(*up);
  // All submits through bind 0's way of choosing; receipts come on all four.
  for (std::uint64_t i = 0; i < 40; ++i)
    p.async_submit_sm({.destination_addr = "1", .short_message = "hi", .registered_delivery = 1, .tag = i},
                      [](std::error_code, response) {});
  ASSERT_TRUE(run_until([&] { return tags.size() == 40; })) << tags.size();
  EXPECT_EQ(got, (std::map<std::string, int>{{"matched", 40}}));
  p.async_shutdown([](std::error_code) {});
  loop.RunFor(100ms);
}

// Two store clients on one Redis, as two processes would have: one bind
// submits (a transmitter), the other receives every receipt; the second
// reports the first's tags, each exactly once.
TEST_F(SessionFixture, TwoClientsOfOneRedisMatchEachOthersReceipts) {
  velmor::receipts_test::redis_server redis;
  if (!redis.available()) GTEST_SKIP() << "redis-server is not installed (apt-get install redis-server)";
  ASSERT_TRUE(redis.start());
  start_sim();
  config tx = fast_config(port), rx = fast_config(port);
  tx.receipt_store = receipts::open_receipt_store(redis.url());
  rx.receipt_store = receipts::open_receipt_store(redis.url());
  bind(Transmitter, tx);
  auto sender = std::move(s);
  bind(Receiver, rx);
  std::map<std::string, int> got;
  std::set<std::uint64_t> tags;
  s->set_receipt_handler([&](const receipt_event& e) {
    ++got[said(e)];
    tags.insert(e.tag);
  });
  for (std::uint64_t i = 0; i < 50; ++i)
    sender->async_submit_sm({.destination_addr = "1", .short_message = "hi", .registered_delivery = 1, .tag = 1000 + i},
                            [](std::error_code, response) {});
  ASSERT_TRUE(run_until([&] { return tags.size() == 50; }, 10s)) << tags.size();
  loop.RunFor(100ms);
  EXPECT_EQ(got, (std::map<std::string, int>{{"matched", 50}})) << "each once, none unmatched";
  EXPECT_EQ(*tags.begin(), 1000u);
  EXPECT_EQ(*tags.rbegin(), 1049u);
}

// A bind of a pool is lost while long texts wait in its queue: their parts
// move to the other bind and still add up to one whole-message outcome, for
// every text whose parts were all matched.
TEST_F(SessionFixture, PoolTextPartsMovedToAnotherBindKeepTheirWholeOutcome) {
  std::unique_ptr<smsc::Server> sims[2];
  pool_config pc;
  for (auto& sim : sims) {
    smsc::Config sc;
    sc.response_delay = 5ms;
    sc.delivery_delay = 20ms;
    sim = std::make_unique<smsc::Server>(sc, loop);
    ASSERT_TRUE(sim->start("127.0.0.1", 0));
    config c = fast_config(sim->port());
    c.window = 2;
    c.receipt_account = "one account";  // the two SMSCs stand for one
    pc.binds.push_back(c);
  }
  int on_b = 0;
  sims[1]->smsc().on_submit = [&](const smsc::Session&, const smsc::MessageView&) { ++on_b; };
  pool p(pc, loop);
  std::map<std::uint64_t, int> parts_matched, wholes;
  p.set_receipt_handler([&](const receipt_event& e) {
    if (!e.matched) return;
    ++parts_matched[e.tag];
    if (e.whole_delivered) ++wholes[e.tag];
  });
  std::optional<std::error_code> up;
  p.async_connect([&](std::error_code ec) { up = ec; });
  ASSERT_TRUE(run_until([&] { return up.has_value(); }));
  constexpr std::uint64_t n = 40;
  std::map<std::uint64_t, std::error_code> sent;
  for (std::uint64_t i = 0; i < n; ++i)
    p.async_send_text(
        {.destination_addr = "4670009", .text = std::string(400, 'x'), .registered_delivery = 1, .tag = i},
        [&sent, i](std::error_code ec, text_result) { sent[i] = ec; });
  ASSERT_TRUE(run_until([&] { return on_b >= 4; }));
  sims[1]->stop();
  ASSERT_TRUE(run_until([&] { return sent.size() == n; }, 10s));
  loop.RunFor(300ms);  // the last receipts
  EXPECT_GT(p.bind(1).counters().handed_off, 3u);
  int whole_texts = 0;
  for (std::uint64_t i = 0; i < n; ++i) {
    EXPECT_LE(wholes[i], 1) << "text " << i;
    if (parts_matched[i] == 3) {
      EXPECT_EQ(wholes[i], 1) << "text " << i << ": every part matched, no whole outcome";
      ++whole_texts;
    }
  }
  EXPECT_GT(whole_texts, static_cast<int>(n / 2));
}

// A store behind on its writes (unreachable, or slower than the submits):
// past receipt_matching.max_unwritten a request asking for a receipt fails
// at once with receipt_store_behind, and its entry never piles up; one
// asking for none still goes.
TEST_F(SessionFixture, StoreBehindRefusesRequestsAskingForAReceipt) {
  struct lagging final : receipt_store {
    receipts::memory_receipt_store inner;
    std::size_t queued = 0;
    void remember(std::string_view a, receipt_entry e) override { inner.remember(a, std::move(e)); }
    void take(std::string_view a, std::string_view id, bool f, bool d, asio::any_io_executor ex, take_handler done,
              std::string_view attempt) override {
      inner.take(a, id, f, d, std::move(ex), std::move(done), attempt);
    }
    receipt_store_stats stats() const override { return inner.stats(); }
    std::size_t backlog() const override { return queued; }
  };
  auto store = std::make_shared<lagging>();
  start_sim();
  config c = fast_config(port);
  c.receipt_store = store;
  c.receipt_matching.max_unwritten = 100;
  bind(Transceiver, c);
  struct row {
    std::size_t queued;
    Byte registered_delivery;
    std::error_code want;
  };
  for (const row& r : {row{99, 1, {}}, row{100, 1, errc::receipt_store_behind}, row{100, 0, {}},
                       row{5000, 0x11, errc::receipt_store_behind}, row{0, 1, {}}}) {
    store->queued = r.queued;
    for (int kind = 0; kind < 2; ++kind) {
      std::optional<std::error_code> got;
      auto done = [&](std::error_code ec, auto&&) { got = ec; };
      if (kind == 0)
        s->async_submit_sm(
            {.destination_addr = "1", .short_message = "hi", .registered_delivery = r.registered_delivery}, done);
      else
        s->async_data_sm({.destination_addr = "1", .registered_delivery = r.registered_delivery}, done);
      ASSERT_TRUE(run_until([&] { return got.has_value(); }));
      EXPECT_EQ(*got, r.want) << r.queued << " queued, kind " << kind;
    }
  }
}
