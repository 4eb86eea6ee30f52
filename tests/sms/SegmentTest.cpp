#include <gtest/gtest.h>

#include "common/Hex.h"
#include "sms/Gsm7.h"
#include "sms/Segment.h"

using namespace velmor::sms;
using velmor::test::hex;
using velmor::test::to_hex;

namespace {

std::string Repeat(std::string_view s, std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) out += s;
  return out;
}

std::size_t UdhLen(const Part& p) {
  return (p.esm_class & kEsmClassUdhi) ? 1 + static_cast<std::uint8_t>(p.short_message[0]) : 0;
}

// User-data length of each part, in characters of its alphabet.
std::vector<std::size_t> Sizes(const std::vector<Part>& parts, std::size_t unit) {
  std::vector<std::size_t> out;
  for (const auto& p : parts) out.push_back((p.short_message.size() - UdhLen(p)) / unit);
  return out;
}

}  // namespace

TEST(Segment, BoundaryLengthsGiveExactPartSizes) {
  using V = std::vector<std::size_t>;
  struct Case {
    const char* name;
    std::string text;
    SegmentMethod method;
    std::optional<std::uint8_t> data_coding;
    std::size_t unit;
    V sizes;
  };
  const std::string u = "ж";  // forces UCS-2
  const Case cases[] = {
      {"gsm 160", Repeat("a", 160), SegmentMethod::Udh8, {}, 1, V{160}},
      {"gsm 161", Repeat("a", 161), SegmentMethod::Udh8, {}, 1, V{153, 8}},
      {"gsm 306", Repeat("a", 306), SegmentMethod::Udh8, {}, 1, V{153, 153}},
      {"gsm 307", Repeat("a", 307), SegmentMethod::Udh8, {}, 1, V{153, 153, 1}},
      {"gsm 161 ref16", Repeat("a", 161), SegmentMethod::Udh16, {}, 1, V{152, 9}},
      {"gsm 161 sar", Repeat("a", 161), SegmentMethod::Sar, {}, 1, V{160, 1}},
      {"ucs2 70", Repeat(u, 70), SegmentMethod::Udh8, {}, 2, V{70}},
      {"ucs2 71", Repeat(u, 71), SegmentMethod::Udh8, {}, 2, V{67, 4}},
      {"ucs2 71 ref16", Repeat(u, 71), SegmentMethod::Udh16, {}, 2, V{66, 5}},
      {"ucs2 71 sar", Repeat(u, 71), SegmentMethod::Sar, {}, 2, V{70, 1}},
      {"latin1 140", Repeat("é", 140), SegmentMethod::Udh8, 0x03, 1, V{140}},
      {"latin1 141", Repeat("é", 141), SegmentMethod::Udh8, 0x03, 1, V{134, 7}},
      {"latin1 141 ref16", Repeat("é", 141), SegmentMethod::Udh16, 0x03, 1, V{133, 8}},
      {"latin1 141 sar", Repeat("é", 141), SegmentMethod::Sar, 0x03, 1, V{140, 1}},
      // an escape pair or a surrogate pair is never split
      {"escape at boundary", Repeat("a", 152) + "€" + Repeat("b", 10), SegmentMethod::Udh8, {}, 1, V{152, 12}},
      {"escape just fits", Repeat("a", 151) + "€" + Repeat("b", 10), SegmentMethod::Udh8, {}, 1, V{153, 10}},
      {"escape ref16", Repeat("a", 151) + "€" + Repeat("b", 10), SegmentMethod::Udh16, {}, 1, V{151, 12}},
      {"escape ends single part", Repeat("a", 158) + "€", SegmentMethod::Udh8, {}, 1, V{160}},
      {"escape overflows single part", Repeat("a", 159) + "€", SegmentMethod::Udh8, {}, 1, V{153, 8}},
      {"escape at sar boundary", Repeat("a", 159) + "€" + "b", SegmentMethod::Sar, {}, 1, V{159, 3}},
      {"surrogate at boundary", Repeat("a", 66) + "😀" + Repeat("b", 10), SegmentMethod::Udh8, {}, 2, V{66, 12}},
      {"surrogate ref16", Repeat("a", 65) + "😀" + Repeat("b", 10), SegmentMethod::Udh16, {}, 2, V{65, 12}},
      {"surrogate at sar boundary", Repeat("a", 69) + "😀", SegmentMethod::Sar, {}, 2, V{69, 2}},
  };
  for (const auto& c : cases) {
    SegmentOptions o;
    o.method = c.method;
    o.data_coding = c.data_coding;
    auto parts = SegmentText(c.text, o);
    ASSERT_TRUE(parts.ok()) << c.name;
    EXPECT_EQ(Sizes(*parts, c.unit), c.sizes) << c.name;
    for (const auto& p : *parts) {
      EXPECT_LE(p.short_message.size(), 160u) << c.name;
      if (p.data_coding != 0x00) {
        EXPECT_LE(p.short_message.size(), 140u) << c.name;
      }
      EXPECT_EQ(p.sar.has_value(), c.method == SegmentMethod::Sar && parts->size() > 1) << c.name;
      EXPECT_EQ(bool(p.esm_class & kEsmClassUdhi), c.method != SegmentMethod::Sar && parts->size() > 1) << c.name;
    }
  }
}

