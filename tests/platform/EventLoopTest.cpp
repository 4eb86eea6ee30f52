// The host loop: an application's own io_context, the thread notifications
// arrive on, and the timer's guarantees.
#include <gtest/gtest.h>

#include <asio.hpp>
#include <thread>

#include "common/Hex.h"
#include "common/LoopbackPeer.h"
#include "component/Velmorsmppdemo.h"

namespace velmor::test {
namespace {

using namespace std::chrono_literals;

TEST(EventLoop, ComponentRunsOnTheApplicationsOwnIoContext) {
  LoopbackPeer peer;
  peer.serve([](PeerConn& c) {
    if (c.recv_pdu() == hex("00000010 00000015 00000000 00000001"))
      c.send(hex("00000010 80000015 00000000 00000001"));
    c.wait_closed();
  });
  asio::io_context ctx;
  TEventLoop loop(ctx);
  TVelmorSMPPDemo smpp(nullptr, loop);
  bool answered = false;
  smpp.OnConnect = [&](TObject*) { smpp.Enquire_LINK(); };
  smpp.OnEnquire_LINK_RESP = [&](TObject*, Cardinal, Cardinal seq) {
    answered = seq == 1;
    smpp.Disconnect();
    ctx.stop();
  };
  smpp.Connect("127.0.0.1", peer.port());
  ctx.run_for(5s);  // the application drives its own context
  EXPECT_TRUE(answered);
}

// Every notification arrives on the thread that runs the loop, never on the
// thread that called a method.
TEST(EventLoop, NotificationsArriveOnlyOnTheLoopThread) {
  LoopbackPeer peer;
  peer.serve([](PeerConn& c) { c.wait_closed(); });
  TEventLoop loop;
  TVelmorSMPPDemo smpp(nullptr, loop);
  std::vector<std::thread::id> seen;
  auto note = [&](TObject*) { seen.push_back(std::this_thread::get_id()); };
  smpp.OnConnecting = note;
  smpp.OnConnect = [&](TObject* s) {
    note(s);
    smpp.Disconnect();
  };
  smpp.OnDisconnect = [&](TObject* s) {
    note(s);
    loop.Stop();
  };
  smpp.Connect("127.0.0.1", peer.port());
  std::thread runner([&] { loop.RunFor(5s); });
  const auto loop_thread = runner.get_id();
  runner.join();
  ASSERT_EQ(seen.size(), 3u);
  for (auto id : seen) EXPECT_EQ(id, loop_thread);
}

TEST(EventLoop, RunForWaitsAndProcessMessagesDoesNot) {
  TEventLoop loop;
  const auto t0 = std::chrono::steady_clock::now();
  loop.RunFor(50ms);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, 45ms);
  int ran = 0;
  loop.Post([&] { ++ran; });
  const auto t1 = std::chrono::steady_clock::now();
  EXPECT_EQ(loop.ProcessMessages(), 1u);
  EXPECT_EQ(ran, 1);
  EXPECT_LT(std::chrono::steady_clock::now() - t1, 40ms);
}

// A timer disabled or destroyed from its own handler never fires again.
TEST(Timer, StopsWhenDisabledOrDestroyedInsideItsHandler) {
  TEventLoop loop;
  int ticks = 0;
  TTimer timer(nullptr, loop);
  timer.SetInterval(2);
  timer.OnTimer = [&](TObject*) {
    if (++ticks == 3) timer.SetEnabled(false);
  };
  timer.SetEnabled(true);
  loop.RunFor(60ms);
  EXPECT_EQ(ticks, 3);

  int fired = 0;
  auto* owner = new TComponent(nullptr);
  auto* doomed = new TTimer(owner, loop);
  doomed->SetInterval(1);
  doomed->OnTimer = [&](TObject*) {
    ++fired;
    delete owner;  // takes the timer with it
  };
  doomed->SetEnabled(true);
  loop.RunFor(30ms);
  EXPECT_EQ(fired, 1);
}

}  // namespace
}  // namespace velmor::test
