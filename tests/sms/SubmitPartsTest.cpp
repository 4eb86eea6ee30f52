#include <gtest/gtest.h>

#include "sms/SubmitParts.h"

using namespace velmor::sms;

TEST(SubmitParts, SarAndPayloadLandInTheirOptionalParameters) {
  SegmentOptions o;
  o.method = SegmentMethod::Sar;
  o.reference = 0xBEEF;
  auto sar = SegmentText(std::string(200, 'x'), o);
  ASSERT_EQ(sar->size(), 2u);
  const velmor::TOPSubmit_SM op = ToOPSubmit_SM((*sar)[1]);
  EXPECT_TRUE(op.sar_msg_ref_num.Field);
  EXPECT_EQ(op.sar_msg_ref_num.Value, 0xBEEF);
  EXPECT_EQ(op.sar_total_segments.Value, 2);
  EXPECT_EQ(op.sar_segment_seqnum.Value, 2);
  EXPECT_FALSE(op.message_payload.Field);

  o.method = SegmentMethod::Payload;
  auto payload = SegmentText("long text", o);
  const velmor::TOPSubmit_SM pl = ToOPSubmit_SM((*payload)[0]);
  EXPECT_TRUE(pl.message_payload.Field);
  EXPECT_EQ(pl.message_payload.Value, "long text");
  EXPECT_FALSE(pl.sar_msg_ref_num.Field);

  o.method = SegmentMethod::Udh8;
  o.reference = 0xEF;
  EXPECT_EQ(ToOPSubmit_SM((*SegmentText(std::string(200, 'x'), o))[0]), velmor::TOPSubmit_SM{});
}
