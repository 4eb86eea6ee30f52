// Fault modes a client is tested against: split writes, delayed responses,
// throttling, a connection cut in the middle of a PDU.
#include <gtest/gtest.h>

#include "Harness.h"

namespace velmor::smsc::test {
namespace {

const std::string kThreeLinks =
    hex("00000010 00000015 00000000 00000002 00000010 00000015 00000000 00000003"
        "00000010 00000015 00000000 00000004");
const std::string kThreeResps =
    hex("00000010 80000015 00000000 00000002 00000010 80000015 00000000 00000003"
        "00000010 80000015 00000000 00000004");

struct SplitCase {
  const char* name;
  std::vector<std::size_t> offsets;
  std::vector<std::size_t> cuts;
};

class SmscSplitWrites : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SmscSplitWrites, CutsAtConfiguredOffsetsAndLosesNothing) {
  Config cfg = test_config();
  cfg.split_offsets = GetParam().offsets;
  Harness h(cfg);
  h.bound();
  h.s->feed(kThreeLinks, h.t0);
  Flush f;
  ASSERT_TRUE(h.s->take(h.t0, f));
  EXPECT_EQ(f.cuts, GetParam().cuts);
  std::string joined;
  for (std::string_view p : f.pieces()) {
    EXPECT_FALSE(p.empty());
    joined += p;
  }
  EXPECT_EQ(to_hex(joined), to_hex(kThreeResps));
  EXPECT_EQ(f.pieces().size(), GetParam().cuts.size() + 1);
}

INSTANTIATE_TEST_SUITE_P(Table, SmscSplitWrites,
                         ::testing::Values(SplitCase{"OneCut", {7}, {7}},
                                           SplitCase{"UnsortedWithDuplicates", {20, 3, 20}, {3, 20}},
                                           SplitCase{"AtPduBoundaryAndInside", {16, 17, 40}, {16, 17, 40}},
                                           SplitCase{"EdgesAndPastEndIgnored", {0, 48, 100, 47}, {47}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SmscSplitWrites, RandomCutsAreReproducibleAndLoseNothing) {
  Config cfg = test_config();
  cfg.split_random = true;
  cfg.random_seed = 42;
  std::vector<std::vector<std::size_t>> first_run;
  for (int run = 0; run < 2; ++run) {
    Harness h(cfg);
    h.bound();
    for (int i = 0; i < 30; ++i) {
      h.s->feed(kThreeLinks, h.t0);
      Flush f;
      ASSERT_TRUE(h.s->take(h.t0, f));
      ASSERT_GE(f.cuts.size(), 1u);
      ASSERT_LE(f.cuts.size(), 3u);
      std::string joined;
      for (std::string_view p : f.pieces()) joined += p;
      ASSERT_EQ(to_hex(joined), to_hex(kThreeResps));
      if (run == 0)
        first_run.push_back(f.cuts);
      else
        EXPECT_EQ(f.cuts, first_run[static_cast<std::size_t>(i)]);
    }
  }
}

TEST(SmscDelay, ResponsesHeldBackThenReleasedInOrder) {
  Config cfg = test_config();
  cfg.response_delay = 50ms;
  Harness h(cfg);
  h.s->feed(bind_trx(1), h.t0);
  h.s->feed(submit(2), h.t0 + 10ms);
  EXPECT_EQ(to_hex(h.take(49ms)), "");
  EXPECT_TRUE(h.s->has_delayed_output());
  EXPECT_EQ(to_hex(h.take(50ms)), to_hex(pdu(0x80000009, 1, cstr("VelmorSMSC") + "0210 0001 34")));
  EXPECT_EQ(to_hex(h.take(59ms)), "");
  // tick() is what tells the transport that a delayed response fell due.
  bool dirty = false;
  h.smsc.drain_dirty([&](Session&) { dirty = true; });
  h.tick(60ms);
  h.smsc.drain_dirty([&](Session&) { dirty = true; });
  EXPECT_TRUE(dirty);
  EXPECT_EQ(to_hex(h.take(60ms)), to_hex(pdu(command_id::submit_sm_resp, 2, cstr("1"))));
}

TEST(SmscDelay, UnbindClosesOnlyAfterTheDelayedResponse) {
  Config cfg = test_config();
  cfg.response_delay = 20ms;
  Harness h(cfg);
  h.s->feed(bind_trx(1) + hex("00000010 00000006 00000000 00000002"), h.t0);
  EXPECT_EQ(h.take(19ms), "");
  EXPECT_FALSE(h.last_close);
  EXPECT_EQ(h.take(20ms).size(), 32u + 16u);
  EXPECT_TRUE(h.last_close);
}

struct ThrottleCase {
  const char* name;
  std::uint32_t every;
  std::string throttled_seqs;  // the sequence numbers answered 0x58
};

class SmscThrottle : public ::testing::TestWithParam<ThrottleCase> {};

TEST_P(SmscThrottle, AnswersThrottledOnSchedule) {
  Config cfg = test_config();
  cfg.throttle_every = GetParam().every;
  Harness h(cfg);
  h.bound();
  std::string in;
  for (Cardinal seq = 2; seq <= 7; ++seq) {
    if (seq == 4)
      in += pdu(command_id::data_sm, seq, "00 0101" + cstr("1") + "0101" + cstr("2") + "000000");
    else if (seq == 5)
      in += hex("00000010 00000015 00000000 00000005");  // not a message: never throttled
    else
      in += submit(seq);
  }
  const std::string out = h.feed(in);
  std::string throttled;
  codec::Cursor c(out);
  while (!c.empty()) {
    const codec::Header r = codec::read_header(c);
    c.octets(r.command_length - 16);
    if (r.command_status == 0x58)
      throttled += std::to_string(r.sequence_number);
    else
      EXPECT_EQ(r.command_status, 0u);
  }
  EXPECT_EQ(throttled, GetParam().throttled_seqs);
}

INSTANTIATE_TEST_SUITE_P(Table, SmscThrottle,
                         ::testing::Values(ThrottleCase{"Off", 0, ""}, ThrottleCase{"Every", 1, "23467"},
                                           ThrottleCase{"EverySecond", 2, "36"}, ThrottleCase{"EveryThird", 3, "4"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SmscThrottle, ThrottledSubmitIsStillReportedButNotStored) {
  Config cfg = test_config();
  cfg.throttle_every = 1;
  Harness h(cfg);
  h.bound();
  int seen = 0;
  h.smsc.on_submit = [&](const Session&, const MessageView&) { ++seen; };
  EXPECT_EQ(to_hex(h.feed(submit(2))), to_hex(hex("00000010 80000004 00000058 00000002")));
  EXPECT_EQ(seen, 1);
  EXPECT_EQ(h.smsc.store().size(), 0u);
  EXPECT_EQ(h.smsc.counters().throttled, 1u);
}

struct CutCase {
  const char* name;
  std::int64_t index;
  std::chrono::milliseconds delay;
  std::string expected;
};

class SmscCutPdu : public ::testing::TestWithParam<CutCase> {};

TEST_P(SmscCutPdu, WritesHalfThenCloses) {
  Config cfg = test_config();
  cfg.cut_pdu_index = GetParam().index;
  cfg.response_delay = GetParam().delay;
  Harness h(cfg);
  h.s->feed(bind_trx(1) + submit(2) + submit(3), h.t0);
  EXPECT_EQ(to_hex(h.take(1s)), to_hex(GetParam().expected));
  EXPECT_TRUE(h.last_close);
  EXPECT_TRUE(h.s->closing());
  h.s->feed(submit(4), h.t0 + 2s);
  EXPECT_EQ(to_hex(h.take(2s)), "");
}

INSTANTIATE_TEST_SUITE_P(
    Table, SmscCutPdu,
    ::testing::Values(CutCase{"BindResponse", 0, 0ms, hex("00000020 80000009 00000000 00000001")},
                      CutCase{"FirstSubmitResponse", 1, 0ms,
                              pdu(0x80000009, 1, cstr("VelmorSMSC") + "0210 0001 34") + hex("00000012 80000004 00")},
                      CutCase{"WithDelayedResponses", 1, 5ms,
                              pdu(0x80000009, 1, cstr("VelmorSMSC") + "0210 0001 34") + hex("00000012 80000004 00")}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace velmor::smsc::test
