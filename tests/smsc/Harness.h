// Drives a Session of the simulator with no network: octets in, octets out,
// time supplied by the test.
#pragma once

#include <chrono>
#include <cstdio>
#include <ostream>
#include <string>
#include <string_view>

#include "codec/Pdu.h"
#include "common/Hex.h"
#include "tlv/Tlv.h"
#include "tools/smsc/Smsc.h"

namespace velmor::smsc::test {

using velmor::test::hex;
using velmor::test::to_hex;
using namespace std::chrono_literals;

// A request or response from its header values and hex body; command_length
// is computed, so only the body needs writing out.
inline std::string pdu(Cardinal id, Cardinal seq, std::string_view body_hex = "", Cardinal status = 0) {
  std::string out;
  codec::open_pdu(out, id, status, seq);
  out += hex(body_hex);
  codec::end_pdu(out);
  return out;
}

// Hex of a C-Octet String.
inline std::string cstr(std::string_view s) {
  std::string out;
  char buf[4];
  for (unsigned char c : s) {
    std::snprintf(buf, sizeof buf, "%02X", c);
    out += buf;
  }
  return out + "00";
}

// bind_transceiver "esme"/"pw", version 0x34.
inline std::string bind_trx(Cardinal seq = 1, std::string_view system_id = "esme", std::string_view pw = "pw",
                            Cardinal id = command_id::bind_transceiver) {
  return pdu(id, seq, cstr(system_id) + cstr(pw) + "00 34 00 00 00");
}

// submit_sm 1/1/"123" -> 1/1/dest with the given registered_delivery and text.
inline std::string submit(Cardinal seq, std::string_view dest = "456", std::string_view text = "hello",
                          int registered_delivery = 0) {
  char rd[3];
  std::snprintf(rd, sizeof rd, "%02X", registered_delivery);
  char len[3];
  std::snprintf(len, sizeof len, "%02X", static_cast<unsigned>(text.size()));
  std::string t = cstr(text);
  t.resize(t.size() - 2);  // short_message is counted, not NUL-terminated
  return pdu(command_id::submit_sm, seq,
             "00 0101" + cstr("123") + "0101" + cstr(dest) + "000000 00 00" + rd + "000000" + len + t);
}

// A submit_sm with every field a lifecycle test varies.
struct SubmitFields {
  std::string_view dest = "456";
  Byte esm_class = 0;
  std::string_view schedule, validity;
  Byte registered_delivery = 0;
  Byte data_coding = 0;
  std::string_view short_message = "hello";
};

inline std::string submit_with(Cardinal seq, const SubmitFields& f) {
  std::string body("\0\1\1", 3);
  body.append("123").push_back('\0');
  body.append("\1\1", 2).append(f.dest).push_back('\0');
  body.push_back(static_cast<char>(f.esm_class));
  body.append(2, '\0');  // protocol_id, priority_flag
  body.append(f.schedule).push_back('\0');
  body.append(f.validity).push_back('\0');
  body.push_back(static_cast<char>(f.registered_delivery));
  body.push_back('\0');  // replace_if_present_flag
  body.push_back(static_cast<char>(f.data_coding));
  body.push_back('\0');  // sm_default_msg_id
  body.push_back(static_cast<char>(f.short_message.size()));
  body.append(f.short_message);
  return pdu(command_id::submit_sm, seq, to_hex(body));
}

// A deliver_sm's fields a receipt test looks at.
struct DecodedDeliver {
  Cardinal command_id = 0, seq = 0;
  Byte esm_class = 0;
  std::string source, destination, text;
  TOPDeliver_SM tlvs;
};

inline DecodedDeliver decode_deliver(std::string_view pdu) {
  codec::Cursor c(pdu);
  const codec::Header h = codec::read_header(c);
  DecodedDeliver d;
  d.command_id = h.command_id;
  d.seq = h.sequence_number;
  c.cstring();
  c.u8();
  c.u8();
  d.source = c.cstring();
  c.u8();
  c.u8();
  d.destination = c.cstring();
  d.esm_class = c.u8();
  c.u8();
  c.u8();
  c.cstring();
  c.cstring();
  c.u8();
  c.u8();
  c.u8();
  c.u8();
  d.text = c.octets(c.u8());
  tlv::decode(c.rest(), d.tlvs);
  return d;
}

// 2024-03-05 13:07:00 UTC.
inline std::chrono::system_clock::time_point wall_start() {
  using namespace std::chrono;
  return sys_days{year{2024} / 3 / 5} + 13h + 7min;
}

// Ids from 1, so expected responses can spell them out.
inline Config test_config() {
  Config c;
  c.first_message_id = 1;
  return c;
}

struct Harness {
  Smsc smsc;
  Session* s;
  TimePoint t0 = TimePoint{} + 1000h;

  explicit Harness(Config c = test_config()) : smsc(std::move(c)) {
    s = &smsc.open_session("test");
    smsc.set_wall_clock(t0, wall_start());
  }

  // Feeds at t0 + at, then returns everything ready to write at that time.
  std::string feed(std::string_view in, std::chrono::milliseconds at = 0ms) {
    s->feed(in, t0 + at);
    return take(at);
  }
  std::string take(std::chrono::milliseconds at = 0ms) {
    Flush f;
    s->take(t0 + at, f);
    last_close = f.close;
    return f.octets;
  }
  void tick(std::chrono::milliseconds at) { smsc.tick(t0 + at); }
  // Binds the session as a transceiver and drops the bind response.
  Harness& bound() {
    feed(bind_trx());
    return *this;
  }

  bool last_close = false;
};

namespace {
// Table rows print as their name in test listings.
template <class Row>
requires requires(const Row& r) { r.name; }
void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }
}  // namespace

}  // namespace velmor::smsc::test
