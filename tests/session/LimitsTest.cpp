// The session's bounds over loopback sockets: the socket's send queue and
// waiting for room in the request queue.
#include "Fixture.h"

namespace velmor::session::test {
namespace {

// A request the socket's send queue has no room for fails at once with its
// own error; the link stays up and smaller requests still go.
TEST_F(SessionFixture, RequestBeyondTheSendQueueFailsAtOnce) {
  start_sim();
  config c = fast_config(port);
  c.send_queue_limit = 120;  // a bind fits, a 200-octet submit_sm does not
  bind(Transmitter, c);
  outcome big, small;
  submit(big, {.short_message = std::string(200, 'x')});
  submit(small);
  ASSERT_TRUE(run_until([&] { return big.done && small.done; }));
  EXPECT_EQ(big.ec, make_error_code(errc::send_queue_full)) << big.ec.message();
  EXPECT_FALSE(small.ec) << small.ec.message();
  EXPECT_EQ(s->current_state(), state::bound_tx);
}

// With wait_for_room a burst far beyond window and queue completes in full.
TEST_F(SessionFixture, WaitForRoomTakesABurstLargerThanTheQueue) {
  start_sim();
  config c = fast_config(port);
  c.window = 4;
  c.queue_limit = 4;
  c.when_queue_full = queue_policy::wait_for_room;
  bind(Transmitter, c);
  std::vector<outcome> all(100);
  for (auto& o : all) submit(o);
  ASSERT_TRUE(run_until([&] { return all_done(all); }));
  for (const auto& o : all) {
    EXPECT_EQ(o.done, 1);
    EXPECT_FALSE(o.ec) << o.ec.message();
  }
}

}  // namespace
}  // namespace velmor::session::test
