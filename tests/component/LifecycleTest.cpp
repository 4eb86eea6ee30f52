// The component over real loopback connections: connect, exchange, close,
// failures, and destruction or disconnection from inside handlers.
#include <dirent.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <set>
#include <thread>

#include "common/EventLog.h"
#include "common/Hex.h"
#include "common/LoopbackPeer.h"
#include "common/Probe.h"
#include "package/VelmorSMPPDemo_LIB.h"

namespace velmor::test {
namespace {

using namespace std::chrono_literals;

TEST(Connection, EnquireLinkRoundTripThenDisconnect) {
  LoopbackPeer peer;
  std::string got;
  peer.serve([&](PeerConn& c) {
    got = c.recv_pdu();
    c.send(hex("00000010 80000015 00000000 00000001"));
    c.wait_closed();
  });
  TEventLoop loop;
  TVelmorSMPPDemo smpp(nullptr, loop);
  std::vector<std::string> log;
  record_all(smpp, log);
  smpp.OnConnect = [&](TObject*) {
    log.push_back("Connect");
    EXPECT_TRUE(smpp.Connected());
    EXPECT_EQ(smpp.Enquire_LINK(), 1u);
  };
  smpp.OnEnquire_LINK_RESP = [&](TObject*, Cardinal st, Cardinal seq) {
    log.push_back("Enquire_LINK_RESP " + std::to_string(st) + " " + std::to_string(seq));
    smpp.Disconnect();
    EXPECT_FALSE(smpp.Connected());
  };
  EXPECT_FALSE(smpp.Connected());
  smpp.Connect("127.0.0.1", peer.port());
  ASSERT_TRUE(loop.RunUntil([&] { return log.size() >= 4; }, 5s));
  EXPECT_EQ(log, (std::vector<std::string>{"Connecting", "Connect", "Enquire_LINK_RESP 0 1", "Disconnect"}));
  EXPECT_EQ(to_hex(got), "00 00 00 10 00 00 00 15 00 00 00 00 00 00 00 01");
}

TEST(Connection, PeerCloseEndsInOnDisconnect) {
  LoopbackPeer peer;
  peer.serve([](PeerConn& c) { c.send(hex("00000010 00000015 00000000 00000007")); });
  TEventLoop loop;
  TVelmorSMPPDemo smpp(nullptr, loop);
  std::vector<std::string> log;
  record_all(smpp, log);
  smpp.Connect("127.0.0.1", peer.port());
  ASSERT_TRUE(loop.RunUntil([&] { return !log.empty() && log.back() == "Disconnect"; }, 5s));
  EXPECT_EQ(log, (std::vector<std::string>{"Connecting", "Connect", "Enquire_LINK 0 7", "Disconnect"}));
  EXPECT_FALSE(smpp.Connected());
}

TEST(Connection, ResetMidPduEndsInDisconnectWithoutAnEventForThePartialPdu) {
  LoopbackPeer peer;
  peer.serve([](PeerConn& c) {
    c.send(hex("00000014 80000004 00000000 00000002 6162"));
    std::this_thread::sleep_for(50ms);
    c.reset();
  });
  TEventLoop loop;
  TVelmorSMPPDemo smpp(nullptr, loop);
  std::vector<std::string> log;
  record_all(smpp, log);
  smpp.Connect("127.0.0.1", peer.port());
  ASSERT_TRUE(loop.RunUntil([&] { return !log.empty() && log.back() == "Disconnect"; }, 5s));
  for (const auto& e : log) EXPECT_EQ(e.find("Submit"), std::string::npos) << e;
}

// Every way of naming an unusable peer ends in OnSockError with a non-zero
// code: never a crash, a hang, OnConnect, or a connection to another port.
TEST(Connection, UnusableAddressesEndInSockError) {
  struct Case {
    std::string host;
    Integer port;
  };
  const int refused = closed_port();
  const std::vector<Case> cases = {
      {"127.0.0.1", refused},
      {"::1", refused},
      {"[::1]", refused},
      {"127.0.0.1", 0},
      {"127.0.0.1", -1},
      {"127.0.0.1", 65536},
      {"127.0.0.1", 70000},
      {"127.0.0.1", 0x7FFFFFFF},
      {"127.0.0.1", -2147483647 - 1},
      {"", 2775},
      {"0.0.0.0", 2775},
      {"::", 2775},
      {"256.1.1.1", 2775},
      {"1.2.3", 2775},
      {"no.such..host.invalid", 2775},
      {"224.0.0.1", 2775},
      {"255.255.255.255", 2775},
      {std::string("127.0.0.1\0x", 11), 2775},
  };
  for (const auto& k : cases) {
    TEventLoop loop;
    TVelmorSMPPDemo smpp(nullptr, loop);
    std::vector<std::string> log;
    record_all(smpp, log);
    smpp.Connect(k.host, k.port);
    ASSERT_TRUE(loop.RunUntil([&] { return log.size() >= 2; }, 10s)) << k.host << ":" << k.port;
    loop.RunFor(20ms);
    ASSERT_EQ(log.size(), 2u) << k.host << ":" << k.port;
    EXPECT_EQ(log[0], "Connecting");
    EXPECT_EQ(log[1].rfind("SockError ", 0), 0u) << log[1];
    EXPECT_NE(log[1], "SockError 0");
    EXPECT_FALSE(smpp.Connected());
  }
}

// The socket's error notification: OnSockError carries the code the socket
// reported, and the component hands 0 back (handled), so the socket raises
// nothing of its own.
TEST(Connection, SocketErrorIsReportedThenHandedBackAsHandled) {
  TEventLoop loop;
  TVelmorSMPPDemo smpp(nullptr, loop);
  std::vector<std::string> log;
  record_all(smpp, log);
  ASSERT_EQ(smpp.ComponentCount(), 1);
  auto* sock = dynamic_cast<TClientSocket*>(smpp.Components(0));
  ASSERT_NE(sock, nullptr);
  std::vector<int> handed_back;
  sock->OnError = [inner = sock->OnError, &handed_back](TObject* s, TCustomWinSocket* k, TErrorEvent e, int& code) {
    inner(s, k, e, code);
    handed_back.push_back(code);
  };
  smpp.Connect("127.0.0.1", closed_port());
  ASSERT_TRUE(loop.RunUntil([&] { return log.size() >= 2; }, 5s));
  EXPECT_EQ(log, (std::vector<std::string>{"Connecting", ev("SockError", ECONNREFUSED)}));
  EXPECT_EQ(handed_back, std::vector<int>{0});
}

// A read notification that finds nothing ready (ReceiveBuf(nullptr, -1) is
// 0) fires nothing, keeps the connection, and the next PDU still arrives
// whole.
TEST(Connection, ReadNotificationWithNothingReadyDoesNothing) {
  LoopbackPeer peer;
  std::atomic<bool> go{false};
  peer.serve([&](PeerConn& c) {
    for (int i = 0; i < 5000 && !go; ++i) std::this_thread::sleep_for(1ms);
    c.send(hex("00000010 00000015 00000000 00000005"));
    c.wait_closed();
  });
  TEventLoop loop;
  TVelmorSMPPDemo smpp(nullptr, loop);
  std::vector<std::string> log;
  record_all(smpp, log);
  auto* sock = dynamic_cast<TClientSocket*>(smpp.Components(0));
  ASSERT_NE(sock, nullptr);
  smpp.Connect("127.0.0.1", peer.port());
  ASSERT_TRUE(loop.RunUntil([&] { return log.size() >= 2; }, 5s));
  ASSERT_EQ(sock->Socket()->ReceiveBuf(nullptr, -1), 0);
  for (int i = 0; i < 3; ++i) sock->OnRead(sock, sock->Socket());
  loop.RunFor(20ms);
  EXPECT_EQ(log, (std::vector<std::string>{"Connecting", "Connect"}));
  EXPECT_TRUE(smpp.Connected());
  go = true;
  ASSERT_TRUE(loop.RunUntil([&] { return log.size() >= 3; }, 5s));
  EXPECT_EQ(log[2], "Enquire_LINK 0 5");
  smpp.Disconnect();
  loop.RunFor(20ms);
}

// A request while not connected still spends its sequence number; the PDU is
// dropped and reported through OnSockError with the not-connected code.
TEST(Connection, SendWhileNotConnectedReportsNotConnected) {
  TEventLoop loop;
  TVelmorSMPPDemo smpp(nullptr, loop);
  std::vector<std::string> log;
  record_all(smpp, log);
  EXPECT_EQ(smpp.Enquire_LINK(), 1u);
  EXPECT_EQ(smpp.Enquire_LINK(), 2u);
  loop.ProcessMessages();
  EXPECT_EQ(log, (std::vector<std::string>{"SockError 107", "SockError 107"}));
}

TEST(Connection, LargeBurstArrivesWholeAndInOrder) {
  LoopbackPeer peer;
  std::string got;
  constexpr int kCount = 20000;
  peer.serve([&](PeerConn& c) {
    std::this_thread::sleep_for(100ms);  // let the kernel buffers fill
    got = c.recv(kCount * 16u, 10000);
  });
  TEventLoop loop;
  TVelmorSMPPDemo smpp(nullptr, loop);
  bool sent = false;
  smpp.OnConnect = [&](TObject*) {
    for (int i = 0; i < kCount; ++i) smpp.Enquire_LINK();
    sent = true;
  };
  smpp.Connect("127.0.0.1", peer.port());
  ASSERT_TRUE(loop.RunUntil([&] { return sent && peer.done(); }, 10s));
  ASSERT_EQ(got.size(), kCount * 16u);
  for (int i = 0; i < kCount; ++i) {
    const auto* p = reinterpret_cast<const unsigned char*>(got.data() + i * 16 + 12);
    ASSERT_EQ(Cardinal((p[0] << 24) | (p[1] << 16) | (p[2] << 8) | p[3]), Cardinal(i + 1));
  }
}

// The send queue is bounded: against a peer that never reads, PDUs past the
// bound are dropped, each with OnSockError(send_queue_full).
TEST(Connection, SendQueueBoundAgainstPeerThatNeverReads) {
  LoopbackPeer peer;
  std::atomic<bool> stop{false};
  peer.serve([&](PeerConn&) {
    while (!stop) std::this_thread::sleep_for(10ms);
  });
  TEventLoop loop;
  TVelmorSMPPDemo smpp(nullptr, loop);
  smpp.SetSendQueueLimit(1 << 20);
  int full = 0, other = 0;
  bool done = false;
  smpp.OnSockError = [&](TObject*, Integer e) { (e == socket_error::send_queue_full ? full : other)++; };
  smpp.OnConnect = [&](TObject*) {
    const TOPSubmit_SM none{};
    for (int i = 0; i < 1000000; ++i)
      smpp.Submit_SM("", 1, 1, "1", 1, 1, "2", 0, 0, 0, "", "", 0, 0, 0, 0, std::string(100, 'x'), none);
    done = true;
  };
  smpp.Connect("127.0.0.1", peer.port());
  ASSERT_TRUE(loop.RunUntil([&] { return done; }, 30s));
  while (loop.ProcessMessages() > 0) {}
  stop = true;
  EXPECT_GT(full, 900000);
  EXPECT_EQ(other, 0);
  smpp.Disconnect();
  loop.RunFor(20ms);
}

// ---- destruction and disconnection from inside handlers ----------------------

// One PDU for each of the 22 events a received PDU can fire.
std::string every_received_event() {
  return hex(
      "0000001A 80000009 00000000 00000001 534D534300 0210 0001 34"
      "00000011 80000001 0000000D 00000002 00"
      "00000010 80000006 00000000 00000003"
      "00000010 80000006 00000001 00000004"
      "00000010 80000000 00000003 00000005"
      "00000014 80000004 00000000 00000006 61626300"
      "00000010 80000004 00000045 00000007"
      "0000001B 80000021 00000000 00000008 4100 01 01 01 3100 00000045"
      "00000012 80000021 00000008 00000009 00 00"
      "00000025 00000005 00000000 0000000A 00 0101 3100 0101 3200 00 00 00 00 00 00 00 00 00 02 4869"
      "00000022 00000103 00000000 0000000B 00 0101 3100 0101 3200 00 00 00 0424 0002 6869"
      "00000017 80000103 00000000 0000000C 4100 0425 0001 01"
      "00000010 80000103 00000045 0000000D"
      "00000016 80000003 00000000 0000000E 3432 00 00 02 00"
      "00000010 80000003 00000067 0000000F"
      "00000010 80000008 00000000 00000010"
      "00000010 80000008 00000011 00000011"
      "00000010 80000007 00000000 00000012"
      "00000010 80000007 00000013 00000013"
      "00000010 00000015 00000000 00000014"
      "00000010 80000015 00000000 00000015"
      "00000010 00000006 00000000 00000016");
}

TEST(Lifecycle, EveryReceivedEventIsReached) {
  TEventLoop loop;
  Probe c(nullptr, loop);
  std::vector<std::string> log;
  record_all(c, log);
  c.ReceiveOctets(every_received_event());
  ASSERT_EQ(log.size(), 22u);
  std::set<std::string> kinds;
  for (const auto& e : log) kinds.insert(e.substr(0, e.find(' ')));
  EXPECT_EQ(kinds.size(), 22u);
}

// Deleting the component inside the k-th handler stops everything at once:
// no later event, no access to freed memory (checked under AddressSanitizer).
TEST(Lifecycle, DestroyedInsideEachReceivedEventHandler) {
  for (std::size_t k = 1; k <= 22; ++k) {
    TEventLoop loop;
    auto* c = new Probe(nullptr, loop);
    std::vector<std::string> log;
    record_all(*c, log);
    Probe* victim = c;
    after_every_event(*c, [&] {
      if (log.size() == k && victim) {
        delete victim;  // the handler's own captures must stay usable
        victim = nullptr;
      }
    });
    c->ReceiveOctets(every_received_event());
    EXPECT_EQ(log.size(), k);
    EXPECT_EQ(victim, nullptr);
    loop.ProcessMessages();
  }
}

TEST(Lifecycle, OwnerDestroyedInsideHandlerTakesTheComponentWithIt) {
  TEventLoop loop;
  auto* owner = new TComponent(nullptr);
  auto* c = new Probe(owner, loop);
  int events = 0;
  c->OnEnquire_LINK = [&](TObject*, Cardinal, Cardinal) {
    ++events;
    delete owner;
  };
  c->ReceiveOctets(hex("00000010 00000015 00000000 00000001 00000010 00000015 00000000 00000002"));
  EXPECT_EQ(events, 1);
}

// The connection events too: delete inside OnConnecting, OnConnect,
// OnDisconnect and OnSockError, with the socket still busy.
TEST(Lifecycle, DestroyedInsideConnectionEventHandlers) {
  const char* events[] = {"Connecting", "Connect", "Disconnect", "SockError"};
  for (const char* which : events) {
    LoopbackPeer peer;
    const bool error_case = std::string(which) == "SockError";
    if (!error_case)
      peer.serve([](PeerConn& c) {
        c.send(hex("00000010 00000015 00000000 00000001"));
        std::this_thread::sleep_for(50ms);
      });
    TEventLoop loop;
    auto* c = new TVelmorSMPPDemo(nullptr, loop);
    std::vector<std::string> log;
    record_all(*c, log);
    TVelmorSMPPDemo* victim = c;
    after_every_event(*c, [&] {
      if (victim && log.back().rfind(which, 0) == 0) {
        delete victim;
        victim = nullptr;
      }
    });
    c->Connect("127.0.0.1", error_case ? closed_port() : peer.port());
    loop.RunUntil([&] { return victim == nullptr; }, 5s);
    loop.RunFor(100ms);
    EXPECT_EQ(victim, nullptr) << which;
    EXPECT_EQ(log.back().rfind(which, 0), 0u) << which;
    peer.join();
  }
}

// Disconnect from a handler: the whole PDUs still waiting in the same read
// are dispatched, and OnDisconnect follows from the loop.
TEST(Lifecycle, DisconnectInsideHandlerDispatchesTheRestOfTheBlock) {
  LoopbackPeer peer;
  peer.serve([](PeerConn& c) {
    c.send(
        hex("00000010 00000015 00000000 00000001 00000010 00000015 00000000 00000002"
            "00000010 00000015 00000000 00000003"));
    c.wait_closed();
  });
  TEventLoop loop;
  TVelmorSMPPDemo smpp(nullptr, loop);
  std::vector<std::string> log;
  record_all(smpp, log);
  smpp.OnEnquire_LINK = [&](TObject*, Cardinal, Cardinal seq) {
    log.push_back("Enquire_LINK " + std::to_string(seq));
    smpp.Disconnect();
  };
  smpp.Connect("127.0.0.1", peer.port());
  ASSERT_TRUE(loop.RunUntil([&] { return !log.empty() && log.back() == "Disconnect"; }, 5s));
  loop.RunFor(50ms);
  EXPECT_EQ(log, (std::vector<std::string>{"Connecting", "Connect", "Enquire_LINK 1", "Enquire_LINK 2",
                                           "Enquire_LINK 3", "Disconnect"}));
}

// Connect while connected: the old connection is closed first (its
// OnDisconnect comes before the new OnConnecting), and no descriptor leaks.
TEST(Lifecycle, SecondConnectClosesTheFirstConnection) {
  LoopbackPeer peer;
  std::atomic<int> closed_seen{0};
  peer.serve([&](PeerConn& c) { closed_seen += c.wait_closed(5000); }, 2);
  TEventLoop loop;
  TVelmorSMPPDemo smpp(nullptr, loop);
  std::vector<std::string> log;
  record_all(smpp, log);
  const int fds = open_fds();
  smpp.Connect("127.0.0.1", peer.port());
  ASSERT_TRUE(loop.RunUntil([&] { return log.size() == 2; }, 5s));
  smpp.Connect("127.0.0.1", peer.port());
  ASSERT_TRUE(loop.RunUntil([&] { return log.size() == 5; }, 5s));
  EXPECT_EQ(log, (std::vector<std::string>{"Connecting", "Connect", "Disconnect", "Connecting", "Connect"}));
  smpp.Disconnect();
  ASSERT_TRUE(loop.RunUntil([&] { return log.size() == 6; }, 5s));
  peer.join();
  EXPECT_EQ(closed_seen, 2);
  EXPECT_LE(open_fds(), fds);
}

TEST(Lifecycle, ConnectWhileConnectingAbandonsTheFirstAttempt) {
  LoopbackPeer peer;
  peer.serve([](PeerConn& c) { c.wait_closed(3000); }, 1);
  TEventLoop loop;
  TVelmorSMPPDemo smpp(nullptr, loop);
  std::vector<std::string> log;
  record_all(smpp, log);
  smpp.Connect("no.such..host.invalid", 2775);
  smpp.Connect("127.0.0.1", peer.port());
  ASSERT_TRUE(loop.RunUntil([&] { return smpp.Connected(); }, 5s));
  loop.RunFor(50ms);
  EXPECT_EQ(log, (std::vector<std::string>{"Connecting", "Connect"}));
  smpp.Disconnect();
  loop.RunFor(20ms);
}

TEST(Lifecycle, DefaultLoopWorksOutOfTheBox) {
  LoopbackPeer peer;
  peer.serve([](PeerConn& c) { c.wait_closed(3000); });
  auto owner = std::make_unique<TComponent>(nullptr);
  auto* smpp = new TVelmorSMPPDemo(owner.get());
  bool connected = false;
  smpp->OnConnect = [&](TObject* sender) { connected = sender == smpp; };
  smpp->Connect("127.0.0.1", peer.port());
  EXPECT_TRUE(TEventLoop::Default().RunUntil([&] { return connected; }, 5s));
  owner.reset();  // destroys the component and closes its connection
  TEventLoop::Default().ProcessMessages();
}

TEST(Package, RegisterPutsTheComponentOnTheVelmorPage) {
  Register();
  Register();
  int found = 0;
  for (const auto& e : RegisteredComponents())
    if (e.Class.ClassName == "TVelmorSMPPDemo" && e.Page == "Velmor") ++found;
  EXPECT_EQ(found, 1);
  TComponent owner(nullptr);
  TComponent* c = CreateComponent("TVelmorSMPPDemo", &owner);
  ASSERT_NE(dynamic_cast<TVelmorSMPPDemo*>(c), nullptr);
  EXPECT_EQ(owner.ComponentCount(), 1);
  EXPECT_EQ(CreateComponent("TNoSuchClass", &owner), nullptr);
}

}  // namespace
}  // namespace velmor::test
