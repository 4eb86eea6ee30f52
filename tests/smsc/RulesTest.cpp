// Fault rules by destination prefix, on the sans-I/O core: what each rule
// does to the response and to the message, parsing of --rule texts, and
// rules added and removed while sessions run.
#include <gtest/gtest.h>

#include "Harness.h"
#include "tools/smsc/Rules.h"

namespace velmor::smsc::test {
namespace {

struct RuleCase {
  const char* name;
  const char* rule;
  const char* dest;
  std::chrono::milliseconds answered_at;  // -1: never
  Cardinal status;
  MessageState final_state;  // of message 1, when it was accepted
};

class SmscRules : public ::testing::TestWithParam<RuleCase> {};

TEST_P(SmscRules, EachFaultActsOnMatchingDestinationsOnly) {
  const RuleCase& c = GetParam();
  std::string why;
  Config cfg = test_config();
  cfg.delivery_delay = 100ms;
  cfg.rules.push_back(*parse_rule(c.rule, why));
  Harness h(cfg);
  h.bound();
  // A destination the rule does not match is untouched.
  EXPECT_EQ(to_hex(h.feed(submit(2, "999"))), to_hex(pdu(command_id::submit_sm_resp, 2, cstr("1"))));
  std::string out = h.feed(submit(3, c.dest));
  if (c.answered_at > 0ms) {
    EXPECT_EQ(out, "");
    EXPECT_EQ(h.take(c.answered_at - 1ms), "");
    h.tick(c.answered_at);
    out = h.take(c.answered_at);
  }
  if (c.answered_at < 0ms) {
    EXPECT_EQ(out, "");
    h.tick(10s);
    EXPECT_EQ(h.take(10s), "") << "a no-response rule never answers";
    EXPECT_EQ(h.smsc.store().size(), 1u);
    return;
  }
  if (c.status != 0) {
    EXPECT_EQ(to_hex(out), to_hex(pdu(command_id::submit_sm_resp, 3, "", c.status)));
    EXPECT_EQ(h.smsc.store().size(), 1u);
    return;
  }
  EXPECT_EQ(to_hex(out), to_hex(pdu(command_id::submit_sm_resp, 3, cstr("2"))));
  h.tick(10s);
  EXPECT_EQ(h.smsc.store().find(2)->state, c.final_state);
  EXPECT_EQ(h.smsc.store().find(1)->state, MessageState::Delivered);
  EXPECT_GE(h.smsc.counters().rule_faults, 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SmscRules,
    ::testing::Values(RuleCase{"Refuse", "467=refuse:0x45", "4670001", 0ms, 0x45, {}},
                      RuleCase{"RefuseByName", "467=refuse:ESME_RINVDSTADR", "4670001", 0ms, 0x0B, {}},
                      RuleCase{"Throttled", "467=throttled", "4670001", 0ms, 0x58, {}},
                      RuleCase{"QueueFull", "467=queue-full", "4670001", 0ms, 0x14, {}},
                      RuleCase{"Delay", "467=delay:250ms", "4670001", 250ms, 0, MessageState::Delivered},
                      RuleCase{"NoResponse", "467=no-response", "4670001", -1ms, 0, {}},
                      RuleCase{"Undeliverable", "467=undeliverable", "4670001", 0ms, 0, MessageState::Undeliverable},
                      RuleCase{"WholeNumberAsPrefix", "4670001=refuse", "4670001", 0ms, 0x45, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SmscRules, ParseRefusesWhatItCannotRead) {
  for (const char* bad : {"467", "467=explode", "467=delay", "467=delay:2h", "467=refuse:0", "467=refuse:NOPE",
                          "467=throttled:5", "123456789012345678901=refuse"}) {
    std::string why;
    EXPECT_FALSE(parse_rule(bad, why)) << bad;
    EXPECT_FALSE(why.empty()) << bad;
  }
  std::string why;
  EXPECT_EQ(rule_text(*parse_rule("46=delay:2s", why)), "46=delay:2000ms");
  EXPECT_EQ(rule_text(*parse_rule("46=refuse", why)), "46=refuse:ESME_RSUBMITFAIL");
}

// submit_multi: a refusing rule becomes that destination's unsuccess entry;
// rules come and go between PDUs, first match wins.
TEST(SmscRules, AddedAndRemovedAtRunTimePerDestination) {
  Harness h;
  h.bound();
  std::string why;
  const FaultRule late = h.smsc.add_rule(*parse_rule("4670=undeliverable", why));
  const std::uint64_t refuse = h.smsc.add_rule(*parse_rule("4670666=refuse:0x0B", why), true).id;
  EXPECT_NE(late.id, refuse);
  ASSERT_EQ(h.smsc.config().rules.front().id, refuse);
  // submit_multi to 4670666 (refused) and 4670001 (accepted, undeliverable)
  const std::string multi = cstr("") + "01 01" + cstr("123") + "02" + "01 01 01" + cstr("4670666") + "01 01 01" +
                            cstr("4670001") + "00 00 00" + cstr("") + cstr("") + "00 00 00 00 02 6869";
  const std::string resp = h.feed(pdu(command_id::submit_multi, 2, multi));
  EXPECT_EQ(to_hex(resp),
            to_hex(pdu(command_id::submit_multi_resp, 2, cstr("1") + "01 01 01" + cstr("4670666") + "0000000B")));
  EXPECT_TRUE(h.smsc.force_state(1, MessageState::Rejected, h.t0));
  EXPECT_FALSE(h.smsc.force_state(1, MessageState::Delivered, h.t0)) << "already final";
  EXPECT_TRUE(h.smsc.remove_rule(refuse));
  EXPECT_FALSE(h.smsc.remove_rule(refuse));
  EXPECT_EQ(to_hex(h.feed(submit(3, "4670666"))), to_hex(pdu(command_id::submit_sm_resp, 3, cstr("2"))));
  h.tick(10s);
  EXPECT_EQ(h.smsc.store().find(2)->state, MessageState::Undeliverable);
}

}  // namespace
}  // namespace velmor::smsc::test
