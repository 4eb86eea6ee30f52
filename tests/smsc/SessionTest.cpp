// Session-level behaviour: request octets in, response octets out, compared
// with golden vectors byte for byte.
#include <gtest/gtest.h>

#include "Harness.h"

namespace velmor::smsc::test {
namespace {

TEST(SmscBind, TransmitterBindGoldenVector) {
  Harness h;
  const std::string out = h.feed(hex("0000001D 00000002 00000000 00000001 65736D6500 707700 00 34 00 00 00"));
  EXPECT_EQ(to_hex(out), to_hex(hex("00000020 80000002 00000000 00000001 "
                                    "56656C6D6F72534D534300 0210 0001 34")));
  EXPECT_EQ(h.s->bind_state(), BindState::Transmitter);
  EXPECT_EQ(h.s->system_id(), "esme");
}

struct BindCase {
  const char* name;
  Cardinal command;
  const char* system_id;
  const char* password;
  bool reject_all;
  Cardinal status;
  BindState state;
};

class SmscBindChecks : public ::testing::TestWithParam<BindCase> {};

TEST_P(SmscBindChecks, AnswersWithStatusAndState) {
  const BindCase& c = GetParam();
  Config cfg = test_config();
  cfg.credentials = {{"alice", "secret"}, {"bob", ""}};
  cfg.reject_binds = c.reject_all;
  Harness h(cfg);
  const std::string out = h.feed(bind_trx(9, c.system_id, c.password, c.command));
  if (c.status == 0) {
    EXPECT_EQ(to_hex(out), to_hex(pdu(c.command | 0x80000000, 9, cstr("VelmorSMSC") + "0210 0001 34")));
  } else {
    EXPECT_EQ(to_hex(out), to_hex(pdu(c.command | 0x80000000, 9, "", c.status)));  // no body on error
  }
  EXPECT_EQ(h.s->bind_state(), c.state);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SmscBindChecks,
    ::testing::Values(
        BindCase{"KnownGoodPassword", command_id::bind_transceiver, "alice", "secret", false, 0,
                 BindState::Transceiver},
        BindCase{"Receiver", command_id::bind_receiver, "alice", "secret", false, 0, BindState::Receiver},
        BindCase{"EmptyPasswordConfigured", command_id::bind_transmitter, "bob", "", false, 0, BindState::Transmitter},
        BindCase{"WrongPassword", command_id::bind_transceiver, "alice", "guess", false, 0x0E, BindState::Open},
        BindCase{"PasswordIsCaseSensitive", command_id::bind_receiver, "alice", "SECRET", false, 0x0E, BindState::Open},
        BindCase{"UnknownSystemId", command_id::bind_transmitter, "mallory", "secret", false, 0x0D, BindState::Open},
        BindCase{"RejectAll", command_id::bind_transceiver, "alice", "secret", true, 0x0D, BindState::Open}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SmscBind, AnyCredentialsAcceptedByDefault) {
  Harness h;
  EXPECT_EQ(to_hex(h.feed(bind_trx(1, "whoever", "whatever"))),
            to_hex(pdu(0x80000009, 1, cstr("VelmorSMSC") + "0210 0001 34")));
}

TEST(SmscBind, ConfiguredSystemIdInResponse) {
  Config cfg = test_config();
  cfg.system_id = "SIM";
  Harness h(cfg);
  EXPECT_EQ(to_hex(h.feed(bind_trx(3))), to_hex(pdu(0x80000009, 3, "53494D00 0210 0001 34")));
}

TEST(SmscBind, SecondBindWhileBoundIsAlreadyBound) {
  Harness h;
  h.bound();
  EXPECT_EQ(to_hex(h.feed(bind_trx(2, "other", "x", command_id::bind_receiver))),
            to_hex(hex("00000010 80000001 00000005 00000002")));
  EXPECT_EQ(h.s->system_id(), "esme");
  EXPECT_EQ(h.s->bind_state(), BindState::Transceiver);
}

// Every request but a bind, sent before one, is refused with ESME_RINVBNDSTS.
struct UnboundCase {
  const char* name;
  std::string request;
  std::string response;
};

class SmscBeforeBind : public ::testing::TestWithParam<UnboundCase> {};

TEST_P(SmscBeforeBind, RefusedWithInvalidBindStatus) {
  Harness h;
  EXPECT_EQ(to_hex(h.feed(GetParam().request)), to_hex(GetParam().response));
  EXPECT_FALSE(h.last_close);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SmscBeforeBind,
    ::testing::Values(
        UnboundCase{"EnquireLink", hex("00000010 00000015 00000000 00000004"),
                    hex("00000010 80000015 00000004 00000004")},
        UnboundCase{"Unbind", hex("00000010 00000006 00000000 00000005"), hex("00000010 80000006 00000004 00000005")},
        UnboundCase{"SubmitSm", submit(6), hex("00000010 80000004 00000004 00000006")},
        UnboundCase{"QuerySm", pdu(command_id::query_sm, 7, cstr("1") + "0000 00"),
                    hex("00000010 80000003 00000004 00000007")},
        UnboundCase{"DataSm", pdu(command_id::data_sm, 8, "00 0101" + cstr("1") + "0101" + cstr("2") + "000000"),
                    hex("00000010 80000103 00000004 00000008")}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SmscBind, ReceiverMayNotSubmit) {
  Harness h;
  h.feed(bind_trx(1, "esme", "pw", command_id::bind_receiver));
  EXPECT_EQ(to_hex(h.feed(submit(2))), to_hex(hex("00000010 80000004 00000004 00000002")));
}

// One request to a transceiver session, fresh each time.
struct RequestCase {
  const char* name;
  std::string request;
  std::string response;  // empty: no response
};

class SmscRequests : public ::testing::TestWithParam<RequestCase> {};

TEST_P(SmscRequests, AnswersExactly) {
  Harness h;
  h.bound();
  EXPECT_EQ(to_hex(h.feed(GetParam().request)), to_hex(GetParam().response));
  EXPECT_FALSE(h.last_close);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SmscRequests,
    ::testing::Values(
        RequestCase{"EnquireLink", hex("00000010 00000015 00000000 00000007"),
                    hex("00000010 80000015 00000000 00000007")},
        RequestCase{"SubmitSmGolden",
                    hex("0000002C 00000004 00000000 00000002 00 0101 31323300 0101 34353600 000000 00 00 "
                        "01000000 05 68656C6C6F"),
                    hex("00000012 80000004 00000000 00000002 3100")},
        RequestCase{"SubmitSmWithTlvs",
                    pdu(command_id::submit_sm, 3,
                        "00 0101" + cstr("1") + "0101" + cstr("2") + "000000 00 00 00000000 00 0424 0003 616263"),
                    hex("00000012 80000004 00000000 00000003 3100")},
        RequestCase{"DataSmGolden",
                    hex("00000026 00000103 00000000 00000003 00 0101 31323300 0101 34353600 00 00 00 "
                        "0424 0002 6869"),
                    hex("00000012 80000103 00000000 00000003 3100")},
        RequestCase{"QueryUnknownId", pdu(command_id::query_sm, 4, cstr("99") + "0101" + cstr("123")),
                    hex("00000010 80000003 00000067 00000004")},
        RequestCase{"QueryNotAnId", pdu(command_id::query_sm, 4, cstr("abc") + "0000 00"),
                    hex("00000010 80000003 00000067 00000004")},
        RequestCase{"QueryEmptyBody", pdu(command_id::query_sm, 4), hex("00000010 80000003 00000067 00000004")},
        RequestCase{"CancelUnknown",
                    pdu(command_id::cancel_sm, 5, "00" + cstr("42") + "0101" + cstr("1") + "0101" + cstr("2")),
                    hex("00000010 80000008 00000011 00000005")},
        RequestCase{"CancelByAddressNothingPending",
                    pdu(command_id::cancel_sm, 5, "00 00 0101" + cstr("1") + "0101" + cstr("2")),
                    hex("00000010 80000008 00000011 00000005")},
        RequestCase{"ReplaceUnknown",
                    pdu(command_id::replace_sm, 6, cstr("42") + "0101" + cstr("1") + "00 00 00 00 02 6869"),
                    hex("00000010 80000007 00000013 00000006")},
        RequestCase{"UnknownCommandId", hex("00000010 00000099 00000000 0000ABCD"),
                    hex("00000010 80000000 00000003 0000ABCD")},
        RequestCase{"OutbindFromEsme", hex("00000010 0000000B 00000000 00000008"),
                    hex("00000010 80000000 00000003 00000008")},
        RequestCase{"DeliverSmFromEsme", pdu(command_id::deliver_sm, 9, "00"),
                    hex("00000010 80000000 00000003 00000009")},
        RequestCase{"StrayResponseCommand", hex("00000010 80000004 00000000 00000009"),
                    hex("00000010 80000000 00000003 00000009")},
        RequestCase{"AlertNotificationNoResponse",
                    pdu(command_id::alert_notification, 10, "0101" + cstr("1") + "0101" + cstr("2")), ""},
        RequestCase{"GenericNackIgnored", hex("00000010 80000000 00000003 00000011"), ""},
        RequestCase{"UnexpectedDeliverSmRespIgnored", hex("00000011 80000005 00000000 00000077 00"), ""},
        // Short or empty bodies read as zero and empty fields: no destination.
        RequestCase{"SubmitSmEmptyBody", pdu(command_id::submit_sm, 11), hex("00000010 80000004 0000000B 0000000B")},
        RequestCase{"SubmitSmCutInSource", pdu(command_id::submit_sm, 12, "00 0101 3132"),
                    hex("00000010 80000004 0000000B 0000000C")},
        RequestCase{"SubmitSmLengthPastEnd",
                    pdu(command_id::submit_sm, 13,
                        "00 0101" + cstr("1") + "0101" + cstr("2") + "000000 00 00 00000000 FF 6869"),
                    hex("00000012 80000004 00000000 0000000D 3100")},
        RequestCase{"DataSmEmptyBody", pdu(command_id::data_sm, 14), hex("00000010 80000103 0000000B 0000000E")},
        RequestCase{"SubmitMultiNoDestinations", pdu(command_id::submit_multi, 15, "00 0101" + cstr("1") + "00"),
                    hex("00000010 80000021 00000033 0000000F")},
        RequestCase{"SubmitMultiBadDestFlag", pdu(command_id::submit_multi, 16, "00 0101" + cstr("1") + "01 03 0101"),
                    hex("00000010 80000021 00000040 00000010")},
        RequestCase{"SubmitMultiEmptyBody", pdu(command_id::submit_multi, 17),
                    hex("00000010 80000021 00000033 00000011")}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SmscRequests, SubmitMultiListsUnsuccessfulDestinations) {
  Config cfg = test_config();
  cfg.rejected = {"999"};
  Harness h(cfg);
  h.bound();
  const std::string req = pdu(command_id::submit_multi, 5,
                              "00 0101" + cstr("123") + "04" +  // number_of_dests
                                  "01 0101" + cstr("111") +     // accepted
                                  "01 0201" + cstr("999") +     // configured as rejected
                                  "02" + cstr("friends") +      // distribution list
                                  "01 0101 00" +                // empty address
                                  "00 00 00 00 00 01 00 00 00 02 6869");
  EXPECT_EQ(to_hex(h.feed(req)), to_hex(hex("00000024 80000021 00000000 00000005 3100 02 "
                                            "0201 39393900 0000000B "
                                            "0101 00 0000000B")));
  EXPECT_EQ(h.smsc.store().size(), 2u);
  ASSERT_NE(h.smsc.store().find(2), nullptr);
  EXPECT_EQ(h.smsc.store().find(2)->destination.view(), "friends");
}

TEST(SmscRequests, SubmitMultiAllRefusedHasEmptyMessageId) {
  Harness h;
  h.bound();
  const std::string req =
      pdu(command_id::submit_multi, 6, "00 0101" + cstr("1") + "01 01 0101 00 00 00 00 00 00 00 00 00 00 00");
  EXPECT_EQ(to_hex(h.feed(req)), to_hex(hex("00000019 80000021 00000000 00000006 00 01 0101 00 0000000B")));
}

TEST(SmscRequests, RejectedDestinationInSubmitSm) {
  Config cfg = test_config();
  cfg.rejected = {"456"};
  Harness h(cfg);
  h.bound();
  EXPECT_EQ(to_hex(h.feed(submit(2))), to_hex(hex("00000010 80000004 0000000B 00000002")));
  EXPECT_EQ(h.smsc.store().size(), 0u);
}

TEST(SmscRequests, UnbindAnswersThenClosesAndIgnoresTheRest) {
  Harness h;
  h.bound();
  const std::string out = h.feed(hex("00000010 00000006 00000000 00000002") + submit(3));
  EXPECT_EQ(to_hex(out), to_hex(hex("00000010 80000006 00000000 00000002")));
  EXPECT_TRUE(h.last_close);
  EXPECT_EQ(to_hex(h.feed(submit(4))), "");
  EXPECT_EQ(h.smsc.counters().submit_sm, 0u);
}

TEST(SmscRequests, ResponsesOfOneFeedComeOutAsOneWrite) {
  Harness h;
  h.bound();
  const std::string out = h.feed(submit(2) + submit(3) + hex("00000010 00000015 00000000 00000004"));
  EXPECT_EQ(to_hex(out), to_hex(hex("00000012 80000004 00000000 00000002 3100"
                                    "00000012 80000004 00000000 00000003 3200"
                                    "00000010 80000015 00000000 00000004")));
}

// ---- framing ---------------------------------------------------------------------

TEST(SmscFraming, SplitAtEveryOffsetGivesTheSameOutput) {
  const std::string input =
      bind_trx(1) + submit(2, "456", "hello", 1) + hex("00000010 00000015 00000000 00000003") +
      pdu(command_id::query_sm, 4, cstr("1") + "0101" + cstr("123")) +
      pdu(command_id::submit_multi, 5,
          "00 0101" + cstr("1") + "02 01 0101" + cstr("7") + "02" + cstr("dl") + "00 00 00 00 00 00 00 00 00 00") +
      hex("00000010 00000006 00000000 00000006");
  std::string whole;
  {
    Harness h;
    whole = h.feed(input);
    ASSERT_TRUE(h.last_close);
  }
  for (std::size_t a = 0; a <= input.size(); ++a) {
    Harness h;
    std::string out = h.feed(std::string_view(input).substr(0, a));
    out += h.feed(std::string_view(input).substr(a));
    ASSERT_EQ(to_hex(out), to_hex(whole)) << "split at " << a;
  }
  // One octet at a time.
  Harness h;
  std::string out;
  for (char c : input) out += h.feed(std::string_view(&c, 1));
  EXPECT_EQ(to_hex(out), to_hex(whole));
  EXPECT_TRUE(h.last_close);
}

TEST(SmscFraming, ReceivedLogKeepsEachPduVerbatim) {
  Harness h;
  const std::string a = bind_trx(1);
  const std::string b = submit(2);
  h.feed(a + b.substr(0, 7));
  h.feed(b.substr(7));
  ASSERT_EQ(h.s->received().size(), 2u);
  EXPECT_EQ(h.s->received()[0].command_id, command_id::bind_transceiver);
  EXPECT_EQ(to_hex(h.s->received()[0].raw), to_hex(a));
  EXPECT_EQ(h.s->received()[1].sequence_number, 2u);
  EXPECT_EQ(to_hex(h.s->received()[1].raw), to_hex(b));
}

TEST(SmscFraming, LogKeepsOnlyTheMostRecent) {
  Config cfg = test_config();
  cfg.pdu_log_limit = 2;
  Harness h(cfg);
  h.bound();
  h.feed(submit(2) + submit(3) + submit(4));
  ASSERT_EQ(h.s->received().size(), 2u);
  EXPECT_EQ(h.s->received()[0].sequence_number, 3u);
  EXPECT_EQ(h.s->received()[1].sequence_number, 4u);
}

struct LengthCase {
  const char* name;
  std::string input;
  std::string response;
};

class SmscBadLength : public ::testing::TestWithParam<LengthCase> {};

TEST_P(SmscBadLength, GenericNackThenClose) {
  Config cfg = test_config();
  cfg.max_pdu_size = 1024;
  Harness h(cfg);
  h.bound();
  EXPECT_EQ(to_hex(h.feed(GetParam().input)), to_hex(GetParam().response));
  EXPECT_TRUE(h.last_close);
  EXPECT_EQ(to_hex(h.feed(hex("00000010 00000015 00000000 00000009"))), "");
}

INSTANTIATE_TEST_SUITE_P(
    Table, SmscBadLength,
    ::testing::Values(
        LengthCase{"Zero", hex("00000000 00000015 00000000 00000005"), hex("00000010 80000000 00000002 00000000")},
        LengthCase{"Fifteen", hex("0000000F 00000015 00000000 000005"), hex("00000010 80000000 00000002 00000000")},
        LengthCase{"OnlyLengthSent", hex("00000008"), hex("00000010 80000000 00000002 00000000")},
        LengthCase{"AboveMax", hex("00000401 00000004 00000000 00000005"), hex("00000010 80000000 00000002 00000005")},
        LengthCase{"Huge", hex("FFFFFFFF 00000004 00000000 0000ABCD 0000"), hex("00000010 80000000 00000002 0000ABCD")},
        LengthCase{"AfterAGoodPdu", hex("00000010 00000015 00000000 00000002 00000002"),
                   hex("00000010 80000015 00000000 00000002 00000010 80000000 00000002 00000000")}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SmscFraming, MaxSizePduIsAccepted) {
  Config cfg = test_config();
  cfg.max_pdu_size = 64;
  Harness h(cfg);
  h.bound();
  std::string p = pdu(command_id::enquire_link, 2, std::string(96, '0'));  // 16 + 48 octets
  EXPECT_EQ(to_hex(h.feed(p)), to_hex(hex("00000010 80000015 00000000 00000002")));
}

TEST(SmscFraming, AboveMaxWaitsForTheHeaderToEchoItsSequence) {
  Config cfg = test_config();
  cfg.max_pdu_size = 1024;
  Harness h(cfg);
  const std::string in = hex("00100000 00000004 00000000 00000042");
  EXPECT_EQ(h.feed(in.substr(0, 10)), "");
  EXPECT_FALSE(h.last_close);
  EXPECT_EQ(to_hex(h.feed(in.substr(10))), to_hex(hex("00000010 80000000 00000002 00000042")));
}

// ---- hooks --------------------------------------------------------------------------

TEST(SmscHooks, OnSubmitSeesDecodedFields) {
  Harness h;
  h.bound();
  std::vector<std::string> seen;
  h.smsc.on_submit = [&](const Session&, const MessageView& m) {
    std::string d;
    for (const Destination& x : m.destinations)
      d += std::to_string(x.flag) + ":" + std::string(x.flag == 1 ? x.address.addr : x.dl_name) + ",";
    seen.push_back(std::to_string(m.command_id) + "|" + std::string(m.source.addr) + "|" + d + "|" +
                   std::string(m.short_message) + "|" + std::to_string(m.registered_delivery) + "|" +
                   to_hex(m.optional));
  };
  h.feed(
      submit(2, "456", "hi", 1) +
      pdu(command_id::data_sm, 3, "00 0101" + cstr("77") + "0101" + cstr("88") + "00 01 00 0424 0001 41") +
      pdu(command_id::submit_multi, 4,
          "00 0101" + cstr("5") + "02 01 0101" + cstr("6") + "02" + cstr("dl") + "00 00 00 00 00 00 00 00 00 01 7A"));
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0], "4|123|1:456,|hi|1|");
  EXPECT_EQ(seen[1], "259|77|1:88,||1|04 24 00 01 41");
  EXPECT_EQ(seen[2], "33|5|1:6,2:dl,|z|0|");
}

TEST(SmscHooks, SubmitStatusRefusesWithItsStatus) {
  Harness h;
  h.bound();
  h.smsc.submit_status = [](const Session&, const MessageView& m) -> Cardinal {
    return m.sequence_number == 3 ? 0x45 : 0;
  };
  EXPECT_EQ(to_hex(h.feed(submit(2) + submit(3) + submit(4))), to_hex(hex("00000012 80000004 00000000 00000002 3100"
                                                                          "00000010 80000004 00000045 00000003"
                                                                          "00000012 80000004 00000000 00000004 3200")));
}

}  // namespace
}  // namespace velmor::smsc::test
