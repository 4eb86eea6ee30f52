// The client socket's read and write paths against a real loopback peer:
// octets a read handler leaves unread are notified again, in order; a burst
// larger than any one read arrives whole; what a read handler sends just
// before it closes still reaches the peer; octets whose readiness a nested
// run of the loop saw while no read was queued are still read.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "common/LoopbackPeer.h"
#include "platform/ScktComp.h"

namespace velmor::test {
namespace {

using namespace std::chrono_literals;

std::string pattern(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + i * 7 % 26);
  return s;
}

// Each notification takes `take` octets at most (ReceiveBuf(nullptr, -1)
// first, as the component does); the stream must come out whole either way.
TEST(ClientSocket, OctetsLeftUnreadAreNotifiedAgainInOrder) {
  for (const std::size_t total : {std::size_t{100}, std::size_t{300000}}) {
    for (const int take : {1, 7, 100000}) {
      if (total > 1000 && take < 100) continue;  // one octet per turn of the loop: slow, nothing new
      LoopbackPeer peer;
      const std::string sent = pattern(total);
      peer.serve([&](PeerConn& c) {
        c.send(sent);
        c.wait_closed();
      });
      TEventLoop loop;
      TClientSocket s(nullptr, loop);
      std::string got;
      s.OnRead = [&](TObject*, TCustomWinSocket* k) {
        const int ready = k->ReceiveBuf(nullptr, -1);
        ASSERT_GT(ready, 0);
        std::string buf(static_cast<std::size_t>(std::min(ready, take)), '\0');
        const int n = k->ReceiveBuf(buf.data(), static_cast<int>(buf.size()));
        ASSERT_EQ(n, static_cast<int>(buf.size()));
        got.append(buf);
      };
      s.SetHost("127.0.0.1");
      s.SetPort(peer.port());
      s.Open();
      ASSERT_TRUE(loop.RunUntil([&] { return got.size() >= total; }, 10s)) << total << " " << take;
      EXPECT_TRUE(got == sent) << total << " " << take;
      s.Close();
      loop.RunFor(10ms);
    }
  }
}

// Sends made inside a read handler are gathered until it returns; a Close in
// the same handler must not drop them. Outside one (in OnConnect) the first
// send goes to the kernel at once, so a Close right after it drops nothing
// either, whatever the loop has not yet handed to the kernel.
TEST(ClientSocket, SendThenCloseStillSends) {
  for (const bool in_read : {true, false}) {
    SCOPED_TRACE(in_read ? "inside a read handler" : "in OnConnect");
    LoopbackPeer peer;
    std::string got;
    peer.serve([&](PeerConn& c) {
      if (in_read) c.send("go");
      got = c.recv(6);
      c.wait_closed();
    });
    TEventLoop loop;
    TClientSocket s(nullptr, loop);
    bool closed = false;
    auto send_and_close = [&](TCustomWinSocket* k) {
      k->SendText("abc");
      k->SendText("def");
      if (in_read) {
        EXPECT_EQ(k->QueuedOctets(), 6u);  // gathered, not yet written
      }
      s.Close();
    };
    s.OnRead = [&](TObject*, TCustomWinSocket* k) {
      char buf[8];
      k->ReceiveBuf(buf, sizeof buf);
      send_and_close(k);
    };
    if (!in_read) s.OnConnect = [&](TObject*, TCustomWinSocket* k) { send_and_close(k); };
    s.OnDisconnect = [&](TObject*, TCustomWinSocket*) { closed = true; };
    s.SetHost("127.0.0.1");
    s.SetPort(peer.port());
    s.Open();
    ASSERT_TRUE(loop.RunUntil([&] { return closed; }, 5s));
    peer.join();
    EXPECT_EQ(got, "abcdef");
  }
}

// After a read that empties the socket the next read waits for readiness
// without trying first. Readiness seen while no read is queued (here by a
// run of the loop nested in the read handler, while the peer sends) must
// make the next read try at once, or those octets would wait forever.
TEST(ClientSocket, OctetsArrivingDuringANestedRunAreRead) {
  for (const bool nested : {false, true}) {
    LoopbackPeer peer;
    std::atomic<bool> inside{false}, sent{false};
    peer.serve([&](PeerConn& c) {
      c.send("1");
      while (!inside) std::this_thread::yield();
      c.send("2");
      sent = true;
      c.wait_closed();
    });
    TEventLoop loop;
    TClientSocket s(nullptr, loop);
    std::string got;
    s.OnRead = [&](TObject*, TCustomWinSocket* k) {
      char buf[8];
      got.append(buf, static_cast<std::size_t>(k->ReceiveBuf(buf, sizeof buf)));
      if (got != "1") return;
      inside = true;
      if (nested) loop.RunUntil([&] { return sent.load(); }, 5s), loop.RunFor(20ms);
    };
    s.SetHost("127.0.0.1");
    s.SetPort(peer.port());
    s.Open();
    EXPECT_TRUE(loop.RunUntil([&] { return got == "12"; }, 5s)) << nested << " got " << got;
    s.Close();
    loop.RunFor(10ms);
  }
}

// Octets and the peer's close that arrive together while the loop is busy:
// one readiness for both. A read that takes the octets and comes back short
// has not seen the close; the next read must still be tried, or the
// disconnect is never noticed.
TEST(ClientSocket, OctetsAndCloseArrivingTogetherEndInDisconnect) {
  LoopbackPeer peer;
  std::atomic<bool> held{false}, closed_by_peer{false};
  peer.serve([&](PeerConn& c) {
    c.send("a");
    while (!held) std::this_thread::yield();
    c.send("last");
    ::shutdown(c.fd(), SHUT_WR);
    closed_by_peer = true;
  });
  TEventLoop loop;
  TClientSocket s(nullptr, loop);
  std::string got;
  bool disconnected = false;
  s.OnRead = [&](TObject*, TCustomWinSocket* k) {
    char buf[8];
    got.append(buf, static_cast<std::size_t>(k->ReceiveBuf(buf, sizeof buf)));
    if (got != "a") return;
    // Holds the loop, with the next read queued, until both have arrived.
    loop.Post([&] {
      held = true;
      while (!closed_by_peer) std::this_thread::yield();
      std::this_thread::sleep_for(20ms);  // the close's segment crosses loopback
    });
  };
  s.OnDisconnect = [&](TObject*, TCustomWinSocket*) { disconnected = true; };
  s.SetHost("127.0.0.1");
  s.SetPort(peer.port());
  s.Open();
  EXPECT_TRUE(loop.RunUntil([&] { return disconnected; }, 5s)) << "got " << got;
  EXPECT_EQ(got, "alast");
  peer.join();
}

}  // namespace
}  // namespace velmor::test
