// What the encoder writes, the decoder reads back unchanged: for the two
// aggregates that travel both ways (data_sm and data_sm_resp), and for the
// received-only ones through the generic encoder.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>

#include "TlvTestData.h"

namespace velmor {
namespace {

using test::to_hex;

// Each member present with probability 1/2, with a random value of its width;
// octet strings of 0..40 random octets (NULs and high octets included).
// Absent members keep their initial value, as the decoder leaves them.
template <class Agg>
Agg random_subset(std::mt19937& rng) {
  Agg a{};
  std::bernoulli_distribution present(0.5);
  std::uniform_int_distribution<Cardinal> any;
  std::uniform_int_distribution<std::size_t> len(0, 40);
  Agg::visit(a, [&](auto& m) {
    using R = std::decay_t<decltype(m)>;
    if (!present(rng)) return false;
    m.Field = true;
    if constexpr (!std::is_same_v<R, Talert_on_message_delivery>) {
      using V = typename R::value_type;
      if constexpr (std::is_same_v<V, AnsiString>) {
        m.Value.resize(len(rng));
        for (char& c : m.Value) c = static_cast<char>(any(rng));
      } else {
        m.Value = static_cast<V>(any(rng));
      }
    }
    return false;
  });
  return a;
}

template <class Agg, class Encode, class Decode>
void check_round_trips(Encode encode, Decode decode, unsigned seed) {
  std::mt19937 rng(seed);
  std::size_t members_seen = 0;
  for (int i = 0; i < 1000; ++i) {
    const Agg x = random_subset<Agg>(rng);
    const std::string wire = encode(x);
    ASSERT_EQ(wire.size(), tlv::encoded_size(x));
    ASSERT_TRUE(decode(wire) == x) << to_hex(wire);
    members_seen += test::present_tags(x).size();

    // The decoder does not depend on the order of the TLVs.
    auto tlvs = test::split_tlvs(wire);
    std::shuffle(tlvs.begin(), tlvs.end(), rng);
    std::string shuffled;
    for (const auto& t : tlvs) {
      codec::put_u16(shuffled, t.tag);
      codec::put_u16(shuffled, static_cast<Word>(t.value.size()));
      shuffled += t.value;
    }
    ASSERT_TRUE(decode(shuffled) == x) << to_hex(shuffled);
  }
  EXPECT_GT(members_seen, 0u);
}

TEST(TlvRoundTripTest, DataSmFullyPopulated) {
  const TOPData_SM x = test::full_data_sm();
  EXPECT_EQ(OPData_SM_SM_Set(OPData_SM_Get(x)), x);
}

TEST(TlvRoundTripTest, DataSmRespFullyPopulated) {
  const TOPData_SM_RESP x = test::full_data_sm_resp();
  EXPECT_EQ(OPData_SM_RESP_Set(OPData_SM_RESP_Get(x)), x);
}

TEST(TlvRoundTripTest, DeliverSmAndBindRespFullyPopulated) {
  EXPECT_EQ(OPDeliver_SM_Set(test::encode(test::full_deliver_sm())), test::full_deliver_sm());
  EXPECT_EQ(OPBind_RESP_Set(test::encode(test::full_bind_resp())), test::full_bind_resp());
}

TEST(TlvRoundTripTest, DataSmRandomSubsets) { check_round_trips<TOPData_SM>(OPData_SM_Get, OPData_SM_SM_Set, 1); }

TEST(TlvRoundTripTest, DataSmRespRandomSubsets) {
  check_round_trips<TOPData_SM_RESP>(OPData_SM_RESP_Get, OPData_SM_RESP_Set, 2);
}

TEST(TlvRoundTripTest, DeliverSmRandomSubsets) {
  check_round_trips<TOPDeliver_SM>(test::encode<TOPDeliver_SM>, OPDeliver_SM_Set, 3);
}

// A data_sm aggregate encoded and read back by the deliver_sm decoder keeps
// exactly the parameters deliver_sm carries.
TEST(TlvRoundTripTest, DecoderKeepsOnlyItsOwnParameters) {
  const TOPDeliver_SM got = OPDeliver_SM_Set(OPData_SM_Get(test::full_data_sm()));
  EXPECT_EQ(got, test::full_deliver_sm());  // the distinctive values are shared
}

}  // namespace
}  // namespace velmor
