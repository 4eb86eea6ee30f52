// Framing of received octets: whole PDUs are dispatched exactly once, however
// the stream is cut into reads; unframeable headers end the stream.
#include <gtest/gtest.h>

#include "common/EventLog.h"
#include "common/Hex.h"
#include "common/Probe.h"
#include "common/Split.h"

namespace velmor::test {
namespace {

// One PDU of every received kind, back to back.
const std::string kStream = hex(
    // enquire_link_resp seq 1
    "00000010 80000015 00000000 00000001"
    // submit_sm_resp seq 2, message_id "abc"
    "00000014 80000004 00000000 00000002 61626300"
    // bind_transceiver_resp seq 3, "SMSC" + sc_interface_version 0x34
    "0000001A 80000009 00000000 00000003 534D534300 0210 0001 34"
    // deliver_sm seq 4: receipt with receipted_message_id and message_state
    "00000032 00000005 00000000 00000004 00 0101 3100 0101 3200 04 00 00 00 00 00 00 00 00 02 4869"
    "001E 0004 41424300 0427 0001 02"
    // data_sm seq 5 with message_payload "hi"
    "00000022 00000103 00000000 00000005 00 0101 3100 0101 3200 00 00 00 0424 0002 6869"
    // submit_multi_resp seq 6: id "A", one failed destination
    "0000001B 80000021 00000000 00000006 4100 01 01 01 3100 00000045"
    // query_sm_resp seq 7
    "00000016 80000003 00000000 00000007 3432 00 00 02 00"
    // unknown command 0x00000102 with a 5-octet body
    "00000015 00000102 00000000 00000008 0102030405"
    // generic_nack with 4 extra octets, status 3, seq 9
    "00000014 80000000 00000003 00000009 DEADBEEF"
    // data_sm_resp error, empty body
    "00000010 80000103 00000045 0000000A"
    // cancel_sm_resp, replace_sm_resp errors; unbind_resp; enquire_link
    "00000010 80000008 00000011 0000000B"
    "00000010 80000007 00000013 0000000C"
    "00000010 80000006 00000000 0000000D"
    "00000010 00000015 00000000 0000000E");

std::vector<std::string> feed(const std::vector<std::string_view>& reads) { return events_of(reads); }

TEST(Framing, WholeStreamFiresOneEventPerPduInOrder) {
  const auto log = feed({kStream});
  ASSERT_EQ(log.size(), 14u);
  EXPECT_EQ(log[0], "Enquire_LINK_RESP 0 1");
  EXPECT_EQ(log[1], "Submit_SM_RESP_OK 2 'abc'");
  EXPECT_EQ(log[2], "Bind_RESP_OK 0 3 'SMSC' {0210:52}");
  EXPECT_EQ(log[3], "Deliver_SM 4 '' 1 1 '1' 1 1 '2' 4 0 0 '' '' 0 0 0 0 2 'Hi' {0427:2 001E:'ABC\\x00'}");
  EXPECT_EQ(log[4], "Data_SM 5 '' 1 1 '1' 1 1 '2' 0 0 0 {0424:'hi'}");
  EXPECT_EQ(log[5], "Submit_MULTI_RESP_OK 6 'A' 1 [1/1'1':69]");
  EXPECT_EQ(log[6], "Query_SM_RESP_OK 7 '42' '' 2 0");
  EXPECT_EQ(log[7], "Unknown_command 21 258 0 8 '\\x01\\x02\\x03\\x04\\x05'");
  EXPECT_EQ(log[8], "Generic_NACK 3 9");
  EXPECT_EQ(log[9], "Data_SM_RESP_Error 69 10 '' {}");
  EXPECT_EQ(log[13], "Enquire_LINK 0 14");
}

// Beast's split test: every cut of the stream into two reads, and the stream
// one octet at a time, give exactly the events of the whole stream.
TEST(Framing, SplitAtEveryOffsetGivesIdenticalEvents) {
  const auto whole = feed({kStream});
  const std::string_view s = kStream;
  for (std::size_t cut = 0; cut <= s.size(); ++cut)
    ASSERT_EQ(feed({s.substr(0, cut), s.substr(cut)}), whole) << "cut at " << cut;
  std::vector<std::string_view> bytes;
  for (std::size_t i = 0; i < s.size(); ++i) bytes.push_back(s.substr(i, 1));
  EXPECT_EQ(feed(bytes), whole);
}

TEST(Framing, ThreeWaySplitsGiveIdenticalEvents) {
  const auto whole = feed({kStream});
  const std::string_view s = kStream;
  for (std::size_t a = 0; a <= s.size(); a += 7)
    for (std::size_t b = a; b <= s.size(); b += 5)
      ASSERT_EQ(feed({s.substr(0, a), s.substr(a, b - a), s.substr(b)}), whole) << a << "," << b;
}

TEST(Framing, IncompleteTailFiresNothingUntilCompleted) {
  const std::string pdu = hex("00000014 80000004 00000000 00000002 61626300");
  EXPECT_TRUE(feed({pdu.substr(0, 19)}).empty());
  EXPECT_TRUE(feed({pdu.substr(0, 3)}).empty());
  EXPECT_EQ(feed({pdu.substr(0, 19), pdu.substr(19)}).size(), 1u);
}

TEST(Framing, EmptyReadFiresNothing) { EXPECT_TRUE(feed({"", ""}).empty()); }

// command_length 1 to 15: the PDU is those octets, its header read as far as
// they go, and framing goes on after them.
TEST(Framing, ShortCommandLengthIsDecodedAsFarAsItGoes) {
  struct Case {
    const char* octets;
    const char* first_event;
  };
  const Case cases[] = {
      {"00000008 80000015", "Enquire_LINK_RESP 0 0"},
      {"0000000C 80000015 00000007", "Enquire_LINK_RESP 7 0"},
      {"00000004", "Unknown_command 4 0 0 0 ''"},
      {"00000006 8000", "Unknown_command 6 32768 0 0 ''"},
  };
  const std::string next = hex("00000010 80000015 00000000 00000009");
  for (const auto& k : cases) {
    SCOPED_TRACE(k.octets);
    expect_events_however_split(hex(k.octets) + next, {k.first_event, "Enquire_LINK_RESP 0 9"});
  }
}

// A length of 0, a negative count, or more than MaxPDULength cannot be framed:
// one report with what the header holds, and nothing after it is decoded.
TEST(Framing, UnframeableLengthIsReportedOnceAndDropsTheStream) {
  struct Case {
    const char* header;
    const char* event;
  };
  const Case cases[] = {
      {"00000000 00000015 00000000 00000001", "Unknown_command 0 21 0 1 ''"},
      {"80000000 00000015 00000000 00000001", "Unknown_command 2147483648 21 0 1 ''"},
      {"FFFFFFFF 00000004 00000001 00000002", "Unknown_command 4294967295 4 1 2 ''"},
      {"7FFFFFFF 00000004 00000000 00000003", "Unknown_command 2147483647 4 0 3 ''"},
      {"00040001 00000004 00000000 00000003", "Unknown_command 262145 4 0 3 ''"},
      {"48545450 2F312E31 20323030 204F4B0D", "Unknown_command 1213486160 791752241 540160048 542067469 ''"},
  };
  const std::string more = hex("00000010 80000015 00000000 00000009");
  for (const auto& k : cases) {
    auto log = feed({hex(k.header) + more, more});
    ASSERT_GE(log.size(), 1u) << k.header;
    EXPECT_EQ(log[0], k.event) << k.header;
    // The rest of that read is dropped; a later read is framed from its own
    // first octet (on a socket there is none: the connection is closed).
    EXPECT_EQ(log.size(), 2u) << k.header;
  }
}

TEST(Framing, LargestAcceptedPduIsFramedWhole) {
  const Cardinal len = TVelmorSMPPDemo::MaxPDULength;
  std::string pdu = hex("00040000 80000005 00000000 00000001");  // unknown to the dispatcher: deliver_sm_resp
  pdu.resize(len, 'x');
  std::vector<std::string> log;
  TEventLoop loop;
  Probe c(nullptr, loop);
  std::size_t params = 0;
  c.OnUnknown_command = [&](TObject*, Cardinal l, Cardinal, Cardinal, Cardinal, AnsiString p) {
    log.push_back(std::to_string(l));
    params = p.size();
  };
  for (std::size_t at = 0; at < pdu.size(); at += 1460) c.ReceiveOctets(std::string_view(pdu).substr(at, 1460));
  ASSERT_EQ(log, std::vector<std::string>{std::to_string(len)});
  EXPECT_EQ(params, len - 16);
}

TEST(Framing, TenThousandPdusInOneRead) {
  std::string block;
  for (Cardinal i = 1; i <= 10000; ++i) {
    std::string p = hex("00000010 80000015 00000000 00000000");
    p[12] = char(i >> 24), p[13] = char(i >> 16), p[14] = char(i >> 8), p[15] = char(i);
    block += p;
  }
  TEventLoop loop;
  Probe c(nullptr, loop);
  Cardinal expect = 1;
  bool in_order = true;
  c.OnEnquire_LINK_RESP = [&](TObject*, Cardinal, Cardinal seq) { in_order &= seq == expect++; };
  c.ReceiveOctets(block);
  EXPECT_TRUE(in_order);
  EXPECT_EQ(expect, 10001u);
}

}  // namespace
}  // namespace velmor::test
