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
    if (c.recv_pdu() == hex("00000010 00000015 00000000 00000001")) c.send(hex("00000010 80000015 00000000 00000001"));
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

// How a Stop() ends runs: one made while no run is active is kept for the
// next run, one made inside a handler ends every run in progress even when a
// nested run (which must not revive the context) follows it in that handler,
// and nested runs from handlers work.
TEST(EventLoop, StopIsNeverLost) {
  struct Case {
    const char* name;
    std::function<void(TEventLoop&)> before;  // before the outer run
    std::function<void(TEventLoop&)> inside;  // in a handler of the outer run
  };
  const Case cases[] = {
      {"Stop before the run", [](TEventLoop& l) { l.Stop(); }, nullptr},
      {"Stop, then ProcessMessages", nullptr,
       [](TEventLoop& l) {
         l.Stop();
         l.ProcessMessages();
       }},
      {"Stop, then RunFor", nullptr,
       [](TEventLoop& l) {
         l.Stop();
         l.RunFor(1ms);
       }},
      {"Stop, then RunUntil", nullptr,
       [](TEventLoop& l) {
         l.Stop();
         l.RunUntil([] { return false; }, 5ms);
       }},
      {"nested RunUntil, then Stop", nullptr,
       [](TEventLoop& l) {
         bool fired = false;
         TTimer t(nullptr, l);
         t.SetInterval(1);
         t.OnTimer = [&](TObject*) { fired = true; };
         t.SetEnabled(true);
         EXPECT_TRUE(l.RunUntil([&] { return fired; }, 1s));
         l.Stop();
       }},
  };
  for (const auto& c : cases) {
    for (bool use_run_for : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (use_run_for ? " (RunFor)" : " (Run)"));
      TEventLoop loop;
      if (c.before) c.before(loop);
      if (c.inside) loop.Post([&] { c.inside(loop); });
      // A stop that went missing is ended here, late enough to be seen.
      TTimer rescue(nullptr, loop);
      rescue.SetInterval(1500);
      rescue.OnTimer = [&](TObject*) { loop.Stop(); };
      rescue.SetEnabled(true);
      const auto t0 = std::chrono::steady_clock::now();
      if (use_run_for)
        loop.RunFor(3s);
      else
        loop.Run();
      EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
    }
  }
}

// A stop that has ended a run is used up: the next run runs.
TEST(EventLoop, StopIsUsedUpByTheRunItEnds) {
  TEventLoop loop;
  loop.Stop();
  EXPECT_EQ(loop.RunFor(1s), 0u);  // returns at once
  int ran = 0;
  loop.Post([&] { ++ran; });
  const auto t0 = std::chrono::steady_clock::now();
  loop.RunFor(60ms);
  EXPECT_EQ(ran, 1);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, 50ms);
  // A pending stop does not end ProcessMessages, nor is it used up by it.
  loop.Stop();
  loop.Post([&] { ++ran; });
  EXPECT_EQ(loop.ProcessMessages(), 1u);
  EXPECT_EQ(loop.RunFor(1s), 0u);
}

// One loop run by two threads at once is refused loudly instead of letting
// two handlers race on the same components.
void run_one_loop_on_two_threads() {
  asio::io_context ctx;
  TEventLoop loop(ctx);
  TTimer a(nullptr, loop);
  TTimer b(nullptr, loop);
  for (TTimer* t : {&a, &b}) {
    t->SetInterval(1);
    t->OnTimer = [](TObject*) { std::this_thread::sleep_for(20ms); };
    t->SetEnabled(true);
  }
  std::thread other([&] { ctx.run_for(2s); });
  ctx.run_for(2s);
  other.join();
}

TEST(EventLoopDeathTest, AnIoContextRunOnTwoThreadsEndsTheProcess) {
  ::testing::FLAGS_gtest_death_test_style = "threadsafe";
  EXPECT_DEATH(run_one_loop_on_two_threads(), "run on two threads at once");
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
