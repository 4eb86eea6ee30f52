// The 16-octet SMPP 3.4 header, the sequence-number rules and the command
// identifiers. Pure functions: the sequence counter itself lives in the
// component, which owns the only state.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "codec/Codec.h"

namespace velmor {

// command_id values, named after their PDUs.
namespace command_id {
inline constexpr Cardinal generic_nack = 0x80000000;
inline constexpr Cardinal bind_receiver = 0x00000001;
inline constexpr Cardinal bind_receiver_resp = 0x80000001;
inline constexpr Cardinal bind_transmitter = 0x00000002;
inline constexpr Cardinal bind_transmitter_resp = 0x80000002;
inline constexpr Cardinal query_sm = 0x00000003;
inline constexpr Cardinal query_sm_resp = 0x80000003;
inline constexpr Cardinal submit_sm = 0x00000004;
inline constexpr Cardinal submit_sm_resp = 0x80000004;
inline constexpr Cardinal deliver_sm = 0x00000005;
inline constexpr Cardinal deliver_sm_resp = 0x80000005;
inline constexpr Cardinal unbind = 0x00000006;
inline constexpr Cardinal unbind_resp = 0x80000006;
inline constexpr Cardinal replace_sm = 0x00000007;
inline constexpr Cardinal replace_sm_resp = 0x80000007;
inline constexpr Cardinal cancel_sm = 0x00000008;
inline constexpr Cardinal cancel_sm_resp = 0x80000008;
inline constexpr Cardinal bind_transceiver = 0x00000009;
inline constexpr Cardinal bind_transceiver_resp = 0x80000009;
inline constexpr Cardinal outbind = 0x0000000B;
inline constexpr Cardinal enquire_link = 0x00000015;
inline constexpr Cardinal enquire_link_resp = 0x80000015;
inline constexpr Cardinal submit_multi = 0x00000021;
inline constexpr Cardinal submit_multi_resp = 0x80000021;
inline constexpr Cardinal alert_notification = 0x00000102;
inline constexpr Cardinal data_sm = 0x00000103;
inline constexpr Cardinal data_sm_resp = 0x80000103;
}  // namespace command_id

namespace codec {

inline constexpr std::size_t header_size = 16;

// Largest sequence number the protocol allows; the counter wraps to 1 past it.
inline constexpr Cardinal max_sequence = 0x7FFFFFFF;

// The number that follows `last` (0 before the first PDU): 1, 2, ...
// 0x7FFFFFFF, then 1 again. 0 is never issued.
constexpr Cardinal next_sequence(Cardinal last) { return last >= max_sequence ? 1 : last + 1; }

// The sequence number a response carries: the request's, or 1 for a value
// outside the protocol's range.
constexpr Cardinal response_sequence(Cardinal seq) { return seq > max_sequence ? 1 : seq; }

struct Header {
  Cardinal command_length = 0;
  Cardinal command_id = 0;
  Cardinal command_status = 0;
  Cardinal sequence_number = 0;
};

// Reads the four header fields from the front of a PDU; fields with no octets
// left read as 0 and a partial field takes the octets present.
inline Header read_header(Cursor& c) {
  Header h;
  h.command_length = c.u32();
  h.command_id = c.u32();
  h.command_status = c.u32();
  h.sequence_number = c.u32();
  return h;
}

// Starts a PDU in `out` (which is cleared): a header whose command_length is
// patched by end_pdu once the body is appended.
inline void begin_pdu(std::string& out, Cardinal id, Cardinal status, Cardinal seq,
                      std::size_t body_hint = 0) {
  out.clear();
  out.reserve(header_size + body_hint);
  out.resize(header_size);
  Writer w(out.data());
  w.u32(0);
  w.u32(id);
  w.u32(status);
  w.u32(seq);
}

// Sizes a PDU begun by begin_pdu for a body of exactly body_size octets and
// returns the writer that fills it; end_pdu then patches command_length.
inline Writer body_writer(std::string& out, std::size_t body_size) {
  const std::size_t at = out.size();
  out.resize(at + body_size);
  return Writer(out.data() + at);
}

inline void end_pdu(std::string& out) { store_u32(out, 0, static_cast<Cardinal>(out.size())); }

// Header + mandatory + optional in one string; command_length counts all.
AnsiString build_pdu(Cardinal id, Cardinal status, Cardinal seq, std::string_view mandatory,
                     std::string_view optional);

}  // namespace codec
}  // namespace velmor
