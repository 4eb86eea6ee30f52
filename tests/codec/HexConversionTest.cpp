// The three hexadecimal conversions through which every header field and
// every optional-parameter integer passes on its way to and from the wire.
#include <gtest/gtest.h>

#include <climits>
#include <ostream>
#include <string>

#include "codec/Codec.h"
#include "common/Hex.h"

namespace velmor {
namespace {

using test::hex;
using test::to_hex;

struct OctetsToHexCase {
  const char* name;
  std::string octets;
  std::string text;
};
void PrintTo(const OctetsToHexCase& c, std::ostream* os) { *os << c.name; }

class OctetsToHexTest : public ::testing::TestWithParam<OctetsToHexCase> {};

TEST_P(OctetsToHexTest, GivesTwoUpperCaseDigitsPerOctet) { EXPECT_EQ(OctetsToHex(GetParam().octets), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(Cases, OctetsToHexTest,
                         ::testing::Values(OctetsToHexCase{"Empty", "", ""},
                                           OctetsToHexCase{"LeadingZeroKept", hex("00 1F FF"), "001FFF"},
                                           OctetsToHexCase{"SingleNul", hex("00"), "00"},
                                           OctetsToHexCase{"UpperCaseLetters", hex("AB CD EF"), "ABCDEF"},
                                           OctetsToHexCase{"NulsInsideCounted", hex("41 00 00 42"), "41000042"},
                                           OctetsToHexCase{"HighBitOctets", hex("80 7F FE"), "807FFE"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(OctetsToHexTest, EveryOctetValueMapsToItsTwoDigits) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  for (int b = 0; b < 256; ++b) {
    const std::string expected{kDigits[b >> 4], kDigits[b & 0x0F]};
    EXPECT_EQ(OctetsToHex(std::string(1, static_cast<char>(b))), expected) << "octet " << b;
  }
}

struct HexToOctetsCase {
  const char* name;
  std::string text;
  std::string octets_hex;  // expected result, as hex for readable failures
};
void PrintTo(const HexToOctetsCase& c, std::ostream* os) { *os << c.name; }

class HexToOctetsTest : public ::testing::TestWithParam<HexToOctetsCase> {};

TEST_P(HexToOctetsTest, ReadsPairsFromTheLeft) {
  EXPECT_EQ(to_hex(HexToOctets(GetParam().text)), to_hex(hex(GetParam().octets_hex)));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HexToOctetsTest,
    ::testing::Values(HexToOctetsCase{"Empty", "", ""}, HexToOctetsCase{"UpperCase", "001FFF", "00 1F FF"},
                      HexToOctetsCase{"LowerCase", "001fff", "00 1F FF"}, HexToOctetsCase{"MixedCase", "aBcD", "AB CD"},
                      HexToOctetsCase{"OddLastDigitIgnored", "0000001", "00 00 00"},
                      HexToOctetsCase{"SingleDigitGivesNothing", "F", ""},
                      HexToOctetsCase{"InvalidHighDigitGivesNul", "G1", "00"},
                      HexToOctetsCase{"InvalidLowDigitGivesNul", "1G", "00"},
                      HexToOctetsCase{"InvalidPairDoesNotStopConversion", "ZZ41", "00 41"},
                      HexToOctetsCase{"InvalidPairInTheMiddle", "41 -42", "41 00 42"},
                      HexToOctetsCase{"PrefixIsNotHex", "0x41", "00 41"}, HexToOctetsCase{"SignIsNotHex", "-1", "00"},
                      HexToOctetsCase{"OddTrailingInvalidDigitIgnored", "41Z", "41"},
                      HexToOctetsCase{"AllOnes", "FFFFFFFF", "FF FF FF FF"}),
    [](const auto& info) { return std::string(info.param.name); });

struct HexToIntCase {
  const char* name;
  std::string text;
  Integer value;
};
void PrintTo(const HexToIntCase& c, std::ostream* os) { *os << c.name; }

class HexToIntTest : public ::testing::TestWithParam<HexToIntCase> {};

TEST_P(HexToIntTest, ReadsOneHexNumber) { EXPECT_EQ(HexToInt(GetParam().text), GetParam().value); }

INSTANTIATE_TEST_SUITE_P(
    Cases, HexToIntTest,
    ::testing::Values(HexToIntCase{"Empty", "", 0}, HexToIntCase{"Zero", "0", 0}, HexToIntCase{"SingleDigit", "A", 10},
                      HexToIntCase{"HeaderField", "00000021", 0x21}, HexToIntCase{"LowerCase", "ff", 255},
                      HexToIntCase{"MixedCase", "aBcD", 0xABCD}, HexToIntCase{"LargestPositive", "7FFFFFFF", INT_MAX},
                      HexToIntCase{"EightDigitsFrom8AreNegative", "80000000", INT_MIN},
                      HexToIntCase{"ResponseCommandId", "80000004", static_cast<Integer>(0x80000004u)},
                      HexToIntCase{"AllOnesIsMinusOne", "FFFFFFFF", -1},
                      HexToIntCase{"SevenDigitsStayPositive", "FFFFFFF", 0x0FFFFFFF},
                      // More than eight digits are accepted while the number fits 32 bits.
                      HexToIntCase{"NineDigitsWithLeadingZero", "0FFFFFFFF", -1},
                      HexToIntCase{"SixteenDigitsWithLeadingZeros", "0000000080000000", INT_MIN},
                      HexToIntCase{"ManyLeadingZeros", "000000000000000000000001", 1},
                      // A number that needs more than 32 bits is not accepted at all: not
                      // its low-order bits, and not a value wrapped in a wider intermediate.
                      HexToIntCase{"NeedsThirtyThreeBits", "100000000", 0},
                      HexToIntCase{"NineSignificantDigits", "FFFFFFFFF", 0},
                      HexToIntCase{"SixtyFourBits", "FFFFFFFFFFFFFFFF", 0},
                      HexToIntCase{"WrapsPastSixtyFourBits", "100000000000000001", 0},
                      HexToIntCase{"LowBitsLookValid", "1000000007", 0}, HexToIntCase{"InvalidDigit", "G", 0},
                      HexToIntCase{"InvalidTrailingDigit", "1G", 0}, HexToIntCase{"InvalidLeadingDigit", "G1", 0},
                      HexToIntCase{"Sign", "-1", 0}, HexToIntCase{"Plus", "+1", 0}, HexToIntCase{"Prefix", "0x10", 0},
                      HexToIntCase{"Space", " 1", 0}, HexToIntCase{"EmbeddedNul", std::string("1\0", 2), 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(HexToIntTest, NegativeResultHoldsTheUnsignedValueInACardinal) {
  EXPECT_EQ(static_cast<Cardinal>(HexToInt("FFFFFFFF")), 0xFFFFFFFFu);
  EXPECT_EQ(static_cast<Cardinal>(HexToInt("80000004")), 0x80000004u);
}

}  // namespace
}  // namespace velmor
