// The machine's octets: requests built from their structs, the PDUs it
// answers with, and the responses and messages it reads.
#include <algorithm>

#include "component/BindType.h"
#include "pdu/Body.h"
#include "session/detail/Machine.h"
#include "tlv/Tlv.h"

namespace velmor::session::detail {
namespace {

using pdu::Address;

inline AnsiString str(std::string_view v) { return AnsiString(v.data(), v.size()); }

constexpr std::size_t kMaxShortMessage = TVelmorSMPPDemo::MaxShortMessage;
constexpr std::size_t kMaxDestinations = TVelmorSMPPDemo::MaxDestinations;

pdu::MessageFields fields(Byte esm_class, Byte protocol_id, Byte priority_flag, const std::string& schedule,
                          const std::string& validity, Byte registered_delivery, Byte replace_if_present_flag,
                          Byte data_coding, Byte sm_default_msg_id, const std::string& short_message) {
  return {esm_class,         protocol_id,         priority_flag,           schedule,
          validity,          registered_delivery, replace_if_present_flag, data_coding,
          sm_default_msg_id, {0, short_message}};
}

// Built with sequence_number 0: each send stamps its own. The slot's buffer
// is sized once and every octet written, so a buffer reused for PDUs of one
// size is neither cleared nor filled twice.
template <class Body>
void build(std::string& out, std::type_identity_t<pdu::id_for<Body>> id, const Body& b) {
  const std::size_t size = codec::header_size + pdu::size(b);
  out.resize(size);
  codec::Writer w(out.data(), size);
  codec::write_header(w, {static_cast<Cardinal>(size), id.value(), 0, 0});
  pdu::write(w, b);
}

// Collects the unsuccessful destinations of a submit_multi_resp.
struct unsuccess_sink {
  Tunsuccess_sme& out;
  void reserve(std::size_t n) { out.reserve(n); }
  void push_back(const pdu::Unsuccess& u) {
    out.push_back({u.address.ton, u.address.npi, str(u.address.addr), u.error_status_code});
  }
};

receipt_note note_for(Byte registered_delivery, std::uint64_t tag, const std::string& destination_addr,
                      std::uint16_t part_index, std::uint16_t part_count) {
  receipt_note n;
  if ((registered_delivery & 0x03) == 0) return n;
  n.wanted = true;
  n.tag = tag;
  n.destination_addr = destination_addr;
  n.part_index = part_index;
  n.part_count = part_count;
  return n;
}

// Whole TLVs to the end: a tag, a length, then that many octets, each time.
bool whole_tlvs(std::string_view s) {
  while (!s.empty()) {
    if (s.size() < 4) return false;
    const std::size_t n = (std::size_t{std::uint8_t(s[2])} << 8) | std::uint8_t(s[3]);
    if (s.size() - 4 < n) return false;
    s.remove_prefix(4 + n);
  }
  return true;
}

}  // namespace

// ---- requests ---------------------------------------------------------------------

// Refused at the call, or built into a slot of its own and queued (or left
// waiting for room in the queue).
template <class Build>
void machine::accept(std::uint32_t key, Cardinal id, milliseconds timeout, time_point now, receipt_note&& note,
                     std::uint16_t part_index, std::uint16_t part_count, Build&& build) {
  if (refused_at_call(key, id, now)) return after(now);
  const bool goes_out_now = bound() && queue_.empty() && waiting_.empty() && in_flight_ < window_;
  bool wait = false;
  if (!goes_out_now && (queue_.size() >= queue_limit_ || !waiting_.empty())) {
    if (policy_ == queue_policy::fail_at_once) {
      complete_now(key, errc::queue_full);
      return after(now);
    }
    wait = true;
  }
  slot* s = alloc_slot();
  if (!build(s->pdu)) {
    release(s);
    complete_now(key, errc::invalid_argument);
    return after(now);
  }
  s->key = key;
  s->command_id = id;
  s->part_index = part_index;
  s->part_count = part_count;
  s->note = std::move(note);
  s->deadline = now + (timeout.count() > 0 ? timeout : request_timeout_);
  ++held_;
  if (wait) {
    s->at = where::waiting;
    dl_insert(s);
    waiting_.push_back(s);
  } else {
    enqueue(s, now);
  }
  after(now);
}

void machine::request(const submit_sm_request& r, std::uint32_t key, time_point now, std::uint16_t part_index,
                      std::uint16_t part_count) {
  accept(key, command_id::submit_sm, r.timeout, now,
         note_for(r.registered_delivery, r.tag, r.destination_addr, part_index, part_count), part_index, part_count,
         [&](std::string& out) {
           if (r.short_message.size() > kMaxShortMessage || tlv::overlong(r.options) || !whole_tlvs(r.raw_tlvs))
             return false;
           build(out, command_id::submit_sm,
                 pdu::SubmitSm{r.service_type,
                               {r.source_addr_ton, r.source_addr_npi, r.source_addr},
                               {r.dest_addr_ton, r.dest_addr_npi, r.destination_addr},
                               fields(r.esm_class, r.protocol_id, r.priority_flag, r.schedule_delivery_time,
                                      r.validity_period, r.registered_delivery, r.replace_if_present_flag,
                                      r.data_coding, r.sm_default_msg_id, r.short_message),
                               {&r.options, r.raw_tlvs}});
           return true;
         });
}

void machine::request(const submit_multi_request& r, std::uint32_t key, time_point now) {
  accept(key, command_id::submit_multi, r.timeout, now, {}, 0, 1, [&](std::string& out) {
    if (r.dest_address.size() > kMaxDestinations || r.short_message.size() > kMaxShortMessage ||
        tlv::overlong(r.options) || !whole_tlvs(r.raw_tlvs))
      return false;
    std::vector<pdu::Destination> dests;
    dests.reserve(r.dest_address.size());
    for (const auto& e : r.dest_address) {
      pdu::Destination& d = dests.emplace_back();
      d.dest_flag = e.SME_DL ? pdu::Destination::distribution_list : pdu::Destination::sme;
      d.address = {e.dest_addr_ton, e.dest_addr_npi, e.destination_addr_dl_name};
      d.dl_name = e.destination_addr_dl_name;
    }
    build(out, command_id::submit_multi,
          pdu::SubmitMultiT<std::vector<pdu::Destination>>{
              r.service_type,
              {r.source_addr_ton, r.source_addr_npi, r.source_addr},
              {&dests},
              fields(r.esm_class, r.protocol_id, r.priority_flag, r.schedule_delivery_time, r.validity_period,
                     r.registered_delivery, r.replace_if_present_flag, r.data_coding, r.sm_default_msg_id,
                     r.short_message),
              {&r.options, r.raw_tlvs}});
    return true;
  });
}

void machine::request(const data_sm_request& r, std::uint32_t key, time_point now) {
  accept(key, command_id::data_sm, r.timeout, now, note_for(r.registered_delivery, r.tag, r.destination_addr, 0, 1), 0,
         1, [&](std::string& out) {
           if (tlv::overlong(r.options) || !whole_tlvs(r.raw_tlvs)) return false;
           build(out, command_id::data_sm,
                 pdu::DataSm{r.service_type,
                             {r.source_addr_ton, r.source_addr_npi, r.source_addr},
                             {r.dest_addr_ton, r.dest_addr_npi, r.destination_addr},
                             r.esm_class,
                             r.registered_delivery,
                             r.data_coding,
                             {&r.options, r.raw_tlvs}});
           return true;
         });
}

void machine::request(const query_sm_request& r, std::uint32_t key, time_point now) {
  accept(key, command_id::query_sm, r.timeout, now, {}, 0, 1, [&](std::string& out) {
    build(out, command_id::query_sm, pdu::QuerySm{r.message_id, {r.source_addr_ton, r.source_addr_npi, r.source_addr}});
    return true;
  });
}

void machine::request(const cancel_sm_request& r, std::uint32_t key, time_point now) {
  accept(key, command_id::cancel_sm, r.timeout, now, {}, 0, 1, [&](std::string& out) {
    build(out, command_id::cancel_sm,
          pdu::CancelSm{r.service_type,
                        r.message_id,
                        {r.source_addr_ton, r.source_addr_npi, r.source_addr},
                        {r.dest_addr_ton, r.dest_addr_npi, r.destination_addr}});
    return true;
  });
}

void machine::request(const replace_sm_request& r, std::uint32_t key, time_point now) {
  accept(key, command_id::replace_sm, r.timeout, now, {}, 0, 1, [&](std::string& out) {
    if (r.short_message.size() > kMaxShortMessage) return false;
    build(out, command_id::replace_sm,
          pdu::ReplaceSm{r.message_id,
                         {r.source_addr_ton, r.source_addr_npi, r.source_addr},
                         r.schedule_delivery_time,
                         r.validity_period,
                         r.registered_delivery,
                         r.sm_default_msg_id,
                         {0, r.short_message}});
    return true;
  });
}

void machine::request(const enquire_link_request& r, std::uint32_t key, time_point now) {
  accept(key, command_id::enquire_link, r.timeout, now, {}, 0, 1, [&](std::string& out) {
    build(out, command_id::enquire_link, pdu::Empty{});
    return true;
  });
}

// ---- what goes out ----------------------------------------------------------------

Cardinal machine::next_seq() {
  seq_ = codec::next_sequence(seq_);
  return seq_;
}

std::uint32_t machine::put(std::string_view pdu) {
  const auto at = static_cast<std::uint32_t>(wire_.size());
  wire_.append(pdu);
  return at;
}

void machine::write(Cardinal id, Cardinal status, Cardinal seq, std::string_view body) {
  const auto at = static_cast<std::uint32_t>(wire_.size());
  const std::size_t n = codec::header_size + body.size();
  wire_.resize(at + n);
  codec::Writer w(wire_.data() + at, n);
  codec::write_header(w, {static_cast<Cardinal>(n), id, status, seq});
  w.octets(body);
  action& a = out_.emplace_back();
  a.kind = act::write;
  a.command_id = id;
  a.off = at;
  a.len = static_cast<std::uint32_t>(n);
}

void machine::write_request(slot* s) {
  action& a = out_.emplace_back();
  a.kind = act::write;
  a.seq = s->seq;
  a.command_id = s->command_id;
  a.off = put(s->pdu);
  a.len = static_cast<std::uint32_t>(s->pdu.size());
}

void machine::write_bind() {
  const Cardinal id = BindCommand(bind_type_);
  bind_seq_ = next_seq();
  std::string pdu;
  pdu::build(
      pdu, pdu::id_for<pdu::Bind>::checked(id), 0, bind_seq_,
      pdu::Bind{system_id_, password_, system_type_, codec::interface_version, {addr_ton_, addr_npi_, address_range_}});
  action& a = out_.emplace_back();
  a.kind = act::write;
  a.command_id = id;
  a.off = put(pdu);
  a.len = static_cast<std::uint32_t>(pdu.size());
}

void machine::answer_inbound(Cardinal id, Cardinal seq, std::uint32_t status, std::string_view message_id) {
  ++counters_.inbound_answered;
  std::string body;
  body.reserve(message_id.size() + 1);
  body.append(message_id);
  body.push_back('\0');
  write(codec::response_id(id), status, codec::response_sequence(seq), body);
}

// ---- what comes in ----------------------------------------------------------------

void machine::decode_response(Cardinal resp_id, std::string_view body, response& r) {
  switch (resp_id) {
    case command_id::submit_sm_resp:
    case command_id::data_sm_resp: {
      pdu::MessageIdResp m;
      pdu::read(body, m);
      r.message_id = str(m.message_id);
      return;
    }
    case command_id::submit_multi_resp: {
      unsuccess_sink sink{r.unsuccess_sme};
      pdu::SubmitMultiRespT<unsuccess_sink> m{{}, {&sink}};
      pdu::read(body, m);
      r.message_id = str(m.message_id);
      return;
    }
    case command_id::query_sm_resp: {
      pdu::QuerySmResp m;
      pdu::read(body, m);
      r.message_id = str(m.message_id);
      r.final_date = str(m.final_date);
      r.message_state = m.message_state;
      r.error_code = m.error_code;
      return;
    }
    default: return;
  }
}

// A deliver_sm or data_sm while the session receives: a delivery receipt or
// notification goes to the receipt code, anything else to the application.
// Either way the answer waits for answer(), at most response_deadline.
void machine::on_message(Cardinal id, Cardinal seq, std::string_view body, time_point now) {
  metrics_.on_received(id);
  inbound_message& m = inbound_.emplace_back();
  std::optional<sms::Receipt>& receipt = receipts_.emplace_back();
  m.command_id = id;
  m.sequence_number = seq;
  std::string_view text;
  sms::ReceiptTlvs tlvs;
  auto take = [&](const auto& d, const auto& options) {
    m.service_type = str(d.service_type);
    m.source_addr_ton = d.source.ton;
    m.source_addr_npi = d.source.npi;
    m.source_addr = str(d.source.addr);
    m.dest_addr_ton = d.dest.ton;
    m.dest_addr_npi = d.dest.npi;
    m.destination_addr = str(d.dest.addr);
    if (options.receipted_message_id.Field) tlvs.receipted_message_id = options.receipted_message_id.Value;
    if (options.message_state.Field) tlvs.message_state = options.message_state.Value;
  };
  if (id == command_id::deliver_sm) {
    pdu::DeliverSm d;
    pdu::read(body, d);
    m.deliver_options = tlv::decoded<TOPDeliver_SM>(d.optional.octets);
    take(d, m.deliver_options);
    m.esm_class = d.message.esm_class;
    m.protocol_id = d.message.protocol_id;
    m.priority_flag = d.message.priority_flag;
    m.registered_delivery = d.message.registered_delivery;
    m.data_coding = d.message.data_coding;
    m.short_message = str(d.message.short_message.text);
    text = m.short_message;
  } else {
    pdu::DataSm d;
    pdu::read(body, d);
    m.data_options = tlv::decoded<TOPData_SM>(d.optional.octets);
    take(d, m.data_options);
    m.esm_class = d.esm_class;
    m.registered_delivery = d.registered_delivery;
    m.data_coding = d.data_coding;
    if (m.data_options.message_payload.Field) text = m.data_options.message_payload.Value;
  }
  if (notification(m.esm_class)) receipt = sms::ParseReceipt(text, tlvs);
  const std::uint32_t ticket = next_inbound_++;
  inbound_waits_.push_back({ticket, id, seq, connection_, now + response_deadline_, false});
  action& a = out_.emplace_back();
  a.kind = receipt ? act::receipt : act::message;
  a.inbound = ticket;
  a.off = static_cast<std::uint32_t>(inbound_.size() - 1);
}

void machine::answer(std::uint32_t ticket, std::uint32_t status, std::string_view message_id, time_point now) {
  const auto it = std::lower_bound(inbound_waits_.begin(), inbound_waits_.end(), ticket,
                                   [](const inbound_wait& w, std::uint32_t t) { return w.id < t; });
  if (it == inbound_waits_.end() || it->id != ticket || it->answered) return;
  it->answered = true;
  if (it->connection == connection_ && tcp_up_ && !closing_ && !retired_)
    answer_inbound(it->command_id, it->seq, status, message_id);
  while (!inbound_waits_.empty() && inbound_waits_.front().answered) inbound_waits_.pop_front();
  after(now);
}

}  // namespace velmor::session::detail
