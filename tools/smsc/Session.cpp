#include "tools/smsc/Session.h"

#include <algorithm>

#include "tlv/Tlv.h"
#include "tools/smsc/Smsc.h"

namespace velmor::smsc {
namespace {

// A receive buffer grown past this by a large PDU is released once it empties.
constexpr std::size_t kKeepBuffer = 16 * 1024;

// The decoded message fields into the view handed to the hooks.
void set_message_fields(MessageView& m, const pdu::MessageFields& f) {
  m.esm_class = f.esm_class;
  m.protocol_id = f.protocol_id;
  m.priority_flag = f.priority_flag;
  m.schedule_delivery_time = f.schedule_delivery_time;
  m.validity_period = f.validity_period;
  m.registered_delivery = f.registered_delivery;
  m.replace_if_present_flag = f.replace_if_present_flag;
  m.data_coding = f.data_coding;
  m.sm_default_msg_id = f.sm_default_msg_id;
  m.short_message = f.short_message.text;
}

// The header and addressing of a message request, as the hooks see them.
MessageView message_view(const codec::Header& h, std::string_view pdu, std::string_view service_type,
                         const Address& source) {
  MessageView m;
  m.command_id = h.command_id;
  m.sequence_number = h.sequence_number;
  m.raw = pdu;
  m.service_type = service_type;
  m.source = source;
  return m;
}

// Collects the destinations of a submit_multi into the session's list.
struct DestSink {
  std::vector<Destination>& out;
  void reserve(std::size_t n) { out.reserve(n); }
  void push_back(const pdu::Destination& d) { out.push_back({d.dest_flag, d.address, d.dl_name}); }
};

// The value of the first TLV with this tag; empty when there is none.
std::string_view find_tlv(std::string_view tlvs, Word tag) {
  codec::Cursor c(tlvs);
  while (!c.empty()) {
    const Word t = c.u16();
    const Word len = c.u16();
    const std::string_view v = c.octets(len);
    if (t == tag) return v;
  }
  return {};
}

std::string_view message_text(const MessageView& m) {
  return m.short_message.empty() ? find_tlv(m.optional, tag::message_payload) : m.short_message;
}

}  // namespace

std::vector<std::string_view> Flush::pieces() const {
  std::vector<std::string_view> out;
  std::size_t from = 0;
  const std::string_view all(octets);
  for (std::size_t cut : cuts) {
    out.push_back(all.substr(from, cut - from));
    from = cut;
  }
  if (from < all.size() || out.empty()) out.push_back(all.substr(from));
  return out;
}

Session::Session(Smsc& smsc, SessionId id, std::string peer)
    : smsc_(smsc),
      id_(id),
      peer_(std::move(peer)),
      framer_(codec::max_sequence),
      rng_(static_cast<std::minstd_rand::result_type>(smsc.config().random_seed + id)) {}

// ---- framing -------------------------------------------------------------------

// Framing is the codec's, as on the component's side. The simulator refuses
// what the component would still dispatch: a command_length below the 16
// header octets is answered with generic_nack ESME_RINVCMDLEN (sequence 0:
// there is no sequence_number to echo) as soon as the length is read, and a
// length that cannot be framed once its header is here, echoing the header's
// sequence_number when there is one. Either way the session then closes.
void Session::feed(std::string_view in, TimePoint now) {
  if (finished_ || in.empty()) return;
  now_ = now;
  smsc_.counters_.octets_in += in.size();
  framer_.set_max_length(static_cast<Cardinal>(std::min<std::size_t>(smsc_.config_.max_pdu_size, codec::max_sequence)));
  framer_.feed(in);
  while (!finished_) {
    const codec::Frame f = framer_.next();
    if (f.short_length() || f.kind == codec::Frame::Kind::unframeable) {
      Cardinal seq = 0;
      if (!f.short_length() && f.command_length != 0) {
        codec::Cursor c(f.octets);
        seq = codec::read_header(c).sequence_number;
      }
      ++smsc_.counters_.invalid_length;
      ++smsc_.counters_.generic_nacks_out;
      respond_header_only(command_id::generic_nack, status::invalid_length, seq, now);
      finish();
      break;
    }
    if (f.kind == codec::Frame::Kind::need_more) break;
    handle(f.octets, now);
  }
  if (finished_) framer_.clear();
  framer_.shrink_if_empty(kKeepBuffer);
}

// ---- dispatch ------------------------------------------------------------------

void Session::handle(std::string_view pdu, TimePoint now) {
  codec::Cursor c(pdu);
  const codec::Header h = codec::read_header(c);
  Counters& k = smsc_.counters_;
  ++k.pdus_in;
  if (const std::size_t limit = smsc_.config_.pdu_log_limit; limit > 0) {
    ReceivedPdu r;
    if (log_.size() >= limit) {  // reuse the oldest entry's buffer
      r = std::move(log_.front());
      log_.pop_front();
    }
    r.command_id = h.command_id;
    r.command_status = h.command_status;
    r.sequence_number = h.sequence_number;
    r.raw.assign(pdu.data(), pdu.size());
    log_.push_back(std::move(r));
  }
  if (smsc_.on_pdu) smsc_.on_pdu(*this, h, pdu);
  if (smsc_.config_.trace) smsc_.config_.trace(name(), true, pdu);

  const Cardinal seq = h.sequence_number;
  const Cardinal id = h.command_id;
  // An ESME may never send it (an unknown id, an SMSC's request, a response
  // to a request the SMSC never sends): generic_nack ESME_RINVCMDID. An
  // alert_notification has no response to answer with and is ignored.
  if (!codec::may_send(codec::sender::esme, id)) {
    if (id == command_id::alert_notification) return;
    ++k.unknown_commands;
    ++k.generic_nacks_out;
    respond_header_only(command_id::generic_nack, status::invalid_command, seq, now);
    return;
  }
  // A response is matched against what this session sent whatever the state.
  if (codec::is_response(id)) {
    if (id == command_id::generic_nack) ++k.generic_nacks_in;
    if (id != command_id::unbind_resp) {
      on_response(h);
    } else if (unbind_sent_) {
      on_response(h);
      unbind_sent_ = false;
      bind_ = BindState::Open;
      finish();
    }
    return;
  }
  if (id == command_id::enquire_link) {
    ++k.enquire_links;
    if (smsc_.config_.ignore_enquire_link) {
      ++k.enquire_links_ignored;
      return;
    }
  }
  // A request in a bind state that does not allow it: its response, header
  // only, with ESME_RINVBNDSTS (ESME_RALYBND for a second bind).
  if (!codec::allowed_from_esme(id, state())) {
    respond_header_only(codec::response_id(id),
                        codec::is_bind(id) ? status::already_bound : status::invalid_bind_status, seq, now);
    if (codec::is_bind(id)) ++k.binds_rejected;
    return;
  }
  switch (id) {
    case command_id::bind_receiver:
    case command_id::bind_transmitter:
    case command_id::bind_transceiver: on_bind(h, c.rest()); return;
    case command_id::unbind: on_unbind(h); return;
    case command_id::enquire_link: respond_header_only(command_id::enquire_link_resp, status::ok, seq, now); return;
    default: break;
  }
  // The message requests.
  if (id == command_id::submit_sm || id == command_id::submit_multi || id == command_id::data_sm) {
    const Config& cfg = smsc_.config_;
    if (chance(cfg.drop_probability)) {
      ++k.faults_dropped;
      delayed_.clear();  // the connection goes now, not after responses held back
      finish();
      return;
    }
    if (chance(cfg.delay_probability)) {
      ++k.faults_delayed;
      random_delay_ = cfg.random_delay;
    }
    if (chance(cfg.cut_probability)) {
      ++k.faults_cut;
      random_cut_ = true;
    }
  }
  switch (id) {
    case command_id::submit_sm: on_submit_sm(h, pdu, c.rest(), now); break;
    case command_id::submit_multi: on_submit_multi(h, pdu, c.rest(), now); break;
    case command_id::data_sm: on_data_sm(h, pdu, c.rest(), now); break;
    case command_id::query_sm: on_query_sm(h, c.rest()); break;
    case command_id::cancel_sm: on_cancel_sm(h, c.rest(), now); break;
    case command_id::replace_sm: on_replace_sm(h, c.rest()); break;
    default:  // a request of the table this simulator does not implement
      respond_header_only(codec::response_id(id), command_status::ESME_RINVCMDID, seq, now);
      break;
  }
  random_delay_ = std::chrono::milliseconds(0);
  random_cut_ = false;
}

void Session::on_bind(const codec::Header& h, std::string_view octets) {
  const Config& cfg = smsc_.config_;
  const Cardinal resp = codec::response_id(h.command_id);
  pdu::Bind bind;
  pdu::read(octets, bind);
  const std::string_view system_id = bind.system_id;
  const std::string_view password = bind.password;
  Cardinal st = status::ok;
  if (cfg.reject_binds) {
    st = status::bind_failed;
  } else if (!cfg.credentials.empty()) {
    const auto it = cfg.credentials.find(system_id);
    if (it == cfg.credentials.end())
      st = status::bind_failed;
    else if (it->second != password)
      st = status::invalid_password;
  }
  if (st != status::ok) {
    ++smsc_.counters_.binds_rejected;
    respond_header_only(resp, st, h.sequence_number, now_);
    return;
  }
  ++smsc_.counters_.binds_accepted;
  bind_ = static_cast<BindState>(codec::bound_state_of(h.command_id));
  system_id_.assign(system_id);
  system_ = smsc_.intern(system_id);
  TOPBind_RESP tlvs;
  tlvs.sc_interface_version.Field = true;
  tlvs.sc_interface_version.Value = codec::interface_version;
  respond(resp, status::ok, h.sequence_number, pdu::BindResp{cfg.system_id, {&tlvs, {}}}, true, now_);
  smsc_.bound(*this, now_);
}

void Session::on_unbind(const codec::Header& h) {
  ++smsc_.counters_.unbinds;
  respond_header_only(command_id::unbind_resp, status::ok, h.sequence_number, now_);
  bind_ = BindState::Open;
  finish();
}

// ---- message requests ------------------------------------------------------------

Cardinal Session::screen(const MessageView& m) {
  const Config& cfg = smsc_.config_;
  accepted_.clear();
  const auto wall_now = smsc_.wall(now_);
  schedule_ = parse_smpp_time(m.schedule_delivery_time, wall_now);
  expiry_ = parse_smpp_time(m.validity_period, wall_now);
  if (smsc_.on_submit) smsc_.on_submit(*this, m);
  ++message_requests_;
  silent_ = false;
  rule_delay_ = std::chrono::milliseconds(0);
  for (const Destination& d : m.destinations)
    if (const FaultRule* r = match_rule(cfg.rules, d.address.addr)) {
      if (r->fault == Fault::no_response) silent_ = true;
      if (r->fault == Fault::delay) rule_delay_ = std::max(rule_delay_, r->delay);
    }
  if (rule_delay_.count() > 0) ++smsc_.counters_.rule_faults;
  if (silent_) {
    ++smsc_.counters_.rule_faults;
    return status::ok;
  }
  if (cfg.throttle_every != 0 && message_requests_ % cfg.throttle_every == 0) {
    ++smsc_.counters_.throttled;
    return status::throttled;
  }
  if (chance(cfg.throttle_probability)) {
    ++smsc_.counters_.throttled;
    ++smsc_.counters_.faults_throttled;
    return status::throttled;
  }
  Cardinal st = !schedule_.valid ? command_status::ESME_RINVSCHED
                : !expiry_.valid ? command_status::ESME_RINVEXPIRY
                                 : status::ok;
  if (st == status::ok && smsc_.submit_status) st = smsc_.submit_status(*this, m);
  if (st != status::ok) ++smsc_.counters_.messages_refused;
  return st;
}

// Called right after the response is written. A response held back
// (response_delay) takes the notifications with it, so that none reaches the
// ESME before the message_id it names.
void Session::notify_accepted(TimePoint now) {
  if (response_held_ && !delayed_.empty()) {
    auto& later = delayed_.back().notify;
    later.insert(later.end(), accepted_.begin(), accepted_.end());
  } else {
    notify(accepted_, now);
  }
  accepted_.clear();
}

void Session::notify(const std::vector<std::uint64_t>& ids, TimePoint now) {
  for (std::uint64_t id : ids)
    if (const StoredMessage* m = smsc_.store_.find(id); m && m->state == MessageState::Enroute) smsc_.accepted(*m, now);
}

// receipt_before_response: the messages just stored end now, and their
// receipts are written before the response that names them.
void Session::finish_early(TimePoint now) {
  if (!smsc_.config_.receipt_before_response) return;
  for (std::uint64_t id : accepted_) {
    StoredMessage* m = smsc_.store_.find(id);
    if (m == nullptr || m->state != MessageState::Enroute) continue;
    if (m->scheduled) smsc_.store_.unschedule(*m);
    m->state = m->undeliverable ? MessageState::Undeliverable : MessageState::Delivered;
    m->done = now;
    smsc_.finalized(*m, now);
  }
}

Cardinal Session::store(const MessageView& m, const Address& dest, std::string_view text, TimePoint now,
                        std::uint64_t& id) {
  const Config& cfg = smsc_.config_;
  if (dest.addr.empty() || (!cfg.rejected.empty() && cfg.rejected.contains(dest.addr))) {
    ++smsc_.counters_.messages_refused;
    return status::invalid_dest_addr;
  }
  const FaultRule* rule = match_rule(cfg.rules, dest.addr);
  if (rule && (rule->fault == Fault::refuse || rule->fault == Fault::throttled || rule->fault == Fault::queue_full)) {
    ++smsc_.counters_.rule_faults;
    ++smsc_.counters_.messages_refused;
    if (rule->fault == Fault::throttled) ++smsc_.counters_.throttled;
    return rule->fault == Fault::refuse      ? rule->status
           : rule->fault == Fault::throttled ? status::throttled
                                             : status::queue_full;
  }
  bool scheduled = false, expires = false;
  const TimePoint due = due_time(now, now + cfg.delivery_delay, scheduled, expires);
  StoredMessage* s = smsc_.store_.add(now, due, scheduled);
  if (s == nullptr) {
    ++smsc_.counters_.messages_refused;
    return status::queue_full;
  }
  s->system = system_;
  s->session = id_;
  s->registered_delivery = m.registered_delivery;
  s->source_ton = m.source.ton;
  s->source_npi = m.source.npi;
  s->source.assign(m.source.addr);
  s->dest_ton = dest.ton;
  s->dest_npi = dest.npi;
  s->destination.assign(dest.addr);
  s->data_coding = m.data_coding;
  s->text.assign(receipt_quote(text, m.esm_class, m.data_coding));
  s->expires = expires;
  s->undeliverable = (!cfg.undeliverable.empty() && cfg.undeliverable.contains(dest.addr)) ||
                     (rule && rule->fault == Fault::undeliverable);
  if (rule && rule->fault == Fault::undeliverable) ++smsc_.counters_.rule_faults;
  if (s->undeliverable) s->error = cfg.undeliverable_error;
  ++smsc_.counters_.messages_accepted;
  id = s->id;
  accepted_.push_back(id);
  return status::ok;
}

// Delivered at its schedule (or at `otherwise`), unless its validity ends
// first: then it expires at that moment. A time already past means now.
TimePoint Session::due_time(TimePoint now, TimePoint otherwise, bool& scheduled, bool& expires) const {
  const auto steady = [&](std::chrono::system_clock::time_point t) {
    return now + std::chrono::duration_cast<Clock::duration>(t - smsc_.wall(now));
  };
  TimePoint due = otherwise;
  scheduled = expires = false;
  if (schedule_.present) {
    due = std::max(now, steady(schedule_.at));
    scheduled = true;
  }
  if (expiry_.present) {
    if (const TimePoint end = std::max(now, steady(expiry_.at)); end <= due) {
      due = end;
      expires = scheduled = true;
    }
  }
  return due;
}

// submit_sm and data_sm: one destination, one stored message, and a response
// carrying its message_id (or a header-only refusal).
void Session::accept_single(MessageView& m, const Destination& d, Cardinal resp_id, TimePoint now) {
  dests_.clear();
  dests_.push_back(d);
  m.destinations = dests_;
  Cardinal st = screen(m);
  if (silent_) return;
  std::uint64_t id = 0;
  if (st == status::ok) st = store(m, d.address, message_text(m), now, id);
  if (st != status::ok) {
    respond_header_only(resp_id, st, m.sequence_number, now);
    return;
  }
  finish_early(now);
  text_.clear();
  smsc_.ids_.append(text_, id);
  respond(resp_id, status::ok, m.sequence_number, pdu::MessageIdResp{text_}, true, now);
  notify_accepted(now);
}

void Session::on_submit_sm(const codec::Header& h, std::string_view pdu, std::string_view body, TimePoint now) {
  ++smsc_.counters_.submit_sm;
  pdu::SubmitSm b;
  pdu::read(body, b);
  MessageView m = message_view(h, pdu, b.service_type, b.source);
  set_message_fields(m, b.message);
  m.optional = b.optional.octets;
  Destination d;
  d.address = b.dest;
  accept_single(m, d, command_id::submit_sm_resp, now);
}

void Session::on_submit_multi(const codec::Header& h, std::string_view pdu, std::string_view body, TimePoint now) {
  ++smsc_.counters_.submit_multi;
  dests_.clear();
  DestSink sink{dests_};
  pdu::SubmitMultiT<DestSink> b;
  b.dests.list = &sink;
  pdu::read(body, b);
  MessageView m = message_view(h, pdu, b.service_type, b.source);
  // An unknown dest_flag ends the list: the rest of the body cannot be located.
  Cardinal st = b.dests.number_of_dests == 0 ? status::invalid_num_dests : status::ok;
  for (const Destination& d : dests_)
    if (d.flag != pdu::Destination::sme && d.flag != pdu::Destination::distribution_list)
      st = status::invalid_dest_flag;
  if (st == status::ok) {
    set_message_fields(m, b.message);
    m.optional = b.optional.octets;
    m.destinations = dests_;
    st = screen(m);
    if (silent_) return;
  }
  if (st != status::ok) {
    respond_header_only(command_id::submit_multi_resp, st, h.sequence_number, now);
    return;
  }
  // Each destination accepted is a message of its own; the response names
  // the first one's id (the others follow it in the store).
  const std::string_view text = message_text(m);
  results_.clear();
  std::uint64_t first = 0;
  bool any = false;
  for (const Destination& d : dests_) {
    const Address a = d.flag == 2 ? Address{0, 0, d.dl_name} : d.address;
    std::uint64_t id = 0;
    const Cardinal r = store(m, a, text, now, id);
    results_.push_back(r);
    if (r == status::ok && !any) first = id, any = true;
  }
  text_.clear();
  if (any) smsc_.ids_.append(text_, first);
  finish_early(now);
  unsuccess_.clear();
  for (std::size_t i = 0; i < dests_.size(); ++i) {
    if (results_[i] == status::ok) continue;
    const Destination& d = dests_[i];
    unsuccess_.push_back({d.flag == 2 ? Address{0, 0, d.dl_name} : d.address, results_[i]});
  }
  respond(command_id::submit_multi_resp, status::ok, h.sequence_number,
          pdu::SubmitMultiRespT<std::vector<pdu::Unsuccess>>{text_, {&unsuccess_}}, true, now);
  notify_accepted(now);
}

void Session::on_data_sm(const codec::Header& h, std::string_view pdu, std::string_view body, TimePoint now) {
  ++smsc_.counters_.data_sm;
  pdu::DataSm b;
  pdu::read(body, b);
  MessageView m = message_view(h, pdu, b.service_type, b.source);
  m.esm_class = b.esm_class;
  m.registered_delivery = b.registered_delivery;
  m.data_coding = b.data_coding;
  m.optional = b.optional.octets;
  Destination d;
  d.address = b.dest;
  accept_single(m, d, command_id::data_sm_resp, now);
}

void Session::on_query_sm(const codec::Header& h, std::string_view body) {
  ++smsc_.counters_.query_sm;
  pdu::QuerySm q;
  pdu::read(body, q);
  const auto id = smsc_.ids_.parse(q.message_id);
  const StoredMessage* m = id ? smsc_.store_.find(*id) : nullptr;
  if (m == nullptr) {
    respond_header_only(command_id::query_sm_resp, status::query_failed, h.sequence_number, now_);
    return;
  }
  text_.clear();
  if (is_final(m->state)) append_absolute_time(text_, smsc_.wall(m->done));
  respond(command_id::query_sm_resp, status::ok, h.sequence_number,
          pdu::QuerySmResp{q.message_id, text_, static_cast<Byte>(m->state), m->error}, true, now_);
}

void Session::on_cancel_sm(const codec::Header& h, std::string_view body, TimePoint now) {
  ++smsc_.counters_.cancel_sm;
  pdu::CancelSm q;  // service_type: messages are not told apart by it here
  pdu::read(body, q);
  const std::string_view text = q.message_id;
  const Address& source = q.source;
  const Address& dest = q.dest;
  // Answer first, then cancel: a receipt the cancel triggers follows the
  // cancel_sm_resp on the wire.
  cancelled_.clear();
  if (!text.empty()) {
    const auto id = smsc_.ids_.parse(text);
    StoredMessage* m = id ? smsc_.store_.find(*id) : nullptr;
    if (m != nullptr && !is_final(m->state)) cancelled_.push_back(m);
  } else {
    // No id: every pending message from source to destination.
    smsc_.store_.for_each_pending([&](StoredMessage& m) {
      if (m.source.view() == source.addr && m.destination.view() == dest.addr) cancelled_.push_back(&m);
      return true;
    });
  }
  respond_header_only(command_id::cancel_sm_resp, cancelled_.empty() ? status::cancel_failed : status::ok,
                      h.sequence_number, now);
  for (StoredMessage* m : cancelled_) smsc_.cancel(*m, now);
}

void Session::on_replace_sm(const codec::Header& h, std::string_view body) {
  ++smsc_.counters_.replace_sm;
  pdu::ReplaceSm q;
  pdu::read(body, q);
  const std::string_view text = q.message_id;
  const Byte registered_delivery = q.registered_delivery;
  const std::string_view sm = q.short_message.text;
  const auto id = smsc_.ids_.parse(text);
  StoredMessage* m = id ? smsc_.store_.find(*id) : nullptr;
  const auto wall_now = smsc_.wall(now_);
  schedule_ = parse_smpp_time(q.schedule_delivery_time, wall_now);
  expiry_ = parse_smpp_time(q.validity_period, wall_now);
  Cardinal st = status::replace_failed;
  if (!schedule_.valid) {
    st = command_status::ESME_RINVSCHED;
  } else if (!expiry_.valid) {
    st = command_status::ESME_RINVEXPIRY;
  } else if (m != nullptr && !is_final(m->state)) {
    m->text.assign(receipt_quote(sm, 0, m->data_coding));
    m->registered_delivery = registered_delivery;
    // New times replace the old ones; without any the message keeps its own.
    if (schedule_.present || expiry_.present) {
      bool scheduled = false, expires = false;
      const TimePoint due = due_time(now_, now_ + smsc_.config_.delivery_delay, scheduled, expires);
      smsc_.store_.reschedule(*m, due, expires);
    }
    st = status::ok;
  }
  respond_header_only(command_id::replace_sm_resp, st, h.sequence_number, now_);
}

void Session::on_response(const codec::Header& h) {
  ++smsc_.counters_.responses_in;
  const auto it = outstanding_.find(h.sequence_number);
  if (it == outstanding_.end())
    ++smsc_.counters_.unmatched_responses;
  else
    outstanding_.erase(it);
  if (smsc_.on_response) smsc_.on_response(*this, h);
}

// ---- PDUs the SMSC originates --------------------------------------------------------

Cardinal Session::originate(Cardinal id, std::string_view body, TimePoint now, int attempts) {
  sequence_ = codec::next_sequence(sequence_);
  const std::size_t start = open_pdu(id, status::ok, sequence_);
  out_.append(body);
  close_pdu(start, false, now);
  Outstanding& o = outstanding_[sequence_];
  o.command_id = id;
  o.sent = now;
  o.attempts = attempts;
  const Config& cfg = smsc_.config_;
  if (cfg.response_timeout.count() > 0 && attempts < cfg.send_attempts) o.body.assign(body);
  return sequence_;
}

Cardinal Session::send_enquire_link(TimePoint now) { return originate(command_id::enquire_link, {}, now); }

Cardinal Session::send_unbind(TimePoint now) {
  unbind_sent_ = true;
  return originate(command_id::unbind, {}, now);
}

std::string Session::name() const {
  std::string n = "#" + std::to_string(id_);
  if (bound() || !system_id_.empty()) n += " " + system_id_;
  return n;
}

Cardinal Session::send_deliver_sm(const Originated& m, TimePoint now) {
  const pdu::DeliverSm b{m.service_type,
                         {m.source_ton, m.source_npi, m.source},
                         {m.dest_ton, m.dest_npi, m.destination},
                         {m.esm_class,
                          m.protocol_id,
                          m.priority_flag,
                          {},
                          {},
                          m.registered_delivery,
                          0,
                          m.data_coding,
                          0,
                          {0, std::string_view(m.text).substr(0, 255)}},
                         {nullptr, m.optional}};
  body_.clear();
  pdu::append(body_, b);
  ++smsc_.counters_.deliver_sm_sent;
  return originate(command_id::deliver_sm, body_, now);
}

Cardinal Session::send_data_sm(const Originated& m, TimePoint now) {
  TOPData_SM tlvs;
  tlvs.message_payload.Field = true;
  tlvs.message_payload.Value = m.text.substr(0, tlv::max_value_length);
  const pdu::DataSm b{m.service_type,
                      {m.source_ton, m.source_npi, m.source},
                      {m.dest_ton, m.dest_npi, m.destination},
                      m.esm_class,
                      m.registered_delivery,
                      m.data_coding,
                      {&tlvs, m.optional}};
  body_.clear();
  pdu::append(body_, b);
  ++smsc_.counters_.data_sm_sent;
  return originate(command_id::data_sm, body_, now);
}

// ---- output and fault modes --------------------------------------------------------

std::size_t Session::open_pdu(Cardinal id, Cardinal st, Cardinal seq) { return codec::open_pdu(out_, id, st, seq); }

void Session::close_pdu(std::size_t start, bool response, TimePoint now) {
  if (output_closed_) {
    out_.resize(start);
    return;
  }
  const Config& cfg = smsc_.config_;
  codec::end_pdu(out_, start);
  ++smsc_.counters_.pdus_out;
  if (cfg.trace) cfg.trace(name(), false, std::string_view(out_).substr(start));
  const std::uint64_t index = pdus_out_++;
  const bool cut =
      (cfg.cut_pdu_index >= 0 && index == static_cast<std::uint64_t>(cfg.cut_pdu_index)) || (response && random_cut_);
  const auto delay =
      response ? std::max({cfg.response_delay, random_delay_, rule_delay_}) : std::chrono::milliseconds(0);
  if (response) {
    rule_delay_ = std::chrono::milliseconds(0);
    response_held_ = delay.count() > 0;
  }
  if (delay.count() > 0) {
    delayed_.push_back({now + delay, out_.substr(start), cut, {}});
    out_.resize(start);
    return;
  }
  if (cut) {
    out_.resize(start + (out_.size() - start) / 2);
    output_closed_ = true;
    finish();
  }
  mark_dirty();
}

template <class Body>
void Session::respond(Cardinal id, Cardinal st, Cardinal seq, const Body& body, bool response, TimePoint now) {
  const std::size_t start = open_pdu(id, st, seq);
  pdu::append(out_, body);
  close_pdu(start, response, now);
}

void Session::respond_header_only(Cardinal id, Cardinal st, Cardinal seq, TimePoint now) {
  close_pdu(open_pdu(id, st, seq), true, now);
}

void Session::finish() {
  finished_ = true;
  close_after_write_ = true;
  mark_dirty();
}

bool Session::chance(double p) {
  if (p <= 0) return false;
  return static_cast<double>(rng_() - std::minstd_rand::min()) <
         p * static_cast<double>(std::minstd_rand::max() - std::minstd_rand::min());
}

void Session::mark_dirty() {
  if (dirty_) return;
  dirty_ = true;
  smsc_.dirty_.push_back(id_);
}

bool Session::take(TimePoint now, Flush& f) {
  while (!delayed_.empty() && delayed_.front().due <= now && !output_closed_) {
    Delayed& d = delayed_.front();
    if (d.cut) {
      out_.append(d.pdu, 0, d.pdu.size() / 2);
      output_closed_ = true;
      finish();
    } else {
      out_.append(d.pdu);
    }
    const std::vector<std::uint64_t> later = std::move(d.notify);
    delayed_.pop_front();
    if (!output_closed_) notify(later, now);
  }
  if (output_closed_) delayed_.clear();
  f.octets.clear();
  f.cuts.clear();
  f.octets.swap(out_);
  f.close = close_after_write_ && delayed_.empty();
  const std::size_t n = f.octets.size();
  const Config& cfg = smsc_.config_;
  if (n > 1 && (!cfg.split_offsets.empty() || cfg.split_random)) {
    for (std::size_t off : cfg.split_offsets)
      if (off > 0 && off < n) f.cuts.push_back(off);
    if (cfg.split_random) {
      const unsigned k = 1 + static_cast<unsigned>(rng_() % 3);
      for (unsigned i = 0; i < k; ++i) f.cuts.push_back(1 + static_cast<std::size_t>(rng_() % (n - 1)));
    }
    std::sort(f.cuts.begin(), f.cuts.end());
    f.cuts.erase(std::unique(f.cuts.begin(), f.cuts.end()), f.cuts.end());
  }
  return n > 0 || f.close;
}

}  // namespace velmor::smsc
