#include "sms/SubmitParts.h"

namespace velmor::sms {

velmor::TOPSubmit_SM ToOPSubmit_SM(const Part& part) {
  velmor::TOPSubmit_SM op{};
  if (part.sar) {
    op.sar_msg_ref_num.Field = true;
    op.sar_msg_ref_num.Value = part.sar->sar_msg_ref_num;
    op.sar_total_segments.Field = true;
    op.sar_total_segments.Value = part.sar->sar_total_segments;
    op.sar_segment_seqnum.Field = true;
    op.sar_segment_seqnum.Value = part.sar->sar_segment_seqnum;
  }
  if (part.message_payload) {
    op.message_payload.Field = true;
    op.message_payload.Value = *part.message_payload;
  }
  return op;
}

}  // namespace velmor::sms
