// Every subcommand's --json output, against docs/velmorsmppdemo.schema.json
// (checked by Debian's python3-jsonschema): one shape per kind of line,
// whichever subcommand prints it.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>

#include <nlohmann/json.hpp>

#include "cli/Json.h"
#include "cli/Process.h"

namespace velmor::test {
namespace {

using namespace std::chrono_literals;
const std::string kExe = VELMOR_CLI_EXE;

TEST(JsonSchema, EverySubcommandsOutputMatches) {
  const std::string file = ::testing::TempDir() + "velmor_schema.csv";
  std::ofstream(file) << "to,text\n4670001,one\n4670666,refused\n4670002;4670003,two\n";
  const std::string three_parts(400, 'a');

  SimulateProcess sim(kExe, {"--json", "--delivery-delay", "1h", "--mo-every", "50ms", "--first-message-id", "1",
                             "--reject", "4670666"});
  ASSERT_FALSE(sim.port().empty());
  const std::vector<std::string> at = {"--port", sim.port()};
  auto with = [&](std::vector<std::string> args) {
    args.insert(args.end(), at.begin(), at.end());
    args.push_back("--json");
    return args;
  };
  const std::vector<std::vector<std::string>> runs = {
      {"send", "--to", "4670001", "--text", "Hej \xF0\x9F\x98\x80", "--receipt", "--json"},
      {"send", "--to", "4670001", "--text", three_parts, "--receipt", "--json"},
      {"send", "--to", "4670001,4670002", "--text", "hi", "--reject", "4670002", "--json"},
      {"send", "--to", "4670001", "--text", "bulk", "--count", "3", "--receipt", "--json"},
      {"send", "--file", file, "--reject", "4670666", "--receipt", "--json"},
      {"data_sm", "--to", "4670001", "--text", "payload", "--json"},
      {"ping", "--count", "2", "--interval", "1ms", "--json"},
      with({"send", "--to", "4670009", "--text", "for the query", "--registered-delivery", "1"}),
      with({"query", "--id", "1"}),
      with({"replace", "--id", "1", "--text", "new"}),
      with({"cancel", "--id", "1"}),
      with({"listen", "--count", "3"}),  // MOs, and the DELETED receipt kept for this system_id
  };
  std::string all;
  std::set<int> parts_seen;
  for (const auto& args : runs) {
    SCOPED_TRACE(args[0] + " " + args[1] + " " + args[2]);
    const auto r = velmor::test::Run(kExe, args, 15s);
    EXPECT_TRUE(r.exit_code == 0 || r.exit_code == 5 || r.exit_code == 9) << r.exit_code << r.err;
    EXPECT_FALSE(r.out.empty());
    all += r.out;
    std::istringstream in(r.out);
    for (std::string line; std::getline(in, line);) {
      const auto j = nlohmann::json::parse(line, nullptr, false);
      if (j.value("type", "") == "receipt" && j.value("parts", 0) == 3) parts_seen.insert(j["part"].get<int>());
    }
  }
  EXPECT_EQ(parts_seen, (std::set<int>{1, 2, 3})) << "each part's receipt names its part";
  const auto stopped = sim.Stop();
  all += stopped.out;

  ExpectMatchesSchema(all, "schema_lines");
  for (const char* type :
       {"\"submit\"", "\"receipt\"", "\"message\"", "\"query\"", "\"cancel\"", "\"replace\"", "\"enquire_link_resp\"",
        "\"summary\"", "\"listening\"", "\"bound\"", "\"unbind\"", "\"received\"", "\"mo\""})
    EXPECT_NE(all.find(std::string("\"type\":") + type), std::string::npos) << type << " never printed";
}

}  // namespace
}  // namespace velmor::test
