#include <gtest/gtest.h>

#include <cstdio>
#include <type_traits>
#include <vector>

#include "session/ReceiptBook.h"

using namespace velmor::session;
using namespace std::chrono;
using namespace std::literals;

namespace {

const steady_clock::time_point t0{hours(1000)};

ReceiptBook::Entry entry(std::string id, std::uint64_t tag = 0) {
  ReceiptBook::Entry e;
  e.message_id = std::move(id);
  e.tag = tag;
  e.destination_addr = "46700000001";
  e.submitted = t0;
  return e;
}

std::string hex(std::uint64_t v) {
  char buf[20];
  std::snprintf(buf, sizeof buf, "%llX", static_cast<unsigned long long>(v));
  return buf;
}

}  // namespace

TEST(ReceiptBook, MatchesByTextThenSameBaseThenAcrossBases) {
  struct Case {
    std::vector<const char*> kept;  // remembered in this order
    std::string_view receipt_id;
    const char* want;  // message_id of the matched entry, nullptr when none
  };
  const Case cases[] = {
      {{"abc-123"}, "abc-123", "abc-123"},
      {{"abc-123"}, "ABC-123", nullptr},  // non-numeric text is compared exactly
      {{"1A2B"}, "6699", "1A2B"},         // hex answer, decimal receipt
      {{"6699"}, "1A2B", "6699"},         // decimal answer, hex receipt
      {{"1A2B"}, "1a2b", "1A2B"},         // letter case of hex digits
      {{"1A2B"}, "0x1A2B", "1A2B"},
      {{"1A2B"}, "00001A2B", "1A2B"},  // leading zeros
      {{"00006699"}, "6699", "00006699"},
      {{" 1A2B "}, "1A2B", " 1A2B "},       // blanks around the id
      {{"1A2B"}, " 6699\0"sv, "1A2B"},      // NUL-padded receipted_message_id is trimmed too
      {{"1A2B", "6699"}, "6699", "6699"},   // same text beats another base
      {{"1A2B", "6699"}, "06699", "6699"},  // same base beats another base
      {{"1A2B", "6699"}, "1a2b", "1A2B"},
      {{"01", "001"}, "1", "01"},  // within a rule the oldest wins
      {{"10", "A"}, "010", "10"},
      {{"A"}, "10", "A"},
      {{"16", "A"}, "10", "A"},  // decimal receipt read against hex answers first
      {{"1A2B"}, "6698", nullptr},
      {{"1A2B"}, "", nullptr},
      {{"1A2B"}, "0x", nullptr},
      {{"123456789012345678901234"}, "123456789012345678901234", "123456789012345678901234"},  // too long for a number
      {{"123456789012345678901234"}, "0123456789012345678901234", nullptr},
      {{"FFFFFFFFFFFFFFFF"}, "18446744073709551615", "FFFFFFFFFFFFFFFF"},  // 2^64-1 both ways
      {{"10000000000000000"}, "18446744073709551616", nullptr},            // 2^64 fits in neither base
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("receipt id '" + std::string(c.receipt_id) + "'");
    ReceiptBook book;
    std::uint64_t tag = 0;
    for (const char* id : c.kept) book.remember(entry(id, ++tag), t0);
    const auto got = book.match(c.receipt_id, false, t0);
    if (!c.want) {
      EXPECT_FALSE(got) << got->message_id;
      continue;
    }
    ASSERT_TRUE(got);
    EXPECT_EQ(got->message_id, c.want);
    EXPECT_EQ(book.size(), c.kept.size());  // intermediate: kept
  }
}

TEST(ReceiptBook, IntermediateKeepsFinalRemovesFromEveryIndex) {
  ReceiptBook book;
  auto e = entry("1A2B", 42);
  e.part_index = 1;
  e.part_count = 3;
  book.remember(e, t0);
  for (int i = 0; i < 2; ++i) {
    const auto got = book.match("6699", false, t0);  // ENROUTE, ACCEPTD...
    ASSERT_TRUE(got);
    EXPECT_EQ(got->tag, 42u);
    EXPECT_EQ(got->part_index, 1u);
    EXPECT_EQ(got->part_count, 3u);
    EXPECT_EQ(got->destination_addr, "46700000001");
  }
  EXPECT_EQ(book.size(), 1u);
  const auto final_one = book.match("6699", true, t0);
  ASSERT_TRUE(final_one);
  EXPECT_EQ(final_one->tag, 42u);
  EXPECT_EQ(book.size(), 0u);
  for (const char* id : {"1A2B", "6699", "0x1a2b"}) EXPECT_FALSE(book.match(id, true, t0)) << id;
}

