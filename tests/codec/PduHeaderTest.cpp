// The 16-octet header, the sequence-number rules and the command identifiers.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "codec/Pdu.h"
#include "common/Hex.h"

namespace velmor::codec {
namespace {

using test::hex;
using test::to_hex;

struct SequenceCase {
  const char* name;
  Cardinal in;
  Cardinal out;
};
void PrintTo(const SequenceCase& c, std::ostream* os) { *os << c.name; }

class NextSequenceTest : public ::testing::TestWithParam<SequenceCase> {};

TEST_P(NextSequenceTest, AdvancesAndWrapsToOne) { EXPECT_EQ(next_sequence(GetParam().in), GetParam().out); }

INSTANTIATE_TEST_SUITE_P(Cases, NextSequenceTest,
                         ::testing::Values(SequenceCase{"FirstPduGetsOne", 0, 1},
                                           SequenceCase{"SecondPduGetsTwo", 1, 2},
                                           SequenceCase{"ReachesTheLargest", 0x7FFFFFFE, 0x7FFFFFFF},
                                           SequenceCase{"WrapsAfterTheLargest", 0x7FFFFFFF, 1},
                                           SequenceCase{"OutOfRangeCounterWraps", 0x80000000, 1},
                                           SequenceCase{"AllOnesCounterWraps", 0xFFFFFFFF, 1}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(NextSequenceTest, NeverIssuesZeroAcrossTheWrap) {
  Cardinal seq = 0x7FFFFFFD;
  const Cardinal expected[] = {0x7FFFFFFE, 0x7FFFFFFF, 1, 2};
  for (Cardinal e : expected) {
    seq = next_sequence(seq);
    EXPECT_EQ(seq, e);
  }
}

class ResponseSequenceTest : public ::testing::TestWithParam<SequenceCase> {};

TEST_P(ResponseSequenceTest, CarriesTheRequestNumberOrOne) {
  EXPECT_EQ(response_sequence(GetParam().in), GetParam().out);
}

INSTANTIATE_TEST_SUITE_P(Cases, ResponseSequenceTest,
                         ::testing::Values(SequenceCase{"Ordinary", 5, 5}, SequenceCase{"ZeroUnchanged", 0, 0},
                                           SequenceCase{"LargestInRange", 0x7FFFFFFF, 0x7FFFFFFF},
                                           SequenceCase{"JustOutOfRange", 0x80000000, 1},
                                           SequenceCase{"AllOnes", 0xFFFFFFFF, 1}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- build_pdu -------------------------------------------------------------

struct BuildCase {
  const char* name;
  Cardinal id;
  Cardinal status;
  Cardinal seq;
  std::string mandatory;
  std::string optional;
  const char* expected;
};
void PrintTo(const BuildCase& c, std::ostream* os) { *os << c.name; }

class BuildPduTest : public ::testing::TestWithParam<BuildCase> {};

TEST_P(BuildPduTest, PrependsHeaderWhoseLengthCountsEverything) {
  const auto& p = GetParam();
  EXPECT_EQ(to_hex(build_pdu(p.id, p.status, p.seq, p.mandatory, p.optional)), to_hex(hex(p.expected)));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BuildPduTest,
    ::testing::Values(BuildCase{"EnquireLinkAsThirdPdu", command_id::enquire_link, 0, 3, "", "",
                                "00 00 00 10 00 00 00 15 00 00 00 00 00 00 00 03"},
                      BuildCase{"SevenOctetMandatoryPart", command_id::submit_sm, 0, 1, hex("00 01 01 31 00 01 01"), "",
                                "00 00 00 17 00 00 00 04 00 00 00 00 00 00 00 01"
                                "00 01 01 31 00 01 01"},
                      BuildCase{"OptionalAfterMandatory", command_id::data_sm, 0, 0x7FFFFFFF, hex("AA"),
                                hex("02 04 00 02 00 07"),
                                "00 00 00 17 00 00 01 03 00 00 00 00 7F FF FF FF"
                                "AA 02 04 00 02 00 07"},
                      BuildCase{"OptionalOnly", command_id::data_sm_resp, 0, 9, "", hex("04 25 00 01 02"),
                                "00 00 00 15 80 00 01 03 00 00 00 00 00 00 00 09"
                                "04 25 00 01 02"},
                      BuildCase{"GenericNackCarriesStatus", command_id::generic_nack, 0x00000003, 0x10, "", "",
                                "00 00 00 10 80 00 00 00 00 00 00 03 00 00 00 10"},
                      BuildCase{"StatusWithTopBit", command_id::deliver_sm_resp, 0xFFFFFFFF, 2, hex("00"), "",
                                "00 00 00 11 80 00 00 05 FF FF FF FF 00 00 00 02 00"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BuildPduTest, LengthBeyondSixteenBitsIsWrittenInFull) {
  const std::string body(70000, '\x5A');
  const std::string pdu = build_pdu(command_id::submit_sm, 0, 1, body.substr(0, 300), body);
  ASSERT_EQ(pdu.size(), 16u + 300u + 70000u);
  EXPECT_EQ(to_hex(pdu.substr(0, 4)), "00 01 12 AC");  // 70316
}

TEST(BuildPduTest, BeginPduDiscardsPreviousContentAndEndPduPatchesLength) {
  std::string out = "stale octets from an earlier PDU";
  begin_pdu(out, command_id::query_sm, 0, 4);
  put_cstring(out, "id");
  end_pdu(out);
  EXPECT_EQ(to_hex(out), to_hex(hex("00 00 00 13 00 00 00 03 00 00 00 00 00 00 00 04 69 64 00")));
}

// ---- read_header -----------------------------------------------------------

struct HeaderCase {
  const char* name;
  const char* octets;
  Header expected;
  std::size_t left;
};
void PrintTo(const HeaderCase& c, std::ostream* os) { *os << c.name; }

class ReadHeaderTest : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(ReadHeaderTest, ReadsFourFieldsTakingWhatIsThere) {
  const std::string pdu = hex(GetParam().octets);
  Cursor c(pdu);
  const Header h = read_header(c);
  const Header& e = GetParam().expected;
  EXPECT_EQ(h.command_length, e.command_length);
  EXPECT_EQ(h.command_id, e.command_id);
  EXPECT_EQ(h.command_status, e.command_status);
  EXPECT_EQ(h.sequence_number, e.sequence_number);
  EXPECT_EQ(c.size(), GetParam().left);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadHeaderTest,
    ::testing::Values(
        HeaderCase{
            "Full", "00 00 00 10 80 00 00 15 00 00 00 00 00 00 00 03", {0x10, command_id::enquire_link_resp, 0, 3}, 0},
        HeaderCase{"BodyLeftInPlace",
                   "00 00 00 11 80 00 00 04 00 00 00 45 00 00 00 07 00",
                   {0x11, command_id::submit_sm_resp, 0x45, 7},
                   1},
        HeaderCase{"Empty", "", {0, 0, 0, 0}, 0}, HeaderCase{"LengthOnly", "00 00 00 10", {0x10, 0, 0, 0}, 0},
        HeaderCase{"PartialCommandId", "00 00 00 10 80 00", {0x10, 0x8000, 0, 0}, 0},
        HeaderCase{
            "PartialSequence", "00 00 00 10 00 00 00 15 00 00 00 00 00 01", {0x10, command_id::enquire_link, 0, 1}, 0},
        HeaderCase{"FifteenOctets",
                   "00 00 00 10 00 00 00 15 00 00 00 00 12 34 56",
                   {0x10, command_id::enquire_link, 0, 0x123456},
                   0},
        HeaderCase{"TopBitsUnsigned",
                   "FF FF FF FF 80 00 00 00 80 00 00 01 FF FF FF FE",
                   {0xFFFFFFFF, command_id::generic_nack, 0x80000001, 0xFFFFFFFE},
                   0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ReadHeaderTest, ReadsBackWhatBuildPduWrote) {
  const std::string pdu = build_pdu(command_id::replace_sm, 0x14, 0x7FFFFFFF, "abc", "de");
  Cursor c(pdu);
  const Header h = read_header(c);
  EXPECT_EQ(h.command_length, pdu.size());
  EXPECT_EQ(h.command_id, command_id::replace_sm);
  EXPECT_EQ(h.command_status, 0x14u);
  EXPECT_EQ(h.sequence_number, 0x7FFFFFFFu);
  EXPECT_EQ(c.rest(), "abcde");
}

// ---- command identifiers -----------------------------------------------------

struct CommandIdCase {
  const char* name;
  Cardinal constant;
  Cardinal wire;
};
void PrintTo(const CommandIdCase& c, std::ostream* os) { *os << c.name; }

class CommandIdTest : public ::testing::TestWithParam<CommandIdCase> {};

TEST_P(CommandIdTest, MatchesTheProtocolValue) { EXPECT_EQ(GetParam().constant, GetParam().wire); }

#define VELMOR_CMD(name, value) \
  CommandIdCase { #name, command_id::name, value }
INSTANTIATE_TEST_SUITE_P(
    Cases, CommandIdTest,
    ::testing::Values(VELMOR_CMD(generic_nack, 0x80000000), VELMOR_CMD(bind_receiver, 0x00000001),
                      VELMOR_CMD(bind_receiver_resp, 0x80000001), VELMOR_CMD(bind_transmitter, 0x00000002),
                      VELMOR_CMD(bind_transmitter_resp, 0x80000002), VELMOR_CMD(query_sm, 0x00000003),
                      VELMOR_CMD(query_sm_resp, 0x80000003), VELMOR_CMD(submit_sm, 0x00000004),
                      VELMOR_CMD(submit_sm_resp, 0x80000004), VELMOR_CMD(deliver_sm, 0x00000005),
                      VELMOR_CMD(deliver_sm_resp, 0x80000005), VELMOR_CMD(unbind, 0x00000006),
                      VELMOR_CMD(unbind_resp, 0x80000006), VELMOR_CMD(replace_sm, 0x00000007),
                      VELMOR_CMD(replace_sm_resp, 0x80000007), VELMOR_CMD(cancel_sm, 0x00000008),
                      VELMOR_CMD(cancel_sm_resp, 0x80000008), VELMOR_CMD(bind_transceiver, 0x00000009),
                      VELMOR_CMD(bind_transceiver_resp, 0x80000009), VELMOR_CMD(outbind, 0x0000000B),
                      VELMOR_CMD(enquire_link, 0x00000015), VELMOR_CMD(enquire_link_resp, 0x80000015),
                      VELMOR_CMD(submit_multi, 0x00000021), VELMOR_CMD(submit_multi_resp, 0x80000021),
                      VELMOR_CMD(alert_notification, 0x00000102), VELMOR_CMD(data_sm, 0x00000103),
                      VELMOR_CMD(data_sm_resp, 0x80000103)),
    [](const auto& info) { return std::string(info.param.name); });
#undef VELMOR_CMD

}  // namespace
}  // namespace velmor::codec
