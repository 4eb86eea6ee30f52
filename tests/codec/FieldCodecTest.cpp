// Field encodings of a PDU body: big-endian integers, C-Octet Strings and
// Octet Strings, written by appending and read through a Cursor that must
// never look past the octets it was given.
#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>
#include <string_view>

#include "codec/Codec.h"
#include "common/Hex.h"

namespace velmor::codec {
namespace {

using test::hex;
using test::to_hex;
using namespace std::string_literals;

// ---- writers ---------------------------------------------------------------

struct WriteCase {
  const char* name;
  std::function<void(std::string&)> write;
  const char* expected;
};
void PrintTo(const WriteCase& c, std::ostream* os) { *os << c.name; }

class FieldWriterTest : public ::testing::TestWithParam<WriteCase> {};

TEST_P(FieldWriterTest, AppendsBigEndianOrRawOctets) {
  std::string out;
  GetParam().write(out);
  EXPECT_EQ(to_hex(out), to_hex(hex(GetParam().expected)));
}

TEST_P(FieldWriterTest, KeepsWhatIsAlreadyInTheBuffer) {
  std::string out = hex("AA BB");
  GetParam().write(out);
  EXPECT_EQ(to_hex(out), to_hex(hex("AA BB") + hex(GetParam().expected)));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FieldWriterTest,
    ::testing::Values(WriteCase{"U8Zero", [](std::string& o) { put_u8(o, 0); }, "00"},
                      WriteCase{"U8HighBit", [](std::string& o) { put_u8(o, 0xC0); }, "C0"},
                      WriteCase{"U8Max", [](std::string& o) { put_u8(o, 0xFF); }, "FF"},
                      WriteCase{"U16Zero", [](std::string& o) { put_u16(o, 0); }, "00 00"},
                      WriteCase{"U16LowOctetOnly", [](std::string& o) { put_u16(o, 0x2A); }, "00 2A"},
                      WriteCase{"U16", [](std::string& o) { put_u16(o, 0x1234); }, "12 34"},
                      WriteCase{"U16Max", [](std::string& o) { put_u16(o, 0xFFFF); }, "FF FF"},
                      WriteCase{"U32Small", [](std::string& o) { put_u32(o, 0x21); }, "00 00 00 21"},
                      WriteCase{"U32", [](std::string& o) { put_u32(o, 0x12345678); }, "12 34 56 78"},
                      WriteCase{"U32TopBit", [](std::string& o) { put_u32(o, 0x80000000); }, "80 00 00 00"},
                      WriteCase{"U32Max", [](std::string& o) { put_u32(o, 0xFFFFFFFF); }, "FF FF FF FF"},
                      WriteCase{"CStringText", [](std::string& o) { put_cstring(o, "abc"); }, "61 62 63 00"},
                      WriteCase{"CStringEmpty", [](std::string& o) { put_cstring(o, ""); }, "00"},
                      // A NUL inside the text is written as is; the writer does not look for it.
                      WriteCase{"CStringInnerNul", [](std::string& o) { put_cstring(o, "a\0b"s); }, "61 00 62 00"},
                      WriteCase{"CStringHighOctets", [](std::string& o) { put_cstring(o, "\xFF\x80"s); }, "FF 80 00"},
                      WriteCase{"OctetsNoTerminator", [](std::string& o) { put_octets(o, "ab"); }, "61 62"},
                      WriteCase{"OctetsEmpty", [](std::string& o) { put_octets(o, ""); }, ""},
                      WriteCase{"OctetsWithNuls", [](std::string& o) { put_octets(o, "\0\0A\0"s); }, "00 00 41 00"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FieldWriterTest, StoreU32PatchesInPlaceWithoutGrowing) {
  std::string out = hex("00 00 00 00 11 22 33 44 55");
  store_u32(out, 0, 0x00000017);
  store_u32(out, 5, 0xA1B2C3D4);
  EXPECT_EQ(to_hex(out), "00 00 00 17 11 A1 B2 C3 D4");
}

// ---- cursor ----------------------------------------------------------------

// What one read returns and what it leaves for the next read.
struct ReadCase {
  const char* name;
  const char* body;
  std::function<std::string(Cursor&)> read;  // the value, rendered as hex
  const char* value;
  const char* rest;
};
void PrintTo(const ReadCase& c, std::ostream* os) { *os << c.name; }

std::string int_hex(Cardinal v) {
  std::string s;
  put_u32(s, v);
  return to_hex(s);
}

class CursorReadTest : public ::testing::TestWithParam<ReadCase> {};

TEST_P(CursorReadTest, ReadsFieldAndRemovesWhatItUsed) {
  const std::string body = hex(GetParam().body);
  Cursor c(body);
  EXPECT_EQ(GetParam().read(c), to_hex(hex(GetParam().value)));
  EXPECT_EQ(to_hex(c.rest()), to_hex(hex(GetParam().rest)));
  EXPECT_EQ(c.size(), c.rest().size());
  EXPECT_EQ(c.empty(), c.rest().empty());
}

auto u32 = [](Cursor& c) { return int_hex(c.u32()); };
auto u16 = [](Cursor& c) { return int_hex(c.u16()); };
auto u8 = [](Cursor& c) { return int_hex(c.u8()); };
auto cstr = [](Cursor& c) { return to_hex(c.cstring()); };
auto octets = [](std::size_t n) { return [n](Cursor& c) { return to_hex(c.octets(n)); }; };

INSTANTIATE_TEST_SUITE_P(Cases, CursorReadTest,
                         ::testing::Values(ReadCase{"U32Full", "12 34 56 78 9A", u32, "12 34 56 78", "9A"},
                                           ReadCase{"U32ThreeOctetsLeft", "00 00 01", u32, "00 00 00 01", ""},
                                           ReadCase{"U32TwoOctetsLeft", "01 02", u32, "00 00 01 02", ""},
                                           ReadCase{"U32OneOctetLeft", "FF", u32, "00 00 00 FF", ""},
                                           ReadCase{"U32NothingLeft", "", u32, "00 00 00 00", ""},
                                           ReadCase{"U32TopBitUnsigned", "80 00 00 04", u32, "80 00 00 04", ""},
                                           ReadCase{"U16Full", "12 34 56", u16, "00 00 12 34", "56"},
                                           ReadCase{"U16OneOctetLeft", "05", u16, "00 00 00 05", ""},
                                           ReadCase{"U16NothingLeft", "", u16, "00 00 00 00", ""},
                                           ReadCase{"U8", "C0 01", u8, "00 00 00 C0", "01"},
                                           ReadCase{"U8NothingLeft", "", u8, "00 00 00 00", ""},
                                           ReadCase{"CStringText", "61 62 63 00 41", cstr, "61 62 63", "41"},
                                           ReadCase{"CStringNulAtFront", "00 41 00", cstr, "", "41 00"},
                                           ReadCase{"CStringStopsAtFirstNul", "61 00 62 00", cstr, "61", "62 00"},
                                           ReadCase{"CStringNoNulLeavesBody", "61 62", cstr, "", "61 62"},
                                           ReadCase{"CStringNothingLeft", "", cstr, "", ""},
                                           ReadCase{"CStringOnlyNul", "00", cstr, "", ""},
                                           ReadCase{"OctetsExact", "01 00 02 03", octets(3), "01 00 02", "03"},
                                           ReadCase{"OctetsZeroLength", "01 02", octets(0), "", "01 02"},
                                           ReadCase{"OctetsShortBody", "41 42", octets(16), "41 42", ""},
                                           ReadCase{"OctetsNothingLeft", "", octets(5), "", ""}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CursorReadTest, CStringWithoutNulLeavesTheFollowingFieldsInPlace) {
  const std::string body = hex("61 62 07");
  Cursor c(body);
  EXPECT_EQ(c.cstring(), "");
  EXPECT_EQ(c.u8(), 0x61);
  EXPECT_EQ(c.u8(), 0x62);
  EXPECT_EQ(c.u8(), 0x07);
  EXPECT_EQ(c.u8(), 0);
  EXPECT_TRUE(c.empty());
}

// Each read is given a view that ends before octets which would change the
// result if the cursor looked past its end.
struct NoOverreadCase {
  const char* name;
  const char* buffer;
  std::size_t visible;
  std::function<std::string(Cursor&)> read;
  const char* value;
};
void PrintTo(const NoOverreadCase& c, std::ostream* os) { *os << c.name; }

class CursorBoundsTest : public ::testing::TestWithParam<NoOverreadCase> {};

TEST_P(CursorBoundsTest, NeverReadsPastTheView) {
  const std::string buffer = hex(GetParam().buffer);
  Cursor c(std::string_view(buffer).substr(0, GetParam().visible));
  EXPECT_EQ(GetParam().read(c), to_hex(hex(GetParam().value)));
  EXPECT_TRUE(c.empty());
}

INSTANTIATE_TEST_SUITE_P(Cases, CursorBoundsTest,
                         ::testing::Values(NoOverreadCase{"U8OnEmpty", "41", 0, u8, "00 00 00 00"},
                                           NoOverreadCase{"U16OneVisible", "12 34", 1, u16, "00 00 00 12"},
                                           NoOverreadCase{"U32ThreeVisible", "00 00 01 FF", 3, u32, "00 00 00 01"},
                                           NoOverreadCase{"OctetsLongerThanView", "41 42 43 44", 2, octets(4),
                                                          "41 42"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CursorBoundsTest, CStringWithHiddenNulKeepsTheVisibleOctets) {
  const std::string buffer = hex("61 62 00");
  Cursor c(std::string_view(buffer).substr(0, 2));
  EXPECT_EQ(c.cstring(), "");
  EXPECT_EQ(to_hex(c.rest()), "61 62");
}

TEST(CursorReadTest, DecodesABodyFieldByField) {
  // service_type "", addr ton/npi, "4477" C-string, esm_class, sm_length 3,
  // short_message with a NUL inside, then 2 octets of optional parameters.
  const std::string body = hex("00 01 01 34 34 37 37 00 40 03 41 00 42 02 0A");
  Cursor c(body);
  EXPECT_EQ(c.cstring(), "");
  EXPECT_EQ(c.u8(), 1);
  EXPECT_EQ(c.u8(), 1);
  EXPECT_EQ(c.cstring(), "4477");
  EXPECT_EQ(c.u8(), 0x40);
  const Byte len = c.u8();
  EXPECT_EQ(c.octets(len), "A\0B"s);
  EXPECT_EQ(to_hex(c.rest()), "02 0A");
}

// ---- be_value --------------------------------------------------------------

struct BeValueCase {
  const char* name;
  const char* octets;
  Cardinal value;
};
void PrintTo(const BeValueCase& c, std::ostream* os) { *os << c.name; }

class BeValueTest : public ::testing::TestWithParam<BeValueCase> {};

TEST_P(BeValueTest, ReadsBigEndianOrZeroBeyond32Bits) { EXPECT_EQ(be_value(hex(GetParam().octets)), GetParam().value); }

INSTANTIATE_TEST_SUITE_P(Cases, BeValueTest,
                         ::testing::Values(BeValueCase{"NoOctets", "", 0}, BeValueCase{"OneOctet", "7F", 0x7F},
                                           BeValueCase{"TwoOctets", "01 02", 0x0102},
                                           BeValueCase{"ThreeOctets", "01 02 03", 0x010203},
                                           BeValueCase{"FourOctets", "12 34 56 78", 0x12345678},
                                           BeValueCase{"FourOctetsAllOnes", "FF FF FF FF", 0xFFFFFFFF},
                                           BeValueCase{"FiveOctetsLeadingZero", "00 FF FF FF FF", 0xFFFFFFFF},
                                           BeValueCase{"FiveOctetsNeeds33Bits", "01 00 00 00 00", 0},
                                           BeValueCase{"SixOctetsLeadingZeros", "00 00 12 34 56 78", 0x12345678},
                                           BeValueCase{"SixOctetsNonZeroSecond", "00 01 00 00 00 07", 0},
                                           BeValueCase{"SevenOctetsLeadingZeros", "00 00 00 80 00 00 00", 0x80000000},
                                           BeValueCase{"EightOctetsLeadingZeros", "00 00 00 00 00 00 00 2A", 0x2A},
                                           BeValueCase{"EightOctetsTopOctetSet", "80 00 00 00 00 00 00 00", 0},
                                           BeValueCase{"EightOctetsFifthFromEndSet", "00 00 00 01 00 00 00 00", 0},
                                           BeValueCase{"EightOctetsAllZero", "00 00 00 00 00 00 00 00", 0},
                                           BeValueCase{"NineOctetsLeadingZeros", "00 00 00 00 00 00 00 00 05", 5}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace velmor::codec
