// The message store, its lifecycle under injected time, delivery receipts and
// the traffic the SMSC originates.
#include <gtest/gtest.h>

#include "Harness.h"
#include "pdu/Body.h"
#include "tlv/Tlv.h"

namespace velmor::smsc::test {
namespace {

// Hex of the octets of s, without a terminating NUL.
std::string octs(std::string_view s) {
  std::string h = cstr(s);
  h.resize(h.size() - 2);
  return h;
}

// ---- message ids --------------------------------------------------------------------

struct IdCase {
  MessageIdStyle style;
  const char* prefix;
  std::uint64_t id;
  const char* text;
};

class SmscMessageIds : public ::testing::TestWithParam<IdCase> {};

TEST_P(SmscMessageIds, FormatAndParseRoundTrip) {
  const IdCase& c = GetParam();
  const MessageIds ids(c.style, c.prefix);
  EXPECT_EQ(ids.text(c.id), c.text);
  EXPECT_EQ(ids.parse(c.text), c.id);
}

INSTANTIATE_TEST_SUITE_P(Table, SmscMessageIds,
                         ::testing::Values(IdCase{MessageIdStyle::Decimal, "", 1, "1"},
                                           IdCase{MessageIdStyle::Decimal, "", 1234567890123, "1234567890123"},
                                           IdCase{MessageIdStyle::Hex, "", 255, "FF"},
                                           IdCase{MessageIdStyle::Hex, "", 0x1A2B3C, "1A2B3C"},
                                           IdCase{MessageIdStyle::Hex, "M", 16, "M10"},
                                           IdCase{MessageIdStyle::Decimal, "sim-", 0, "sim-0"}));

TEST(SmscMessageIds, ParseRefusesWhatWasNeverIssued) {
  const MessageIds hexids(MessageIdStyle::Hex, "M");
  for (const char* bad : {"", "M", "FF", "m10", "M010", "MXYZ", "M10 ", "M-1", "M10000000000000000"})
    EXPECT_FALSE(hexids.parse(bad).has_value()) << bad;
  EXPECT_EQ(hexids.parse("Mff"), 255u);  // hex digits in either case
  const MessageIds dec(MessageIdStyle::Decimal, "");
  for (const char* bad : {"", "01", "1a", "+1", "A"}) EXPECT_FALSE(dec.parse(bad).has_value()) << bad;
}

TEST(SmscMessageIds, ConfiguredStyleReachesTheResponse) {
  Config cfg = test_config();
  cfg.id_style = MessageIdStyle::Hex;
  cfg.id_prefix = "M";
  cfg.first_message_id = 0xFFFF;
  Harness h(cfg);
  h.bound();
  EXPECT_EQ(to_hex(h.feed(submit(2) + submit(3))), to_hex(pdu(command_id::submit_sm_resp, 2, cstr("MFFFF")) +
                                                          pdu(command_id::submit_sm_resp, 3, cstr("M10000"))));
}

// ---- lifecycle ----------------------------------------------------------------------

TEST(SmscStore, QueryFollowsTheStateWithInjectedTime) {
  Harness h;
  h.bound();
  h.feed(submit(2));
  const std::string query = pdu(command_id::query_sm, 3, cstr("1") + "0101" + cstr("123"));
  h.tick(999ms);
  EXPECT_EQ(to_hex(h.feed(query, 999ms)), to_hex(hex("00000015 80000003 00000000 00000003 3100 00 01 00")));
  h.tick(1000ms);
  EXPECT_EQ(to_hex(h.feed(query, 1000ms)),
            to_hex(hex("00000025 80000003 00000000 00000003 3100") + "240305130701000+" + hex("00 02 00")));
  EXPECT_EQ(h.smsc.counters().delivered, 1u);
}

TEST(SmscStore, UndeliverableDestinationEndsUndeliverable) {
  Config cfg = test_config();
  cfg.undeliverable = {"456"};
  cfg.undeliverable_error = 0x2A;
  cfg.delivery_delay = 10ms;
  Harness h(cfg);
  h.bound();
  h.feed(submit(2));
  h.tick(2h);
  const std::string out = h.feed(pdu(command_id::query_sm, 3, cstr("1") + "0000 00"), 2h);
  EXPECT_EQ(to_hex(out), to_hex(hex("00000025 80000003 00000000 00000003 3100") + "240305130700000+" +
                                hex("00 05 2A")));  // done at submit + 10 ms
}

TEST(SmscStore, ReplaceThenCancelThenBothFail) {
  Harness h;
  h.bound();
  h.feed(submit(2, "456", "hello", 1));
  EXPECT_EQ(to_hex(h.feed(pdu(command_id::replace_sm, 3, cstr("1") + "0101" + cstr("123") + "00 00 01 00 03 627965"))),
            to_hex(hex("00000010 80000007 00000000 00000003")));
  // The cancel is final at once; the receipt asked for goes out right after.
  const std::string out =
      h.feed(pdu(command_id::cancel_sm, 4, "00" + cstr("1") + "0101" + cstr("123") + "0101" + cstr("456")), 250ms);
  ASSERT_GT(out.size(), 16u);
  EXPECT_EQ(to_hex(out.substr(0, 16)), to_hex(hex("00000010 80000008 00000000 00000004")));
  const DecodedDeliver r = decode_deliver(std::string_view(out).substr(16));
  EXPECT_EQ(r.text, "id:1 sub:001 dlvrd:000 submit date:2403051307 done date:2403051307 stat:DELETED err:000 text:bye");
  EXPECT_EQ(r.tlvs.message_state.Value, 4);

  EXPECT_EQ(to_hex(h.feed(pdu(command_id::query_sm, 5, cstr("1") + "0000 00"), 300ms)),
            to_hex(hex("00000025 80000003 00000000 00000005 3100") + "240305130700000+" + hex("00 04 00")));
  EXPECT_EQ(to_hex(h.feed(pdu(command_id::cancel_sm, 6, "00" + cstr("1") + "0000 00 0000 00"))),
            to_hex(hex("00000010 80000008 00000011 00000006")));
  EXPECT_EQ(to_hex(h.feed(pdu(command_id::replace_sm, 7, cstr("1") + "0000 00 00 00 00 00 00"))),
            to_hex(hex("00000010 80000007 00000013 00000007")));
  // Time passing does not revive or re-finalize a cancelled message.
  h.tick(5s);
  EXPECT_EQ(to_hex(h.take(5s)), "");
  EXPECT_EQ(h.smsc.counters().delivered, 0u);
}

TEST(SmscStore, DeliveredMessagesCannotBeCancelledOrReplaced) {
  Harness h;
  h.bound();
  h.feed(submit(2));
  h.tick(1s);
  EXPECT_EQ(to_hex(h.feed(pdu(command_id::cancel_sm, 3, "00" + cstr("1") + "0000 00 0000 00"))),
            to_hex(hex("00000010 80000008 00000011 00000003")));
  EXPECT_EQ(to_hex(h.feed(pdu(command_id::replace_sm, 4, cstr("1") + "0000 00 00 00 00 00 00"))),
            to_hex(hex("00000010 80000007 00000013 00000004")));
}

TEST(SmscStore, CancelWithoutIdCancelsEveryPendingMatch) {
  Harness h;
  h.bound();
  h.feed(submit(2, "456") + submit(3, "789") + submit(4, "456"));
  EXPECT_EQ(to_hex(h.feed(pdu(command_id::cancel_sm, 5, "00 00 0101" + cstr("123") + "0101" + cstr("456")))),
            to_hex(hex("00000010 80000008 00000000 00000005")));
  EXPECT_EQ(h.smsc.store().find(1)->state, MessageState::Deleted);
  EXPECT_EQ(h.smsc.store().find(2)->state, MessageState::Enroute);
  EXPECT_EQ(h.smsc.store().find(3)->state, MessageState::Deleted);
}

TEST(SmscStore, FullStoreEvictsOldestFinalOrRefuses) {
  Config cfg = test_config();
  cfg.store_limit = 2;
  Harness h(cfg);
  h.bound();
  EXPECT_EQ(to_hex(h.feed(submit(2) + submit(3) + submit(4))),
            to_hex(pdu(command_id::submit_sm_resp, 2, cstr("1")) + pdu(command_id::submit_sm_resp, 3, cstr("2")) +
                   hex("00000010 80000004 00000014 00000004")));
  h.tick(1s);
  EXPECT_EQ(to_hex(h.feed(submit(5), 1s)), to_hex(pdu(command_id::submit_sm_resp, 5, cstr("3"))));
  EXPECT_EQ(h.smsc.store().find(1), nullptr);
  EXPECT_EQ(to_hex(h.feed(pdu(command_id::query_sm, 6, cstr("1") + "0000 00"), 1s)),
            to_hex(hex("00000010 80000003 00000067 00000006")));
  EXPECT_NE(h.smsc.store().find(2), nullptr);
}

// ---- receipts -----------------------------------------------------------------------

TEST(SmscReceipt, GoldenDeliverSm) {
  Harness h;
  h.bound();
  h.feed(submit(2, "456", "hello", 1));
  h.tick(1s);
  const std::string text =
      "id:1 sub:001 dlvrd:001 submit date:2403051307 done date:2403051307 stat:DELIVRD err:000 text:hello";
  ASSERT_EQ(text.size(), 0x62u);
  EXPECT_EQ(to_hex(h.take(1s)), to_hex(hex("00000094 00000005 00000000 00000001 "
                                           "00 0101 34353600 0101 31323300 04 00 00 00 00 00 00 00 00 62") +
                                       text + hex("0427 0001 02 001E 0002 3100")));
  EXPECT_EQ(h.s->outstanding(), 1u);
  EXPECT_EQ(to_hex(h.feed(hex("00000011 80000005 00000000 00000001 00"), 1s)), "");
  EXPECT_EQ(h.s->outstanding(), 0u);
  EXPECT_EQ(h.smsc.counters().unmatched_responses, 0u);
}

struct ReceiptCase {
  const char* name;
  int registered_delivery;
  bool undeliverable;
  bool cancel;
  const char* expected;  // receipt text, or "" when none is due
  Byte state;
};

class SmscReceipts : public ::testing::TestWithParam<ReceiptCase> {};

TEST_P(SmscReceipts, SentWhenAskedWithTextAndTlvs) {
  const ReceiptCase& c = GetParam();
  Config cfg = test_config();
  if (c.undeliverable) cfg.undeliverable = {"456"};
  Harness h(cfg);
  h.bound();
  h.feed(submit(2, "456", "The quick brown fox jumps", c.registered_delivery));
  std::string out;
  if (c.cancel) {
    out = h.feed(pdu(command_id::cancel_sm, 3, "00" + cstr("1") + "0000 00 0000 00"), 61s).substr(16);
  } else {
    h.tick(120s);
    out = h.take(120s);
  }
  if (std::string_view(c.expected).empty()) {
    EXPECT_EQ(to_hex(out), "");
    return;
  }
  const DecodedDeliver r = decode_deliver(out);
  EXPECT_EQ(r.command_id, command_id::deliver_sm);
  EXPECT_EQ(r.esm_class, 0x04);
  EXPECT_EQ(r.source, "456");
  EXPECT_EQ(r.destination, "123");
  EXPECT_EQ(r.text, c.expected);
  EXPECT_TRUE(r.tlvs.receipted_message_id.Field);
  EXPECT_EQ(to_hex(r.tlvs.receipted_message_id.Value), to_hex(hex("3100")));
  EXPECT_TRUE(r.tlvs.message_state.Field);
  EXPECT_EQ(r.tlvs.message_state.Value, c.state);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SmscReceipts,
    ::testing::Values(
        ReceiptCase{"NotAsked", 0, false, false, "", 2},
        ReceiptCase{"AlwaysDelivered", 1, false, false,
                    "id:1 sub:001 dlvrd:001 submit date:2403051307 done date:2403051307 stat:DELIVRD err:000 "
                    "text:The quick brown fox ",
                    2},
        ReceiptCase{"AlwaysUndeliverable", 1, true, false,
                    "id:1 sub:001 dlvrd:000 submit date:2403051307 done date:2403051307 stat:UNDELIV err:001 "
                    "text:The quick brown fox ",
                    5},
        ReceiptCase{"OnFailureButDelivered", 2, false, false, "", 2},
        ReceiptCase{"OnFailureUndeliverable", 2, true, false,
                    "id:1 sub:001 dlvrd:000 submit date:2403051307 done date:2403051307 stat:UNDELIV err:001 "
                    "text:The quick brown fox ",
                    5},
        ReceiptCase{"OnFailureCancelled", 2, false, true,
                    "id:1 sub:001 dlvrd:000 submit date:2403051307 done date:2403051308 stat:DELETED err:000 "
                    "text:The quick brown fox ",
                    4},
        ReceiptCase{"ReservedValueThree", 3, false, false, "", 2},
        ReceiptCase{"IntermediateBitKeepsTheFinalReceipt", 0x11, false, false,
                    "id:1 sub:001 dlvrd:001 submit date:2403051307 done date:2403051307 stat:DELIVRD err:000 "
                    "text:The quick brown fox ",
                    2}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SmscReceipt, DataSmTextComesFromMessagePayload) {
  Harness h;
  h.bound();
  h.feed(
      pdu(command_id::data_sm, 2, "00 0101" + cstr("77") + "0101" + cstr("88") + "00 01 00 0424 0003 " + octs("abc")));
  h.tick(1s);
  const DecodedDeliver r = decode_deliver(h.take(1s));
  EXPECT_EQ(r.source, "88");
  EXPECT_EQ(r.text, "id:1 sub:001 dlvrd:001 submit date:2403051307 done date:2403051307 stat:DELIVRD err:000 text:abc");
}

TEST(SmscReceipt, RoutedToReceiversOfTheSameSystemIdInTurn) {
  Harness h;
  h.feed(bind_trx(1, "esme", "pw", command_id::bind_transmitter));
  Session& rx1 = h.smsc.open_session("rx1");
  Session& rx2 = h.smsc.open_session("rx2");
  Session& other = h.smsc.open_session("other");
  Flush f;
  rx1.feed(bind_trx(1, "esme", "pw", command_id::bind_receiver), h.t0);
  rx2.feed(bind_trx(1, "esme", "pw", command_id::bind_transceiver), h.t0);
  other.feed(bind_trx(1, "someone", "pw", command_id::bind_receiver), h.t0);
  for (Session* s : {&rx1, &rx2, &other}) s->take(h.t0, f);
  h.feed(submit(2, "456", "a", 1) + submit(3, "456", "b", 1));
  h.tick(1s);
  EXPECT_EQ(to_hex(h.take(1s)), "");  // the transmitter itself gets none
  std::string texts;
  for (Session* s : {&rx1, &rx2}) {
    ASSERT_TRUE(s->take(h.t0 + 1s, f));
    const DecodedDeliver r = decode_deliver(f.octets);
    EXPECT_EQ(f.octets.size(), codec::be_value(std::string_view(f.octets).substr(0, 4)));  // exactly one PDU
    texts += r.text.substr(r.text.size() - 1);
  }
  EXPECT_EQ(texts, "ab");
  EXPECT_FALSE(other.take(h.t0 + 1s, f));
}

TEST(SmscReceipt, KeptUntilAReceiverBinds) {
  Harness h;
  h.feed(bind_trx(1, "esme", "pw", command_id::bind_transmitter));
  h.feed(submit(2, "456", "x", 1));
  h.tick(1s);
  EXPECT_EQ(h.smsc.counters().receipts_sent, 0u);
  Session& rx = h.smsc.open_session("rx");
  rx.feed(bind_trx(7, "esme", "pw", command_id::bind_receiver), h.t0 + 2s);
  Flush f;
  ASSERT_TRUE(rx.take(h.t0 + 2s, f));
  const std::string bind_resp = pdu(0x80000001, 7, cstr("VelmorSMSC") + "0210 0001 34");
  ASSERT_EQ(to_hex(f.octets.substr(0, bind_resp.size())), to_hex(bind_resp));
  const DecodedDeliver r = decode_deliver(std::string_view(f.octets).substr(bind_resp.size()));
  EXPECT_EQ(r.command_id, command_id::deliver_sm);
  EXPECT_EQ(r.tlvs.receipted_message_id.Value, std::string("1", 2));
  EXPECT_EQ(h.smsc.counters().receipts_sent, 1u);
}

TEST(SmscReceipt, UnansweredReceiptIsResentThenGivenUp) {
  Config cfg = test_config();
  cfg.response_timeout = 100ms;
  cfg.send_attempts = 2;
  Harness h(cfg);
  h.bound();
  h.feed(submit(2, "456", "x", 1));
  h.tick(1s);
  const std::string first = h.take(1s);
  ASSERT_EQ(decode_deliver(first).seq, 1u);
  h.tick(1099ms);
  EXPECT_EQ(to_hex(h.take(1099ms)), "");
  h.tick(1100ms);
  const std::string second = h.take(1100ms);
  ASSERT_FALSE(second.empty());
  EXPECT_EQ(decode_deliver(second).seq, 2u);
  EXPECT_EQ(to_hex(second.substr(16)), to_hex(first.substr(16)));  // same body, new sequence number
  h.tick(1200ms);
  EXPECT_EQ(to_hex(h.take(1200ms)), "");
  EXPECT_EQ(h.s->outstanding(), 0u);
  EXPECT_EQ(h.smsc.counters().resent, 1u);
  EXPECT_EQ(h.smsc.counters().response_timeouts, 1u);
}

// ---- traffic the SMSC originates ------------------------------------------------

TEST(SmscOriginated, DeliverSmAndDataSmGoldenVectors) {
  Harness h;
  h.feed(bind_trx(1, "esme", "pw", command_id::bind_receiver));
  Originated m;
  m.source_ton = m.source_npi = m.dest_ton = m.dest_npi = 1;
  m.source = "111";
  m.destination = "222";
  m.text = "hi";
  EXPECT_EQ(h.smsc.deliver_sm("esme", m, h.t0), 1u);
  EXPECT_EQ(h.smsc.data_sm("esme", m, h.t0), 2u);
  EXPECT_EQ(h.smsc.enquire_link_all(h.t0), 1u);
  EXPECT_EQ(to_hex(h.take()),
            to_hex(hex("00000029 00000005 00000000 00000001 00 0101 31313100 0101 32323200 "
                       "00 00 00 00 00 00 00 00 00 02 6869"
                       "00000026 00000103 00000000 00000002 00 0101 31313100 0101 32323200 00 00 00 0424 0002 6869"
                       "00000010 00000015 00000000 00000003")));
  EXPECT_EQ(h.s->outstanding(), 3u);
  std::vector<Cardinal> answered;
  h.smsc.on_response = [&](const Session&, const codec::Header& r) { answered.push_back(r.sequence_number); };
  h.feed(
      hex("00000011 80000005 00000000 00000001 00 00000011 80000103 00000000 00000002 00"
          "00000010 80000015 00000000 00000003"));
  EXPECT_EQ(answered, (std::vector<Cardinal>{1, 2, 3}));
  EXPECT_EQ(h.s->outstanding(), 0u);
}

TEST(SmscOriginated, NothingSentWithoutABoundReceiver) {
  Harness h;
  h.feed(bind_trx(1, "esme", "pw", command_id::bind_transmitter));
  Originated m;
  m.destination = "1";
  EXPECT_EQ(h.smsc.deliver_sm("esme", m, h.t0), 0u);
  EXPECT_EQ(h.smsc.data_sm("nobody", m, h.t0), 0u);
  EXPECT_EQ(to_hex(h.take()), "");
}

// sm_length is one octet: however long the id prefix and the message make
// the receipt text, the deliver_sm counts exactly the short_message it
// carries (at most 254 octets), and the whole id still travels in
// receipted_message_id.
TEST(SmscReceipt, LongIdPrefixNeverWrapsSmLength) {
  for (std::size_t prefix : {0u, 150u, 200u, 253u, 300u}) {
    Config cfg = test_config();
    cfg.id_prefix = std::string(prefix, 'M');
    Harness h(cfg);
    h.bound();
    h.feed(submit(2, "456", std::string(160, 'x'), 1));
    h.tick(1s);
    const std::string out = h.take(1s);
    codec::Cursor c(out);
    const codec::Header hd = codec::read_header(c);
    ASSERT_EQ(hd.command_id, command_id::deliver_sm) << prefix;
    ASSERT_EQ(hd.command_length, out.size()) << prefix;
    pdu::DeliverSm d;
    pdu::read(c.rest(), d);
    EXPECT_LE(d.message.short_message.sm_length, 254) << prefix;
    EXPECT_EQ(d.message.short_message.text.size(), d.message.short_message.sm_length) << prefix;
    EXPECT_EQ(d.message.short_message.text.substr(0, 3 + prefix), "id:" + cfg.id_prefix.substr(0, 251)) << prefix;
    const TOPDeliver_SM tlvs = tlv::decoded<TOPDeliver_SM>(d.optional.octets);
    EXPECT_EQ(tlvs.receipted_message_id.Value, cfg.id_prefix + std::string("1", 2)) << prefix;
    EXPECT_EQ(tlvs.message_state.Value, 2) << prefix;
  }
}

}  // namespace
}  // namespace velmor::smsc::test
