// The framer both ends of a connection use: every stream gives the same
// frames whole and cut at every offset; short lengths frame as short PDUs;
// lengths that cannot be framed are reported once, with their header.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "codec/Commands.h"
#include "codec/Framer.h"
#include "common/Hex.h"

namespace velmor::codec {
namespace {

using test::hex;
using test::to_hex;

// Feeds the reads one after another and logs every frame taken out:
// "pdu <hex>" or "bad <hex>". After an unframeable header the stream is over,
// as it is for both users of the framer.
std::vector<std::string> frames(const std::vector<std::string_view>& reads, Cardinal max = 64) {
  Framer f(max);
  std::vector<std::string> log;
  for (auto r : reads) {
    if (!log.empty() && log.back().rfind("bad", 0) == 0) break;
    f.feed(r);
    for (Frame x = f.next(); x.kind != Frame::Kind::need_more; x = f.next()) {
      log.push_back((x.kind == Frame::Kind::pdu ? "pdu " : "bad ") + to_hex(x.octets));
      if (x.kind == Frame::Kind::unframeable) {
        EXPECT_EQ(f.buffered(), 0u);
      }
    }
  }
  return log;
}

struct StreamCase {
  const char* name;
  std::string stream;
  std::vector<const char*> expected;  // hex of each frame, "!" in front for unframeable
};

const StreamCase kStreams[] = {
    {"TwoWholePdus",
     "00000010 80000015 00000000 00000001 00000014 80000004 00000000 00000002 61626300",
     {"00000010 80000015 00000000 00000001", "00000014 80000004 00000000 00000002 61626300"}},
    // 1..15: the PDU is that many octets, and framing goes on after it.
    {"ShortLengths",
     "00000008 80000015 00000004 0000000C 80000015 00000007 00000010 80000015 00000000 00000009",
     {"00000008 80000015", "00000004", "0000000C 80000015 00000007", "00000010 80000015 00000000 00000009"}},
    {"LargestAccepted",
     std::string("00000040 00000004 00000000 00000001") + std::string(96, '7'),
     {nullptr}},  // filled below: one PDU of exactly the maximum
    {"ZeroAfterAGoodPdu",
     "00000010 80000015 00000000 00000001 00000000 00000015 00000000 00000005 00000010 80000015 00000000 00000002",
     {"00000010 80000015 00000000 00000001", "!00000000 00000015 00000000 00000005"}},
    {"OneAboveMax", "00000041 00000004 00000000 00000003 00", {"!00000041 00000004 00000000 00000003"}},
    {"NegativeCount", "80000000 00000004 00000000 00000003 00000010", {"!80000000 00000004 00000000 00000003"}},
    {"Http", "48545450 2F312E31 20323030 204F4B0D 0A", {"!48545450 2F312E31 20323030 204F4B0D"}},
};

class FramerStream : public ::testing::TestWithParam<StreamCase> {};

TEST_P(FramerStream, WholeAndSplitAtEveryOffsetGiveTheSameFrames) {
  const std::string s = hex(GetParam().stream);
  std::vector<std::string> expected;
  for (const char* e : GetParam().expected) {
    if (e == nullptr)
      expected.push_back("pdu " + to_hex(s));
    else if (e[0] == '!')
      expected.push_back("bad " + to_hex(hex(e + 1)));
    else
      expected.push_back("pdu " + to_hex(hex(e)));
  }
  ASSERT_EQ(frames({s}), expected);
  const std::string_view v = s;
  for (std::size_t cut = 0; cut <= v.size(); ++cut)
    ASSERT_EQ(frames({v.substr(0, cut), v.substr(cut)}), expected) << "cut at " << cut;
  std::vector<std::string_view> bytes;
  for (std::size_t i = 0; i < v.size(); ++i) bytes.push_back(v.substr(i, 1));
  EXPECT_EQ(frames(bytes), expected);
}

INSTANTIATE_TEST_SUITE_P(Table, FramerStream, ::testing::ValuesIn(kStreams),
                         [](const auto& info) { return std::string(info.param.name); });

// What a receiver can act on before a PDU is whole: the announced length,
// and whether it is short, as soon as the four length octets are here; an
// unframeable one only with its whole header.
TEST(Framer, ReportsTheLengthBeforeThePduIsWhole) {
  struct Case {
    const char* octets;
    Frame::Kind kind;
    Cardinal length;
    bool is_short;
  };
  const Case cases[] = {
      {"000000", Frame::Kind::need_more, 0, false},
      {"00000008", Frame::Kind::need_more, 8, true},
      {"0000000F 00000015 00000000 0000", Frame::Kind::need_more, 15, true},
      {"00000010 00000015", Frame::Kind::need_more, 16, false},
      {"00000041 00000004 00000000 000000", Frame::Kind::need_more, 0x41, false},
      {"00000000 00000004 00000000 00000001", Frame::Kind::unframeable, 0, false},
  };
  for (const auto& k : cases) {
    const Frame f = frame_front(hex(k.octets), 64);
    EXPECT_EQ(f.kind, k.kind) << k.octets;
    EXPECT_EQ(f.command_length, k.length) << k.octets;
    EXPECT_EQ(f.short_length(), k.is_short) << k.octets;
  }
}

TEST(Framer, MaximumIsCappedAtThePositiveRange) {
  Framer f(0xFFFFFFFF);
  EXPECT_EQ(f.max_length(), 0x7FFFFFFFu);
  f.feed(hex("80000000 00000004 00000000 00000003"));
  EXPECT_EQ(f.next().kind, Frame::Kind::unframeable);
}

// A large PDU grows the buffer; once it is framed the buffer is released, and
// what was framed before stays whole across the growth.
TEST(Framer, GrowsForALargePduAndShrinksWhenEmpty) {
  Framer f(1 << 20);
  std::string big = hex("00010000 00000004 00000000 00000001");
  big.resize(0x10000, 'x');
  f.feed(std::string_view(big).substr(0, 100));
  EXPECT_EQ(f.next().kind, Frame::Kind::need_more);
  f.feed(std::string_view(big).substr(100));
  const Frame x = f.next();
  ASSERT_EQ(x.kind, Frame::Kind::pdu);
  EXPECT_EQ(x.octets, big);
  f.shrink_if_empty(16 * 1024);
  EXPECT_EQ(f.buffered(), 0u);
}

// Octets put in front of those buffered come out first, whether they fit in
// the room before them, in the buffer after a move, or only in a larger one.
TEST(Framer, OctetsFedInFrontComeOutFirst) {
  const std::string a = hex("00000010 80000015 00000000 00000001"), b = hex("00000010 80000015 00000000 00000002");
  std::string big = hex("00001388 80000015 00000000 00000003");
  big.resize(0x1388, 'x');
  const struct {
    bool consumed_one;  // a whole PDU framed before: room in front of the tail
    const std::string& front;
  } cases[] = {{true, a}, {false, a}, {false, big}};
  for (const auto& k : cases) {
    Framer f(1 << 16);
    f.feed((k.consumed_one ? b : std::string()) + b.substr(0, 9));
    if (k.consumed_one) {
      ASSERT_EQ(f.next().octets, b);
    }
    f.feed_front(k.front);
    f.feed_front({});
    EXPECT_EQ(f.next().octets, k.front) << k.front.size();
    EXPECT_EQ(f.next().kind, Frame::Kind::need_more);
    f.feed(std::string_view(b).substr(9));
    EXPECT_EQ(f.next().octets, b) << k.front.size();
  }
}

// One table of command ids and one of statuses: no value or name twice, and
// the constants are the table's.
TEST(CommandTables, ValuesAndNamesAreUnique) {
  std::set<Cardinal> ids;
  std::set<std::string_view> names;
  for (const auto& e : commands) {
    EXPECT_TRUE(ids.insert(e.id).second) << e.name;
    EXPECT_TRUE(names.insert(e.name).second) << e.name;
  }
  EXPECT_EQ(ids.size(), 27u);
  std::set<Cardinal> statuses;
  for (const auto& e : command_statuses) EXPECT_TRUE(statuses.insert(e.value).second) << e.name;
  EXPECT_EQ(command_id_name(command_id::submit_multi_resp), "submit_multi_resp");
  EXPECT_EQ(command_id_name(0x80000021), "submit_multi_resp");
  EXPECT_EQ(command_status_name(0x58), "ESME_RTHROTTLED");
  EXPECT_EQ(command_status::ESME_RINVCMDLEN, 0x02u);
  EXPECT_EQ(command_status_name(0x400), "");
}

}  // namespace
}  // namespace velmor::codec
