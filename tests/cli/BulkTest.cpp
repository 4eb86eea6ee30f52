// The CLI as a process against `simulate --json`, at the edges: a bulk run
// interrupted and resumed from its journal (the simulator must see every
// input line exactly once), the exit codes and flags that reach the wire,
// and MO texts the simulator encodes.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "cli/Json.h"
#include "cli/Process.h"

namespace velmor::test {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
const std::string kExe = VELMOR_CLI_EXE;

// The counts of a bulk summary add up to what was read.
void ExpectConsistent(const json& s) {
  ASSERT_EQ(s.value("type", ""), "summary") << s;
  EXPECT_EQ(s["skipped"].get<int>() + s["unsent"].get<int>() + s["sent"].get<int>(), s["read"].get<int>()) << s;
  EXPECT_EQ(s["accepted"].get<int>() + s["refused"].get<int>() + s["partial"].get<int>() + s["unknown"].get<int>(),
            s["sent"].get<int>())
      << s;
}

TEST(Bulk, InterruptedRunResumesFromItsJournalAndSendsEveryLineOnce) {
  constexpr int kLines = 20000;
  const std::string file = ::testing::TempDir() + "velmor_bulk.csv";
  const std::string journal = ::testing::TempDir() + "velmor_bulk.journal";
  std::remove(journal.c_str());
  {
    std::ofstream f(file);
    f << "to,text\n# comment lines and blank lines are skipped\n\n";
    for (int i = 0; i < kLines; ++i) f << 4670000000 + i << ",line " << i << "\n";
  }
  SimulateProcess sim(kExe, {"--json", "--delivery-delay", "1h"});
  ASSERT_FALSE(sim.port().empty());
  // Its events are read as they come, or the pipe would fill and stall it.
  ProcessResult stopped;
  std::thread reader([&] { stopped = sim.process().Wait(60s); });
  struct Join {
    SimulateProcess& sim;
    std::thread& t;
    ~Join() {
      if (!t.joinable()) return;
      sim.process().Signal(SIGTERM);
      t.join();
    }
  } join{sim, reader};
  const std::vector<std::string> send = {"send",      "--port", sim.port(), "--file", file,
                                         "--journal", journal,  "--rate",   "10000",  "--json"};

  Process first(kExe, send);
  ASSERT_TRUE(first.WaitForLine("\"line\":3000,", 10s)) << first.err();
  first.Signal(SIGINT);
  const auto a = first.Wait(10s);
  EXPECT_EQ(a.exit_code, 8) << a.err;
  const auto lines_a = JsonLines(a.out);
  ASSERT_FALSE(lines_a.empty());
  const json& sa = lines_a.back();
  ExpectConsistent(sa);
  EXPECT_EQ(sa["read"], kLines);
  EXPECT_TRUE(sa["interrupted"].get<bool>());
  EXPECT_EQ(sa["unknown"], 0) << "responses in flight are waited for";
  EXPECT_GT(sa["unsent"].get<int>(), 0);
  // One submit line per accepted message, each naming its input line (the
  // header and the comments are lines 1-3).
  int submits = 0;
  for (const auto& j : lines_a)
    if (j["type"] == "submit") {
      ++submits;
      EXPECT_EQ(j["status"], "ESME_ROK");
      EXPECT_EQ(j["to"], std::to_string(4670000000 + j["line"].get<int>() - 4)) << j;
    }
  EXPECT_EQ(submits, sa["accepted"].get<int>());
  EXPECT_NE(a.err.find("run again with --journal"), std::string::npos) << a.err;

  const auto b = velmor::test::Run(kExe, send, 20s);
  EXPECT_EQ(b.exit_code, 0) << b.err;
  const json sb = JsonLines(b.out).back();
  ExpectConsistent(sb);
  EXPECT_EQ(sb["skipped"], sa["accepted"]);
  EXPECT_EQ(sb["accepted"].get<int>() + sa["accepted"].get<int>(), kLines);

  // The simulator saw each destination exactly once.
  sim.process().Signal(SIGTERM);
  reader.join();
  EXPECT_EQ(stopped.exit_code, 0);
  std::map<std::string, int> seen;
  for (const auto& j : JsonLines(stopped.out))
    if (j["type"] == "received") ++seen[j["to"][0].get<std::string>()];
  EXPECT_EQ(seen.size(), std::size_t(kLines));
  for (const auto& [to, n] : seen) EXPECT_EQ(n, 1) << to;
}

struct Case {
  std::vector<std::string> args;
  int exit;
  const char* out;  // regex on stdout ("" = anything)
  const char* err;  // regex on stderr
};

TEST(Bulk, ExitCodesAndFieldsOnTheWire) {
  const std::string text_to = ::testing::TempDir() + "velmor_text_to.csv";
  std::ofstream(text_to) << "Text , TO\nhello, there,4670001\n";
  const Case cases[] = {
      // a receiver cannot send: refused before anything connects
      {{"send", "--bind", "receiver", "--to", "1", "--text", "x"}, 2, "^$", "needs a bind that sends"},
      {{"send", "--host", "127.0.0.1", "--port", "1", "--tls-ca", "/nonexistent.pem", "--to", "1", "--text", "x"},
       2,
       "^$",
       "^error: --tls-ca /nonexistent.pem: cannot be read: No such file or directory\n$"},
      // submit_multi accepted for one destination, refused for the other
      {{"send", "--to", "4670001,4670666", "--text", "hi", "--reject", "4670666"},
       9,
       "submitted to 4670001: message_id=",
       "submit_multi: 1 of 2 destinations refused; first: submit_multi for 4670666: 0x0000000B ESME_RINVDSTADR"},
      {{"listen", "--duration", "300ms"}, 0, "unbound", ""},
      {{"data_sm", "--to", "4670001", "--text", "Привет", "--json", "--trace", "--tlv", "0x1401="},
       0,
       "\"via\":\"data_sm\"",
       // data_coding 8, the UCS-2 text in message_payload (0x0424), then the vendor's TLV
       "> data_sm \\(0x00000103\\).* 08 04 24 00 0C 04 1F 04 40 .* 14 01 00 00\n"},
      // the message fields and a TLV as given
      {{"send", "--to", "4670001", "--text", "x", "--trace", "--service-type", "CMT", "--priority", "2",
        "--protocol-id", "0x7F", "--validity", "000000020000000R", "--tlv", "0x1400=ABCD", "--tlv", "0x0204=0102"},
       0,
       "submitted to 4670001",
       // service_type, ..., protocol_id 7F, priority 02, schedule "", validity, ..., the record's TLV, then the
       // vendor's one the records have no member for
       "> submit_sm .*43 4D 54 00 .* 7F 02 00 30 30 30 30 30 30 30 32 30 30 30 30 30 30 30 52 00 .* 02 04 00 02 01 "
       "02 14 00 00 02 AB CD\n"},
      // a header with the columns the other way round
      {{"send", "--file", text_to, "--json"}, 0, "\"line\":2,\"message_id\":\"[0-9]+\".*\"to\":\"4670001\"", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args[1] + " " + c.args[2]);
    const auto r = velmor::test::Run(kExe, c.args, 10s);
    EXPECT_EQ(r.exit_code, c.exit) << r.err;
    EXPECT_TRUE(std::regex_search(r.out, std::regex(c.out))) << r.out;
    EXPECT_TRUE(std::regex_search(r.err, std::regex(c.err))) << r.err;
    if (c.exit == 2) {
      EXPECT_EQ(r.out.find("connected"), std::string::npos);
    }
  }
}

// --mo-text as a handset would send it: UCS-2 when GSM 7-bit cannot carry
// it, in concatenated parts when long, or one data_sm.
TEST(Bulk, SimulatorEncodesAndSplitsMoText) {
  const std::string long_text = "Привет! " + std::string(100, 'x') + " 😀";
  for (const bool data_sm : {false, true}) {
    std::vector<std::string> flags = {"--mo-every", "100ms", "--mo-text", long_text};
    if (data_sm) flags.push_back("--mo-data-sm");
    SimulateProcess sim(kExe, flags);
    const auto r = velmor::test::Run(kExe, {"listen", "--port", sim.port(), "--count", "1", "--json"}, 10s);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    const auto lines = JsonLines(r.out);
    ASSERT_EQ(lines.size(), 1u) << r.out;
    EXPECT_EQ(lines[0]["text"], long_text);
    EXPECT_EQ(lines[0]["data_coding"], 8);
    EXPECT_EQ(lines[0]["parts"], data_sm ? 1 : 2);
    EXPECT_EQ(lines[0]["via"], data_sm ? "data_sm" : "deliver_sm");
    sim.Stop();
  }
}

}  // namespace
}  // namespace velmor::test
