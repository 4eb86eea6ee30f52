// The simulator over real sockets: a plain blocking POSIX client on another
// thread talks to a Server served by the test's event loop.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Harness.h"
#include "tools/smsc/Server.h"

namespace velmor::smsc::test {
namespace {

class BlockingClient {
 public:
  explicit BlockingClient(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    timeval tv{5, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ~BlockingClient() { ::close(fd_); }
  bool connected() const { return connected_; }
  void send(const std::string& s) { (void)!::write(fd_, s.data(), s.size()); }
  // Reads exactly n octets; fewer when the peer closes or 5 s pass.
  std::string read(std::size_t n) {
    std::string out(n, '\0');
    std::size_t got = 0;
    while (got < n) {
      const ssize_t r = ::recv(fd_, out.data() + got, n - got, 0);
      if (r <= 0) break;
      got += static_cast<std::size_t>(r);
    }
    out.resize(got);
    return out;
  }
  // True when the peer has closed (recv returns 0).
  bool closed_by_peer() {
    char c;
    return ::recv(fd_, &c, 1, 0) == 0;
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
};

struct LoopbackCase {
  const char* name;
  std::vector<std::size_t> split_offsets;
};

class SmscLoopback : public ::testing::TestWithParam<LoopbackCase> {};

TEST_P(SmscLoopback, BindSubmitReceiptUnbind) {
  Config cfg = test_config();
  cfg.delivery_delay = std::chrono::milliseconds(0);
  cfg.split_offsets = GetParam().split_offsets;
  TEventLoop loop;
  Server server(cfg, loop);
  ASSERT_TRUE(server.start("127.0.0.1", 0));
  const int port = server.port();
  ASSERT_GT(port, 0);

  std::atomic<bool> done{false};
  std::string bind_resp, submit_resp, receipt, unbind_resp;
  bool peer_closed = false;
  std::thread client([&] {
    BlockingClient c(port);
    if (c.connected()) {
      c.send(bind_trx(1) + submit(2, "456", "hello", 1));
      bind_resp = c.read(32);
      submit_resp = c.read(18);
      receipt = c.read(0x94);
      c.send(hex("00000011 80000005 00000000 00000001 00") + hex("00000010 00000006 00000000 00000003"));
      unbind_resp = c.read(16);
      peer_closed = c.closed_by_peer();
    }
    done = true;
  });
  const bool finished = loop.RunUntil([&] { return done.load(); }, std::chrono::seconds(10));
  client.join();
  ASSERT_TRUE(finished);

  EXPECT_EQ(to_hex(bind_resp), to_hex(pdu(0x80000009, 1, cstr("VelmorSMSC") + "0210 0001 34")));
  EXPECT_EQ(to_hex(submit_resp), to_hex(hex("00000012 80000004 00000000 00000002 3100")));
  ASSERT_EQ(receipt.size(), 0x94u);
  EXPECT_EQ(to_hex(receipt.substr(0, 16)), to_hex(hex("00000094 00000005 00000000 00000001")));
  EXPECT_NE(receipt.find("stat:DELIVRD err:000 text:hello"), std::string::npos);
  EXPECT_EQ(to_hex(unbind_resp), to_hex(hex("00000010 80000006 00000000 00000003")));
  EXPECT_TRUE(peer_closed);

  loop.RunUntil([&] { return server.connections() == 0; }, std::chrono::seconds(2));
  EXPECT_EQ(server.connections(), 0);
  EXPECT_EQ(server.smsc().counters().responses_in, 1u);
  EXPECT_EQ(server.smsc().counters().unmatched_responses, 0u);
}

INSTANTIATE_TEST_SUITE_P(Table, SmscLoopback,
                         ::testing::Values(LoopbackCase{"WholeWrites", {}},
                                           LoopbackCase{"SplitWrites", {1, 5, 17, 40}}),
                         [](const auto& info) { return std::string(info.param.name); });

// Server::shutdown: every bound session is sent unbind; one that answers is
// closed at once, one that stays silent when the wait is over.
struct ShutdownCase {
  const char* name;
  bool silent_peer;
  std::chrono::milliseconds wait;
};

class SmscShutdown : public ::testing::TestWithParam<ShutdownCase> {};

TEST_P(SmscShutdown, UnbindsEverySessionThenCloses) {
  const ShutdownCase& sc = GetParam();
  TEventLoop loop;
  Server server(test_config(), loop);
  ASSERT_TRUE(server.start("127.0.0.1", 0));
  const int port = server.port();
  const int clients = sc.silent_peer ? 2 : 1;
  std::atomic<int> finished{0};
  std::string unbind[2];
  bool closed[2] = {false, false};
  std::vector<std::thread> threads;
  for (int i = 0; i < clients; ++i) {
    threads.emplace_back([&, i] {
      BlockingClient c(port);
      c.send(bind_trx(1, i == 0 ? "polite" : "silent"));
      c.read(32);  // bind_resp
      unbind[i] = c.read(16);
      if (i == 0 && unbind[i].size() == 16)
        c.send(pdu(command_id::unbind_resp, codec::Cursor(std::string_view(unbind[i]).substr(12)).u32()));
      closed[i] = c.closed_by_peer();
      ++finished;
    });
  }
  ASSERT_TRUE(loop.RunUntil([&] { return server.smsc().counters().binds_accepted == static_cast<unsigned>(clients); },
                            std::chrono::seconds(5)));
  bool done = false;
  const auto started = Clock::now();
  server.shutdown(sc.wait, [&] { done = true; });
  const bool ended = loop.RunUntil([&] { return done; }, std::chrono::seconds(10));
  const auto took = Clock::now() - started;
  loop.RunUntil([&] { return finished == clients; }, std::chrono::seconds(5));
  for (auto& t : threads) t.join();
  ASSERT_TRUE(ended);
  EXPECT_FALSE(server.active());
  for (int i = 0; i < clients; ++i) {
    EXPECT_EQ(to_hex(unbind[i].substr(0, 12)), to_hex(hex("00000010 00000006 00000000"))) << i;
    EXPECT_TRUE(closed[i]) << i;
  }
  if (sc.silent_peer)
    EXPECT_GE(took, sc.wait);
  else
    EXPECT_LT(took, sc.wait);
  EXPECT_EQ(server.smsc().counters().responses_in, 1u);
}

INSTANTIATE_TEST_SUITE_P(Table, SmscShutdown,
                         ::testing::Values(ShutdownCase{"AllAnswer", false, std::chrono::seconds(5)},
                                           ShutdownCase{"OneSilent", true, std::chrono::milliseconds(300)}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SmscShutdown, BeforeStartCallsDoneAtOnce) {
  TEventLoop loop;
  Server server(test_config(), loop);
  bool done = false;
  server.shutdown(std::chrono::seconds(5), [&] { done = true; });
  EXPECT_TRUE(done);
}

}  // namespace
}  // namespace velmor::smsc::test
