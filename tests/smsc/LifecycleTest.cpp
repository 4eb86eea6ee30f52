// What a message goes through after submit_sm: scheduled delivery, validity
// periods, intermediate notifications, the text a receipt quotes; and what an
// operator sees of it (trace, counters, mobile-originated traffic).
#include <gtest/gtest.h>

#include <vector>

#include "Harness.h"

namespace velmor::smsc::test {
namespace {

using std::chrono::system_clock;

// ---- schedule_delivery_time / validity_period text ----------------------------------

struct TimeCase {
  const char* name;
  const char* text;
  bool valid;
  system_clock::duration from_now;  // when valid and not empty
};

class SmscTimeParse : public ::testing::TestWithParam<TimeCase> {};

TEST_P(SmscTimeParse, AbsoluteRelativeAndMalformed) {
  const TimeCase& c = GetParam();
  const SmppTime t = parse_smpp_time(c.text, wall_start());
  EXPECT_EQ(t.valid, c.valid);
  EXPECT_EQ(t.present, c.valid && *c.text != '\0');
  if (t.present) {
    EXPECT_EQ((t.at - wall_start()).count(), c.from_now.count());
  }
}

constexpr std::chrono::days kDay{1};

// wall_start() is 2024-03-05 13:07:00 UTC.
INSTANTIATE_TEST_SUITE_P(
    Table, SmscTimeParse,
    ::testing::Values(
        TimeCase{"Empty", "", true, {}}, TimeCase{"AbsoluteUtc", "240305131700000+", true, 10min},
        TimeCase{"AbsoluteAheadOfUtc", "240305141700004+", true, 10min},
        TimeCase{"AbsoluteBehindUtc", "240305121700004-", true, 10min},
        TimeCase{"AbsoluteTenths", "240305131700500+", true, 10min + 500ms},
        TimeCase{"AbsolutePast", "240305120000000+", true, -67min},
        TimeCase{"AbsoluteLeapDay", "240229130700000+", true, -5 * kDay},
        TimeCase{"RelativeSeconds", "000000000010000R", true, 10s},
        TimeCase{"RelativeDaysToSeconds", "000001020304000R", true, kDay + 2h + 3min + 4s},
        TimeCase{"RelativeMonth", "000100000000000R", true, 31 * kDay},
        TimeCase{"RelativeYear", "010000000000000R", true, 365 * kDay},
        TimeCase{"TooShort", "2403051317000+", false, {}}, TimeCase{"TooLong", "240305131700000+0", false, {}},
        TimeCase{"OffsetPast48", "240305131700049+", false, {}},
        TimeCase{"UnknownDirection", "240305131700000*", false, {}}, TimeCase{"Month13", "241305131700000+", false, {}},
        TimeCase{"February30", "240230131700000+", false, {}}, TimeCase{"Hour24", "240305241700000+", false, {}},
        TimeCase{"Minute60", "240305136000000+", false, {}}, TimeCase{"NotADigit", "24030513170a000+", false, {}},
        TimeCase{"RelativeWithTenths", "000000000010100R", false, {}}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- the text a receipt quotes ------------------------------------------------------

struct QuoteCase {
  const char* name;
  const char* short_message_hex;
  Byte esm_class, data_coding;
  const char* quote;
};

class SmscReceiptQuote : public ::testing::TestWithParam<QuoteCase> {};

TEST_P(SmscReceiptQuote, UdhLeftOutTextDecodedPrintable) {
  const QuoteCase& c = GetParam();
  EXPECT_EQ(receipt_quote(hex(c.short_message_hex), c.esm_class, c.data_coding), c.quote);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SmscReceiptQuote,
    ::testing::Values(
        QuoteCase{"Gsm", "68 65 6C 6C 6F", 0x00, 0x00, "hello"},
        QuoteCase{"GsmWithUdh", "05 00 03 CC 02 01 48 69", 0x40, 0x00, "Hi"},
        QuoteCase{"GsmAtSignAndEscapedEuro", "00 1B 65 41", 0x00, 0x00, "@?A"},
        QuoteCase{"Ucs2", "00 48 00 69 20 AC", 0x00, 0x08, "Hi?"},
        QuoteCase{"Ucs2WithUdh", "05 00 03 CC 02 01 00 48 00 69", 0x40, 0x08, "Hi"},
        QuoteCase{"Ucs2SurrogatePair", "D8 3D DE 00 00 21", 0x00, 0x08, "?!"},
        QuoteCase{"Latin1", "E9 74 E9", 0x00, 0x03, "?t?"},
        QuoteCase{"ControlCharacters", "41 0A 42 0D", 0x00, 0x01, "A?B?"},
        QuoteCase{"Binary", "00 01 41", 0x00, 0x04, "???"},
        QuoteCase{"UdhLongerThanMessage", "0A 01 02", 0x40, 0x00, ""},
        QuoteCase{"FirstTwentyCharacters", "41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F 50 51 52 53 54 55 56", 0x00,
                  0x00, "ABCDEFGHIJKLMNOPQRST"},
        QuoteCase{"Ucs2FirstTwenty",
                  "0041 0042 0043 0044 0045 0046 0047 0048 0049 004A 004B 004C 004D 004E 004F 0050 0051 0052 0053 0054 "
                  "0055",
                  0x00, 0x08, "ABCDEFGHIJKLMNOPQRST"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SmscReceiptText, QuotesTheDecodedTextWithoutItsUdh) {
  Harness h;
  h.bound();
  h.feed(submit_with(2, {.esm_class = 0x40,
                         .registered_delivery = 1,
                         .data_coding = 0x08,
                         .short_message = hex("05 00 03 CC 02 01 00 48 00 69 00 21")}));
  h.tick(2s);
  const DecodedDeliver r = decode_deliver(h.take(2s));
  EXPECT_TRUE(r.text.ends_with(" stat:DELIVRD err:000 text:Hi!")) << r.text;
}

// ---- message ids --------------------------------------------------------------------

TEST(SmscIds, RestartedSimulatorNeverReusesAnId) {
  std::string first, second;
  for (std::string* id : {&first, &second}) {
    Smsc smsc;  // default configuration: ids from the clock
    Session& s = smsc.open_session();
    s.feed(bind_trx() + submit(2), TimePoint{});
    Flush f;
    s.take(TimePoint{}, f);
    const std::string resp = f.octets.substr(32);  // past the bind_resp
    *id = resp.substr(16, resp.size() - 17);
  }
  ASSERT_FALSE(first.empty());
  EXPECT_NE(first, "1");
  EXPECT_LT(std::stoull(first), std::stoull(second));
}

// ---- scheduled delivery and validity --------------------------------------------------

struct ScheduleCase {
  const char* name;
  SubmitFields submit;
  std::chrono::milliseconds not_before;  // no receipt at this time
  std::chrono::milliseconds at;          // the receipt by this time
  const char* stat;
  MessageState state;
  std::chrono::milliseconds delivery_delay = 1s;
};

class SmscSchedule : public ::testing::TestWithParam<ScheduleCase> {};

TEST_P(SmscSchedule, FinalAtTheRightTime) {
  const ScheduleCase& c = GetParam();
  Config cfg = test_config();
  cfg.delivery_delay = c.delivery_delay;
  Harness h(cfg);
  h.bound();
  ASSERT_EQ(h.feed(submit_with(2, c.submit)).substr(8, 4), hex("00000000"));
  h.tick(c.not_before);
  EXPECT_EQ(to_hex(h.take(c.not_before)), "");
  h.tick(c.at);
  const DecodedDeliver r = decode_deliver(h.take(c.at));
  EXPECT_NE(r.text.find(std::string("stat:") + c.stat), std::string::npos) << r.text;
  EXPECT_EQ(r.tlvs.message_state.Value, static_cast<Byte>(c.state));
  EXPECT_EQ(h.smsc.store().find(1)->state, c.state);
}

INSTANTIATE_TEST_SUITE_P(Table, SmscSchedule,
                         ::testing::Values(ScheduleCase{"AbsoluteTenMinutesAhead",
                                                        {.schedule = "240305141700004+", .registered_delivery = 1},
                                                        599s,
                                                        600s,
                                                        "DELIVRD",
                                                        MessageState::Delivered},
                                           ScheduleCase{"RelativeTenSeconds",
                                                        {.schedule = "000000000010000R", .registered_delivery = 1},
                                                        9999ms,
                                                        10s,
                                                        "DELIVRD",
                                                        MessageState::Delivered},
                                           ScheduleCase{"ScheduleInThePastIsNow",
                                                        {.schedule = "240305120000000+", .registered_delivery = 1},
                                                        -1ms,
                                                        0ms,
                                                        "DELIVRD",
                                                        MessageState::Delivered},
                                           ScheduleCase{"ValidityEndsBeforeDelivery",
                                                        {.validity = "000000000001000R", .registered_delivery = 1},
                                                        999ms,
                                                        1s,
                                                        "EXPIRED",
                                                        MessageState::Expired,
                                                        5s},
                                           ScheduleCase{"ValidityEndsBeforeSchedule",
                                                        {.schedule = "000000001000000R",
                                                         .validity = "000000000500000R",
                                                         .registered_delivery = 1},
                                                        299s,
                                                        300s,
                                                        "EXPIRED",
                                                        MessageState::Expired},
                                           ScheduleCase{"ValidityLongerThanDelay",
                                                        {.validity = "000000000010000R", .registered_delivery = 1},
                                                        999ms,
                                                        1s,
                                                        "DELIVRD",
                                                        MessageState::Delivered},
                                           ScheduleCase{"ExpiryFailureOnlyReceipt",
                                                        {.validity = "000000000001000R", .registered_delivery = 2},
                                                        999ms,
                                                        1s,
                                                        "EXPIRED",
                                                        MessageState::Expired,
                                                        5s}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SmscSchedule, ScheduledMessageDoesNotHoldBackLaterOnes) {
  Harness h;
  h.bound();
  h.feed(submit_with(2, {.schedule = "000000001000000R", .registered_delivery = 1}));
  h.feed(submit_with(3, {.registered_delivery = 1}));
  h.tick(1s);
  EXPECT_EQ(decode_deliver(h.take(1s)).tlvs.receipted_message_id.Value, std::string("2\0", 2));
  // Cancel by address still finds the scheduled one, behind the delivered one.
  const std::string out = h.feed(pdu(command_id::cancel_sm, 4, "00 00 0101" + cstr("123") + "0101" + cstr("456")), 2s);
  EXPECT_EQ(to_hex(out.substr(0, 16)), to_hex(hex("00000010 80000008 00000000 00000004")));
  EXPECT_EQ(h.smsc.store().find(1)->state, MessageState::Deleted);
  h.tick(600s);
  EXPECT_EQ(to_hex(h.take(600s)), "");
}

TEST(SmscSchedule, MalformedTimesAreRefused) {
  Harness h;
  h.bound();
  EXPECT_EQ(to_hex(h.feed(submit_with(2, {.schedule = "240305131700049+"}))),
            to_hex(hex("00000010 80000004 00000061 00000002")));
  EXPECT_EQ(to_hex(h.feed(submit_with(3, {.validity = "2403051317"}))),
            to_hex(hex("00000010 80000004 00000062 00000003")));
  EXPECT_EQ(h.smsc.store().size(), 0u);
  EXPECT_EQ(h.smsc.counters().messages_refused, 2u);
}

struct ReplaceCase {
  const char* name;
  const char* schedule;
  const char* validity;
  Cardinal status;
  std::chrono::milliseconds not_before, at;  // no receipt / the receipt
  const char* stat;
};

class SmscReplaceTimes : public ::testing::TestWithParam<ReplaceCase> {};

TEST_P(SmscReplaceTimes, NewTimesReplaceTheOldOnes) {
  const ReplaceCase& c = GetParam();
  Config cfg = test_config();
  cfg.delivery_delay = 5s;
  Harness h(cfg);
  h.bound();
  h.feed(submit_with(2, {.schedule = "000000000002000R", .registered_delivery = 1}));
  const std::string replace = pdu(command_id::replace_sm, 3,
                                  cstr("1") + "0101" + cstr("123") + cstr(c.schedule) + cstr(c.validity) + "01 00 00");
  EXPECT_EQ(to_hex(h.feed(replace)), to_hex(pdu(command_id::replace_sm_resp, 3, "", c.status)));
  h.tick(c.not_before);
  EXPECT_EQ(to_hex(h.take(c.not_before)), "");
  h.tick(c.at);
  const DecodedDeliver r = decode_deliver(h.take(c.at));
  EXPECT_NE(r.text.find(std::string("stat:") + c.stat), std::string::npos) << r.text;
  h.tick(1h);
  EXPECT_EQ(to_hex(h.take(1h)), "");  // one receipt, the old schedule forgotten
}

INSTANTIATE_TEST_SUITE_P(
    Table, SmscReplaceTimes,
    ::testing::Values(ReplaceCase{"NoTimesKeepsTheSchedule", "", "", 0, 1999ms, 2s, "DELIVRD"},
                      ReplaceCase{"LaterSchedule", "000000001000000R", "", 0, 599s, 600s, "DELIVRD"},
                      ReplaceCase{"EarlierValidity", "", "000000000001000R", 0, 999ms, 1s, "EXPIRED"},
                      ReplaceCase{"MalformedScheduleKeepsTheMessage", "2403", "", 0x61, 1999ms, 2s, "DELIVRD"},
                      ReplaceCase{"MalformedValidityKeepsTheMessage", "", "99999999999999R", 0x62, 1999ms, 2s,
                                  "DELIVRD"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- intermediate notifications ---------------------------------------------------------

struct IntermediateCase {
  const char* name;
  Byte registered_delivery;
  bool intermediate, final_receipt;
};

class SmscIntermediate : public ::testing::TestWithParam<IntermediateCase> {};

TEST_P(SmscIntermediate, EnrouteAtAcceptanceWhenAsked) {
  const IntermediateCase& c = GetParam();
  Harness h;
  h.bound();
  const std::string out = h.feed(submit_with(2, {.registered_delivery = c.registered_delivery}));
  EXPECT_EQ(to_hex(out.substr(0, 18)), to_hex(hex("00000012 80000004 00000000 00000002 3100")));
  if (c.intermediate) {
    const DecodedDeliver r = decode_deliver(out.substr(18));
    EXPECT_EQ(r.esm_class, 0x20);
    EXPECT_EQ(r.text,
              "id:1 sub:001 dlvrd:000 submit date:2403051307 done date:2403051307 stat:ENROUTE err:000 "
              "text:hello");
    EXPECT_EQ(r.tlvs.message_state.Value, static_cast<Byte>(MessageState::Enroute));
  } else {
    EXPECT_EQ(out.size(), 18u);
  }
  h.tick(1s);
  const std::string later = h.take(1s);
  EXPECT_EQ(!later.empty(), c.final_receipt);
  if (c.final_receipt) {
    EXPECT_EQ(decode_deliver(later).esm_class, 0x04);
  }
}

INSTANTIATE_TEST_SUITE_P(Table, SmscIntermediate,
                         ::testing::Values(IntermediateCase{"None", 0x00, false, false},
                                           IntermediateCase{"IntermediateOnly", 0x10, true, false},
                                           IntermediateCase{"IntermediateAndFinal", 0x11, true, true},
                                           IntermediateCase{"IntermediateAndFailureOnly", 0x12, true, false},
                                           IntermediateCase{"FinalOnly", 0x01, false, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- trace, counters, mobile-originated traffic ---------------------------------------------

TEST(SmscObservability, TraceSeesEveryPduBothWays) {
  struct Line {
    std::string session;
    bool received;
    std::string pdu;
  };
  std::vector<Line> lines;
  Config cfg = test_config();
  cfg.trace = [&](std::string_view session, bool received, std::string_view pdu) {
    lines.push_back({std::string(session), received, std::string(pdu)});
  };
  Harness h(cfg);
  const std::string in = bind_trx(1, "esme1") + submit(2);
  const std::string out = h.feed(in);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0].session, "#1");
  EXPECT_TRUE(lines[0].received);
  EXPECT_EQ(to_hex(lines[0].pdu), to_hex(bind_trx(1, "esme1")));
  EXPECT_EQ(lines[1].session, "#1 esme1");
  EXPECT_FALSE(lines[1].received);
  EXPECT_EQ(to_hex(lines[1].pdu + lines[3].pdu), to_hex(out));
  EXPECT_EQ(to_hex(lines[2].pdu), to_hex(submit(2)));
  EXPECT_TRUE(lines[2].received);
}

TEST(SmscObservability, CountersPrintOneLinePerCounter) {
  Harness h;
  h.bound();
  h.feed(submit(2) + submit(3, ""));
  const Counters k = h.smsc.counters();
  EXPECT_EQ(k.sessions, 1u);
  const std::string text = k.to_string();
  for (const char* line : {"binds_accepted 1\n", "submit_sm 2\n", "messages_accepted 1\n", "messages_refused 1\n",
                           "sessions 1\n", "mo_sent 0\n"})
    EXPECT_NE(text.find(line), std::string::npos) << line;
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), static_cast<long>(sizeof(Counters) / sizeof(std::uint64_t)));
}

TEST(SmscObservability, MobileOriginatedEveryIntervalToReceiversOnly) {
  Config cfg = test_config();
  cfg.mo_every = 100ms;
  cfg.mo_text = "ping";
  Harness h(cfg);
  h.bound();
  Session& tx = h.smsc.open_session("tx");
  tx.feed(bind_trx(1, "esme", "pw", command_id::bind_transmitter), h.t0);
  Flush f;
  tx.take(h.t0, f);
  h.tick(0ms);
  h.tick(99ms);
  EXPECT_EQ(to_hex(h.take(99ms)), "");
  h.tick(100ms);
  const DecodedDeliver mo = decode_deliver(h.take(100ms));
  EXPECT_EQ(mo.command_id, command_id::deliver_sm);
  EXPECT_EQ(mo.esm_class, 0x00);
  EXPECT_EQ(mo.source, cfg.mo_source_addr);
  EXPECT_EQ(mo.destination, cfg.mo_destination_addr);
  EXPECT_EQ(mo.text, "ping");
  EXPECT_FALSE(tx.take(h.t0 + 100ms, f));
  h.tick(150ms);
  EXPECT_EQ(to_hex(h.take(150ms)), "");
  h.tick(200ms);
  EXPECT_EQ(decode_deliver(h.take(200ms)).text, "ping");
  EXPECT_EQ(h.smsc.counters().mo_sent, 2u);
}

TEST(SmscObservability, UnbindAllClosesEachSessionOnItsResponse) {
  Harness h;
  h.bound();
  EXPECT_EQ(h.smsc.unbind_all(h.t0), 1u);
  EXPECT_EQ(to_hex(h.take()), to_hex(hex("00000010 00000006 00000000 00000001")));
  EXPECT_TRUE(h.s->unbinding());
  EXPECT_FALSE(h.last_close);
  h.feed(hex("00000010 80000006 00000000 00000001"));
  EXPECT_FALSE(h.s->unbinding());
  EXPECT_TRUE(h.last_close);
  EXPECT_EQ(h.smsc.unbind_all(h.t0), 0u);
}

}  // namespace
}  // namespace velmor::smsc::test
