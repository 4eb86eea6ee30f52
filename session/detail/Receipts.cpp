#include "session/detail/Receipts.h"

#include <algorithm>
#include <random>
#include <utility>

#include "session/receipts/Rules.h"

namespace velmor::session::detail {

namespace {

std::shared_ptr<receipt_store> store_of(const config& c, velmor::session::receipts::memory_receipt_store*& own) {
  if (c.receipt_store) return c.receipt_store;
  auto s = std::make_shared<velmor::session::receipts::memory_receipt_store>(
      receipt_limits{c.receipts.max_entries, c.receipts.max_age, receipt_limits{}.tombstone_ttl});
  own = s.get();
  return s;
}

std::string account_of(const config& c) {
  return !c.receipt_account.empty() ? c.receipt_account : c.host + ":" + std::to_string(c.port) + "/" + c.system_id;
}

}  // namespace

receipts::receipts(asio::any_io_executor ex, const config& cfg)
    : desk_(std::move(ex), store_of(cfg, own_), account_of(cfg), cfg.receipt_matching),
      max_unwritten_(std::max<std::size_t>(cfg.receipt_matching.max_unwritten, 1)) {
  desk_.store().prepare(account_of(cfg));
}

// A group's name is unique in the account: random per session, then counted.
void receipts::begin_text() {
  if (groups_ == 0) groups_ = (std::uint64_t{std::random_device{}()} << 32) ^ std::random_device{}();
  text_group_ = std::to_string(groups_++);
}

void receipts::requested(std::uint32_t key, std::uint16_t part_count) {
  if (part_count > 1 && !text_group_.empty()) group_of_[key] = text_group_;
}

std::string receipts::hand_over(std::uint32_t key) {
  std::string group;
  if (auto it = group_of_.find(key); it != group_of_.end()) {
    group = std::move(it->second);
    group_of_.erase(it);
  }
  return group;
}

void receipts::take_over(std::uint32_t key, std::string group) {
  if (!group.empty()) group_of_[key] = std::move(group);
}

void receipts::completed(std::uint32_t key, const receipt_note* n, const std::string& message_id) {
  std::string group;
  if (!group_of_.empty())
    if (auto it = group_of_.find(key); it != group_of_.end()) {
      group = std::move(it->second);
      group_of_.erase(it);
    }
  if (!n || message_id.empty()) return;
  desk_.remember({message_id, n->tag, n->destination_addr, n->part_index, n->part_count, std::move(group),
                  std::chrono::system_clock::now()});
}

void receipts::deliver(inbound_message&& m, sms::Receipt&& r, report_fn report) {
  const bool final_state = sms::IsFinalNotification(m.esm_class, r.state);
  const bool delivered = r.state == sms::MessageState::Delivered;
  // The TLV names the message more surely than the text's id: field.
  std::string id =
      r.receipted_message_id && !velmor::session::receipts::trim_message_id(*r.receipted_message_id).empty()
          ? *r.receipted_message_id
          : r.id;
  receipt_event e;
  e.intermediate = !final_state;
  e.message_id = id;
  e.receipt = std::move(r);
  e.message = std::move(m);
  // The event travels inside the handler: one allocation per receipt.
  desk_.receipt(
      std::move(id), final_state, delivered,
      [e = std::move(e), report = std::move(report)](velmor::session::receipts::receipt_matcher::report& rep) mutable {
        e.outcome = rep.outcome;
        e.reason = rep.reason;
        e.whole_delivered = rep.whole_delivered;
        e.matched = rep.outcome != velmor::session::receipts::outcome::unmatched;
        if (e.matched) {
          e.tag = rep.entry.tag;
          e.destination_addr = std::move(rep.entry.destination_addr);
          e.part_index = rep.entry.part_index;
          e.part_count = rep.entry.part_count;
          e.message_id = std::move(rep.entry.message_id);
        }
        report(e);
      });
}

}  // namespace velmor::session::detail
