#include "tools/smsc/Session.h"

#include <algorithm>

#include "tlv/Tlv.h"
#include "tools/smsc/Smsc.h"

namespace velmor::smsc {
namespace {

constexpr Cardinal kResponseBit = 0x80000000;

Cardinal load_u32(std::string_view s, std::size_t pos) {
  return (Cardinal(static_cast<unsigned char>(s[pos])) << 24) |
         (Cardinal(static_cast<unsigned char>(s[pos + 1])) << 16) |
         (Cardinal(static_cast<unsigned char>(s[pos + 2])) << 8) |
         Cardinal(static_cast<unsigned char>(s[pos + 3]));
}

Address read_address(codec::Cursor& c) {
  Address a;
  a.ton = c.u8();
  a.npi = c.u8();
  a.addr = c.cstring();
  return a;
}

// esm_class .. short_message, shared by submit_sm and submit_multi.
void read_message_tail(codec::Cursor& c, MessageView& m) {
  m.esm_class = c.u8();
  m.protocol_id = c.u8();
  m.priority_flag = c.u8();
  m.schedule_delivery_time = c.cstring();
  m.validity_period = c.cstring();
  m.registered_delivery = c.u8();
  m.replace_if_present_flag = c.u8();
  m.data_coding = c.u8();
  m.sm_default_msg_id = c.u8();
  const Byte len = c.u8();
  m.short_message = c.octets(len);
}

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
    : smsc_(smsc), id_(id), peer_(std::move(peer)),
      rng_(static_cast<std::minstd_rand::result_type>(smsc.config().random_seed + id)) {}

// ---- framing -------------------------------------------------------------------

void Session::feed(std::string_view in, TimePoint now) {
  if (finished_ || in.empty()) return;
  now_ = now;
  smsc_.counters_.octets_in += in.size();
  const std::size_t max = smsc_.config_.max_pdu_size;
  // Octets needed before the PDU at the front of buf can be acted on: its
  // command_length, then either the whole PDU or, for a length out of range,
  // the header (a length below 16 is refused at once, with sequence 0, as
  // such a PDU has no sequence_number to echo).
  auto need = [max](std::string_view buf) -> std::size_t {
    if (buf.size() < 4) return 4;
    const Cardinal len = load_u32(buf, 0);
    if (len < codec::header_size) return 4;
    if (len > max) return codec::header_size;
    return len;
  };
  // Complete the carried-over PDU with as few octets as it lacks, so the rest
  // of the input is framed in place without being copied.
  while (!tail_.empty()) {
    const std::size_t n = need(tail_);
    if (tail_.size() < n) {
      const std::size_t take = std::min(n - tail_.size(), in.size());
      if (take == 0) return;
      tail_.append(in.data(), take);
      in.remove_prefix(take);
      continue;
    }
    process(tail_, now);
    tail_.clear();
    if (finished_) return;
  }
  const std::size_t used = process(in, now);
  if (!finished_ && used < in.size()) tail_.assign(in.data() + used, in.size() - used);
}

std::size_t Session::process(std::string_view in, TimePoint now) {
  const std::size_t max = smsc_.config_.max_pdu_size;
  std::size_t pos = 0;
  while (!finished_) {
    const std::string_view rest = in.substr(pos);
    if (rest.size() < 4) break;
    const Cardinal len = load_u32(rest, 0);
    if (len < codec::header_size || len > max) {
      if (len > max && rest.size() < codec::header_size) break;
      const Cardinal seq = len > max ? load_u32(rest, 12) : 0;
      ++smsc_.counters_.invalid_length;
      ++smsc_.counters_.generic_nacks_out;
      respond_header_only(command_id::generic_nack, status::invalid_length, seq, now);
      finish();
      return in.size();
    }
    if (rest.size() < len) break;
    handle(rest.substr(0, len), now);
    pos += len;
  }
  return pos;
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

  const Cardinal seq = h.sequence_number;
  switch (h.command_id) {
    case command_id::bind_receiver:
    case command_id::bind_transmitter:
    case command_id::bind_transceiver:
      on_bind(h, c);
      return;
    case command_id::unbind:
      on_unbind(h);
      return;
    case command_id::enquire_link:
      ++k.enquire_links;
      if (smsc_.config_.ignore_enquire_link) {
        ++k.enquire_links_ignored;
        return;
      }
      respond_header_only(command_id::enquire_link_resp, bound() ? status::ok : status::invalid_bind_status,
                          seq, now);
      return;
    case command_id::submit_sm:
    case command_id::submit_multi:
    case command_id::data_sm:
    case command_id::query_sm:
    case command_id::cancel_sm:
    case command_id::replace_sm:
      if (!can_transmit()) {
        respond_header_only(h.command_id | kResponseBit, status::invalid_bind_status, seq, now);
        return;
      }
      if (h.command_id == command_id::submit_sm || h.command_id == command_id::submit_multi ||
          h.command_id == command_id::data_sm) {
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
      switch (h.command_id) {
        case command_id::submit_sm: on_submit_sm(h, pdu, c, now); break;
        case command_id::submit_multi: on_submit_multi(h, pdu, c, now); break;
        case command_id::data_sm: on_data_sm(h, pdu, c, now); break;
        case command_id::query_sm: on_query_sm(h, c); break;
        case command_id::cancel_sm: on_cancel_sm(h, c, now); break;
        default: on_replace_sm(h, c); break;
      }
      random_delay_ = std::chrono::milliseconds(0);
      random_cut_ = false;
      return;
    case command_id::generic_nack:
      ++k.generic_nacks_in;
      on_response(h);
      return;
    case command_id::deliver_sm_resp:
    case command_id::data_sm_resp:
    case command_id::enquire_link_resp:
      on_response(h);
      return;
    case command_id::unbind_resp:
    case command_id::alert_notification:
      return;
    default:
      ++k.unknown_commands;
      ++k.generic_nacks_out;
      respond_header_only(command_id::generic_nack, status::invalid_command, seq, now);
      return;
  }
}

void Session::on_bind(const codec::Header& h, codec::Cursor body) {
  const Config& cfg = smsc_.config_;
  const Cardinal resp = h.command_id | kResponseBit;
  if (bound()) {
    ++smsc_.counters_.binds_rejected;
    respond_header_only(resp, status::already_bound, h.sequence_number, now_);
    return;
  }
  const std::string_view system_id = body.cstring();
  const std::string_view password = body.cstring();
  Cardinal st = status::ok;
  if (cfg.reject_binds) {
    st = status::bind_failed;
  } else if (!cfg.credentials.empty()) {
    const auto it = cfg.credentials.find(system_id);
    if (it == cfg.credentials.end()) st = status::bind_failed;
    else if (it->second != password) st = status::invalid_password;
  }
  if (st != status::ok) {
    ++smsc_.counters_.binds_rejected;
    respond_header_only(resp, st, h.sequence_number, now_);
    return;
  }
  ++smsc_.counters_.binds_accepted;
  bind_ = h.command_id == command_id::bind_receiver      ? BindState::Receiver
          : h.command_id == command_id::bind_transmitter ? BindState::Transmitter
                                                         : BindState::Transceiver;
  system_id_.assign(system_id);
  system_ = smsc_.intern(system_id);
  const std::size_t start = open_pdu(resp, status::ok, h.sequence_number);
  codec::put_cstring(out_, cfg.system_id);
  TOPBind_RESP tlvs;
  tlvs.sc_interface_version.Field = true;
  tlvs.sc_interface_version.Value = 0x34;
  tlv::append(out_, tlvs);
  close_pdu(start, true, now_);
  smsc_.bound(*this, now_);
}

void Session::on_unbind(const codec::Header& h) {
  if (!bound()) {
    respond_header_only(command_id::unbind_resp, status::invalid_bind_status, h.sequence_number, now_);
    return;
  }
  ++smsc_.counters_.unbinds;
  respond_header_only(command_id::unbind_resp, status::ok, h.sequence_number, now_);
  bind_ = BindState::Open;
  finish();
}

// ---- message requests ------------------------------------------------------------

Cardinal Session::screen(const MessageView& m) {
  const Config& cfg = smsc_.config_;
  if (smsc_.on_submit) smsc_.on_submit(*this, m);
  ++message_requests_;
  if (cfg.throttle_every != 0 && message_requests_ % cfg.throttle_every == 0) {
    ++smsc_.counters_.throttled;
    return status::throttled;
  }
  if (chance(cfg.throttle_probability)) {
    ++smsc_.counters_.throttled;
    ++smsc_.counters_.faults_throttled;
    return status::throttled;
  }
  if (smsc_.submit_status) {
    if (const Cardinal st = smsc_.submit_status(*this, m); st != status::ok) {
      ++smsc_.counters_.messages_refused;
      return st;
    }
  }
  return status::ok;
}

Cardinal Session::store(const MessageView& m, const Address& dest, std::string_view text, TimePoint now,
                        std::uint64_t& id) {
  const Config& cfg = smsc_.config_;
  if (dest.addr.empty() || (!cfg.rejected.empty() && cfg.rejected.contains(dest.addr))) {
    ++smsc_.counters_.messages_refused;
    return status::invalid_dest_addr;
  }
  StoredMessage* s = smsc_.store_.add(now, now + cfg.delivery_delay);
  if (s == nullptr) {
    ++smsc_.counters_.messages_refused;
    return status::queue_full;
  }
  s->system = system_;
  s->registered_delivery = m.registered_delivery;
  s->source_ton = m.source.ton;
  s->source_npi = m.source.npi;
  s->source.assign(m.source.addr);
  s->dest_ton = dest.ton;
  s->dest_npi = dest.npi;
  s->destination.assign(dest.addr);
  s->text.assign(text);
  s->undeliverable = !cfg.undeliverable.empty() && cfg.undeliverable.contains(dest.addr);
  if (s->undeliverable) s->error = cfg.undeliverable_error;
  ++smsc_.counters_.messages_accepted;
  id = s->id;
  return status::ok;
}

// submit_sm and data_sm: one destination, one stored message, and a response
// carrying its message_id (or a header-only refusal).
void Session::accept_single(MessageView& m, const Destination& d, Cardinal resp_id, TimePoint now) {
  dests_.clear();
  dests_.push_back(d);
  m.destinations = dests_;
  Cardinal st = screen(m);
  std::uint64_t id = 0;
  if (st == status::ok) st = store(m, d.address, message_text(m), now, id);
  if (st != status::ok) {
    respond_header_only(resp_id, st, m.sequence_number, now);
    return;
  }
  const std::size_t start = open_pdu(resp_id, status::ok, m.sequence_number);
  smsc_.ids_.append(out_, id);
  out_.push_back('\0');
  close_pdu(start, true, now);
}

void Session::on_submit_sm(const codec::Header& h, std::string_view pdu, codec::Cursor c, TimePoint now) {
  ++smsc_.counters_.submit_sm;
  MessageView m;
  m.command_id = h.command_id;
  m.sequence_number = h.sequence_number;
  m.raw = pdu;
  m.service_type = c.cstring();
  m.source = read_address(c);
  Destination d;
  d.address = read_address(c);
  read_message_tail(c, m);
  m.optional = c.rest();
  accept_single(m, d, command_id::submit_sm_resp, now);
}

void Session::on_submit_multi(const codec::Header& h, std::string_view pdu, codec::Cursor c, TimePoint now) {
  ++smsc_.counters_.submit_multi;
  MessageView m;
  m.command_id = h.command_id;
  m.sequence_number = h.sequence_number;
  m.raw = pdu;
  m.service_type = c.cstring();
  m.source = read_address(c);
  const Byte n = c.u8();
  dests_.clear();
  Cardinal st = n == 0 ? status::invalid_num_dests : status::ok;
  for (Byte i = 0; i < n && st == status::ok; ++i) {
    Destination d;
    d.flag = c.u8();
    if (d.flag == 1) d.address = read_address(c);
    else if (d.flag == 2) d.dl_name = c.cstring();
    else st = status::invalid_dest_flag;  // the rest of the body cannot be located
    dests_.push_back(d);
  }
  if (st == status::ok) {
    read_message_tail(c, m);
    m.optional = c.rest();
    m.destinations = dests_;
    st = screen(m);
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
  Byte failed = 0;
  for (const Destination& d : dests_) {
    const Address a = d.flag == 2 ? Address{0, 0, d.dl_name} : d.address;
    std::uint64_t id = 0;
    const Cardinal r = store(m, a, text, now, id);
    results_.push_back(r);
    if (r != status::ok) ++failed;
    else if (!any) first = id, any = true;
  }
  const std::size_t start = open_pdu(command_id::submit_multi_resp, status::ok, h.sequence_number);
  if (any) smsc_.ids_.append(out_, first);
  out_.push_back('\0');
  codec::put_u8(out_, failed);
  for (std::size_t i = 0; i < dests_.size(); ++i) {
    if (results_[i] == status::ok) continue;
    const Destination& d = dests_[i];
    if (d.flag == 2) {
      codec::put_u8(out_, 0);
      codec::put_u8(out_, 0);
      codec::put_cstring(out_, d.dl_name);
    } else {
      codec::put_u8(out_, d.address.ton);
      codec::put_u8(out_, d.address.npi);
      codec::put_cstring(out_, d.address.addr);
    }
    codec::put_u32(out_, results_[i]);
  }
  close_pdu(start, true, now);
}

void Session::on_data_sm(const codec::Header& h, std::string_view pdu, codec::Cursor c, TimePoint now) {
  ++smsc_.counters_.data_sm;
  MessageView m;
  m.command_id = h.command_id;
  m.sequence_number = h.sequence_number;
  m.raw = pdu;
  m.service_type = c.cstring();
  m.source = read_address(c);
  Destination d;
  d.address = read_address(c);
  m.esm_class = c.u8();
  m.registered_delivery = c.u8();
  m.data_coding = c.u8();
  m.optional = c.rest();
  accept_single(m, d, command_id::data_sm_resp, now);
}

void Session::on_query_sm(const codec::Header& h, codec::Cursor c) {
  ++smsc_.counters_.query_sm;
  const std::string_view text = c.cstring();
  const auto id = smsc_.ids_.parse(text);
  const StoredMessage* m = id ? smsc_.store_.find(*id) : nullptr;
  if (m == nullptr) {
    respond_header_only(command_id::query_sm_resp, status::query_failed, h.sequence_number, now_);
    return;
  }
  const std::size_t start = open_pdu(command_id::query_sm_resp, status::ok, h.sequence_number);
  codec::put_cstring(out_, text);
  if (is_final(m->state)) append_absolute_time(out_, smsc_.wall(m->done));
  out_.push_back('\0');
  codec::put_u8(out_, static_cast<Byte>(m->state));
  codec::put_u8(out_, m->error);
  close_pdu(start, true, now_);
}

void Session::on_cancel_sm(const codec::Header& h, codec::Cursor c, TimePoint now) {
  ++smsc_.counters_.cancel_sm;
  c.cstring();  // service_type: messages are not told apart by it here
  const std::string_view text = c.cstring();
  const Address source = read_address(c);
  const Address dest = read_address(c);
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

void Session::on_replace_sm(const codec::Header& h, codec::Cursor c) {
  ++smsc_.counters_.replace_sm;
  const std::string_view text = c.cstring();
  read_address(c);  // source
  c.cstring();      // schedule_delivery_time
  c.cstring();      // validity_period
  const Byte registered_delivery = c.u8();
  c.u8();  // sm_default_msg_id
  const Byte len = c.u8();
  const std::string_view sm = c.octets(len);
  const auto id = smsc_.ids_.parse(text);
  StoredMessage* m = id ? smsc_.store_.find(*id) : nullptr;
  Cardinal st = status::replace_failed;
  if (m != nullptr && !is_final(m->state)) {
    m->text.assign(sm);
    m->registered_delivery = registered_delivery;
    st = status::ok;
  }
  respond_header_only(command_id::replace_sm_resp, st, h.sequence_number, now_);
}

void Session::on_response(const codec::Header& h) {
  ++smsc_.counters_.responses_in;
  const auto it = outstanding_.find(h.sequence_number);
  if (it == outstanding_.end()) ++smsc_.counters_.unmatched_responses;
  else outstanding_.erase(it);
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

Cardinal Session::send_deliver_sm(const Originated& m, TimePoint now) {
  std::string body;
  codec::put_cstring(body, m.service_type);
  codec::put_u8(body, m.source_ton);
  codec::put_u8(body, m.source_npi);
  codec::put_cstring(body, m.source);
  codec::put_u8(body, m.dest_ton);
  codec::put_u8(body, m.dest_npi);
  codec::put_cstring(body, m.destination);
  codec::put_u8(body, m.esm_class);
  codec::put_u8(body, m.protocol_id);
  codec::put_u8(body, m.priority_flag);
  codec::put_cstring(body, "");  // schedule_delivery_time
  codec::put_cstring(body, "");  // validity_period
  codec::put_u8(body, m.registered_delivery);
  codec::put_u8(body, 0);  // replace_if_present_flag
  codec::put_u8(body, m.data_coding);
  codec::put_u8(body, 0);  // sm_default_msg_id
  const std::string_view text = std::string_view(m.text).substr(0, 255);
  codec::put_u8(body, static_cast<Byte>(text.size()));
  codec::put_octets(body, text);
  codec::put_octets(body, m.optional);
  ++smsc_.counters_.deliver_sm_sent;
  return originate(command_id::deliver_sm, body, now);
}

Cardinal Session::send_data_sm(const Originated& m, TimePoint now) {
  std::string body;
  codec::put_cstring(body, m.service_type);
  codec::put_u8(body, m.source_ton);
  codec::put_u8(body, m.source_npi);
  codec::put_cstring(body, m.source);
  codec::put_u8(body, m.dest_ton);
  codec::put_u8(body, m.dest_npi);
  codec::put_cstring(body, m.destination);
  codec::put_u8(body, m.esm_class);
  codec::put_u8(body, m.registered_delivery);
  codec::put_u8(body, m.data_coding);
  TOPData_SM tlvs;
  tlvs.message_payload.Field = true;
  tlvs.message_payload.Value = m.text.substr(0, tlv::max_value_length);
  tlv::append(body, tlvs);
  codec::put_octets(body, m.optional);
  ++smsc_.counters_.data_sm_sent;
  return originate(command_id::data_sm, body, now);
}

// ---- output and fault modes --------------------------------------------------------

std::size_t Session::open_pdu(Cardinal id, Cardinal st, Cardinal seq) {
  const std::size_t start = out_.size();
  codec::put_u32(out_, 0);
  codec::put_u32(out_, id);
  codec::put_u32(out_, st);
  codec::put_u32(out_, seq);
  return start;
}

void Session::close_pdu(std::size_t start, bool response, TimePoint now) {
  if (output_closed_) {
    out_.resize(start);
    return;
  }
  const Config& cfg = smsc_.config_;
  codec::store_u32(out_, start, static_cast<Cardinal>(out_.size() - start));
  ++smsc_.counters_.pdus_out;
  const std::uint64_t index = pdus_out_++;
  const bool cut = (cfg.cut_pdu_index >= 0 && index == static_cast<std::uint64_t>(cfg.cut_pdu_index)) ||
                   (response && random_cut_);
  const auto delay = response ? std::max(cfg.response_delay, random_delay_) : std::chrono::milliseconds(0);
  if (delay.count() > 0) {
    delayed_.push_back({now + delay, out_.substr(start), cut});
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
    delayed_.pop_front();
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
