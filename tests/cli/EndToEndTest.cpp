// The built executable against real sockets on 127.0.0.1: the embedded
// simulator, a `simulate` process, an in-test SMSC on a thread of its own, a
// closed port and a peer that never answers. Each child runs under a
// deadline and is killed past it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <future>
#include <regex>
#include <sstream>
#include <thread>

#include "cli/Process.h"
#include "common/LoopbackPeer.h"
#include "common/TestPki.h"
#include "tools/smsc/Server.h"

namespace velmor::test {
namespace {

using namespace std::chrono_literals;
const std::string kExe = VELMOR_CLI_EXE;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// Each pattern must match a line, in this order (other lines may come between).
void ExpectInOrder(const std::string& text, const std::vector<std::string>& patterns) {
  const auto lines = Lines(text);
  std::size_t at = 0;
  for (const auto& p : patterns) {
    const std::regex re(p);
    while (at < lines.size() && !std::regex_search(lines[at], re)) ++at;
    ASSERT_LT(at, lines.size()) << "no line matching /" << p << "/ in:\n" << text;
    ++at;
  }
}

std::string MessageId(const std::string& out) {
  std::smatch m;
  static const std::regex re("message_id=(\\S+)");
  return std::regex_search(out, m, re) ? m[1].str() : std::string();
}

struct SimulateProcess : velmor::test::SimulateProcess {
  explicit SimulateProcess(std::vector<std::string> flags) : velmor::test::SimulateProcess(kExe, std::move(flags)) {}
};

ProcessResult Cli(std::vector<std::string> args, std::chrono::milliseconds timeout = 10s,
                  const std::vector<std::string>& env = {}) {
  return Run(kExe, args, timeout, env);
}

TEST(EndToEnd, SendWithReceiptAgainstTheEmbeddedSimulator) {
  const auto r = Cli({"send", "--receipt", "--to", "46700000001", "--text", "Hello from Velmor"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err, "");
  ExpectInOrder(
      r.out, {"^embedded SMSC listening on 127\\.0\\.0\\.1:\\d+", "^connected to 127\\.0\\.0\\.1:\\d+$",
              "^bound as transceiver \\([0-9.]+ ms\\)$", "^submitted to 46700000001: message_id=\\S+ \\([0-9.]+ ms\\)$",
              "^receipt received: id=\\S+ state=DELIVERED stat=DELIVRD", "^unbound$", "^disconnected$"});
  EXPECT_LT(r.elapsed, 3s);
}

TEST(EndToEnd, SeveralDestinationsGoBySubmitMulti) {
  const auto r = Cli({"send", "--trace", "--receipt", "--to", "4670001,4670002", "--to", "4670003", "--text", "hi",
                      "--undeliverable", "4670003"});
  // One destination's receipt says UNDELIV: the run is not a success.
  EXPECT_EQ(r.exit_code, 10) << r.err;
  ExpectInOrder(r.err, {"^error: not delivered: the receipt says UNDELIV$"});
  ExpectInOrder(r.err, {"^> submit_multi \\(0x00000021\\)", "^< submit_multi_resp \\(0x80000021\\)"});
  EXPECT_EQ(r.err.find("> submit_sm "), std::string::npos);
  // Every destination with its message_id.
  // (message ids are the simulator's to choose)
  ExpectInOrder(r.out, {"^submitted to 4670001: message_id=\\S+ ", "^submitted to 4670002: message_id=\\S+ ",
                        "^submitted to 4670003: message_id=\\S+ "});
  // One receipt per destination; the undeliverable one says so.
  EXPECT_EQ(std::regex_search(r.out, std::regex("state=UNDELIVERABLE stat=UNDELIV err=001")), true) << r.out;
  const auto lines = Lines(r.out);
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) { return l.rfind("receipt received:", 0) == 0; }),
            3);
}

