// The session's protocol machine alone: inputs and time in, actions out; no
// sockets, no clock.
#include <gtest/gtest.h>

#include <map>
#include <optional>

#include "session/detail/Machine.h"
#include "smsc/Harness.h"

namespace velmor::session::test {
namespace {

using detail::act;
using detail::action;
using detail::machine;
using detail::time_point;
using smsc::test::cstr;
using smsc::test::hex;
using smsc::test::pdu;
using smsc::test::to_hex;
using namespace std::chrono_literals;

Cardinal be32(std::string_view s, std::size_t at) {
  return (Cardinal(std::uint8_t(s[at])) << 24) | (Cardinal(std::uint8_t(s[at + 1])) << 16) |
         (Cardinal(std::uint8_t(s[at + 2])) << 8) | Cardinal(std::uint8_t(s[at + 3]));
}

struct written {
  Cardinal id, status, seq;
  std::string octets;
};

// Drives one machine and keeps what its actions said.
struct rig {
  config cfg;
  std::optional<machine> m;
  time_point t{std::chrono::seconds(1000)};
  std::vector<written> writes;
  std::map<std::uint32_t, std::vector<std::error_code>> completed;  // by key
  std::map<std::uint32_t, std::error_code> done;
  std::vector<std::pair<state, std::error_code>> states;
  std::vector<act> inbound;  // message or receipt, in order
  int connects = 0, closes = 0;
  std::uint32_t next_key = 1;

