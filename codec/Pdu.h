// The 16-octet SMPP 3.4 header, the sequence-number rules and the command
// identifiers (tabled in codec/Commands.h). Pure functions: the sequence
// counter itself lives in the component, which owns the only state.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "codec/Codec.h"
#include "codec/Commands.h"

namespace velmor {

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

// The one header writer: the four fields through w, which must have room
// for header_size octets. Every PDU of the library (and of its tools and
// tests) gets its header here.
inline void write_header(Writer& w, const Header& h) {
  w.u32(h.command_length);
  w.u32(h.command_id);
  w.u32(h.command_status);
  w.u32(h.sequence_number);
}

// Appends a header with command_length 0 to out and returns the offset at
// which the PDU starts; end_pdu(out, start) patches command_length once the
// body is appended. Several PDUs can so be built one after another in one
// buffer.
inline std::size_t open_pdu(std::string& out, Cardinal id, Cardinal status, Cardinal seq) {
  const std::size_t start = out.size();
  out.resize(start + header_size);
  Writer w(out.data() + start, header_size);
  write_header(w, {0, id, status, seq});
  return start;
}

// command_length of the PDU that starts at `start` and runs to the end of out.
inline void end_pdu(std::string& out, std::size_t start) {
  store_u32(out, start, static_cast<Cardinal>(out.size() - start));
}

// Starts a PDU in `out` (which is cleared): a header whose command_length is
// patched by end_pdu once the body is appended.
inline void begin_pdu(std::string& out, Cardinal id, Cardinal status, Cardinal seq, std::size_t body_hint = 0) {
  out.clear();
  out.reserve(header_size + body_hint);
  open_pdu(out, id, status, seq);
}

// Sizes a PDU begun by begin_pdu for a body of exactly body_size octets and
// returns the writer that fills it; end_pdu then patches command_length.
inline Writer body_writer(std::string& out, std::size_t body_size) {
  const std::size_t at = out.size();
  out.resize(at + body_size);
  return Writer(out.data() + at, body_size);
}

inline void end_pdu(std::string& out) { end_pdu(out, 0); }

// Header + mandatory + optional in one string; command_length counts all.
AnsiString build_pdu(Cardinal id, Cardinal status, Cardinal seq, std::string_view mandatory, std::string_view optional);

}  // namespace codec
}  // namespace velmor