TEST(ReceiptBook, SameIdAgainReplacesTheOlderEntry) {
  ReceiptBook book;
  book.remember(entry("1A2B", 1), t0);
  book.remember(entry(" 1A2B", 2), t0 + seconds(1));
  EXPECT_EQ(book.size(), 1u);
  const auto got = book.match("6699", true, t0 + seconds(1));
  ASSERT_TRUE(got);
  EXPECT_EQ(got->tag, 2u);
  EXPECT_FALSE(book.match("6699", true, t0 + seconds(1)));  // no stale index entry left behind
  book.remember(entry("   ", 3), t0);                       // no id: nothing to match a receipt with
  EXPECT_EQ(book.size(), 0u);
}

TEST(ReceiptBook, EvictsOldestBeyondMaxEntriesAndOlderThanMaxAge) {
  struct Case {
    std::size_t max_entries;
    seconds max_age;
    int inserts;               // key(1)..key(N) in hex, one per second from t0
    seconds match_at;          // after t0
    std::vector<int> present;  // ids still matched
    std::vector<int> gone;
  };
  const Case cases[] = {
      {3, hours(1), 5, seconds(5), {3, 4, 5}, {1, 2}},
      {1, hours(1), 3, seconds(3), {3}, {1, 2}},
      {0, hours(1), 2, seconds(2), {2}, {1}},                   // 0 is taken as 1
      {100, seconds(10), 5, seconds(12), {3, 4, 5}, {1, 2}},    // 1 and 2 remembered at 0 s and 1 s: > 10 s old
      {100, seconds(10), 5, seconds(10), {1, 2, 3, 4, 5}, {}},  // exactly max_age old: still kept
      {3, seconds(10), 5, seconds(100), {}, {1, 2, 3, 4, 5}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "max_entries=" << c.max_entries << " max_age=" << c.max_age.count());
    ReceiptBook book({c.max_entries, c.max_age});
    const auto key = [](int i) { return static_cast<std::uint64_t>(i) * 1000; };  // hex and decimal text differ
    for (int i = 1; i <= c.inserts; ++i) book.remember(entry(hex(key(i)), i), t0 + seconds(i - 1));
    for (int id : c.gone) {
      EXPECT_FALSE(book.match(hex(key(id)), false, t0 + c.match_at)) << id;
      EXPECT_FALSE(book.match(std::to_string(key(id)), false, t0 + c.match_at)) << id;  // nor through a numeric index
    }
    for (int id : c.present) {
      const auto got = book.match(std::to_string(key(id)), false, t0 + c.match_at);
      ASSERT_TRUE(got) << id;
      EXPECT_EQ(got->tag, static_cast<std::uint64_t>(id));
    }
    EXPECT_EQ(book.size(), c.present.size());
  }
}

TEST(ReceiptBook, MovedBookKeepsWorkingIndexes) {
  static_assert(!std::is_copy_constructible_v<ReceiptBook>);
  ReceiptBook a({2, hours(1)});
  a.remember(entry("1A2B", 1), t0);
  a.remember(entry("00FF", 2), t0);
  ReceiptBook b(std::move(a));
  ReceiptBook c;
  c.remember(entry("77", 9), t0);
  c = std::move(b);
  c.remember(entry("5", 3), t0);  // a's limit came along: evicts 1A2B through the moved indexes
  EXPECT_FALSE(c.match("6699", true, t0));
  EXPECT_FALSE(c.match("77", true, t0));
  const auto got = c.match("255", true, t0);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->tag, 2u);
  EXPECT_EQ(c.size(), 1u);
  EXPECT_TRUE(c.match("5", true, t0));
}

TEST(ReceiptBook, StaysBoundedOverAMillionInserts) {
  constexpr std::size_t kMax = 1000;
  ReceiptBook book({kMax, hours(72)});
  constexpr std::uint64_t kInserts = 1'000'000;
  for (std::uint64_t i = 1; i <= kInserts; ++i) {
    // Every 16th id repeats an earlier, already evicted, value in the other base.
    const std::string id = i % 16 == 0 ? std::to_string(i / 16) : hex(i);
    book.remember(entry(id, i), t0 + milliseconds(i));
    if (i % 4096 == 0) {
      ASSERT_LE(book.size(), kMax) << i;
    }
    if (i % 7 == 0) book.match(hex(i - 3), (i / 7) % 2 == 0, t0 + milliseconds(i));  // receipts interleaved
  }
  EXPECT_LE(book.size(), kMax);
  EXPECT_GE(book.size(), kMax / 2);
  EXPECT_FALSE(book.match(hex(1), true, t0 + milliseconds(kInserts)));
  const auto last =
      book.match(std::to_string(kInserts - 1), true, t0 + milliseconds(kInserts));  // hex(999999) read as decimal
  ASSERT_TRUE(last);
  EXPECT_EQ(last->tag, kInserts - 1);
  // Age expiry drains the rest.
  EXPECT_FALSE(book.match("x", true, t0 + milliseconds(kInserts) + hours(73)));
  EXPECT_EQ(book.size(), 0u);
}
