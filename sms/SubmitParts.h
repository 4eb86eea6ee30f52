// Optional parameters of one submit_sm built from a segmented Part.
// Built only together with the tlv layer.
#pragma once

#include "sms/Segment.h"
#include "tlv/Tlv.h"

namespace velmor::sms {

// sar_msg_ref_num / sar_total_segments / sar_segment_seqnum when the part carries
// sar values, message_payload when it carries a payload; every other member is left
// absent. esm_class, data_coding and short_message stay on the Part: they are
// mandatory fields of submit_sm.
velmor::TOPSubmit_SM ToOPSubmit_SM(const Part& part);

}  // namespace velmor::sms
