#include "sms/Reassembly.h"

#include "sms/Gsm7.h"

namespace velmor::sms {
namespace {

struct Concat {
  ConcatKind kind = ConcatKind::None;
  std::uint16_t reference = 0;
  std::uint8_t total = 1;
  std::uint8_t seq = 1;
};

struct Parsed {
  Malformed malformed = Malformed::None;
  Concat concat;
  std::string_view user_data;
  unsigned fill_bits = 0;
};

// Walks the UDH, skipping IEs other than concatenation; the last concatenation IE wins.
Parsed ParseUdh(std::string_view content) {
  Parsed p;
  if (content.empty()) {
    p.malformed = Malformed::UdhPastEnd;
    return p;
  }
  const std::size_t end = 1 + static_cast<std::uint8_t>(content[0]);
  if (end > content.size()) {
    p.malformed = Malformed::UdhPastEnd;
    return p;
  }
  auto at = [&](std::size_t i) { return static_cast<std::uint8_t>(content[i]); };
  for (std::size_t i = 1; i < end;) {
    if (i + 2 > end || i + 2 + at(i + 1) > end) {
      p.malformed = Malformed::UdhPastEnd;
      return p;
    }
    const std::uint8_t iei = at(i);
    const std::uint8_t len = at(i + 1);
    const std::size_t v = i + 2;
    if (iei == 0x00 || iei == 0x08) {
      if (len != (iei == 0x00 ? 3 : 4)) {
        p.malformed = Malformed::BadConcatIe;
        return p;
      }
      if (iei == 0x00) {
        p.concat = {ConcatKind::Udh8, at(v), at(v + 1), at(v + 2)};
      } else {
        p.concat = {ConcatKind::Udh16, static_cast<std::uint16_t>((at(v) << 8) | at(v + 1)), at(v + 2), at(v + 3)};
      }
    }
    i = v + len;
  }
  p.user_data = content.substr(end);
  p.fill_bits = static_cast<unsigned>((7 - (end * 8) % 7) % 7);
  return p;
}

}  // namespace

Reassembler::Reassembler(ReassemblyOptions options) : options_(options) {}

DroppedMessage Reassembler::Drop(std::map<Key, Entry>::iterator it, DropReason reason) {
  DroppedMessage d;
  d.reason = reason;
  d.source = it->first.source;
  d.destination = it->first.destination;
  d.kind = it->first.kind;
  d.reference = it->first.reference;
  d.total_parts = it->first.total;
  d.data_coding = it->second.data_coding;
  for (std::size_t i = 0; i < it->second.parts.size(); ++i)
    if (it->second.parts[i]) d.parts.emplace_back(static_cast<std::uint8_t>(i + 1), std::move(*it->second.parts[i]));
  pendingOctets_ -= it->second.octets;
  byAge_.erase(it->second.order);
  pending_.erase(it);
  return d;
}

std::vector<DroppedMessage> Reassembler::Expire(TimePoint now) {
  std::vector<DroppedMessage> out;
  while (!byAge_.empty() && byAge_.begin()->first + options_.expiry <= now)
    out.push_back(Drop(pending_.find(byAge_.begin()->second), DropReason::Expired));
  return out;
}

FeedResult Reassembler::Feed(const InboundPart& in, TimePoint now) {
  FeedResult r;
  r.dropped = Expire(now);

  const std::string_view content =
      in.message_payload ? std::string_view(*in.message_payload) : std::string_view(in.short_message);
  Parsed p;
  if (in.esm_class & kEsmClassUdhi) {
    p = ParseUdh(content);
    if (p.malformed != Malformed::None) {
      r.status = FeedStatus::Malformed;
      r.malformed = p.malformed;
      return r;
    }
  } else {
    p.user_data = content;
    if (in.sar)
      p.concat = {ConcatKind::Sar, in.sar->sar_msg_ref_num, in.sar->sar_total_segments, in.sar->sar_segment_seqnum};
  }
  const Concat& c = p.concat;
  if (c.total == 0)
    r.malformed = Malformed::TotalZero;
  else if (c.seq == 0)
    r.malformed = Malformed::SeqZero;
  else if (c.seq > c.total)
    r.malformed = Malformed::SeqAboveTotal;
  if (r.malformed != Malformed::None) {
    r.status = FeedStatus::Malformed;
    return r;
  }

  Octets data = (options_.gsm_packed && AlphabetOf(in.data_coding) == Alphabet::Gsm7)
                    ? UnpackSeptets(p.user_data, p.fill_bits)
                    : Octets(p.user_data);
  const auto esm = static_cast<std::uint8_t>(in.esm_class & ~kEsmClassUdhi);

  if (c.total == 1) {
    r.status = FeedStatus::Complete;
    r.message = Message{in.source, in.destination, esm, in.data_coding, std::move(data), c.kind, c.reference, 1};
    return r;
  }

  Key key{in.source, in.destination, c.kind, c.reference, c.total};
  auto it = pending_.find(key);
  if (it != pending_.end() && it->second.parts[c.seq - 1]) {
    r.status = FeedStatus::Duplicate;
    return r;
  }

  // Make room: oldest partials go first, never the one this part belongs to.
  auto over_limit = [&] {
    const bool new_entry = it == pending_.end();
    return (new_entry && pending_.size() >= options_.max_pending) ||
           pendingOctets_ + data.size() > options_.max_pending_octets;
  };
  for (auto age = byAge_.begin(); age != byAge_.end() && over_limit();) {
    auto victim = pending_.find(age->second);
    ++age;
    if (victim == it) continue;
    r.dropped.push_back(Drop(victim, DropReason::Evicted));
  }
  if (it == pending_.end() && options_.max_pending == 0) {
    // Nothing may be held: the part is handed straight back.
    DroppedMessage d{DropReason::Evicted, in.source, in.destination, c.kind, c.reference, c.total, in.data_coding, {}};
    d.parts.emplace_back(c.seq, std::move(data));
    r.dropped.push_back(std::move(d));
    r.status = FeedStatus::Pending;
    return r;
  }

  if (it == pending_.end()) {
    it = pending_.emplace(key, Entry{}).first;
    it->second.first_seen = now;
    it->second.esm_class = esm;
    it->second.data_coding = in.data_coding;
    it->second.parts.resize(c.total);
    it->second.order = byAge_.emplace(now, key);
  }
  Entry& e = it->second;
  if (c.seq == 1) {  // the first part's header fields describe the message
    e.esm_class = esm;
    e.data_coding = in.data_coding;
  }
  e.octets += data.size();
  pendingOctets_ += data.size();
  e.parts[c.seq - 1] = std::move(data);
  ++e.received;

  if (e.received < c.total) {
    r.status = FeedStatus::Pending;
    return r;
  }
  Message m{key.source, key.destination, e.esm_class, e.data_coding, {}, c.kind, c.reference, c.total};
  m.octets.reserve(e.octets);
  for (auto& part : e.parts) m.octets += *part;
  pendingOctets_ -= e.octets;
  byAge_.erase(e.order);
  pending_.erase(it);
  r.status = FeedStatus::Complete;
  r.message = std::move(m);
  return r;
}

}  // namespace velmor::sms
