// The session against the SMSC simulator (and, where the SMSC must misbehave
// in ways the simulator does not, a scripted peer), over loopback sockets.
#include <asio/use_future.hpp>

#include <thread>

#include "Fixture.h"
#include "common/LoopbackPeer.h"
#include "smsc/Harness.h"

namespace velmor::session::test {
namespace {

using smsc::test::cstr;
using smsc::test::pdu;

// ---- states and refusals --------------------------------------------------------------

TEST_F(SessionFixture, BindAndShutdownPassThroughEveryState) {
  bind(Transceiver);
  std::optional<std::error_code> down;
  s->async_shutdown([&](std::error_code ec) { down = ec; });
  ASSERT_TRUE(run_until([&] { return down.has_value(); }));
  EXPECT_FALSE(*down);
  const std::vector<state> want{state::connecting, state::open,      state::binding,
                                state::bound_trx,  state::unbinding, state::closed};
  EXPECT_EQ(states, want);
  EXPECT_EQ(sim->smsc().counters().unbinds, 1u);
}

struct RefusalCase {
  const char* name;
  bool start;  // connect and bind first
  TBindType type;
  int request;    // 0 submit_sm, 1 data_sm, 2 enquire_link, 3 query_sm
  errc expected;  // errc{} : succeeds
};

class Refusals : public SessionFixture, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(Refusals, RequestIsRefusedLocallyOrSucceeds) {
  const RefusalCase& c = GetParam();
  if (c.start) {
    bind(c.type);
  } else {
    start_sim();
    make_session(fast_config(port));
  }
  outcome o;
  auto done = [&o](std::error_code ec, response r) {
    ++o.done;
    o.ec = ec;
    o.r = std::move(r);
  };
  switch (c.request) {
    case 0:
      s->async_submit_sm({.destination_addr = "4670001", .short_message = "x", .registered_delivery = 1}, done);
      break;
    case 1: s->async_data_sm({.destination_addr = "4670001"}, done); break;
    case 2: s->async_enquire_link(done); break;
    default: s->async_query_sm({.message_id = "1"}, done); break;
  }
  const std::uint64_t submits = sim->smsc().counters().submit_sm + sim->smsc().counters().data_sm;
  ASSERT_TRUE(run_until([&] { return o.done > 0; }));
  EXPECT_EQ(o.done, 1);
  if (c.expected == errc{}) {
    EXPECT_FALSE(o.ec) << o.ec.message();
  } else {
    EXPECT_EQ(o.ec, make_error_code(c.expected)) << o.ec.message();
    EXPECT_EQ(sim->smsc().counters().submit_sm + sim->smsc().counters().data_sm, submits);  // nothing sent
  }
}

INSTANTIATE_TEST_SUITE_P(Session, Refusals,
                         ::testing::Values(RefusalCase{"submit_before_connect", false, Transceiver, 0, errc::not_bound},
                                           RefusalCase{"enquire_before_connect", false, Transceiver, 2,
                                                       errc::not_bound},
                                           RefusalCase{"submit_as_receiver", true, Receiver, 0, errc::invalid_state},
                                           RefusalCase{"data_sm_as_receiver", true, Receiver, 1, errc::invalid_state},
                                           RefusalCase{"query_as_receiver", true, Receiver, 3, errc::invalid_state},
                                           RefusalCase{"enquire_as_receiver", true, Receiver, 2, errc{}},
                                           RefusalCase{"submit_as_transmitter", true, Transmitter, 0, errc{}},
                                           RefusalCase{"data_sm_as_transceiver", true, Transceiver, 1, errc{}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SessionFixture, RequestsAfterShutdownAreRefused) {
  bind();
  bool down = false;
  s->async_shutdown([&](std::error_code) { down = true; });
  outcome o;
  submit(o);
  ASSERT_TRUE(run_until([&] { return down && o.done; }));
  EXPECT_EQ(o.ec, make_error_code(errc::shutting_down));
}

TEST_F(SessionFixture, BindRejectedCompletesConnectWithTheStatus) {
  smsc::Config sc;
  sc.credentials = {{"esme", "other"}};
  start_sim(sc);
  config c = fast_config(port);
  c.reconnect = false;
  make_session(c);
  std::optional<std::error_code> r;
  s->async_connect([&](std::error_code ec) { r = ec; });
  ASSERT_TRUE(run_until([&] { return r.has_value(); }));
  EXPECT_EQ(command_status_of(*r), 0x0Eu) << r->message();  // ESME_RINVPASWD
  EXPECT_NE(r->message().find("ESME_RINVPASWD"), std::string::npos);
  EXPECT_EQ(s->current_state(), state::closed);
}

TEST_F(SessionFixture, ConnectRefusedIsConnectFailed) {
  start_sim();
  const int dead_port = port;
  sim.reset();  // nothing listens there any more
  config c = fast_config(dead_port);
  c.reconnect = false;
  make_session(c);
  std::optional<std::error_code> r;
  s->async_connect([&](std::error_code ec) { r = ec; });
  ASSERT_TRUE(run_until([&] { return r.has_value(); }));
  EXPECT_EQ(*r, make_error_code(errc::connect_failed));
}

// ---- inbound PDUs the session answers itself ------------------------------------------

struct InboundCase {
  const char* name;
  TBindType type;
  Cardinal command_id;
  std::string body_hex;
  Cardinal expect_id;
  Cardinal expect_status;
};

class Inbound : public ::testing::TestWithParam<InboundCase> {};

std::string deliver_body(std::string_view text) {
  char len[3];
  std::snprintf(len, sizeof len, "%02X", static_cast<unsigned>(text.size()));
  std::string t = cstr(text);
  t.resize(t.size() - 2);
  return "00 0101" + cstr("4670002") + "0101" + cstr("4670001") + "000000 00 00 00 00 00 00" + len + t;
}

Cardinal be32(const std::string& s, std::size_t at) {
  return (Cardinal(std::uint8_t(s[at])) << 24) | (Cardinal(std::uint8_t(s[at + 1])) << 16) |
         (Cardinal(std::uint8_t(s[at + 2])) << 8) | Cardinal(std::uint8_t(s[at + 3]));
}

// Answers the bind, sends one PDU and returns the session's answer to it.
TEST_P(Inbound, IsAnsweredByTheSession) {
  const InboundCase& c = GetParam();
  velmor::test::LoopbackPeer peer;
  std::string answer;
  peer.serve([&](velmor::test::PeerConn& conn) {
    const std::string bind = conn.recv_pdu();
    if (bind.size() < 16) return;
    conn.send(pdu(be32(bind, 4) | 0x80000000, be32(bind, 12), cstr("SMSC")));
    conn.send(pdu(c.command_id, 77, c.body_hex));
    for (;;) {
      std::string p = conn.recv_pdu(2000);
      if (p.size() < 16) return;
      if (be32(p, 4) != command_id::enquire_link) {
        answer = p;
        break;
      }
    }
    conn.wait_closed(300);
  });
  TEventLoop loop;
  config cfg = fast_config(peer.port());
  cfg.bind_type = c.type;
  cfg.reconnect = false;
  session s(cfg, loop);
  s.async_connect([](std::error_code) {});
  loop.RunUntil([&] { return peer.done() || !answer.empty(); }, 5s);
  loop.RunFor(50ms);
  peer.join();
  ASSERT_GE(answer.size(), 16u);
  EXPECT_EQ(be32(answer, 4), c.expect_id);
  EXPECT_EQ(be32(answer, 8), c.expect_status);
  EXPECT_EQ(be32(answer, 12), 77u);  // the answer echoes the request's sequence_number
}

INSTANTIATE_TEST_SUITE_P(
    Session, Inbound,
    ::testing::Values(
        InboundCase{"deliver_sm_to_transmitter", Transmitter, command_id::deliver_sm, deliver_body("hi"),
                    command_id::deliver_sm_resp, 0x04},
        // No message handler is set: nobody took it, so the SMSC is told to deliver it again.
        InboundCase{"deliver_sm_to_receiver", Receiver, command_id::deliver_sm, deliver_body("hi"),
                    command_id::deliver_sm_resp, 0x64},
        InboundCase{"data_sm_to_transmitter", Transmitter, command_id::data_sm,
                    "00 0101" + cstr("1") + "0101" + cstr("2") + "00 00 00", command_id::data_sm_resp, 0x04},
        InboundCase{"enquire_link", Transmitter, command_id::enquire_link, "", command_id::enquire_link_resp, 0},
        InboundCase{"submit_sm_from_smsc", Transceiver, command_id::submit_sm, deliver_body("x"),
                    command_id::generic_nack, 0x03},
        InboundCase{"unknown_command", Transceiver, 0x00001234, "", command_id::generic_nack, 0x03},
        InboundCase{"unbind", Transceiver, command_id::unbind, "", command_id::unbind_resp, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SessionFixture, DeliverSmAnsweredWithTheHandlersStatusOrDeferred) {
  bind(Receiver);
  std::vector<std::pair<Cardinal, Cardinal>> answers;  // sequence_number, status
  sim->smsc().on_response = [&](const smsc::Session&, const codec::Header& h) {
    answers.emplace_back(h.sequence_number, h.command_status);
  };
  deferred_response later;
  int calls = 0;
  s->set_message_handler([&](const inbound_message& m, inbound_context& ctx) -> std::uint32_t {
    ++calls;
    if (m.short_message == "reject") return 0x45;
    if (m.short_message == "defer") later = ctx.defer();
    if (m.short_message == "forget") ctx.defer();  // never completed: the session answers at the deadline
    return 0;
  });
  auto send = [&](const char* text) {
    smsc::Originated o;
    o.source = "4670002";
    o.destination = "4670001";
    o.text = text;
    const Cardinal seq = sim->smsc().deliver_sm("esme", o, smsc::Clock::now());
    sim->flush();
    return seq;
  };
  const Cardinal ok = send("hello"), rejected = send("reject"), deferred = send("defer"), forgotten = send("forget");
  ASSERT_TRUE(run_until([&] { return answers.size() == 2 && calls == 4; }));
  later.complete(0, "");
  later.complete(0x08, "");  // a second answer is ignored
  ASSERT_TRUE(run_until([&] { return answers.size() == 4; }, 2s));
  loop.RunFor(150ms);
  std::map<Cardinal, Cardinal> by_seq(answers.begin(), answers.end());
  EXPECT_EQ(answers.size(), 4u);
  EXPECT_EQ(by_seq[ok], 0u);
  EXPECT_EQ(by_seq[rejected], 0x45u);
  EXPECT_EQ(by_seq[deferred], 0u);
  EXPECT_EQ(by_seq[forgotten], 0x64u);  // ESME_RX_T_APPN after response_deadline
  EXPECT_EQ(s->counters().deferred_timeouts, 1u);
}

// ---- window, queue, deadlines ------------------------------------------------------------

TEST_F(SessionFixture, FullWindowQueuesAndFullQueueFailsAtOnce) {
  smsc::Config sc;
  sc.response_delay = 100ms;
  start_sim(sc);
  config c = fast_config(port);
  c.window = 2;
  c.queue_limit = 2;
  bind(Transmitter, c);
  std::vector<outcome> o(5);
  for (auto& x : o) submit(x);
  loop.ProcessMessages();  // calls from outside the running loop are carried to it
  EXPECT_EQ(s->in_flight(), 2u);
  EXPECT_EQ(s->queued(), 2u);
  ASSERT_TRUE(run_until([&] { return o[4].done > 0; }, 50ms));  // refused without waiting
  EXPECT_EQ(o[4].ec, make_error_code(errc::queue_full));
  ASSERT_TRUE(run_until([&] { return all_done(o); }));
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(o[i].done, 1);
    EXPECT_FALSE(o[i].ec) << i << ": " << o[i].ec.message();
    EXPECT_FALSE(o[i].r.message_id.empty());
  }
  EXPECT_EQ(sim->smsc().counters().submit_sm, 4u);
  const MetricsSnapshot m = s->metrics();
  EXPECT_EQ(m.by_command.at(command_id::submit_sm).sent, 4u);
  EXPECT_EQ(m.by_command.at(command_id::submit_sm).ok, 4u);
  EXPECT_EQ(m.in_flight, 0u);
  EXPECT_NE(s->metrics_prometheus().find(
                "velmor_smpp_requests_sent_total{account=\"esme\",bind=\"transmitter\",command=\"submit_sm\"} 4"),
            std::string::npos)
      << s->metrics_prometheus();
}

TEST_F(SessionFixture, TimeoutThenLateResponseIsCountedNotMatched) {
  smsc::Config sc;
  sc.response_delay = 150ms;
  start_sim(sc);
  config c = fast_config(port);
  c.request_timeout = 40ms;
  bind(Transmitter, c);
  outcome a, b;
  submit(a);
  submit(b, {.timeout = 1s});  // its own, longer deadline
  ASSERT_TRUE(run_until([&] { return a.done > 0; }));
  EXPECT_EQ(a.ec, make_error_code(errc::timeout));
  EXPECT_EQ(b.done, 0);
  ASSERT_TRUE(run_until([&] { return b.done > 0; }));
  EXPECT_FALSE(b.ec);
  ASSERT_TRUE(run_until([&] { return s->counters().late_responses == 1; }));
  EXPECT_EQ(a.done, 1);
  EXPECT_EQ(s->counters().timeouts, 1u);
  EXPECT_EQ(s->in_flight(), 0u);
}

TEST_F(SessionFixture, QueuedRequestTimesOutInTheQueue) {
  smsc::Config sc;
  sc.response_delay = 200ms;
  start_sim(sc);
  config c = fast_config(port);
  c.window = 1;
  bind(Transmitter, c);
  outcome first, queued;
  submit(first);
  submit(queued, {.timeout = 50ms});
  ASSERT_TRUE(run_until([&] { return queued.done > 0; }));
  EXPECT_EQ(queued.ec, make_error_code(errc::timeout));
  EXPECT_EQ(first.done, 0);
  ASSERT_TRUE(run_until([&] { return first.done > 0; }));
  EXPECT_EQ(sim->smsc().counters().submit_sm, 1u);  // the timed-out one was never sent
}

// ---- requests taken at the call ----------------------------------------------------------

struct TooLongCase {
  const char* name;
  int request;  // 0 submit_sm, 1 replace_sm, 2 data_sm
};

class FieldsTooLong : public SessionFixture, public ::testing::WithParamInterface<TooLongCase> {};

// A request whose fields do not fit their length octets fails at once, sends
// nothing and spends no sequence number: the next request goes out as if it
// had never been made.
TEST_P(FieldsTooLong, AreRefusedAndNothingIsSent) {
  bind(Transceiver);
  outcome bad, good;
  auto record = [](outcome& o) {
    return [&o](std::error_code ec, response r) {
      ++o.done;
      o.ec = ec;
      o.r = std::move(r);
    };
  };
  switch (GetParam().request) {
    case 0:
      s->async_submit_sm({.destination_addr = "4670001", .short_message = std::string(255, 'x')}, record(bad));
      break;
    case 1: s->async_replace_sm({.message_id = "1", .short_message = std::string(255, 'x')}, record(bad)); break;
    default: {
      data_sm_request r{.destination_addr = "4670001"};
      r.options.message_payload = {true, std::string(70'000, 'x')};
      s->async_data_sm(std::move(r), record(bad));
    }
  }
  submit(good);
  ASSERT_TRUE(run_until([&] { return bad.done && good.done; }));
  EXPECT_EQ(bad.done, 1);
  EXPECT_EQ(bad.ec, make_error_code(errc::invalid_argument)) << bad.ec.message();
  EXPECT_FALSE(good.ec) << good.ec.message();
  EXPECT_EQ(good.r.sequence_number, 2u);  // bind_transceiver was 1
  const auto& k = sim->smsc().counters();
  EXPECT_EQ(k.submit_sm + k.replace_sm + k.data_sm, 1u);
}

INSTANTIATE_TEST_SUITE_P(Session, FieldsTooLong,
                         ::testing::Values(TooLongCase{"submit_sm_text", 0}, TooLongCase{"replace_sm_text", 1},
                                           TooLongCase{"data_sm_payload", 2}),
                         [](const auto& info) { return std::string(info.param.name); });

// The request passed as an lvalue is taken when the call is made: changing
// it afterwards changes nothing, even for a request still queued.
TEST_F(SessionFixture, RequestIsTakenAtTheCallEvenWhileQueued) {
  smsc::Config sc;
  sc.response_delay = 30ms;
  start_sim(sc);
  std::vector<std::string> texts;
  sim->smsc().on_submit = [&](const smsc::Session&, const smsc::MessageView& m) {
    texts.emplace_back(m.short_message);
  };
  config c = fast_config(port);
  c.window = 1;
  bind(Transmitter, c);
  submit_sm_request r{.destination_addr = "4670001", .short_message = "one"};
  outcome a, b;
  s->async_submit_sm(r, [&](std::error_code ec, response) { a.ec = ec, ++a.done; });
  r.short_message = "two";
  s->async_submit_sm(r, [&](std::error_code ec, response) { b.ec = ec, ++b.done; });  // queued behind the window
  r.short_message = "three";
  r.destination_addr.clear();
  ASSERT_TRUE(run_until([&] { return a.done && b.done; }));
  EXPECT_FALSE(a.ec);
  EXPECT_FALSE(b.ec);
  EXPECT_EQ(texts, (std::vector<std::string>{"one", "two"}));
}

// ---- throttling --------------------------------------------------------------------------

TEST_F(SessionFixture, ThrottledRequestIsResubmittedAfterThePause) {
  smsc::Config sc;
  sc.throttle_every = 2;  // the 2nd, 4th, ... submit_sm of the session
  start_sim(sc);
  std::vector<smsc::Clock::time_point> seen;
  sim->smsc().on_submit = [&](const smsc::Session&, const smsc::MessageView&) { seen.push_back(smsc::Clock::now()); };
  config c = fast_config(port);
  c.window = 1;
  bind(Transmitter, c);
  outcome a, b;
  submit(a);
  submit(b);
  ASSERT_TRUE(run_until([&] { return a.done && b.done; }));
  EXPECT_FALSE(a.ec);
  EXPECT_FALSE(b.ec) << b.ec.message();
  EXPECT_EQ(b.r.attempts, 2);
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_GE(seen[2] - seen[1], 25ms);  // sending paused for throttle_pause
  EXPECT_EQ(s->counters().throttled, 1u);
  EXPECT_EQ(s->counters().retried, 1u);
}

TEST_F(SessionFixture, ThrottledEveryTimeFailsWithTheStatusAfterTheRetries) {
  smsc::Config sc;
  sc.throttle_every = 1;
  start_sim(sc);
  config c = fast_config(port);
  c.throttle_pause = 5ms;
  c.throttle_retries = 2;
  bind(Transmitter, c);
  outcome a;
  submit(a);
  ASSERT_TRUE(run_until([&] { return a.done > 0; }));
  EXPECT_EQ(command_status_of(a.ec), 0x58u) << a.ec.message();
  EXPECT_EQ(sim->smsc().counters().submit_sm, 3u);  // 1 + throttle_retries
}

TEST_F(SessionFixture, TokenBucketSpacesSubmits) {
  start_sim();
  config c = fast_config(port);
  c.submit_rate = 100;  // one per 10 ms
  c.submit_burst = 1;
  bind(Transmitter, c);
  std::vector<outcome> o(6);
  const auto t0 = clock::now();
  for (auto& x : o) submit(x);
  ASSERT_TRUE(run_until([&] { return all_done(o); }));
  EXPECT_GE(clock::now() - t0, 45ms);
}

// ---- keep-alive, disconnects, reconnect ---------------------------------------------------

TEST_F(SessionFixture, KeepAliveAnsweredKeepsTheLink) {
  start_sim();
  config c = fast_config(port);
  c.enquire_link_idle = 20ms;
  c.enquire_link_timeout = 50ms;
  bind(Transceiver, c);
  loop.RunFor(150ms);
  EXPECT_GE(s->counters().enquire_links_sent, 2u);
  EXPECT_EQ(s->counters().links_declared_dead, 0u);
  EXPECT_EQ(s->current_state(), state::bound_trx);
}

TEST_F(SessionFixture, SilentPeerIsDeclaredDeadAndTheSessionRebinds) {
  smsc::Config sc;
  sc.ignore_enquire_link = true;
  start_sim(sc);
  config c = fast_config(port);
  c.enquire_link_idle = 20ms;
  c.enquire_link_timeout = 30ms;
  bind(Transceiver, c);
  ASSERT_TRUE(run_until([&] { return s->counters().links_declared_dead >= 1 && s->counters().binds >= 2; }));
  EXPECT_NE(std::find(states.begin(), states.end(), state::closed), states.end());
}

TEST_F(SessionFixture, DisconnectCompletesInFlightOnceAndQueuedWaitForRebind) {
  smsc::Config sc;
  sc.response_delay = 300ms;
  start_sim(sc);
  config c = fast_config(port);
  c.window = 2;
  bind(Transmitter, c);
  std::vector<outcome> o(4);
  for (auto& x : o) submit(x);
  loop.RunFor(30ms);
  sim->stop();  // drops the connection and stops listening
  ASSERT_TRUE(run_until([&] { return o[0].done && o[1].done; }));
  EXPECT_EQ(o[0].ec, make_error_code(errc::disconnected));
  EXPECT_EQ(o[1].ec, make_error_code(errc::disconnected));
  EXPECT_EQ(o[2].done + o[3].done, 0);  // queued, waiting for the link
  sim->smsc().config().response_delay = 0ms;
  ASSERT_TRUE(sim->start("127.0.0.1", port));
  ASSERT_TRUE(run_until([&] { return all_done(o); }));
  EXPECT_FALSE(o[2].ec) << o[2].ec.message();
  EXPECT_FALSE(o[3].ec);
  for (const auto& x : o) EXPECT_EQ(x.done, 1);
  EXPECT_EQ(s->counters().binds, 2u);
  EXPECT_EQ(s->counters().disconnected, 2u);
}

TEST_F(SessionFixture, NoQueueWhileReconnectingFailsAtOnce) {
  start_sim();
  config c = fast_config(port);
  c.queue_while_reconnecting = false;
  c.reconnect_min = c.reconnect_max = 500ms;
  bind(Transmitter, c);
  sim->stop();
  ASSERT_TRUE(run_until([&] { return s->current_state() == state::closed; }));
  outcome o;
  submit(o);
  ASSERT_TRUE(run_until([&] { return o.done > 0; }, 100ms));
  EXPECT_EQ(o.ec, make_error_code(errc::not_bound));
}

// ---- shutdown ------------------------------------------------------------------------------

TEST_F(SessionFixture, ShutdownDrainsRequestsInFlightThenUnbinds) {
  smsc::Config sc;
  sc.response_delay = 60ms;
  start_sim(sc);
  bind(Transmitter);
  std::vector<outcome> o(3);
  for (auto& x : o) submit(x);
  std::optional<std::error_code> down;
  bool all_done_first = false;
  s->async_shutdown([&](std::error_code ec) {
    all_done_first = all_done(o);
    down = ec;
  });
  ASSERT_TRUE(run_until([&] { return down.has_value(); }));
  EXPECT_FALSE(*down);
  EXPECT_TRUE(all_done_first);
  for (const auto& x : o) EXPECT_FALSE(x.ec) << x.ec.message();
  EXPECT_EQ(sim->smsc().counters().unbinds, 1u);
  EXPECT_EQ(s->current_state(), state::closed);
}

// ---- texts and receipts ---------------------------------------------------------------------

TEST_F(SessionFixture, LongTextIsSplitAndEveryPartsReceiptCarriesTheTag) {
  bind(Transceiver);
  std::vector<receipt_event> receipts;
  s->set_receipt_handler([&](const receipt_event& e) { receipts.push_back(e); });
  const std::string text(400, 'x');  // GSM 7-bit: three UDH parts of 153
  std::optional<std::error_code> r;
  text_result result;
  s->async_send_text({.destination_addr = "4670009", .text = text, .registered_delivery = 1, .tag = 77},
                     [&](std::error_code ec, text_result t) {
                       r = ec;
                       result = std::move(t);
                     });
  ASSERT_TRUE(run_until([&] { return r.has_value() && receipts.size() == 3; }));
  EXPECT_FALSE(*r);
  ASSERT_EQ(result.message_ids.size(), 3u);
  std::set<std::uint16_t> parts;
  for (const auto& e : receipts) {
    EXPECT_TRUE(e.matched);
    EXPECT_EQ(e.tag, 77u);
    EXPECT_EQ(e.destination_addr, "4670009");
    EXPECT_EQ(e.part_count, 3);
    parts.insert(e.part_index);
  }
  EXPECT_EQ(parts, (std::set<std::uint16_t>{0, 1, 2}));
  EXPECT_EQ(s->receipts_remembered(), 0u);  // final receipts forget their entry
  const MetricsSnapshot m = s->metrics();   // what the receipt code decided, counted where it was
  EXPECT_EQ(m.receipts[static_cast<std::size_t>(receipts::outcome::matched)], 3u);
  EXPECT_EQ(m.by_command.at(command_id::deliver_sm).received, 3u);
  EXPECT_EQ(m.session_state, state::bound_trx);
}

TEST_F(SessionFixture, TextThatCannotBeEncodedFailsOnce) {
  bind(Transmitter);
  int calls = 0;
  std::error_code got;
  s->async_send_text({.destination_addr = "1", .text = "\xC3\x28"}, [&](std::error_code ec, text_result) {
    ++calls;
    got = ec;
  });
  ASSERT_TRUE(run_until([&] { return calls > 0; }));
  EXPECT_EQ(got, make_error_code(errc::encoding_failed));
}

// ---- API shapes and threads ------------------------------------------------------------------

TEST_F(SessionFixture, FutureFromAnotherThread) {
  bind(Transmitter);
  std::atomic<bool> finished{false};
  response got;
  std::thread t([&] {
    auto f = s->async_submit_sm({.destination_addr = "1", .short_message = "from a thread"}, asio::use_future);
    got = f.get();
    finished = true;
  });
  ASSERT_TRUE(run_until([&] { return finished.load(); }));
  t.join();
  EXPECT_EQ(got.command_status, 0u);
  EXPECT_FALSE(got.message_id.empty());
}

TEST(SessionErrors, EveryCauseHasOneLineNamingIt) {
  const std::pair<std::error_code, const char*> rows[] = {
      {smpp_error(0x58), "ESME_RTHROTTLED"},         {smpp_error(0x0E), "ESME_RINVPASWD"},
      {smpp_error(0x14), "ESME_RMSGQFUL"},           {smpp_error(0x0400), "0x00000400"},
      {make_error_code(errc::queue_full), "queue"},  {make_error_code(errc::timeout), "deadline"},
      {make_error_code(errc::not_bound), "bind"},    {make_error_code(errc::link_dead), "enquire_link"},
      {make_error_code(errc::disconnected), "lost"}, {make_error_code(errc::shutting_down), "shutting"},
  };
  for (const auto& [ec, word] : rows) {
    const std::string m = ec.message();
    EXPECT_NE(m.find(word), std::string::npos) << m;
    EXPECT_EQ(m.find('\n'), std::string::npos) << m;
  }
  EXPECT_EQ(command_status_of(smpp_error(0x58)), 0x58u);
  EXPECT_FALSE(command_status_of(make_error_code(errc::timeout)));
  EXPECT_FALSE(smpp_error(0));
}

}  // namespace
}  // namespace velmor::session::test
