// What went wrong when the CLI was used for real, each case as a user meets
// it: the built executable against the embedded simulator, or against a
// scripted SMSC (LoopbackPeer) that flushes a stale receipt, unbinds, sends an
// unknown command or an unframeable header.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <regex>
#include <sstream>

#include <nlohmann/json.hpp>

#include "cli/Process.h"
#include "common/LoopbackPeer.h"

namespace velmor::test {
namespace {

using namespace std::chrono_literals;
const std::string kExe = VELMOR_CLI_EXE;

std::string U32(std::uint32_t v) { return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)}; }
std::uint32_t At(const std::string& p, std::size_t i) {
  return (std::uint32_t(std::uint8_t(p[i])) << 24) | (std::uint32_t(std::uint8_t(p[i + 1])) << 16) |
         (std::uint32_t(std::uint8_t(p[i + 2])) << 8) | std::uint8_t(p[i + 3]);
}
std::string Pdu(std::uint32_t id, std::uint32_t status, std::uint32_t seq, const std::string& body = {}) {
  return U32(16 + static_cast<std::uint32_t>(body.size())) + U32(id) + U32(status) + U32(seq) + body;
}
std::string Cstr(const std::string& s) { return s + std::string(1, '\0'); }

// A deliver_sm carrying the conventional receipt text for message `id`.
std::string Receipt(std::uint32_t seq, const std::string& id, const std::string& stat) {
  const std::string text =
      "id:" + id + " sub:001 dlvrd:001 submit date:2601011200 done date:2601011201 stat:" + stat + " err:000 text:";
  std::string body = Cstr("") + "\x01\x01" + Cstr("4670001") + "\x01\x01" + Cstr("4670") +
                     std::string("\x04\x00\x00", 3) + Cstr("") + Cstr("") + std::string(4, '\0') + char(text.size()) +
                     text;
  return Pdu(0x00000005, 0, seq, body);
}

// Answers bind, submit_sm and unbind like an SMSC; `extra` runs after the
// bind_resp and after each submit_sm_resp, and sees every PDU first
// (returning true when it handled it).
struct Script {
  std::function<void(PeerConn&)> after_bind = [](PeerConn&) {};
  std::function<void(PeerConn&, const std::string& message_id)> after_submit = [](PeerConn&, const std::string&) {};
  std::function<bool(PeerConn&, const std::string& pdu)> on_pdu = [](PeerConn&, const std::string&) { return false; };
};

void Serve(LoopbackPeer& peer, Script s) {
  peer.serve([s](PeerConn& c) {
    std::uint32_t next_id = 42;
    for (;;) {
      const std::string p = c.recv_pdu(5000);
      if (p.size() < 16) return;
      if (s.on_pdu(c, p)) continue;
      const std::uint32_t id = At(p, 4), seq = At(p, 12);
      if (id == 0x00000009 || id == 0x00000002 || id == 0x00000001) {
        c.send(Pdu(0x80000000 | id, 0, seq, Cstr("SMSC")));
        s.after_bind(c);
      } else if (id == 0x00000004) {
        const std::string mid = std::to_string(next_id++);
        c.send(Pdu(0x80000004, 0, seq, Cstr(mid)));
        s.after_submit(c, mid);
      } else if (id == 0x00000006) {
        c.send(Pdu(0x80000006, 0, seq));
        return;
      } else if (id == 0x00000015) {
        c.send(Pdu(0x80000015, 0, seq));
      }
    }
  });
}

ProcessResult Cli(std::vector<std::string> args, std::chrono::milliseconds timeout = 10s,
                  const std::vector<std::string>& env = {}) {
  return Run(kExe, args, timeout, env);
}

