#include "Mo.h"

#include "sms/Segment.h"

namespace velmor::smsc {

MoParts encode_mo(const MoText& mo) {
  MoParts out;
  sms::SegmentOptions so;
  so.method = mo.data_sm ? sms::SegmentMethod::Payload : sms::SegmentMethod::Udh8;
  so.reference = mo.reference;
  so.data_coding = mo.data_coding;
  auto parts = sms::SegmentText(mo.text, so);
  if (!parts) {
    out.error = std::string("cannot encode the MO text: ") + sms::ErrorCodeName(parts.error().code);
    return out;
  }
  for (const sms::Part& p : *parts) {
    Originated o;
    o.source_ton = o.source_npi = 1;
    o.source = mo.source;
    o.destination = mo.destination;
    o.esm_class = p.esm_class;
    o.data_coding = p.data_coding;
    o.text = p.message_payload ? *p.message_payload : p.short_message;
    out.pdus.push_back(std::move(o));
  }
  return out;
}

}  // namespace velmor::smsc
