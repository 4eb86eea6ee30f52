#include "tools/smsc/Smsc.h"

namespace velmor::smsc {
namespace {
// Longest receipt text: sm_length counts up to 255, and like the component the
// simulator keeps short_message to 254 octets.
constexpr std::size_t kMaxReceiptText = 254;
}  // namespace

Smsc::Smsc(Config config)
    : config_(std::move(config)),
      ids_(config_.id_style, config_.id_prefix),
      store_(config_.first_message_id, config_.store_limit),
      steady_anchor_(Clock::now()),
      wall_anchor_(std::chrono::system_clock::now()) {}

Smsc::~Smsc() = default;

Session& Smsc::open_session(std::string peer) {
  const SessionId id = next_session_++;
  auto s = std::make_unique<Session>(*this, id, std::move(peer));
  Session& ref = *s;
  sessions_.emplace(id, std::move(s));
  return ref;
}

void Smsc::close_session(SessionId id) { sessions_.erase(id); }

Session* Smsc::session(SessionId id) {
  const auto it = sessions_.find(id);
  return it == sessions_.end() ? nullptr : it->second.get();
}

std::uint32_t Smsc::intern(std::string_view system_id) {
  const auto it = systems_.find(std::string(system_id));
  if (it != systems_.end()) return it->second;
  const auto index = static_cast<std::uint32_t>(systems_.size());
  systems_.emplace(std::string(system_id), index);
  pending_receipts_.resize(systems_.size());
  return index;
}

Session* Smsc::receiver_for(std::uint32_t system) {
  std::size_t matches = 0;
  for (auto& [id, s] : sessions_)
    if (s->can_receive() && !s->closing() && s->system_ == system) ++matches;
  if (matches == 0) return nullptr;
  std::size_t pick = round_robin_++ % matches;
  for (auto& [id, s] : sessions_)
    if (s->can_receive() && !s->closing() && s->system_ == system && pick-- == 0) return s.get();
  return nullptr;
}

void Smsc::bound(Session& s, TimePoint now) {
  if (!s.can_receive() || s.system_ >= pending_receipts_.size()) return;
  auto& queue = pending_receipts_[s.system_];
  while (!queue.empty()) {
    s.originate(command_id::deliver_sm, queue.front(), now);
    ++counters_.deliver_sm_sent;
    ++counters_.receipts_sent;
    queue.pop_front();
    --pending_count_;
  }
}

void Smsc::tick(TimePoint now) {
  store_.finalize_due(now, [&](StoredMessage& m) { finalized(m, now); });
  const bool timeouts = config_.response_timeout.count() > 0;
  std::vector<std::pair<Cardinal, Session::Outstanding>> expired;
  for (auto& [id, sp] : sessions_) {
    Session& s = *sp;
    if (!s.delayed_.empty() && s.delayed_.front().due <= now) s.mark_dirty();
    if (!timeouts || s.outstanding_.empty()) continue;
    expired.clear();
    for (auto& [seq, o] : s.outstanding_)
      if (now - o.sent >= config_.response_timeout) expired.emplace_back(seq, std::move(o));
    for (auto& [seq, o] : expired) {
      s.outstanding_.erase(seq);
      if (o.attempts < config_.send_attempts && !s.closing()) {
        ++counters_.resent;
        s.originate(o.command_id, o.body, now, o.attempts + 1);
      } else {
        ++counters_.response_timeouts;
      }
    }
  }
}

bool Smsc::cancel(std::uint64_t id, TimePoint now) {
  StoredMessage* m = store_.find(id);
  if (m == nullptr || is_final(m->state)) return false;
  cancel(*m, now);
  return true;
}

void Smsc::cancel(StoredMessage& m, TimePoint now) {
  m.state = MessageState::Deleted;
  m.done = now;
  finalized(m, now);
}

void Smsc::finalized(StoredMessage& m, TimePoint now) {
  switch (m.state) {
    case MessageState::Delivered: ++counters_.delivered; break;
    case MessageState::Undeliverable: ++counters_.undeliverable; break;
    case MessageState::Deleted: ++counters_.deleted; break;
    default: break;
  }
  if (on_final) on_final(m);
  const Byte wanted = m.registered_delivery & 0x03;
  if (wanted != 1 && !(wanted == 2 && m.state != MessageState::Delivered)) return;
  scratch_.clear();
  append_receipt(scratch_, m);
  if (Session* r = receiver_for(m.system)) {
    r->originate(command_id::deliver_sm, scratch_, now);
    ++counters_.deliver_sm_sent;
    ++counters_.receipts_sent;
    return;
  }
  // Nobody to tell yet: keep it for the first receiver of that system_id.
  auto& queue = pending_receipts_[m.system];
  if (pending_count_ >= config_.pending_receipt_limit) {
    ++counters_.receipts_dropped;
    if (queue.empty()) return;
    queue.pop_front();
    --pending_count_;
  }
  queue.push_back(scratch_);
  ++pending_count_;
}

std::string Smsc::receipt_body(const StoredMessage& m) {
  std::string out;
  append_receipt(out, m);
  return out;
}

// A deliver_sm from the original destination back to the original source,
// esm_class 0x04 (SMSC delivery receipt), with the conventional text in
// short_message and receipted_message_id and message_state as TLVs.
void Smsc::append_receipt(std::string& out, const StoredMessage& m) {
  std::string& text = receipt_text_;
  text.assign("id:");
  ids_.append(text, m.id);
  const std::size_t id_len = text.size() - 3;
  receipt_tlvs_.receipted_message_id.Field = true;
  receipt_tlvs_.receipted_message_id.Value.assign(text, 3, id_len);
  receipt_tlvs_.receipted_message_id.Value.push_back('\0');
  receipt_tlvs_.message_state.Field = true;
  receipt_tlvs_.message_state.Value = static_cast<Byte>(m.state);
  text.append(m.state == MessageState::Delivered ? " sub:001 dlvrd:001 submit date:" : " sub:001 dlvrd:000 submit date:");
  append_receipt_date(text, wall(m.submitted));
  text.append(" done date:");
  append_receipt_date(text, wall(m.done));
  text.append(" stat:");
  text.append(sms::ReceiptStat(m.state));
  text.append(" err:");
  text.push_back(static_cast<char>('0' + m.error / 100));
  text.push_back(static_cast<char>('0' + m.error / 10 % 10));
  text.push_back(static_cast<char>('0' + m.error % 10));
  text.append(" text:");
  text.append(m.text.view());
  // sm_length is one octet: a text that a long id or message takes past 254
  // octets is cut there (the whole id still travels in receipted_message_id)
  // rather than sent with a length that wrapped.
  if (text.size() > kMaxReceiptText) text.resize(kMaxReceiptText);
  const pdu::DeliverSm receipt{{},
                               {m.dest_ton, m.dest_npi, m.destination.view()},
                               {m.source_ton, m.source_npi, m.source.view()},
                               {0x04, 0, 0, {}, {}, 0, 0, 0, 0, {0, text}},
                               {&receipt_tlvs_, {}}};
  pdu::append(out, receipt);
}

Cardinal Smsc::deliver_sm(std::string_view system_id, const Originated& m, TimePoint now) {
  const auto it = systems_.find(std::string(system_id));
  if (it == systems_.end()) return 0;
  Session* s = receiver_for(it->second);
  return s ? s->send_deliver_sm(m, now) : 0;
}

Cardinal Smsc::data_sm(std::string_view system_id, const Originated& m, TimePoint now) {
  const auto it = systems_.find(std::string(system_id));
  if (it == systems_.end()) return 0;
  Session* s = receiver_for(it->second);
  return s ? s->send_data_sm(m, now) : 0;
}

std::size_t Smsc::enquire_link_all(TimePoint now) {
  std::size_t n = 0;
  for (auto& [id, s] : sessions_) {
    if (!s->bound() || s->closing()) continue;
    s->send_enquire_link(now);
    ++n;
  }
  return n;
}

}  // namespace velmor::smsc