  explicit rig(config c = {}) : cfg(std::move(c)) {
    cfg.random_seed = 1;
    m.emplace(cfg, 1);
  }
  void take() {
    for (std::size_t i = 0; i < m->actions().size(); ++i) {
      action& a = m->actions()[i];
      switch (a.kind) {
        case act::write: {
          const std::string_view o = m->octets(a);
          writes.push_back({be32(o, 4), be32(o, 8), be32(o, 12), std::string(o)});
          break;
        }
        case act::connect: ++connects; break;
        case act::close: ++closes; break;
        case act::complete: completed[a.key].push_back(a.ec); break;
        case act::done: done[a.key] = a.ec; break;
        case act::state: states.emplace_back(a.st, a.ec); break;
        case act::message:
        case act::receipt: inbound.push_back(a.kind); break;
        case act::release: m->released(t); break;
        default: break;
      }
    }
    m->clear_actions();
  }
  void feed(const std::string& octets) {
    m->received(octets, t);
    take();
  }
  void advance(std::chrono::milliseconds d) {
    t += d;
    m->tick(t);
    take();
  }
  // Connects and answers the bind with `status`.
  void bind(Cardinal status = 0) {
    m->connect(0, t);
    take();
    m->link_up(t);
    take();
    ASSERT_FALSE(writes.empty());
    const written b = writes.back();
    feed(pdu(b.id | 0x80000000, b.seq, status ? "" : cstr("SMSC"), status));
  }
  std::uint32_t submit(milliseconds timeout = 0ms) {
    const std::uint32_t k = next_key++;
    submit_sm_request r;
    r.destination_addr = "4670001";
    r.short_message = "hi";
    r.timeout = timeout;
    m->request(r, k, t);
    take();
    return k;
  }
  Cardinal last_seq(Cardinal id) const {
    for (auto it = writes.rbegin(); it != writes.rend(); ++it)
      if (it->id == id) return it->seq;
    return 0;
  }
  std::error_code outcome(std::uint32_t k) const {
    const auto it = completed.find(k);
    EXPECT_TRUE(it != completed.end() && it->second.size() == 1) << "request " << k << " completed other than once";
    return it == completed.end() || it->second.empty() ? std::error_code{} : it->second.front();
  }
};

// A generic_nack never accepts; one without a status gets the session's own.
TEST(Machine, GenericNackFailsTheRequestWhateverItsStatus) {
  for (const Cardinal status : {0x00u, 0x03u, 0x45u}) {
    rig r;
    r.bind();
    const auto k = r.submit();
    r.feed(pdu(command_id::generic_nack, r.last_seq(command_id::submit_sm), "", status));
    EXPECT_EQ(r.outcome(k), status ? smpp_error(status) : make_error_code(errc::nacked)) << status;
    EXPECT_EQ(r.m->counters().ok, 0u);
  }
}

// Optional parameters the records have no member for go out as given, after
// the records' own; octets that are not whole TLVs are refused, nothing sent.
TEST(Machine, RawOptionalParametersFollowTheRecordsByteExact) {
  const std::string head = "00 00 00 00 00 00 31 00  00 00 00 00 00 00 00 00 00  02 68 69";  // submit_sm to "1": "hi"
  struct Case {
    const char* raw;
    bool data_sm;
    const char* body;  // nullptr: refused
  };
  const Case cases[] = {
      {"14 00 00 02 AB CD", false, "02 04 00 02 00 07  14 00 00 02 AB CD"},
      {"14 00 00 02 AB CD  14 01 00 00", false, "02 04 00 02 00 07  14 00 00 02 AB CD  14 01 00 00"},
      {"", false, "02 04 00 02 00 07"},
      {"14 00 00 02 AB CD", true, "02 04 00 02 00 07  14 00 00 02 AB CD"},
      {"14 00 00 03 AB CD", false, nullptr},  // length beyond the octets
      {"14 00 00", true, nullptr},            // a tag and half a length
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.raw);
    rig r;
    r.bind();
    const std::size_t before = r.writes.size();
    if (c.data_sm) {
      data_sm_request q{.destination_addr = "1"};
      q.options.user_message_reference = {true, 7};
      q.raw_tlvs = hex(c.raw);
      r.m->request(q, 9, r.t);
    } else {
      submit_sm_request q{.destination_addr = "1", .short_message = "hi"};
      q.options.user_message_reference = {true, 7};
      q.raw_tlvs = hex(c.raw);
      r.m->request(q, 9, r.t);
    }
    r.take();
    if (!c.body) {
      EXPECT_EQ(r.outcome(9), make_error_code(errc::invalid_argument));
      EXPECT_EQ(r.writes.size(), before);
      continue;
    }
    ASSERT_EQ(r.writes.size(), before + 1);
    const written& w = r.writes.back();
    // data_sm: service_type, source, dest, esm_class, registered_delivery, data_coding.
    const std::string body = hex(c.data_sm ? "00 00 00 00 00 00 31 00 00 00 00" : head) + hex(c.body);
    std::string header = hex("00 00 00 00") + hex(c.data_sm ? "00 00 01 03" : "00 00 00 04") + hex("00 00 00 00");
    header[3] = static_cast<char>(16 + body.size());
    EXPECT_EQ(to_hex(w.octets), to_hex(header + w.octets.substr(12, 4) + body));
  }
}

// Once shutdown is asked for, nothing new goes out: the queue fails at once,
// the window drains, then unbind; every call after gets shutting_down.
TEST(Machine, ShutdownSendsNothingNewAndDrainsOnlyTheWindow) {
  config c;
  c.window = 1;
  rig r(c);
  r.bind();
  const auto in_flight = r.submit(), queued = r.submit();
  const std::size_t writes_before = r.writes.size();
  r.m->shutdown(50, r.t);
  r.take();
  EXPECT_EQ(r.outcome(queued), make_error_code(errc::shutting_down));
  const auto late = r.submit();
  EXPECT_EQ(r.outcome(late), make_error_code(errc::shutting_down));
  EXPECT_EQ(r.writes.size(), writes_before);  // nothing sent
  r.feed(pdu(command_id::submit_sm_resp, r.last_seq(command_id::submit_sm), cstr("id1")));
  EXPECT_FALSE(r.outcome(in_flight));
  ASSERT_EQ(r.writes.back().id, command_id::unbind);
  EXPECT_EQ(r.writes.size(), writes_before + 1);
  r.feed(pdu(command_id::unbind_resp, r.writes.back().seq));
  r.m->link_down(r.t);
  r.take();
  EXPECT_FALSE(r.done.at(50));
  EXPECT_EQ(r.outcome(r.submit()), make_error_code(errc::shutting_down));
}

// Wrong credentials are not retried (unless configured); other refusals back
// off and reconnect.
TEST(Machine, PermanentBindRefusalsStopReconnecting) {
  struct row {
    Cardinal status;
    bool retry_switch;
    bool reconnects;
  };
  for (const row& w : {row{0x0E, false, false}, row{0x0F, false, false}, row{0x53, false, false},
                       row{0x0D, false, true}, row{0x0E, true, true}}) {
    config c;
    c.retry_permanent_bind_failures = w.retry_switch;
    rig r(c);
    r.bind(w.status);
    r.m->link_down(r.t);
    r.take();
    EXPECT_EQ(r.done.at(0), smpp_error(w.status));
    EXPECT_EQ(r.states.back(), std::make_pair(state::closed, smpp_error(w.status)));
    r.advance(200s);
    EXPECT_EQ(r.connects, w.reconnects ? 2 : 1) << std::hex << w.status;
  }
}

// A request the socket refuses fails at once with its own error; any other
// refused write ends the link.
TEST(Machine, RefusedWriteFailsItsRequestAtOnce) {
  rig r;
  r.bind();
  const auto k = r.submit();
  r.m->write_refused(r.last_seq(command_id::submit_sm), command_id::submit_sm, r.t);
  r.take();
  EXPECT_EQ(r.outcome(k), make_error_code(errc::send_queue_full));
  EXPECT_EQ(r.m->in_flight(), 0u);
  r.m->write_refused(0, command_id::deliver_sm_resp, r.t);
  r.take();
  EXPECT_EQ(r.closes, 1);
}

// wait_for_room: a request finding the queue full waits, bounded by its own
// timeout, and goes out in order as room appears.
TEST(Machine, QueuePolicyLetsARequestWaitForRoom) {
  config c;
  c.window = 1;
  c.queue_limit = 1;
  c.when_queue_full = queue_policy::wait_for_room;
  rig r(c);
  r.bind();
  const auto a = r.submit(), b = r.submit(), waits = r.submit(), expires = r.submit(100ms);
  EXPECT_TRUE(r.completed.empty());
  EXPECT_EQ(r.m->queued(), 3u);
  r.advance(150ms);
  EXPECT_EQ(r.outcome(expires), make_error_code(errc::timeout));
  for (const auto k : {a, b, waits}) {
    r.feed(pdu(command_id::submit_sm_resp, r.last_seq(command_id::submit_sm), cstr("m")));
    EXPECT_FALSE(r.outcome(k));
  }
  rig strict;  // the default fails at once
  strict.cfg.window = 1;
  strict.m.emplace(config{.window = 1, .queue_limit = 1}, 1);
  strict.bind();
  strict.submit();
  strict.submit();
  EXPECT_EQ(strict.outcome(strict.submit()), make_error_code(errc::queue_full));
}

// What the SMSC sends, by bind state: answered, refused or handed on.
TEST(Machine, InboundIsAnsweredByTheRulesOfTheBind) {
  const std::string deliver = "00 0101" + cstr("1") + "0101" + cstr("2") + "000000 00 00 00 00 00 00 02 6869";
  const std::string receipt_text = "id:7 sub:001 dlvrd:001 submit date:2401011200 done date:2401011201 stat:ENROUTE";
  auto receipt_body = [&](const char* esm) {
    char len[3];
    std::snprintf(len, sizeof len, "%02X", static_cast<unsigned>(receipt_text.size()));
    std::string t = cstr(receipt_text);
    t.resize(t.size() - 2);
    return "00 0101" + cstr("1") + "0101" + cstr("2") + esm + "0000 00 00 00 00 00 00" + len + t;
  };
  struct row {
    const char* name;
    TBindType type;
    Cardinal id;
    std::string body;
    Cardinal answer_id, answer_status;  // 0: handed on, answered later
    std::optional<act> handed;
  };
  const row rows[] = {
      {"deliver_to_transmitter", Transmitter, command_id::deliver_sm, deliver, command_id::deliver_sm_resp, 0x04, {}},
      {"deliver_to_receiver", Receiver, command_id::deliver_sm, deliver, 0, 0, act::message},
      {"receipt", Receiver, command_id::deliver_sm, receipt_body("04"), 0, 0, act::receipt},
      {"intermediate_notification", Receiver, command_id::deliver_sm, receipt_body("20"), 0, 0, act::receipt},
      {"submit_sm_from_smsc", Transceiver, command_id::submit_sm, deliver, command_id::generic_nack, 0x03, {}},
      {"unknown", Transceiver, 0x1234, "", command_id::generic_nack, 0x03, {}},
      {"enquire_link", Transmitter, command_id::enquire_link, "", command_id::enquire_link_resp, 0, {}},
      {"alert_notification", Transceiver, command_id::alert_notification, "", 0, 0, {}},
  };
  for (const row& w : rows) {
    rig r(config{.bind_type = w.type});
    r.bind();
    const std::size_t before = r.writes.size();
    r.feed(pdu(w.id, 77, w.body));
    if (w.answer_id) {
      ASSERT_EQ(r.writes.size(), before + 1) << w.name;
      EXPECT_EQ(r.writes.back().id, w.answer_id) << w.name;
      EXPECT_EQ(r.writes.back().status, w.answer_status) << w.name;
      EXPECT_EQ(r.writes.back().seq, 77u) << w.name;
    } else {
      EXPECT_EQ(r.writes.size(), before) << w.name;
    }
    EXPECT_EQ(r.inbound.empty() ? std::optional<act>{} : r.inbound.front(), w.handed) << w.name;
  }
}

// An SMSC's unbind is answered and reported as its own error.
TEST(Machine, PeerUnbindIsReportedAsSuch) {
  rig r;
  r.bind();
  r.feed(pdu(command_id::unbind, 9));
  EXPECT_EQ(r.writes.back().id, command_id::unbind_resp);
  r.feed(pdu(command_id::deliver_sm, 10, ""));  // the rest of the read after the close is ignored
  EXPECT_EQ(r.writes.back().id, command_id::unbind_resp);
  r.m->link_down(r.t);
  r.take();
  EXPECT_EQ(r.states.back(), std::make_pair(state::closed, make_error_code(errc::peer_unbound)));
}

// Throttled requests are resent after the pause, then fail with the status.
TEST(Machine, ThrottledRequestIsResentThenFails) {
  config c;
  c.throttle_retries = 1;
  c.throttle_pause = 100ms;
  rig r(c);
  r.bind();
  const auto k = r.submit();
  r.feed(pdu(command_id::submit_sm_resp, r.last_seq(command_id::submit_sm), cstr(""), 0x58));
  const std::size_t n = r.writes.size();
  r.advance(50ms);
  EXPECT_EQ(r.writes.size(), n);  // paused
  r.advance(60ms);
  ASSERT_EQ(r.writes.size(), n + 1);
  r.feed(pdu(command_id::submit_sm_resp, r.last_seq(command_id::submit_sm), cstr(""), 0x58));
  EXPECT_EQ(r.outcome(k), smpp_error(0x58));
  EXPECT_EQ(r.m->counters().retried, 1u);
}

}  // namespace
}  // namespace velmor::session::test
