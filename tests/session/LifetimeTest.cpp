// Destroying the session inside its own handlers, over loopback sockets.
#include "Fixture.h"
#include "common/LoopbackPeer.h"
#include "smsc/Harness.h"

namespace velmor::session::test {
namespace {

using smsc::test::cstr;
using smsc::test::pdu;

Cardinal be32(const std::string& s, std::size_t at) {
  return (Cardinal(std::uint8_t(s[at])) << 24) | (Cardinal(std::uint8_t(s[at + 1])) << 16) |
         (Cardinal(std::uint8_t(s[at + 2])) << 8) | Cardinal(std::uint8_t(s[at + 3]));
}

std::string deliver_body(std::string_view text) {
  char len[3];
  std::snprintf(len, sizeof len, "%02X", static_cast<unsigned>(text.size()));
  std::string t = cstr(text);
  t.resize(t.size() - 2);
  return "00 0101" + cstr("4670002") + "0101" + cstr("4670001") + "000000 00 00 00 00 00 00" + len + t;
}

TEST_F(SessionFixture, DestroyedInsideItsOwnCompletionCompletesTheRestOnce) {
  smsc::Config sc;
  sc.response_delay = 20ms;
  start_sim(sc);
  bind(Transmitter);
  outcome second;
  int first_done = 0;
  s->async_submit_sm({.destination_addr = "1", .short_message = "a"}, [&](std::error_code, response) {
    ++first_done;
    s.reset();  // the session goes from inside its own completion
  });
  s->async_submit_sm({.destination_addr = "1", .short_message = "b", .timeout = 5s}, [&](std::error_code ec, response) {
    ++second.done;
    second.ec = ec;
  });
  ASSERT_TRUE(run_until([&] { return first_done > 0; }));
  loop.RunFor(50ms);
  EXPECT_EQ(first_done, 1);
  EXPECT_EQ(second.done, 1);
  EXPECT_EQ(second.ec, make_error_code(errc::shutting_down));
}

// The session destroyed inside any of its handlers while the SMSC's next PDUs
// sit in the same read: nothing is touched afterwards, and the request still
// waiting completes once, with shutting_down.
TEST(SessionDestroyed, InsideAnyHandlerWithMorePdusInTheSameRead) {
  const std::string receipt_text = "id:1 sub:001 dlvrd:001 submit date:2401011200 done date:2401011201 stat:DELIVRD";
  char len[3];
  std::snprintf(len, sizeof len, "%02X", static_cast<unsigned>(receipt_text.size()));
  std::string rt = cstr(receipt_text);
  rt.resize(rt.size() - 2);
  const std::string receipt_body = "00 0101" + cstr("1") + "0101" + cstr("2") + "040000 00 00 00 00 00 00" + len + rt;
  for (const char* where : {"completion", "message", "receipt"}) {
    velmor::test::LoopbackPeer peer;
    peer.serve([&](velmor::test::PeerConn& conn) {
      const std::string bind = conn.recv_pdu();
      if (bind.size() < 16) return;
      conn.send(pdu(be32(bind, 4) | 0x80000000, be32(bind, 12), cstr("SMSC")));
      const std::string first = conn.recv_pdu(), second = conn.recv_pdu();
      if (first.size() < 16 || second.size() < 16) return;
      std::string block = std::string(where) == "completion"
                              ? pdu(command_id::submit_sm_resp, be32(first, 12), cstr("m1"))
                          : std::string(where) == "message" ? pdu(command_id::deliver_sm, 5, deliver_body("hi"))
                                                            : pdu(command_id::deliver_sm, 5, receipt_body);
      block += pdu(command_id::deliver_sm, 6, deliver_body("more")) + pdu(command_id::enquire_link, 7) +
               pdu(command_id::deliver_sm, 8, receipt_body) + pdu(command_id::unbind, 9) + pdu(0x1234, 10);
      conn.send(block);
      conn.wait_closed(2000);
    });
    TEventLoop loop;
    config cfg = fast_config(peer.port());
    cfg.reconnect = false;
    cfg.receipt_matching.wait = std::chrono::milliseconds(0);  // the receipt names nothing sent: told at once
    auto s = std::make_unique<session>(cfg, loop);
    int handlers = 0;
    s->set_message_handler([&](const inbound_message&, inbound_context&) -> std::uint32_t {
      ++handlers;
      if (std::string(where) == "message") s.reset();
      return 0;
    });
    s->set_receipt_handler([&](const receipt_event&) {
      ++handlers;
      if (std::string(where) == "receipt") s.reset();
    });
    bool bound = false;
    s->async_connect([&](std::error_code ec) { bound = !ec; });
    ASSERT_TRUE(loop.RunUntil([&] { return bound; }, 5s));
    outcome first, second;
    s->async_submit_sm({.destination_addr = "1", .short_message = "a"}, [&](std::error_code ec, response) {
      ++first.done;
      first.ec = ec;
      if (std::string(where) == "completion") s.reset();
    });
    s->async_submit_sm({.destination_addr = "1", .short_message = "b"}, [&](std::error_code ec, response) {
      ++second.done;
      second.ec = ec;
    });
    ASSERT_TRUE(loop.RunUntil([&] { return s == nullptr; }, 5s)) << where;
    loop.RunFor(50ms);
    peer.join();
    EXPECT_EQ(first.done, 1) << where;
    EXPECT_EQ(second.done, 1) << where;
    EXPECT_EQ(second.ec, make_error_code(errc::shutting_down)) << where;
    // A receipt is placed by its store first, so the message after it in the
    // read reaches its handler before the receipt handler runs.
    EXPECT_EQ(handlers, std::string(where) == "completion" ? 0 : std::string(where) == "receipt" ? 2 : 1) << where;
  }
}

}  // namespace
}  // namespace velmor::session::test