std::vector<std::string> At(LoopbackPeer& peer) {
  return {"--host", "127.0.0.1", "--port", std::to_string(peer.port())};
}

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// A receipt the SMSC flushes right after the bind belongs to an earlier
// message: send --receipt waits for its own, and reports its real state.
TEST(RealUse, ReceiptIsMatchedToItsOwnMessage) {
  LoopbackPeer peer;
  Script s;
  s.after_bind = [](PeerConn& c) { c.send(Receipt(1, "999", "DELIVRD")); };
  s.after_submit = [](PeerConn& c, const std::string& mid) { c.send(Receipt(2, mid, "UNDELIV")); };
  Serve(peer, s);
  const auto r = Cli(std::vector<std::string>{"send", "--receipt", "--to", "4670001", "--text", "hi"} + At(peer));
  peer.join();
  EXPECT_EQ(r.exit_code, 10) << r.out << r.err;
  EXPECT_NE(r.out.find("receipt received: id=42 state=UNDELIVERABLE stat=UNDELIV"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("ignored a receipt for message_id 999"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("error: not delivered: the receipt says UNDELIV"), std::string::npos) << r.err;
}

// Each final state has its own exit code; only DELIVRD is success.
TEST(RealUse, ReceiptStatesHaveTheirOwnExitCodes) {
  const std::pair<const char*, int> cases[] = {{"DELIVRD", 0},  {"UNDELIV", 10}, {"EXPIRED", 11},
                                               {"REJECTD", 12}, {"DELETED", 13}, {"UNKNOWN", 14}};
  for (const auto& [stat, code] : cases) {
    SCOPED_TRACE(stat);
    LoopbackPeer peer;
    Script s;
    s.after_submit = [stat = std::string(stat)](PeerConn& c, const std::string& mid) { c.send(Receipt(2, mid, stat)); };
    Serve(peer, s);
    const auto r = Cli(std::vector<std::string>{"send", "--receipt", "--to", "4670001", "--text", "hi"} + At(peer));
    peer.join();
    EXPECT_EQ(r.exit_code, code) << r.err;
  }
}

// The SMSC's requests are answered: an unknown command_id with generic_nack
// ESME_RINVCMDID, its unbind with unbind_resp (and the CLI says so).
TEST(RealUse, UnknownCommandAndUnbindFromTheSmscAreAnswered) {
  LoopbackPeer peer;
  std::atomic<std::uint32_t> nack_status{0xFFFFFFFF}, nack_seq{0}, unbind_resp_seq{0};
  peer.serve([&](PeerConn& c) {
    const std::string bind = c.recv_pdu();
    if (bind.size() < 16) return;
    c.send(Pdu(0x80000000 | At(bind, 4), 0, At(bind, 12), Cstr("SMSC")));
    c.send(Pdu(0x00000777, 0, 5));
    for (std::string p; (p = c.recv_pdu(3000)).size() >= 16;) {
      if (At(p, 4) == 0x80000000) {
        nack_status = At(p, 8);
        nack_seq = At(p, 12);
        c.send(Pdu(0x00000006, 0, 6));  // unbind
      } else if (At(p, 4) == 0x80000006) {
        unbind_resp_seq = At(p, 12);
        return;
      }
    }
  });
  const auto r = Cli(std::vector<std::string>{"listen", "--duration", "5"} + At(peer));
  peer.join();
  EXPECT_EQ(nack_seq.load(), 5u);
  EXPECT_EQ(nack_status.load(), 0x00000003u);  // ESME_RINVCMDID
  EXPECT_EQ(unbind_resp_seq.load(), 6u);
  EXPECT_EQ(r.exit_code, 7) << r.err;
  EXPECT_NE(r.err.find("the SMSC ended the session (unbind, answered)"), std::string::npos) << r.err;
  EXPECT_LT(r.elapsed, 4s);
}

// A header that cannot be framed ends the link, and the error shows it.
TEST(RealUse, UnframeableHeaderIsNamed) {
  LoopbackPeer peer;
  Script s;
  s.on_pdu = [](PeerConn& c, const std::string& p) {
    if (At(p, 4) != 0x00000015) return false;
    c.send(std::string("\x00\x00\x00\x00\x00\x00\x00\x04\x00\x00\x00\x00\x00\x00\x00\x07", 16));
    return true;
  };
  Serve(peer, s);
  const auto r = Cli(std::vector<std::string>{"ping", "--count", "1"} + At(peer));
  peer.join();
  EXPECT_EQ(r.exit_code, 7) << r.err;
  EXPECT_NE(r.err.find("cannot be framed (command_length=0 command_id=0x00000004 command_status=0x00000000 "
                       "sequence_number=7)"),
            std::string::npos)
      << r.err;
}

// A throttled part waits the session's pause and goes again: the whole text
// arrives, never half of it.
TEST(RealUse, ThrottledPartIsRetried) {
  const std::string text(400, 'a');  // 3 GSM parts
  const auto r = Cli({"send", "--to", "4670001", "--text", text, "--throttle-every", "2"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  for (const char* part : {"part 1/3: message_id=", "part 2/3: message_id=", "part 3/3: message_id="})
    EXPECT_NE(r.out.find(part), std::string::npos) << r.out;
}

// Input checks that happen before any connection, and inputs that mean the
// same wherever they come from.
TEST(RealUse, InputIsCheckedBeforeConnecting) {
  const std::string closed = std::to_string(closed_port());
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::vector<std::string> env;
    int exit_code;
    std::string err;  // must appear in stderr
  };
  const Case cases[] = {
      {"--port alone is 127.0.0.1",
       {"ping", "--port", closed},
       {},
       3,
       "cannot connect to 127.0.0.1:" + closed + ": error 111 (Connection refused)"},
      {"SMPP_PORT alone is 127.0.0.1", {"ping"}, {"SMPP_PORT=" + closed}, 3, "cannot connect to 127.0.0.1:" + closed},
      {"long SMPP_PASSWORD", {"ping"}, {"SMPP_PASSWORD=123456789"}, 2, "SMPP_PASSWORD (for --password)"},
      {"repeated flag", {"send", "--to", "1", "--text", "a", "--text", "b"}, {}, 2, "--text is given more than once"},
      {"unrepresentable",
       {"send", "--to", "1", "--text", "Hello Ж", "--encoding", "gsm"},
       {},
       2,
       "character 'Ж' (U+0416) at position 7 is not in the GSM 7-bit alphabet: use --encoding ucs2"},
      {"too long",
       {"send", "--to", "1", "--text", std::string(100000, 'a')},
       {},
       2,
       "text needs 654 parts; at most 255 fit in one concatenated message"},
      {"receipt without registered delivery",
       {"send", "--to", "1", "--text", "a", "--receipt", "--registered-delivery", "0"},
       {},
       2,
       "drop one of them"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto r = Cli(c.args, 10s, c.env);
    EXPECT_EQ(r.exit_code, c.exit_code) << r.err;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("embedded SMSC"), std::string::npos) << "nothing starts before the input is checked";
  }
}

TEST(RealUse, TraceMasksThePassword) {
  const auto r = Cli({"ping", "--count", "1", "--trace", "--password", "secret"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err.find("73 65 63 72 65 74"), std::string::npos) << r.err;  // "secret"
  EXPECT_NE(r.err.find("2A 2A 2A 2A 2A 2A 00"), std::string::npos) << r.err;
}

// The done-when of bulk sending: 100,000 messages through a window of 100.
// (Plain output: with --json each message has a line of its own, which the
// resume test checks; here only the summary matters.)
TEST(RealUse, BulkSendOfOneHundredThousand) {
  const auto r = Cli({"send", "--to", "4670001", "--text", "bulk", "--count", "100000", "--window", "100"}, 25s);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(std::regex_search(r.out, std::regex("\\nread 100000: skipped 0, not sent 0, sent 100000 \\(accepted "
                                                  "100000, refused 0, partial 0, unknown 0\\) in [0-9.]+ s "
                                                  "\\([0-9]+ msg/s\\)\\nlatency p50 [0-9.]+ ms, p90 [0-9.]+ ms, p99 "
                                                  "[0-9.]+ ms, max [0-9.]+ ms\\n")))
      << r.out;
  EXPECT_LT(r.elapsed, 20s);
}

// --file: CSV and JSON lines, receipts by state in the summary; a bad line
// is named and nothing is sent.
TEST(RealUse, FileOfMessages) {
  const std::string path = ::testing::TempDir() + "velmor_cli_messages.txt";
  {
    std::ofstream f(path);
    f << "4670001,hello there\n"
      << "# a comment\n"
      << "{\"to\": \"4670002\", \"text\": \"from JSON\"}\n"
      << "4670003,\"quoted, with comma\"\n"
      << "{\"to\": [\"4670004\", \"4670005\"], \"text\": \"two\"}\n";
  }
  const auto r = Cli({"send", "--file", path, "--receipt", "--undeliverable", "4670003", "--json"});
  EXPECT_EQ(r.exit_code, 10) << r.err;
  EXPECT_NE(r.out.find("\"sent\":4"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"accepted\":4"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"DELIVRD\":4"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"UNDELIV\":1"), std::string::npos) << r.out;

  {
    std::ofstream f(path);
    f << "4670001,fine\n{\"to\": \"4670002\", \"txt\": \"typo\"}\n";
  }
  const auto bad = Cli({"send", "--file", path});
  EXPECT_EQ(bad.exit_code, 2);
  EXPECT_NE(bad.err.find(path + ":2: unknown field \"txt\""), std::string::npos) << bad.err;
  EXPECT_EQ(bad.out.find("connected"), std::string::npos) << bad.out;
}

TEST(RealUse, ListenFailureNamesTheOsReason) {
  LoopbackPeer busy;  // holds a listening port
  const auto r = Cli({"simulate", "--port", std::to_string(busy.port())});
  EXPECT_EQ(r.exit_code, 3);
  EXPECT_EQ(r.err, "error: cannot listen on 127.0.0.1:" + std::to_string(busy.port()) +
                       ": Address already in use (choose another --port, or --port 0 for any free one)\n");
}

// submit_multi: every destination with its message_id or why it was refused.
TEST(RealUse, SubmitMultiPrintsEveryDestination) {
  const auto r = Cli({"send", "--to", "4670001,4670666,4670002", "--text", "hi", "--reject", "4670666"});
  EXPECT_EQ(r.exit_code, 9) << "partly refused: " << r.err;
  for (const char* line : {"submitted to 4670001: message_id=", "submitted to 4670002: message_id=",
                           "not accepted for 4670666: 0x0000000B ESME_RINVDSTADR"})
    EXPECT_NE(r.out.find(line), std::string::npos) << line << " in " << r.out;
}

// --json: stdout is JSON lines and nothing else, for every subcommand;
// --quiet: only the results.
TEST(RealUse, JsonAndQuietOutputScriptsCanTrust) {
  const std::vector<std::vector<std::string>> cases = {
      {"ping", "--count", "2", "--interval", "1", "--json"},
      {"send", "--to", "4670001", "--text", "Hej \xF0\x9F\x98\x80", "--receipt", "--json"},
      {"send", "--to", "4670001,4670002", "--text", "hi", "--json"},
      {"send", "--to", "4670001", "--text", "hi", "--count", "3", "--json"},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(args[0] + " " + args.back());
    const auto r = Cli(args);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    std::istringstream in(r.out);
    int n = 0;
    for (std::string line; std::getline(in, line); ++n)
      EXPECT_FALSE(nlohmann::json::parse(line, nullptr, false).is_discarded()) << line;
    EXPECT_GT(n, 0);
    EXPECT_NE(r.err.find("bound as"), std::string::npos) << "chatter goes to stderr";
  }
  const auto quiet = Cli({"ping", "--count", "1", "--quiet"});
  EXPECT_EQ(quiet.exit_code, 0);
  EXPECT_TRUE(std::regex_match(quiet.out, std::regex("enquire_link_resp seq=2 time=[0-9.]+ ms\n1 sent, 1 answered, "
                                                     "round trip min/avg/max/p99 = [0-9./]+ ms\n")))
      << quiet.out;
  EXPECT_EQ(quiet.err, "");
}

// simulate's message ids as asked: first id, style and prefix.
TEST(RealUse, SimulateMessageIdsAsAsked) {
  Process sim(kExe, {"simulate", "--port", "0", "--first-message-id", "255", "--id-style", "hex", "--id-prefix", "M"});
  const auto first = sim.ReadLine(5s);
  ASSERT_TRUE(first);
  std::smatch m;
  ASSERT_TRUE(std::regex_search(*first, m, std::regex("listening on 127\\.0\\.0\\.1:(\\d+)"))) << *first;
  const auto r = Cli({"send", "--port", m[1].str(), "--to", "4670001", "--text", "hi"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("message_id=MFF "), std::string::npos) << r.out;
  sim.Signal(SIGTERM);
  EXPECT_EQ(sim.Wait(5s).exit_code, 0);
}

// listen --reconnect comes back after the SMSC ends the session, and hears
// what the next session brings.
TEST(RealUse, ListenReconnectsAfterTheSmscUnbinds) {
  LoopbackPeer peer;
  std::atomic<int> sessions{0};
  peer.serve(
      [&](PeerConn& c) {
        const std::string bind = c.recv_pdu();
        if (bind.size() < 16) return;
        c.send(Pdu(0x80000000 | At(bind, 4), 0, At(bind, 12), Cstr("SMSC")));
        if (++sessions == 1) {
          c.send(Pdu(0x00000006, 0, 1));  // unbind
          c.recv_pdu(2000);               // unbind_resp
          return;
        }
        const std::string text = "after the rebind";
        c.send(Pdu(0x00000005, 0, 2,
                   Cstr("") + "\x01\x01" + Cstr("4670999") + "\x01\x01" + Cstr("4670") + std::string(3, '\0') +
                       Cstr("") + Cstr("") + std::string(4, '\0') + char(text.size()) + text));
        for (std::string p; (p = c.recv_pdu(3000)).size() >= 16;)
          if (At(p, 4) == 0x00000006) {
            c.send(Pdu(0x80000006, 0, At(p, 12)));
            return;
          }
      },
      2);
  const auto r = Cli(std::vector<std::string>{"listen", "--reconnect", "--count", "1", "--json"} + At(peer), 15s);
  peer.join();
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(sessions.load(), 2);
  EXPECT_NE(r.out.find("\"text\":\"after the rebind\""), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("reconnecting"), std::string::npos) << r.err;
}

// ping ends with its statistics, also when interrupted, and counts exactly:
// answered is the responses printed, sent at most one more (the one in
// flight when the signal came).
TEST(RealUse, PingSummaryOnInterrupt) {
  Process ping(kExe, {"ping", "--count", "100", "--interval", "100ms"});
  ASSERT_TRUE(ping.WaitForLine("enquire_link_resp", 5s)) << ping.err();
  ASSERT_TRUE(ping.WaitForLine("enquire_link_resp", 5s)) << ping.err();
  ping.Signal(SIGINT);
  const auto r = ping.Wait(5s);
  EXPECT_EQ(r.exit_code, 8) << r.err;
  std::smatch m;
  ASSERT_TRUE(std::regex_search(r.out, m,
                                std::regex("\\n([0-9]+) sent, ([0-9]+) answered, round trip min/avg/max/p99 = "
                                           "[0-9.]+/[0-9.]+/[0-9.]+/[0-9.]+ ms\\n")))
      << r.out;
  const int sent = std::stoi(m[1]), answered = std::stoi(m[2]);
  int printed = 0;
  for (std::size_t at = 0; (at = r.out.find("enquire_link_resp seq=", at)) != std::string::npos; ++at) ++printed;
  EXPECT_EQ(answered, printed);
  EXPECT_TRUE(sent == answered || sent == answered + 1) << r.out;
}

}  // namespace
}  // namespace velmor::test
