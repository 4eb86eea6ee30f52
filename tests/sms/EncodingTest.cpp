#include <gtest/gtest.h>

#include "common/Hex.h"
#include "sms/Encoding.h"

using namespace velmor::sms;
using velmor::test::hex;
using velmor::test::to_hex;

TEST(Ucs2, EncodesBmpAndSurrogatePairsAndRoundTrips) {
  struct Case {
    const char* utf8;
    const char* hex;
  };
  const Case cases[] = {
      {"A", "0041"},
      {"é€", "00E920AC"},
      {"😀", "D83DDE00"},
      {"a😀b𝄞", "0061D83DDE000062D834DD1E"},
      {"\U0010FFFF", "DBFFDFFF"},
  };
  for (const auto& c : cases) {
    auto enc = Utf8ToUcs2(c.utf8);
    ASSERT_TRUE(enc.ok()) << c.utf8;
    EXPECT_EQ(to_hex(*enc), to_hex(hex(c.hex)));
    auto dec = Ucs2ToUtf8(hex(c.hex));
    ASSERT_TRUE(dec.ok()) << c.hex;
    EXPECT_EQ(*dec, c.utf8);
  }
}

TEST(Ucs2, LoneSurrogatesAndOddLengthAreReportedOrReplaced) {
  struct Case {
    const char* hex;
    ErrorCode code;
    std::size_t index;
    const char* replaced;
  };
  const Case cases[] = {
      {"D8000041", ErrorCode::LoneSurrogate, 0, "\uFFFDA"},       // high then non-low
      {"0041DC00", ErrorCode::LoneSurrogate, 1, "A\uFFFD"},       // low alone
      {"0041D83D", ErrorCode::LoneSurrogate, 1, "A\uFFFD"},       // high at end
      {"DE00D83D", ErrorCode::LoneSurrogate, 0, "\uFFFD\uFFFD"},  // pair in the wrong order
      {"004100", ErrorCode::OddLength, 1, "A\uFFFD"},
  };
  for (const auto& c : cases) {
    auto r = Ucs2ToUtf8(hex(c.hex));
    ASSERT_FALSE(r.ok()) << c.hex;
    EXPECT_EQ(r.error().code, c.code) << c.hex;
    EXPECT_EQ(r.error().index, c.index) << c.hex;
    EXPECT_EQ(r.error().offset, c.index * 2) << c.hex;
    EXPECT_EQ(*Ucs2ToUtf8(hex(c.hex), OnBadInput::Replace), c.replaced) << c.hex;
  }
}

TEST(Utf8Input, MalformedSequencesAreReportedAtTheirPosition) {
  struct Case {
    std::string input;
    std::size_t index;
    std::size_t offset;
  };
  const Case cases[] = {
      {"ab\xC0\x80", 2, 2},         // overlong NUL
      {"\xED\xA0\x80", 0, 0},       // encoded surrogate
      {"é\xE2\x82", 1, 2},          // truncated
      {"x\xF4\x90\x80\x80", 1, 1},  // above U+10FFFF
      {"\x80", 0, 0},               // stray continuation
      {"ok\xFF", 2, 2},
  };
  for (const auto& c : cases) {
    for (auto r :
         {Utf8ToUcs2(c.input), Utf8ToLatin1(c.input, OnBadInput::Replace), Utf8ToAscii(c.input, OnBadInput::Replace)}) {
      ASSERT_FALSE(r.ok()) << to_hex(c.input);
      EXPECT_EQ(r.error().code, ErrorCode::InvalidUtf8);
      EXPECT_EQ(r.error().index, c.index) << to_hex(c.input);
      EXPECT_EQ(r.error().offset, c.offset) << to_hex(c.input);
    }
  }
}

TEST(Latin1, EncodesDecodesAndReportsOutOfRange) {
  EXPECT_EQ(to_hex(*Utf8ToLatin1("café ÿ")), to_hex(hex("636166E920FF")));
  EXPECT_EQ(Latin1ToUtf8(hex("636166E920FF")), "café ÿ");
  auto r = Utf8ToLatin1("a€");
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().code, ErrorCode::Unrepresentable);
  EXPECT_EQ(r.error().index, 1u);
  EXPECT_EQ(to_hex(*Utf8ToLatin1("a€", OnBadInput::Replace)), to_hex(hex("613F")));
}

TEST(Encoding, ChoosesGsmWhenEveryCharacterFitsElseUcs2) {
  struct Case {
    const char* utf8;
    std::uint8_t data_coding;
    const char* hex;
  };
  const Case cases[] = {
      {"hi", 0x00, "6869"},
      {"{€}", 0x00, "1B281B651B29"},
      {"@£$", 0x00, "000102"},
      {"ç", 0x08, "00E7"},  // only capital Ç is in the GSM table
      {"hi😀", 0x08, "00680069D83DDE00"},
      {"", 0x00, ""},
  };
  for (const auto& c : cases) {
    auto r = ChooseEncoding(c.utf8);
    ASSERT_TRUE(r.ok()) << c.utf8;
    EXPECT_EQ(r->data_coding, c.data_coding) << c.utf8;
    EXPECT_EQ(to_hex(r->octets), to_hex(hex(c.hex))) << c.utf8;
    EXPECT_EQ(*DecodeText(r->octets, r->data_coding), c.utf8);
  }
  EXPECT_EQ(ChooseEncoding("a\xFF").error().code, ErrorCode::InvalidUtf8);
}

TEST(Encoding, AlphabetOfDataCoding) {
  const std::pair<std::uint8_t, Alphabet> cases[] = {
      {0x00, Alphabet::Gsm7},   {0x01, Alphabet::Ascii},       {0x02, Alphabet::Binary},      {0x03, Alphabet::Latin1},
      {0x04, Alphabet::Binary}, {0x05, Alphabet::Unsupported}, {0x08, Alphabet::Ucs2},        {0x11, Alphabet::Gsm7},
      {0x15, Alphabet::Binary}, {0x18, Alphabet::Ucs2},        {0x38, Alphabet::Unsupported}, {0xC0, Alphabet::Gsm7},
      {0xE0, Alphabet::Ucs2},   {0xF1, Alphabet::Gsm7},        {0xF6, Alphabet::Binary},
  };
  for (auto [dc, a] : cases) EXPECT_EQ(AlphabetOf(dc), a) << int(dc);
  EXPECT_EQ(DecodeText("x", 0x04).error().code, ErrorCode::UnsupportedCoding);
  EXPECT_EQ(*DecodeText(hex("E8329BFD06"), 0x00, {OnBadInput::Report, true}), "hello");
}
