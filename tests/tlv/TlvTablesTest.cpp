// Each aggregate's tag list is at once the encoder's emission order and the
// decoder's recognised set. These tests hold all three to the protocol table.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "TlvTestData.h"

namespace velmor {
namespace {

using test::hex;
using test::to_hex;

struct AggregateTable {
  const char* name;
  char letter;  // the aggregate's letter in the carried-by table
  const std::vector<Word>* expected;
  std::function<std::vector<Word>()> tags;
  std::function<std::string()> encode_full;
  // Decodes `in` and returns the tags of the members it set, each paired
  // with whether that member's value equals the one-octet value 01.
  std::function<std::vector<std::pair<Word, bool>>(std::string_view)> decode;
};
void PrintTo(const AggregateTable& c, std::ostream* os) { *os << c.name; }

template <class Agg>
std::vector<std::pair<Word, bool>> decoded_members(const Agg& agg) {
  std::vector<std::pair<Word, bool>> out;
  Agg::visit(agg, [&out](const auto& m) {
    using R = std::decay_t<decltype(m)>;
    if (!m.Field) return false;
    bool value_ok = true;
    if constexpr (!std::is_same_v<R, Talert_on_message_delivery>) {
      if constexpr (std::is_same_v<typename R::value_type, AnsiString>)
        value_ok = m.Value == "\x01";
      else
        value_ok = m.Value == 1;
    }
    out.emplace_back(R::tag, value_ok);
    return false;
  });
  return out;
}

template <class Agg, class Decoder>
std::function<std::vector<std::pair<Word, bool>>(std::string_view)> via(Decoder d) {
  return [d](std::string_view in) { return decoded_members<Agg>(d(in)); };
}

template <class Agg>
Agg generic_decode(std::string_view in) {
  Agg a{};
  tlv::decode(in, a);
  return a;
}

const std::vector<AggregateTable>& tables() {
  static const std::vector<AggregateTable> t = {
      {"BindResp", 'B', &test::kBindRespTags, tlv::tags<TOPBind_RESP>,
       [] { return test::encode(test::full_bind_resp()); }, via<TOPBind_RESP>(OPBind_RESP_Set)},
      {"SubmitSm", 'S', &test::kSubmitSmTags, tlv::tags<TOPSubmit_SM>,
       [] { return OPSubmit_SM_Get(test::full_submit_sm()); }, via<TOPSubmit_SM>(generic_decode<TOPSubmit_SM>)},
      {"SubmitMulti", 'M', &test::kSubmitMultiTags, tlv::tags<TOPSubmit_MULTI>,
       [] { return OPSubmit_MULTI_Get(test::full_submit_multi()); },
       via<TOPSubmit_MULTI>(generic_decode<TOPSubmit_MULTI>)},
      {"DeliverSm", 'D', &test::kDeliverSmTags, tlv::tags<TOPDeliver_SM>,
       [] { return test::encode(test::full_deliver_sm()); }, via<TOPDeliver_SM>(OPDeliver_SM_Set)},
      {"DataSm", 'T', &test::kDataSmTags, tlv::tags<TOPData_SM>, [] { return OPData_SM_Get(test::full_data_sm()); },
       via<TOPData_SM>(OPData_SM_SM_Set)},
      {"DataSmResp", 'R', &test::kDataSmRespTags, tlv::tags<TOPData_SM_RESP>,
       [] { return OPData_SM_RESP_Get(test::full_data_sm_resp()); }, via<TOPData_SM_RESP>(OPData_SM_RESP_Set)},
  };
  return t;
}

class TagTableTest : public ::testing::TestWithParam<AggregateTable> {};

std::string tag_list(const std::vector<Word>& v) {
  std::string s;
  for (Word w : v) {
    std::string o;
    codec::put_u16(o, w);
    s += to_hex(o) + ", ";
  }
  return s;
}

TEST_P(TagTableTest, MemberOrderIsTheProtocolOrder) {
  EXPECT_EQ(tag_list(GetParam().tags()), tag_list(*GetParam().expected));
}

TEST_P(TagTableTest, FullyPopulatedValueIsEmittedInProtocolOrder) {
  EXPECT_EQ(tag_list(test::wire_tags(GetParam().encode_full())), tag_list(*GetParam().expected));
}

TEST_P(TagTableTest, HoldsExactlyTheParametersItCarries) {
  std::vector<Word> carried;
  for (const auto& [t, by] : test::kCarriedBy)
    if (std::string_view(by).find(GetParam().letter) != std::string_view::npos) carried.push_back(t);
  std::vector<Word> held = GetParam().tags();
  std::sort(held.begin(), held.end());
  EXPECT_EQ(tag_list(held), tag_list(carried));
}

// Every possible tag, carrying the one-octet value 01: the decoder sets
// exactly the member with that tag when the aggregate holds it, and sets
// nothing for every other tag.
TEST_P(TagTableTest, DecoderRecognisesExactlyTheTable) {
  const std::set<Word> table(GetParam().expected->begin(), GetParam().expected->end());
  for (Cardinal t = 0; t <= 0xFFFF; ++t) {
    std::string in;
    codec::put_u16(in, static_cast<Word>(t));
    in += hex("00 01 01");
    const auto got = GetParam().decode(in);
    if (table.count(static_cast<Word>(t))) {
      ASSERT_EQ(got.size(), 1u) << "tag " << t;
      EXPECT_EQ(got[0].first, t);
      EXPECT_TRUE(got[0].second) << "value of tag " << t;
    } else {
      ASSERT_TRUE(got.empty()) << "tag " << t << " is not carried but set a member";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Aggregates, TagTableTest, ::testing::ValuesIn(tables()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(TagTableTest, EveryTagIsUniqueWithinAnAggregate) {
  for (const auto& a : tables()) {
    auto v = a.tags();
    std::sort(v.begin(), v.end());
    EXPECT_EQ(std::adjacent_find(v.begin(), v.end()), v.end()) << a.name;
  }
}

}  // namespace
}  // namespace velmor