TEST(Segment, HeadersAndSarValuesAreExact) {
  SegmentOptions o;
  o.reference = 0xA7;
  o.esm_class = 0x03;
  auto p8 = SegmentText(Repeat("x", 200), o);
  ASSERT_EQ(p8->size(), 2u);
  EXPECT_EQ(to_hex((*p8)[0].short_message.substr(0, 6)), to_hex(hex("050003A70201")));
  EXPECT_EQ(to_hex((*p8)[1].short_message.substr(0, 6)), to_hex(hex("050003A70202")));
  EXPECT_EQ((*p8)[1].esm_class, 0x43);

  o.method = SegmentMethod::Udh16;
  o.reference = 0x12A7;
  auto p16 = SegmentText(Repeat("x", 400), o);
  ASSERT_EQ(p16->size(), 3u);
  EXPECT_EQ(to_hex((*p16)[2].short_message.substr(0, 7)), to_hex(hex("06080412A70303")));

  o.method = SegmentMethod::Sar;
  auto sar = SegmentText(Repeat("x", 400), o);
  ASSERT_EQ(sar->size(), 3u);
  EXPECT_EQ((*sar)[1].sar, (SarValues{0x12A7, 3, 2}));
  EXPECT_EQ((*sar)[1].esm_class, 0x03);
  EXPECT_EQ((*sar)[1].short_message, Repeat("x", 160));

  o.method = SegmentMethod::Payload;
  auto pl = SegmentText(Repeat("x", 400) + "€", o);
  ASSERT_EQ(pl->size(), 1u);
  EXPECT_TRUE((*pl)[0].short_message.empty());
  EXPECT_EQ((*pl)[0].message_payload, Repeat("x", 400) + "\x1b\x65");
}

TEST(Segment, PackedGsmFillsExactlyOneHundredFortyOctets) {
  SegmentOptions o;
  o.gsm_packed = true;
  const std::string text = Repeat("a", 152) + "€" + Repeat("b", 10);
  for (auto method : {SegmentMethod::Udh8, SegmentMethod::Udh16}) {
    o.method = method;
    auto parts = SegmentText(text, o);
    ASSERT_TRUE(parts.ok());
    ASSERT_EQ(parts->size(), 2u);
    const Part& first = (*parts)[0];
    const std::size_t udh = UdhLen(first);
    const unsigned fill = udh == 6 ? 1 : 0;
    EXPECT_LE(first.short_message.size(), 140u);
    const Octets septets = UnpackSeptets(first.short_message.substr(udh), fill);
    EXPECT_EQ(septets, Repeat("a", 152));  // the escape pair never splits; it opens part 2
    EXPECT_EQ(static_cast<std::uint8_t>(first.short_message[udh]) & ((1u << fill) - 1), 0u);
  }
  o.method = SegmentMethod::Udh8;
  auto full = SegmentText(Repeat("a", 306), o);
  ASSERT_EQ(full->size(), 2u);
  EXPECT_EQ((*full)[0].short_message.size(), 140u);
  EXPECT_EQ(UnpackSeptets((*full)[0].short_message.substr(6), 1), Repeat("a", 153));

  // A <CR> ending a full part on an octet boundary would need a 141st octet.
  auto cr = SegmentText(Repeat("a", 152) + "\r" + Repeat("t", 10), o);
  ASSERT_EQ(cr->size(), 2u);
  EXPECT_LE((*cr)[0].short_message.size(), 140u);
  EXPECT_EQ(UnpackSeptets((*cr)[1].short_message.substr(6), 1), "\r" + Repeat("t", 10));
}

TEST(Segment, RefusesWhatCannotBeSentFaithfully) {
  SegmentOptions o;
  o.reference = 256;
  EXPECT_EQ(SegmentText(Repeat("a", 200), o).error().code, ErrorCode::InvalidArgument);
  o.reference = 1;
  EXPECT_EQ(SegmentText(Repeat("a", 153 * 255 + 1), o).error().code, ErrorCode::TooLong);
  EXPECT_TRUE(SegmentText(Repeat("a", 153 * 255), o).ok());
  o.data_coding = 0x00;
  auto bad = SegmentText("ok ✓", o);
  EXPECT_EQ(bad.error().code, ErrorCode::Unrepresentable);
  EXPECT_EQ(bad.error().index, 3u);
  o.on_bad = OnBadInput::Replace;
  EXPECT_EQ((*SegmentText("ok ✓", o))[0].short_message, "ok ?");
  EXPECT_EQ(SegmentOctets("\x80", 0x00).error().code, ErrorCode::InvalidSeptet);
  EXPECT_EQ(SegmentOctets("abc", 0x08).error().code, ErrorCode::OddLength);
}
