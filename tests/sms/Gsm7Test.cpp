#include <gtest/gtest.h>

#include "common/Hex.h"
#include "sms/Gsm7.h"
#include "sms/Utf8.h"

using namespace velmor::sms;
using velmor::test::hex;
using velmor::test::to_hex;

namespace {

// GSM 03.38 default alphabet in septet order; position 0x1B (escape) holds '\x1b'.
const std::string kDefaultTable =
    "@£$¥èéùìòÇ\nØø\rÅåΔ_ΦΓΛΩΠΨΣΘΞ\x1b"
    "ÆæßÉ !\"#¤%&'()*+,-./0123456789:;<=>?"
    "¡ABCDEFGHIJKLMNOPQRSTUVWXYZÄÖÑÜ§¿abcdefghijklmnopqrstuvwxyzäöñüà";

struct ExtCase {
  const char* utf8;
  std::uint8_t code;
};
const ExtCase kExtension[] = {{"\f", 0x0A}, {"^", 0x14}, {"{", 0x28}, {"}", 0x29}, {"\\", 0x2F},
                              {"[", 0x3C},  {"~", 0x3D}, {"]", 0x3E}, {"|", 0x40}, {"€", 0x65}};

// Every character of both tables with its unpacked septets.
std::vector<std::pair<std::string, std::string>> AllCharacters() {
  std::vector<std::pair<std::string, std::string>> out;
  auto cps = Utf8ToCodePoints(kDefaultTable);
  EXPECT_TRUE(cps.ok());
  EXPECT_EQ(cps->size(), 128u);
  for (std::size_t s = 0; s < cps->size(); ++s) {
    if (s == 0x1B) continue;
    std::string ch;
    AppendUtf8(ch, (*cps)[s]);
    out.emplace_back(ch, std::string(1, static_cast<char>(s)));
  }
  for (const auto& e : kExtension) out.emplace_back(e.utf8, std::string{'\x1b', static_cast<char>(e.code)});
  return out;
}

}  // namespace

TEST(Gsm7, EveryCharacterOfBothTablesRoundTripsUnpackedAndPacked) {
  const auto all = AllCharacters();
  ASSERT_EQ(all.size(), 137u);
  for (const auto& [ch, septets] : all) {
    SCOPED_TRACE(to_hex(septets));
    auto enc = Utf8ToGsm7(ch);
    ASSERT_TRUE(enc.ok());
    EXPECT_EQ(to_hex(*enc), to_hex(septets));
    auto dec = Gsm7ToUtf8(septets);
    ASSERT_TRUE(dec.ok());
    EXPECT_EQ(*dec, ch);
    for (unsigned fill = 0; fill <= 6; ++fill) {
      const Octets packed = PackSeptets(septets, fill);
      EXPECT_EQ(static_cast<std::uint8_t>(packed[0]) & ((1u << fill) - 1), 0u) << "fill bits must be zero";
      EXPECT_EQ(to_hex(UnpackSeptets(packed, fill, septets.size())), to_hex(septets)) << "fill " << fill;
      // Without the count a <CR> ending on an octet boundary reads back as <CR><CR>.
      const bool cr_on_boundary = septets == "\r" && (fill + 7) % 8 == 0;
      EXPECT_EQ(to_hex(UnpackSeptets(packed, fill)), to_hex(cr_on_boundary ? "\r\r" : septets)) << "fill " << fill;
    }
  }
}

TEST(Gsm7, WholeTablesAsOneTextRoundTripWithEveryFill) {
  std::string text, septets;
  for (const auto& [ch, s] : AllCharacters()) {
    text += ch;
    septets += s;
  }
  auto enc = Utf8ToGsm7(text);
  ASSERT_TRUE(enc.ok());
  EXPECT_EQ(*enc, septets);
  EXPECT_EQ(Gsm7Length(text), septets.size());
  for (unsigned fill = 0; fill <= 6; ++fill) {
    auto back = Gsm7ToUtf8(UnpackSeptets(PackSeptets(septets, fill), fill));
    ASSERT_TRUE(back.ok());
    EXPECT_EQ(*back, text) << "fill " << fill;
  }
}

TEST(Gsm7, PackedGoldenVectors) {
  struct Case {
    std::string septets;
    unsigned fill;
    const char* hex;
  };
  const Case cases[] = {
      {"hello", 0, "E8329BFD06"},       {"hello", 1, "D06536FB0D"}, {"hello", 2, "A0CB6CF61B"},
      {"hello", 3, "4097D9EC37"},       {"hello", 4, "802EB3D96F"}, {"hello", 5, "005D66B3DF"},
      {"hello", 6, "00BACC66BF1B"},      // 7 spare bits: <CR>,   {" !\"#$%&'", 0, "A09068442A994E"},
      {"1234567", 0, "31D98C56B3DD1A"},  // 7 spare bits carry <CR>, not '@'
  };
  for (const auto& c : cases) {
    EXPECT_EQ(to_hex(PackSeptets(c.septets, c.fill)), to_hex(hex(c.hex))) << c.septets << " fill " << c.fill;
    EXPECT_EQ(UnpackSeptets(hex(c.hex), c.fill), c.septets) << c.hex;
  }
}

TEST(Gsm7, TrailingAtAndCarriageReturnSurvivePackingWithoutCount) {
  // '@' is septet 0: a zero-padded last octet would be read back as an extra '@'.
  for (std::string s :
       {std::string("1234567"), std::string("123456@"), std::string("1234567@"), std::string("@@@@@@@")}) {
    EXPECT_EQ(to_hex(UnpackSeptets(PackSeptets(s))), to_hex(s));
  }
  // A text ending in <CR> on an octet boundary gains a second <CR> (same meaning).
  EXPECT_EQ(UnpackSeptets(PackSeptets("1234567\r")), "1234567\r\r");
  EXPECT_EQ(UnpackSeptets(PackSeptets("1234567\r"), 0, 8), "1234567\r");
}

TEST(Gsm7, UnrepresentableCharacterIsReportedWithPositionOrReplaced) {
  const std::string text = "a€b✓c";  // ✓ is character 3, byte 5
  auto r = Utf8ToGsm7(text);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().code, ErrorCode::Unrepresentable);
  EXPECT_EQ(r.error().index, 3u);
  EXPECT_EQ(r.error().offset, 5u);
  auto replaced = Utf8ToGsm7(text, OnBadInput::Replace);
  ASSERT_TRUE(replaced.ok());
  EXPECT_EQ(to_hex(*replaced), to_hex(hex("611B65623F63")));
  EXPECT_FALSE(Gsm7Length(text));

  auto bad = Utf8ToGsm7("ab\xC3");
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().code, ErrorCode::InvalidUtf8);
  EXPECT_EQ(bad.error().offset, 2u);
}

TEST(Gsm7, DecodingOddEscapesAndBadSeptets) {
  struct Case {
    const char* hex;
    const char* utf8;
  };
  const Case cases[] = {
      {"1B41", "A"},     // undefined extension code: the default-table character
      {"411B", "A "},    // trailing escape
      {"1B1B41", " A"},  // escape to a further table we do not know
  };
  for (const auto& c : cases) {
    auto r = Gsm7ToUtf8(hex(c.hex));
    ASSERT_TRUE(r.ok()) << c.hex;
    EXPECT_EQ(*r, c.utf8) << c.hex;
  }
  auto r = Gsm7ToUtf8(hex("4180"));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().code, ErrorCode::InvalidSeptet);
  EXPECT_EQ(r.error().offset, 1u);
  EXPECT_EQ(*Gsm7ToUtf8(hex("4180"), OnBadInput::Replace), "A\uFFFD");
}
