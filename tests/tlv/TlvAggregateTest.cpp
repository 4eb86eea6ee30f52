// Aggregates and records are plain values: designated initialisation, deep
// copies, member-wise equality, and an all-absent initial state.
#include <gtest/gtest.h>

#include <string>
#include <type_traits>

#include "TlvTestData.h"

namespace velmor {
namespace {

using test::hex;
using test::to_hex;

template <class Agg>
bool all_absent_and_zero(const Agg& a) {
  return !Agg::visit(a, [](const auto& m) {
    using R = std::decay_t<decltype(m)>;
    if (m.Field) return true;
    if constexpr (!std::is_same_v<R, Talert_on_message_delivery>)
      return m.Value != decltype(m.Value){};
    else
      return false;
  });
}

TEST(TlvAggregateTest, DefaultStateIsAllAbsent) {
  EXPECT_TRUE(all_absent_and_zero(TOPBind_RESP{}));
  EXPECT_TRUE(all_absent_and_zero(TOPSubmit_SM{}));
  EXPECT_TRUE(all_absent_and_zero(TOPSubmit_MULTI{}));
  EXPECT_TRUE(all_absent_and_zero(TOPDeliver_SM{}));
  EXPECT_TRUE(all_absent_and_zero(TOPData_SM{}));
  EXPECT_TRUE(all_absent_and_zero(TOPData_SM_RESP{}));
  // A default-initialised (not value-initialised) aggregate is absent too.
  TOPData_SM d;
  EXPECT_TRUE(all_absent_and_zero(d));
}

TEST(TlvAggregateTest, DesignatedInitialisersNameTheProtocolFields) {
  const TOPSubmit_SM s{.user_message_reference = {true, 1},
                       .message_payload = {true, "hello"},
                       .alert_on_msg_delivery = {true},
                       .ussd_service_op = {true, 2}};
  EXPECT_EQ(to_hex(OPSubmit_SM_Get(s)),
            to_hex(hex("02 04 00 02 00 01 04 24 00 05 68 65 6C 6C 6F 13 0C 00 00 05 01 00 01 02")));
}

TEST(TlvAggregateTest, CopyOwnsItsStrings) {
  const TOPData_SM original = test::full_data_sm();
  TOPData_SM copy = original;
  EXPECT_EQ(copy, original);
  copy.message_payload.Value[0] = 'X';
  copy.receipted_message_id.Value.clear();
  EXPECT_EQ(original.message_payload.Value, "PAY");
  EXPECT_EQ(original.receipted_message_id.Value.size(), 4u);
  EXPECT_NE(copy, original);

  TOPData_SM assigned;
  assigned = original;
  EXPECT_EQ(assigned, original);
}

// Each single change is seen by equality, including the flag-only member and
// the last member of the aggregate.
TEST(TlvAggregateTest, EqualityComparesEveryMember) {
  const TOPData_SM base = test::full_data_sm();
  auto differs = [&base](auto change) {
    TOPData_SM x = base;
    change(x);
    return !(x == base) && x != base;
  };
  EXPECT_TRUE(differs([](TOPData_SM& x) { x.source_port.Field = false; }));
  EXPECT_TRUE(differs([](TOPData_SM& x) { x.source_port.Value++; }));
  EXPECT_TRUE(differs([](TOPData_SM& x) { x.alert_on_msg_delivery.Field = false; }));
  EXPECT_TRUE(differs([](TOPData_SM& x) { x.its_session_info.Value = 0; }));
  EXPECT_TRUE(differs([](TOPData_SM& x) { x.qos_time_to_live.Value ^= 0x80000000; }));
  EXPECT_TRUE(differs([](TOPData_SM& x) { x.network_error_code.Value.push_back('\0'); }));

  const TOPData_SM_RESP r = test::full_data_sm_resp();
  TOPData_SM_RESP r2 = r;
  r2.dpf_result.Value = 0;
  EXPECT_NE(r, r2);
}

template <class T>
concept HasValue = requires(T t) {
  t.Value;
};
template <class T>
concept HasTag = requires {
  T::tag;
};

TEST(TlvAggregateTest, FlagOnlyAndUntaggedRecords) {
  // alert_on_message_delivery carries no Value at all.
  static_assert(!HasValue<Talert_on_message_delivery>);
  static_assert(Talert_on_message_delivery::tag == 0x130C);
  // ms_availability_status has a Byte Value but no tag: nothing sends it.
  static_assert(std::is_same_v<decltype(Tms_availability_status{}.Value), Byte>);
  static_assert(!HasTag<Tms_availability_status>);
  Tms_availability_status m{};
  EXPECT_FALSE(m.Field);
  EXPECT_EQ(m.Value, 0);
}

TEST(TlvAggregateTest, ValueWidthsFollowTheProtocol) {
  // The two telematics ids differ in width; qos_time_to_live is the only 4-octet one.
  EXPECT_EQ(tlv::value_width<Tsource_telematics_id>(), 1u);
  EXPECT_EQ(tlv::value_width<Tdest_telematics_id>(), 2u);
  EXPECT_EQ(tlv::value_width<Tqos_time_to_live>(), 4u);
  EXPECT_EQ(tlv::value_width<Tmessage_payload>(), 0u);
}

}  // namespace
}  // namespace velmor
