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
#include "tools/smsc/Smsc.h"

namespace velmor::smsc::test {

using velmor::test::hex;
using velmor::test::to_hex;
using namespace std::chrono_literals;

// A request or response from its header values and hex body; command_length
// is computed, so only the body needs writing out.
inline std::string pdu(Cardinal id, Cardinal seq, std::string_view body_hex = "", Cardinal status = 0) {
  std::string out;
  const std::string body = hex(body_hex);
  codec::put_u32(out, static_cast<Cardinal>(16 + body.size()));
  codec::put_u32(out, id);
  codec::put_u32(out, status);
  codec::put_u32(out, seq);
  out += body;
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
void PrintTo(const Row& row, std::ostream* os) {
  *os << row.name;
}
}  // namespace

}  // namespace velmor::smsc::test
