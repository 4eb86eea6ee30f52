#include "session/detail/Receipts.h"

namespace velmor::session::detail {

void receipts::remember(const receipt_note& n, const std::string& message_id, time_point now) {
  book_.remember({message_id, n.tag, n.destination_addr, n.part_index, n.part_count, now}, now);
}

void receipts::deliver(inbound_message&& m, sms::Receipt&& r, const receipt_handler& handler, time_point now) {
  receipt_event e;
  const bool final_state = sms::IsFinalNotification(m.esm_class, r.state);
  std::optional<ReceiptBook::Entry> hit;
  if (r.receipted_message_id) hit = book_.match(*r.receipted_message_id, final_state, now);
  if (!hit && !r.id.empty()) hit = book_.match(r.id, final_state, now);
  if (hit) {
    e.matched = true;
    e.tag = hit->tag;
    e.destination_addr = std::move(hit->destination_addr);
    e.part_index = hit->part_index;
    e.part_count = hit->part_count;
    e.message_id = std::move(hit->message_id);
  } else {
    e.message_id = r.receipted_message_id.value_or(r.id);
  }
  e.receipt = std::move(r);
  e.message = std::move(m);
  if (handler) {
    const receipt_handler h = handler;  // the handler may replace itself
    h(e);
  }
}

}  // namespace velmor::session::detail