TEST(EndToEnd, TraceShowsEveryPduBothWays) {
  const auto r = Cli({"ping", "--count", "1", "--trace"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  ExpectInOrder(r.err,
                {"^> bind_transmitter \\(0x00000002\\) len=\\d+ seq=1 status=0x00000000 ESME_ROK \\| 00 00 00",
                 "^< bind_transmitter_resp \\(0x80000002\\)",
                 "^> enquire_link \\(0x00000015\\) len=16 seq=2 .*\\| 00 00 00 10 00 00 00 15 00 00 00 00 00 00 00 02$",
                 "^< enquire_link_resp", "^> unbind ", "^< unbind_resp "});
}

TEST(EndToEnd, PingPrintsRoundTrips) {
  const auto r = Cli({"ping", "--count", "3", "--interval", "20"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  ExpectInOrder(r.out,
                {"^enquire_link_resp seq=2 time=[0-9.]+ ms$", "^enquire_link_resp seq=3 ", "^enquire_link_resp seq=4 ",
                 "^3 sent, 3 answered, round trip min/avg/max/p99 = [0-9.]+/[0-9.]+/[0-9.]+/[0-9.]+ ms$"});
}

// Replies from an in-test SMSC: every submit_sm from "sender" comes back as a
// deliver_sm to whoever is bound as "listener", so a long text split by one
// CLI process is reassembled by another.
class EchoSmsc {
 public:
  EchoSmsc() {
    std::promise<int> port;
    auto ready = port.get_future();
    thread_ = std::thread([this, &port] {
      smsc::Server server({}, loop_);
      server.smsc().on_submit = [this, &server](const smsc::Session&, const smsc::MessageView& m) {
        smsc::Originated o;
        o.source = "4670999";
        o.destination = std::string(m.destinations.empty() ? "" : m.destinations[0].address.addr);
        o.esm_class = m.esm_class;
        o.data_coding = m.data_coding;
        o.text = std::string(m.short_message);
        // Inject after the submit is answered, from the loop.
        loop_.Post([&server, o] {
          server.smsc().deliver_sm("listener", o, smsc::Clock::now());
          server.flush();
        });
      };
      port.set_value(server.start("127.0.0.1", 0) ? server.port() : 0);
      loop_.Run();
      server.stop();
    });
    port_ = ready.get();
  }
  ~EchoSmsc() {
    loop_.Stop();
    thread_.join();
  }
  std::string port() const { return std::to_string(port_); }

 private:
  TEventLoop loop_;
  std::thread thread_;
  int port_ = 0;
};

TEST(EndToEnd, LongEmojiTextSplitByUdhIsReassembledByListen) {
  EchoSmsc smsc;
  ASSERT_NE(smsc.port(), "0");
  std::string text;
  for (int i = 0; i < 30; ++i) text += "\xF0\x9F\x98\x80 part ";  // 210 UCS-2 units: 4 parts of 67
  Process listener(kExe, {"listen", "--host", "127.0.0.1", "--port", smsc.port(), "--system-id", "listener", "--json",
                          "--count", "1", "--duration", "10"});
  ASSERT_TRUE(listener.WaitForErr("bound as receiver", 5s)) << listener.err();
  const auto sent = Cli({"send", "--host", "127.0.0.1", "--port", smsc.port(), "--system-id", "sender", "--to",
                         "4670001", "--text", text, "--split", "udh"});
  EXPECT_EQ(sent.exit_code, 0) << sent.err;
  ExpectInOrder(sent.out, {"part 1/4: message_id=", "part 4/4: message_id="});
  const auto heard = listener.Wait(5s);
  EXPECT_EQ(heard.exit_code, 0) << heard.err;
  const std::string expected =
      "{\"type\":\"message\",\"via\":\"deliver_sm\",\"from\":\"4670999\",\"to\":\"4670001\","
      "\"data_coding\":8,\"parts\":4,\"text\":\"" +
      text + "\"}";
  // --json: stdout holds the JSON lines only.
  EXPECT_EQ(Lines(heard.out).size(), 1u) << heard.out;
  ExpectInOrder(heard.err, {"^bound as receiver", "^unbound$", "^disconnected$"});
  EXPECT_NE(heard.out.find(expected), std::string::npos) << heard.out;
}

TEST(EndToEnd, QueryReplaceAndCancelAgainstSimulate) {
  SimulateProcess sim({"--delivery-delay", "60000"});
  ASSERT_FALSE(sim.port().empty());
  const std::vector<std::string> at = {"--host", "127.0.0.1", "--port", sim.port(), "--source", "4670"};
  auto cli = [&](std::vector<std::string> args) {
    args.insert(args.end(), at.begin(), at.end());
    return Cli(args);
  };
  const auto sent = cli({"send", "--to", "4670001", "--text", "first"});
  ASSERT_EQ(sent.exit_code, 0) << sent.err;
  const std::string id = MessageId(sent.out);
  ASSERT_FALSE(id.empty());

  struct Step {
    std::vector<std::string> args;
    int exit_code;
    std::string out;  // regex on stdout, or on stderr when the step fails
  };
  const Step steps[] = {
      {{"query", "--id", id}, 0, "^query message_id=" + id + " state=ENROUTE final_date=- error_code=0 "},
      {{"replace", "--id", id, "--text", "second"}, 0, "^replaced message_id=" + id + " "},
      {{"cancel", "--id", id, "--to", "4670001"}, 0, "^cancelled message_id=" + id + " "},
      {{"query", "--id", id}, 0, "^query message_id=" + id + " state=DELETED final_date=\\d{12}"},
      {{"cancel", "--id", id}, 5, "^error: cancel rejected: 0x00000011 ESME_RCANCELFAIL \\(cancel_sm failed\\)$"},
      {{"replace", "--id", id, "--text", "x"}, 5, "^error: replace rejected: 0x00000013 ESME_RREPLACEFAIL"},
      {{"query", "--id", "999"}, 5, "^error: query rejected: 0x00000067 ESME_RQUERYFAIL"},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.args[0] + " " + s.args.back());
    const auto r = cli(s.args);
    EXPECT_EQ(r.exit_code, s.exit_code) << r.out << r.err;
    ExpectInOrder(s.exit_code ? r.err : r.out, {s.out});
  }
  const auto stopped = sim.Stop();
  EXPECT_EQ(stopped.exit_code, 0) << stopped.err;
}

TEST(EndToEnd, PasswordFromTheEnvironmentIsUsedForTheBind) {
  SimulateProcess sim({"--credential", "velmor:secret"});
  ASSERT_FALSE(sim.port().empty());
  const std::vector<std::string> args = {"ping", "--count", "1", "--host", "127.0.0.1", "--port", sim.port()};
  const auto good = Cli(args, 10s, {"SMPP_PASSWORD=secret"});
  EXPECT_EQ(good.exit_code, 0) << good.err;
  const auto bad = Cli(args, 10s, {"SMPP_PASSWORD=wrong"});
  EXPECT_EQ(bad.exit_code, 4);
  EXPECT_NE(bad.err.find("bind rejected: 0x0000000E ESME_RINVPASWD"), std::string::npos) << bad.err;
}

TEST(EndToEnd, BindRejectedBySimulate) {
  SimulateProcess sim({"--reject-binds"});
  ASSERT_FALSE(sim.port().empty());
  const auto r = Cli({"send", "--host", "127.0.0.1", "--port", sim.port(), "--to", "1", "--text", "x"});
  EXPECT_EQ(r.exit_code, 4);
  EXPECT_EQ(r.err, "error: bind rejected: 0x0000000D ESME_RBINDFAIL (Bind failed)\n");
  EXPECT_EQ(sim.Stop().exit_code, 0);
}

TEST(EndToEnd, ThrottledSubmit) {
  const auto r = Cli({"send", "--to", "1", "--text", "x", "--throttle-every", "1"});
  EXPECT_EQ(r.exit_code, 5);
  EXPECT_EQ(r.err, "error: submit rejected: 0x00000058 ESME_RTHROTTLED (Throttling error)\n");
  // The session is still closed properly after the refusal.
  ExpectInOrder(r.out, {"^unbound$", "^disconnected$"});
}

struct Failing {
  const char* name;
  std::vector<std::string> args;
  int exit_code;
  std::string err;  // regex on the single stderr line
};

TEST(EndToEnd, ConnectionFailuresAreOneLineWithTheSocketError) {
  const std::string closed = std::to_string(closed_port());
  const Failing cases[] = {
      {"refused",
       {"ping", "--host", "127.0.0.1", "--port", closed},
       3,
       "^error: cannot connect to 127\\.0\\.0\\.1:" + closed + ": error 111 \\(Connection refused\\)$"},
      {"unknown host",
       {"ping", "--host", "no.such..host.invalid", "--connect-timeout", "3000"},
       3,
       "^error: cannot connect to no\\.such\\.\\.host\\.invalid:2775: error -?\\d+ \\(.+\\)$"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto r = Cli(c.args);
    EXPECT_EQ(r.exit_code, c.exit_code) << r.err;
    EXPECT_EQ(Lines(r.err).size(), 1u) << r.err;
    ExpectInOrder(r.err, {c.err});
  }
}

TEST(EndToEnd, SilentPeerTimesOutWithinTheBindTimeout) {
  LoopbackPeer peer;  // never served: it accepts nothing and says nothing
  ASSERT_NE(peer.port(), 0);
  const auto r =
      Cli({"ping", "--host", "127.0.0.1", "--port", std::to_string(peer.port()), "--bind-timeout", "300"}, 5s);
  EXPECT_EQ(r.exit_code, 6);
  EXPECT_EQ(Lines(r.err).size(), 1u) << r.err;
  ExpectInOrder(r.err, {"^error: bind response: no answer within 300 ms$"});
  EXPECT_GE(r.elapsed, 300ms);
  EXPECT_LT(r.elapsed, 2500ms);
}

TEST(EndToEnd, BadFlagsExitTwoWithUsage) {
  const std::vector<std::vector<std::string>> cases = {
      {}, {"send", "--to", "1", "--text", "x", "--bogus"}, {"ping", "--count", "0"}, {"listen", "--port", "x"}};
  for (const auto& args : cases) {
    const auto r = Cli(args);
    EXPECT_EQ(r.exit_code, 2);
    // One line naming the problem, one pointing at the help.
    ASSERT_EQ(Lines(r.err).size(), 2u) << r.err;
    EXPECT_EQ(r.err.rfind("error: ", 0), 0u) << r.err;
    EXPECT_EQ(Lines(r.err)[1].rfind("try `velmorsmppdemo", 0), 0u) << r.err;
    EXPECT_EQ(r.out, "");
  }
  const auto help = Cli({"--help"});
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_NE(help.out.find("Exit codes"), std::string::npos);
}

TEST(EndToEnd, ListenStopsCleanlyOnSigterm) {
  Process listener(kExe, {"listen", "--bind", "transceiver"});
  ASSERT_TRUE(listener.WaitForLine("bound as transceiver", 5s)) << listener.err();
  listener.Signal(SIGTERM);
  const auto r = listener.Wait(3s);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  ExpectInOrder(r.out, {"^unbound$", "^disconnected$"});
}

TEST(EndToEnd, InterruptedSendExitsEight) {
  // A receipt that never comes (delivery in an hour) keeps send waiting.
  Process send(kExe, {"send", "--receipt", "--to", "1", "--text", "x", "--delivery-delay", "3600000"});
  ASSERT_TRUE(send.WaitForLine("submitted to 1", 5s)) << send.err();
  send.Signal(SIGINT);
  const auto r = send.Wait(3s);
  EXPECT_EQ(r.exit_code, 8) << r.err;
  EXPECT_EQ(r.err, "error: interrupted while waiting for delivery receipts\n");
  ExpectInOrder(r.out, {"^unbound$", "^disconnected$"});
}

// `simulate` over TLS with the test CA's certificate: send with --tls-ca gets
// its message and receipt through; without it the unknown CA is one line and
// exit code 3; --tls-insecure connects with a warning; a plaintext client is
// turned away (and the simulator says so), none of them hangs.
TEST(EndToEnd, TlsSendAgainstSimulateAndItsCertificateErrors) {
  const TestPki& pki = test_pki();
  SimulateProcess sim({"--tls-cert", pki.cert, "--tls-key", pki.key, "--delivery-delay", "100"});
  ASSERT_FALSE(sim.port().empty());
  const std::vector<std::string> send = {"send", "--host", "127.0.0.1", "--port", sim.port(),
                                         "--to", "123",    "--text",    "hi"};
  auto with = [&](std::vector<std::string> extra) {
    std::vector<std::string> args = send;
    args.insert(args.end(), extra.begin(), extra.end());
    return Cli(args);
  };

  const auto ok = with({"--tls", "--tls-ca", pki.ca, "--receipt", "--trace"});
  EXPECT_EQ(ok.exit_code, 0) << ok.err;
  ExpectInOrder(ok.out, {"^connected to 127\\.0\\.0\\.1:\\d+ over TLS$",
                         "^submitted to 123: message_id=", "^receipt received: id=\\S+ state=DELIVERED", "^unbound$"});
  ExpectInOrder(ok.err, {"^> bind_transceiver", "^tls TLSv1\\.[23] \\S+$"});

  const auto unknown_ca = with({"--tls"});
  EXPECT_EQ(unknown_ca.exit_code, 3);
  EXPECT_EQ(unknown_ca.out, "");
  ASSERT_EQ(Lines(unknown_ca.err).size(), 1u) << unknown_ca.err;
  EXPECT_NE(unknown_ca.err.find("error -1006 (TLS certificate is issued by an unknown CA"), std::string::npos)
      << unknown_ca.err;

  const auto wrong_name = with({"--tls", "--tls-ca", pki.ca, "--tls-server-name", "smsc.example"});
  EXPECT_EQ(wrong_name.exit_code, 3);
  EXPECT_NE(wrong_name.err.find("does not match the host name"), std::string::npos) << wrong_name.err;

  const auto insecure = with({"--tls-insecure"});
  EXPECT_EQ(insecure.exit_code, 0) << insecure.err;
  EXPECT_EQ(Lines(insecure.err).size(), 1u);
  EXPECT_NE(insecure.err.find("warning: --tls-insecure"), std::string::npos);

  const auto plaintext = with({"--connect-timeout", "2000", "--bind-timeout", "2000"});
  EXPECT_EQ(plaintext.exit_code, 7);
  EXPECT_NE(plaintext.err.find("(if the SMSC expects TLS, add --tls)"), std::string::npos) << plaintext.err;
  EXPECT_LT(plaintext.elapsed, 5s);

  const auto stopped = sim.Stop();
  EXPECT_EQ(stopped.exit_code, 0);
  EXPECT_NE(stopped.err.find("a client failed: TLS handshake failed"), std::string::npos) << stopped.err;
}

TEST(EndToEnd, SimulateRefusesUnusableTlsFiles) {
  const auto r =
      Cli({"simulate", "--port", "0", "--tls-cert", "/nonexistent/c.pem", "--tls-key", "/nonexistent/k.pem"});
  EXPECT_EQ(r.exit_code, 3);
  ASSERT_EQ(Lines(r.err).size(), 1u) << r.err;
  EXPECT_NE(r.err.find("cannot use --tls-cert /nonexistent/c.pem"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace velmor::test
