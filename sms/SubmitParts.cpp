#include "sms/SubmitParts.h"

namespace velmor::sms {

velmor::TOPSubmit_SM ToOPSubmit_SM(const Part& part) {
  velmor::TOPSubmit_SM op{};
  if (part.sar) {
    op.sar_msg_ref_num.Field = true;
    op.sar_msg_ref_num.Value = part.sar->msgRefNum;
    op.sar_total_segments.Field = true;
    op.sar_total_segments.Value = part.sar->totalSegments;
    op.sar_segment_seqnum.Field = true;
    op.sar_segment_seqnum.Value = part.sar->segmentSeqnum;
  }
  if (part.messagePayload) {
    op.message_payload.Field = true;
    op.message_payload.Value = *part.messagePayload;
  }
  return op;
}

} // namespace velmor::sms
