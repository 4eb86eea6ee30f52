#include "tools/smsc/Smsc.h"

#include <algorithm>

#include "tools/smsc/Mo.h"

namespace velmor::smsc {
namespace {
// Longest receipt text: sm_length counts up to 255, and like the component the
// simulator keeps short_message to 254 octets.
constexpr std::size_t kMaxReceiptText = 254;
}  // namespace

Smsc::Smsc(Config config)
    : config_(std::move(config)),
      ids_(config_.id_style, config_.id_prefix),
      receipt_ids_(config_.receipt_ids_decimal ? MessageIdStyle::Decimal : config_.id_style, config_.id_prefix),
      store_(config_.first_message_id, config_.store_limit),
      steady_anchor_(Clock::now()),
      wall_anchor_(std::chrono::system_clock::now()) {
  for (FaultRule& r : config_.rules) r.id = ++next_rule_id_;
}

Smsc::~Smsc() = default;

Counters Smsc::counters() const {
  Counters c = counters_;
  c.sessions = sessions_.size();
  return c;
}

std::string Counters::to_string() const {
  static constexpr struct {
    const char* name;
    std::uint64_t Counters::*field;
  } kFields[] = {
      {"octets_in", &Counters::octets_in},
      {"pdus_in", &Counters::pdus_in},
      {"pdus_out", &Counters::pdus_out},
      {"binds_accepted", &Counters::binds_accepted},
      {"binds_rejected", &Counters::binds_rejected},
      {"unbinds", &Counters::unbinds},
      {"enquire_links", &Counters::enquire_links},
      {"submit_sm", &Counters::submit_sm},
      {"submit_multi", &Counters::submit_multi},
      {"data_sm", &Counters::data_sm},
      {"query_sm", &Counters::query_sm},
      {"cancel_sm", &Counters::cancel_sm},
      {"replace_sm", &Counters::replace_sm},
      {"messages_accepted", &Counters::messages_accepted},
      {"messages_refused", &Counters::messages_refused},
      {"throttled", &Counters::throttled},
      {"delivered", &Counters::delivered},
      {"undeliverable", &Counters::undeliverable},
      {"deleted", &Counters::deleted},
      {"expired", &Counters::expired},
      {"receipts_sent", &Counters::receipts_sent},
      {"receipts_dropped", &Counters::receipts_dropped},
      {"intermediate_receipts_sent", &Counters::intermediate_receipts_sent},
      {"mo_sent", &Counters::mo_sent},
      {"deliver_sm_sent", &Counters::deliver_sm_sent},
      {"data_sm_sent", &Counters::data_sm_sent},
      {"resent", &Counters::resent},
      {"responses_in", &Counters::responses_in},
      {"unmatched_responses", &Counters::unmatched_responses},
      {"response_timeouts", &Counters::response_timeouts},
      {"generic_nacks_in", &Counters::generic_nacks_in},
      {"generic_nacks_out", &Counters::generic_nacks_out},
      {"invalid_length", &Counters::invalid_length},
      {"unknown_commands", &Counters::unknown_commands},
      {"faults_dropped", &Counters::faults_dropped},
      {"faults_throttled", &Counters::faults_throttled},
      {"faults_delayed", &Counters::faults_delayed},
      {"faults_cut", &Counters::faults_cut},
      {"enquire_links_ignored", &Counters::enquire_links_ignored},
      {"rule_faults", &Counters::rule_faults},
      {"sessions", &Counters::sessions},
  };
  static_assert(sizeof kFields / sizeof kFields[0] * sizeof(std::uint64_t) == sizeof(Counters),
                "every counter has a line");
  std::string out;
  for (const auto& f : kFields) {
    out.append(f.name);
    out.push_back(' ');
    out.append(std::to_string(this->*f.field));
    out.push_back('\n');
  }
  return out;
}

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

Session* Smsc::receiver_for(std::uint32_t system, SessionId submitter) {
  if (submitter != 0 && config_.receipt_route == Config::ReceiptRoute::submitter)
    if (Session* s = session(submitter); s && s->can_receive() && !s->closing()) return s;
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
  if (config_.mo_every.count() > 0) {
    if (next_mo_ == TimePoint{}) next_mo_ = now + config_.mo_every;  // the first tick starts the interval
    if (now >= next_mo_) {
      send_mo(now);
      // One message per tick even after a long pause: no burst to catch up.
      next_mo_ = now + config_.mo_every;
    }
  }
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

bool Smsc::force_state(std::uint64_t id, MessageState state, TimePoint now) {
  StoredMessage* m = store_.find(id);
  if (m == nullptr || is_final(m->state) || !is_final(state)) return false;
  store_.unschedule(*m);
  m->state = state;
  m->done = now;
  if (state == MessageState::Undeliverable && m->error == 0) m->error = config_.undeliverable_error;
  finalized(*m, now);
  return true;
}

FaultRule Smsc::add_rule(FaultRule rule, bool first) {
  rule.id = ++next_rule_id_;
  auto& rules = config_.rules;
  return *rules.insert(first ? rules.begin() : rules.end(), std::move(rule));
}

bool Smsc::remove_rule(std::uint64_t id) {
  auto& rules = config_.rules;
  const auto it = std::find_if(rules.begin(), rules.end(), [&](const FaultRule& r) { return r.id == id; });
  if (it == rules.end()) return false;
  rules.erase(it);
  return true;
}

void Smsc::cancel(StoredMessage& m, TimePoint now) {
  store_.unschedule(m);
  m.state = MessageState::Deleted;
  m.done = now;
  finalized(m, now);
}

void Smsc::finalized(StoredMessage& m, TimePoint now) {
  switch (m.state) {
    case MessageState::Delivered: ++counters_.delivered; break;
    case MessageState::Undeliverable: ++counters_.undeliverable; break;
    case MessageState::Deleted: ++counters_.deleted; break;
    case MessageState::Expired: ++counters_.expired; break;
    default: break;
  }
  if (on_final) on_final(m);
  const Byte wanted = m.registered_delivery & 0x03;
  if (wanted != 1 && !(wanted == 2 && m.state != MessageState::Delivered)) return;
  scratch_.clear();
  append_receipt(scratch_, m);
  send_receipt(m.system, scratch_, now, m.session);
  if (config_.duplicate_receipts) send_receipt(m.system, scratch_, now, m.session);
}

// registered_delivery bit 4 asks for an intermediate notification: one
// deliver_sm (esm_class 0x20) with stat ENROUTE when the message is accepted.
void Smsc::accepted(const StoredMessage& m, TimePoint now) {
  if ((m.registered_delivery & 0x10) == 0) return;
  scratch_.clear();
  append_receipt(scratch_, m, true);
  ++counters_.intermediate_receipts_sent;
  send_receipt(m.system, scratch_, now, m.session);
}

void Smsc::send_receipt(std::uint32_t system, const std::string& body, TimePoint now, SessionId submitter) {
  if (Session* r = receiver_for(system, submitter)) {
    r->originate(command_id::deliver_sm, body, now);
    ++counters_.deliver_sm_sent;
    ++counters_.receipts_sent;
    return;
  }
  // Nobody to tell yet: keep it for the first receiver of that system_id.
  auto& queue = pending_receipts_[system];
  if (pending_count_ >= config_.pending_receipt_limit) {
    ++counters_.receipts_dropped;
    if (queue.empty()) return;
    queue.pop_front();
    --pending_count_;
  }
  queue.push_back(body);
  ++pending_count_;
}

void Smsc::send_mo(TimePoint now) {
  MoText mo;
  mo.source = config_.mo_source_addr;
  mo.destination = config_.mo_destination_addr;
  mo.text = config_.mo_text;
  mo.data_sm = config_.mo_data_sm;
  mo.reference = static_cast<std::uint8_t>(++mo_reference_);
  const MoParts parts = encode_mo(mo);
  for (auto& [id, s] : sessions_) {
    if (!s->can_receive() || s->closing()) continue;
    for (const Originated& o : parts.pdus) mo.data_sm ? s->send_data_sm(o, now) : s->send_deliver_sm(o, now);
    ++counters_.mo_sent;
  }
}

std::size_t Smsc::send_mo(std::string_view system_id, const MoText& mo, TimePoint now, std::string& error) {
  const MoParts parts = encode_mo(mo);
  if (!parts.error.empty()) {
    error = parts.error;
    return 0;
  }
  std::size_t n = 0;
  for (auto& [id, s] : sessions_) {
    if (!s->can_receive() || s->closing() || (!system_id.empty() && s->system_id() != system_id)) continue;
    for (const Originated& o : parts.pdus) mo.data_sm ? s->send_data_sm(o, now) : s->send_deliver_sm(o, now);
    ++counters_.mo_sent;
    ++n;
  }
  return n;
}

std::size_t Smsc::unbind_all(TimePoint now) {
  return for_each_bound([&](Session& s) { s.send_unbind(now); });
}

std::string Smsc::receipt_body(const StoredMessage& m) {
  std::string out;
  append_receipt(out, m);
  return out;
}

std::string Smsc::intermediate_body(const StoredMessage& m) {
  std::string out;
  append_receipt(out, m, true);
  return out;
}

// A deliver_sm from the original destination back to the original source,
// esm_class 0x04 (SMSC delivery receipt; 0x20, intermediate delivery
// notification, for the ENROUTE one sent at acceptance), with the
// conventional text in short_message and receipted_message_id and
// message_state as TLVs. The text: field quotes the message's first 20
// characters as printable ASCII (see receipt_quote).
void Smsc::append_receipt(std::string& out, const StoredMessage& m, bool intermediate) {
  std::string& text = receipt_text_;
  text.assign("id:");
  receipt_ids_.append(text, m.id);
  const std::size_t id_len = text.size() - 3;
  receipt_tlvs_.receipted_message_id.Field = true;
  receipt_tlvs_.receipted_message_id.Value.assign(text, 3, id_len);
  receipt_tlvs_.receipted_message_id.Value.push_back('\0');
  receipt_tlvs_.message_state.Field = true;
  receipt_tlvs_.message_state.Value = static_cast<Byte>(m.state);
  text.append(m.state == MessageState::Delivered ? " sub:001 dlvrd:001 submit date:"
                                                 : " sub:001 dlvrd:000 submit date:");
  append_receipt_date(text, wall(m.submitted));
  text.append(" done date:");
  append_receipt_date(text, wall(intermediate ? m.submitted : m.done));
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
                               {static_cast<Byte>(intermediate ? 0x20 : 0x04), 0, 0, {}, {}, 0, 0, 0, 0, {0, text}},
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
  return for_each_bound([&](Session& s) { s.send_enquire_link(now); });
}

}  // namespace velmor::smsc
