// Randomised checks that the direct big-endian writers and readers agree with
// the definition through the hexadecimal conversions: a value is written as
// zero-padded upper-case hex passed through HexToOctets, and read back as
// HexToInt of the OctetsToHex text. Fixed seeds keep failures reproducible.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <random>
#include <string>

#include "codec/Codec.h"
#include "common/Hex.h"

namespace velmor::codec {
namespace {

using test::to_hex;

constexpr int kRounds = 2000;

std::string random_octets(std::mt19937& rng, std::size_t max_len) {
  std::uniform_int_distribution<std::size_t> len(0, max_len);
  std::uniform_int_distribution<int> octet(0, 255);
  std::string s(len(rng), '\0');
  for (char& c : s) c = static_cast<char>(octet(rng));
  return s;
}

// Random octets with a bias to leading NULs, so lengths above four octets
// often still hold a 32-bit number.
std::string random_number_octets(std::mt19937& rng, std::size_t max_len) {
  std::string s = random_octets(rng, max_len);
  std::uniform_int_distribution<std::size_t> zeros(0, s.size());
  const std::size_t n = zeros(rng);
  for (std::size_t i = 0; i < n; ++i) s[i] = '\0';
  return s;
}

std::string padded_hex(Cardinal v, int digits) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%0*X", digits, v);
  return buf;
}

TEST(CodecPropertyTest, HexTextRoundTripsAnyOctets) {
  std::mt19937 rng(20240611);
  for (int i = 0; i < kRounds; ++i) {
    const std::string x = random_octets(rng, 64);
    const std::string text = OctetsToHex(x);
    ASSERT_EQ(text.size(), 2 * x.size());
    ASSERT_EQ(HexToOctets(text), x) << to_hex(x);
    std::string lower = text;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    ASSERT_EQ(HexToOctets(lower), x) << "lower case: " << to_hex(x);
    for (char c : text) ASSERT_FALSE(std::islower(static_cast<unsigned char>(c))) << text;
  }
}

TEST(CodecPropertyTest, DirectWritersEqualHexDefinition) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<Cardinal> any;
  for (int i = 0; i < kRounds; ++i) {
    const Cardinal v = any(rng);
    std::string out;
    put_u32(out, v);
    ASSERT_EQ(to_hex(out), to_hex(HexToOctets(padded_hex(v, 8)))) << v;
    out.clear();
    put_u16(out, static_cast<Word>(v));
    ASSERT_EQ(to_hex(out), to_hex(HexToOctets(padded_hex(static_cast<Word>(v), 4)))) << v;
    out.clear();
    put_u8(out, static_cast<Byte>(v));
    ASSERT_EQ(to_hex(out), to_hex(HexToOctets(padded_hex(static_cast<Byte>(v), 2)))) << v;
  }
}

TEST(CodecPropertyTest, HexToIntReadsAnyCardinalWithOrWithoutLeadingZeros) {
  std::mt19937 rng(11);
  std::uniform_int_distribution<Cardinal> any;
  std::uniform_int_distribution<int> pad(0, 12);
  for (int i = 0; i < kRounds; ++i) {
    const Cardinal v = any(rng) >> (i % 32);
    const std::string text = std::string(pad(rng), '0') + padded_hex(v, 1);
    ASSERT_EQ(static_cast<Cardinal>(HexToInt(text)), v) << text;
  }
}

TEST(CodecPropertyTest, CursorIntegersEqualHexDefinition) {
  std::mt19937 rng(3);
  for (int i = 0; i < kRounds; ++i) {
    // 0..4 octets: a full field or one cut short by the end of the body.
    const std::string x = random_octets(rng, 4);
    const auto expected = static_cast<Cardinal>(HexToInt(OctetsToHex(x)));
    Cursor c(x);
    ASSERT_EQ(c.u32(), expected) << to_hex(x);
    ASSERT_TRUE(c.empty());
    if (x.size() <= 2) {
      Cursor c16(x);
      ASSERT_EQ(c16.u16(), expected) << to_hex(x);
    }
  }
}

TEST(CodecPropertyTest, BeValueEqualsHexDefinitionUpToEightOctets) {
  std::mt19937 rng(5);
  for (int i = 0; i < kRounds; ++i) {
    const std::string x = random_number_octets(rng, 8);
    ASSERT_EQ(be_value(x), static_cast<Cardinal>(HexToInt(OctetsToHex(x)))) << to_hex(x);
  }
}

}  // namespace
}  // namespace velmor::codec
