// simulate --http as a user drives it with curl: the bearer token, fault
// rules added at run time and what they do to the CLI's next submit, a
// receipt state forced on a message, MO refused when nobody listens, the
// metrics; and listen --metrics-port.
#include <gtest/gtest.h>

#include <regex>

#include <nlohmann/json.hpp>

#include "cli/Http.h"
#include "cli/Process.h"

namespace velmor::test {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
const std::string kExe = VELMOR_CLI_EXE;

TEST(Control, RulesStatesAndTokenThroughTheApi) {
  Process sim(kExe, {"simulate", "--port", "0", "--http", "0", "--http-token", "s3cret", "--json", "--first-message-id",
                     "1", "--delivery-delay", "1h"});
  const auto first = sim.ReadLine(5s);
  ASSERT_TRUE(first);
  const json listening = json::parse(*first);
  const int http = listening["http_port"];
  const std::string smsc = std::to_string(listening["port"].get<int>());
  auto api = [&](const std::string& method, const std::string& path, const std::string& body = "") {
    return Http(http, method, path, body, "s3cret");
  };
  EXPECT_EQ(Http(http, "GET", "/api/sessions").status, 401) << "the token is required";
  const auto page = Http(http, "GET", "/");
  EXPECT_EQ(page.status, 200);
  EXPECT_NE(page.body.find("<title>Velmor SMSC simulator</title>"), std::string::npos);
  EXPECT_EQ(api("GET", "/api/sessions").body, "[]\n");

  struct Step {
    const char* rule;  // added before the send ("" none)
    std::vector<std::string> send;
    int exit;
    std::chrono::milliseconds at_least;
  };
  const Step steps[] = {
      {"4670=delay:300ms", {"--to", "4670001"}, 0, 300ms},
      {"4671=no-response", {"--to", "4671001", "--timeout", "300ms"}, 6, 300ms},
      {"4672=queue-full", {"--to", "4672001"}, 5, 0ms},
      {"", {"--to", "4673001", "--registered-delivery", "1"}, 0, 0ms},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.send[1]);
    if (*s.rule) EXPECT_EQ(api("POST", "/api/rules", json{{"rule", s.rule}}.dump()).status, 201);
    std::vector<std::string> args = {"send", "--port", smsc, "--text", "x"};
    args.insert(args.end(), s.send.begin(), s.send.end());
    const auto r = velmor::test::Run(kExe, args, 10s);
    EXPECT_EQ(r.exit_code, s.exit) << r.err;
    EXPECT_GE(r.elapsed, s.at_least);
  }
  const auto bad = api("POST", "/api/rules", R"({"rule":"4674=explode"})");
  EXPECT_EQ(bad.status, 400);
  EXPECT_NE(bad.body.find("is not a fault"), std::string::npos) << bad.body;
  EXPECT_EQ(json::parse(api("GET", "/api/rules").body).size(), 3u);

  // Message 2 (to 4673001; 1 went to 4670001) ends EXPIRED on request, once.
  EXPECT_EQ(api("POST", "/api/messages/2/state", R"({"state":"EXPIRED"})").status, 200);
  EXPECT_EQ(api("POST", "/api/messages/2/state", R"({"state":"DELIVERED"})").status, 409);
  const json listed = json::parse(api("GET", "/api/messages?to=4673").body);
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0]["state"], "EXPIRED");
  EXPECT_EQ(listed[0]["message_state"], 3);
  EXPECT_EQ(api("POST", "/api/mo", R"({"text":"nobody listens"})").status, 409);

  const auto metrics = api("GET", "/metrics");
  EXPECT_NE(
      metrics.body.find("# TYPE velmor_smsc_messages_accepted_total counter\nvelmor_smsc_messages_accepted_total 2"),
      std::string::npos)
      << metrics.body;
  // One each for the delay and the no-response; queue-full once per attempt
  // (the session retries ESME_RMSGQFUL after a pause).
  std::smatch faults;
  ASSERT_TRUE(std::regex_search(metrics.body, faults, std::regex("velmor_smsc_rule_faults_total (\\d+)")));
  EXPECT_GE(std::stoi(faults[1]), 3);
  sim.Signal(SIGTERM);
  const auto stopped = sim.Wait(5s);
  EXPECT_EQ(stopped.exit_code, 0);
  EXPECT_NE(stopped.out.find(R"("state":"EXPIRED","to":"","type":"receipt")"), std::string::npos) << stopped.out;
}

// The session's own families, labelled with the listener's account and bind:
// the MO it printed is counted as received, and the state gauge says bound_rx.
TEST(Control, ListenServesItsMetrics) {
  Process sim(kExe, {"simulate", "--port", "0", "--json", "--mo-every", "100ms", "--mo-text", "hi"});
  const auto first = sim.ReadLine(5s);
  ASSERT_TRUE(first);
  const std::string smsc = std::to_string(json::parse(*first)["port"].get<int>());
  Process listen(kExe, {"listen", "--port", smsc, "--metrics-port", "0"});
  const auto line = listen.WaitForLine("metrics on http://127.0.0.1:", 5s);
  ASSERT_TRUE(line) << listen.err();
  std::smatch m;
  ASSERT_TRUE(std::regex_search(*line, m, std::regex(":(\\d+)/metrics")));
  ASSERT_TRUE(listen.WaitForLine("text=\"hi\"", 5s)) << listen.err();
  const auto r = Http(std::stoi(m[1]), "GET", "/metrics");
  EXPECT_EQ(r.status, 200);
  const std::string l = R"(account="velmor",bind="receiver")";
  for (const std::string& want :
       {"velmor_smpp_state{" + l + R"(,state="bound_rx"} 1)", std::string("# TYPE velmor_smpp_receipts_total counter"),
        "velmor_smpp_receipts_total{" + l + R"(,outcome="matched"} 0)"})
    EXPECT_NE(r.body.find(want), std::string::npos) << want << " in\n" << r.body;
  std::smatch received;
  ASSERT_TRUE(std::regex_search(
      r.body, received, std::regex(R"(velmor_smpp_messages_received_total\{[^}]*command="deliver_sm"\} (\d+))")))
      << r.body;
  EXPECT_GE(std::stoi(received[1]), 1);
  EXPECT_EQ(r.body.find("velmor_cli_"), std::string::npos) << "one set of families: the session's";
  listen.Signal(SIGTERM);
  EXPECT_EQ(listen.Wait(5s).exit_code, 0);
  sim.Signal(SIGTERM);
  sim.Wait(5s);
}

}  // namespace
}  // namespace velmor::test
