// The command line: every flag accepted where it applies, every malformed or
// misplaced one refused with a line naming it, and SMPP_PASSWORD's precedence.
#include <gtest/gtest.h>

#include <functional>

#include "tools/cli/Options.h"

namespace velmor::cli {
namespace {

std::vector<std::string> Split(const std::string& line) {
  std::vector<std::string> out;
  std::string cur;
  for (char c : line) {
    if (c == ' ') {
      if (!cur.empty()) out.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  if (!cur.empty()) out.push_back(cur);
  return out;
}

struct Good {
  const char* args;
  std::function<void(const Options&)> check;
};

TEST(Options, AcceptedCommandLines) {
  const Good cases[] = {
      {"send --to 4670 --text hi",
       [](const Options& o) {
         EXPECT_EQ(o.command, Command::Send);
         EXPECT_TRUE(o.Embedded());
         EXPECT_EQ(o.to, std::vector<std::string>{"4670"});
         EXPECT_EQ(o.EffectiveBind(), Transmitter);
         EXPECT_EQ(o.connect_timeout_ms, 5000u);
         EXPECT_EQ(o.encoding, TextEncoding::Auto);
         EXPECT_EQ(o.split, SplitMethod::Udh);
       }},
      {"send --to A,B --to C --text x --receipt",
       [](const Options& o) {
         EXPECT_EQ(o.to, (std::vector<std::string>{"A", "B", "C"}));
         EXPECT_EQ(o.EffectiveBind(), Transceiver);
       }},
      {"send --to=1 --text= --encoding binary --split sar",
       [](const Options& o) {
         EXPECT_TRUE(o.text_given);
         EXPECT_EQ(o.text, "");
         EXPECT_EQ(o.encoding, TextEncoding::Binary);
         EXPECT_EQ(o.split, SplitMethod::Sar);
       }},
      {"send --to 1 --text 0aFF --encoding binary", [](const Options& o) { EXPECT_EQ(o.text, "0aFF"); }},
      {"send --to 1 --text x --host smsc.example --port 65535 --source-ton 0x05 --dest-npi 255 --data-coding 8",
       [](const Options& o) {
         EXPECT_FALSE(o.Embedded());
         EXPECT_EQ(o.port, 65535);
         EXPECT_EQ(o.source_ton, 5);
         EXPECT_EQ(o.dest_npi, 255);
         EXPECT_EQ(o.data_coding, 8);
       }},
      {"listen", [](const Options& o) { EXPECT_EQ(o.EffectiveBind(), Receiver); }},
      {"listen --bind transceiver --json --count 2 --duration 3",
       [](const Options& o) {
         EXPECT_EQ(o.EffectiveBind(), Transceiver);
         EXPECT_TRUE(o.json);
         EXPECT_EQ(o.count, 2u);
         EXPECT_EQ(o.duration_s, 3u);
       }},
      {"query --id 12 --source 4670", [](const Options& o) { EXPECT_EQ(o.id, "12"); }},
      {"cancel --id 12 --to 4670", [](const Options& o) { EXPECT_EQ(o.to[0], "4670"); }},
      {"replace --id 12 --text new", [](const Options& o) { EXPECT_EQ(o.text, "new"); }},
      {"ping --count 5 --interval 0 --timeout 1",
       [](const Options& o) {
         EXPECT_EQ(o.count, 5u);
         EXPECT_EQ(o.interval_ms, 0u);
         EXPECT_EQ(o.timeout_ms, 1u);
       }},
      {"simulate --port 0 --credential a:b:c --delivery-delay 0 --undeliverable 1,2 --throttle-every 3 --reject-binds",
       [](const Options& o) {
         EXPECT_EQ(o.host, "127.0.0.1");
         EXPECT_EQ(o.port, 0);
         ASSERT_EQ(o.credentials.size(), 1u);
         EXPECT_EQ(o.credentials[0].second, "b:c");  // only the first colon separates
         EXPECT_EQ(o.delivery_delay_ms, 0u);
         EXPECT_EQ(o.undeliverable.size(), 2u);
         EXPECT_EQ(o.throttle_every, 3u);
         EXPECT_TRUE(o.reject_binds);
       }},
      {"ping --throttle-every 2", [](const Options& o) { EXPECT_EQ(o.throttle_every, 2u); }},  // embedded SMSC
  };
  for (const Good& c : cases) {
    SCOPED_TRACE(c.args);
    const ParseOutcome r = ParseArgs(Split(c.args), nullptr);
    ASSERT_TRUE(r.options) << r.error;
    c.check(*r.options);
  }
}

// TLS flags: any of them asks for TLS; the options handed to the platform
// carry each value, and verification stays on unless --tls-insecure.
TEST(Options, TlsFlagsBecomeThePlatformOptions) {
  const Good cases[] = {
      {"send --to 1 --text x --host h",
       [](const Options& o) { EXPECT_FALSE(o.TLS().enabled); }},
      {"ping --host h --tls",
       [](const Options& o) {
         const TTLSOptions t = o.TLS();
         EXPECT_TRUE(t.enabled);
         EXPECT_FALSE(t.insecure_skip_verify);
         EXPECT_TRUE(t.ca_file.empty());
         EXPECT_EQ(t.handshake_timeout, std::chrono::milliseconds(5000));
       }},
      {"listen --host h --tls-ca ca.pem --tls-server-name smsc.example --tls-cert c.pem --tls-key k.pem "
       "--connect-timeout 700",
       [](const Options& o) {
         const TTLSOptions t = o.TLS();
         EXPECT_TRUE(t.enabled);
         EXPECT_EQ(t.ca_file, "ca.pem");
         EXPECT_EQ(t.server_name, "smsc.example");
         EXPECT_EQ(t.cert_file, "c.pem");
         EXPECT_EQ(t.key_file, "k.pem");
         EXPECT_EQ(t.handshake_timeout, std::chrono::milliseconds(700));
       }},
      {"query --id 1 --host h --tls-insecure", [](const Options& o) { EXPECT_TRUE(o.TLS().insecure_skip_verify); }},
      {"simulate --tls-cert c.pem --tls-key k.pem",
       [](const Options& o) {
         EXPECT_TRUE(o.TLS().enabled);
         EXPECT_EQ(o.TLS().cert_file, "c.pem");
       }},
      {"simulate", [](const Options& o) { EXPECT_FALSE(o.TLS().enabled); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    const ParseOutcome r = ParseArgs(Split(c.args), nullptr);
    ASSERT_TRUE(r.options) << r.error;
    c.check(*r.options);
  }
}

TEST(Options, RefusedCommandLines) {
  const std::pair<const char*, const char*> cases[] = {
      {"", "no command"},
      {"sned --to 1", "unknown command 'sned'"},
      {"send --text x", "needs --to"},
      {"send --to 1", "needs --text"},
      {"send --to 1 --text x --bogus", "unknown flag --bogus"},
      {"send --to 1 --text x stray", "unexpected argument 'stray'"},
      {"send --to 1 --text", "--text needs a value"},
      {"send --to 1,,2 --text x", "empty entry"},
      {"send --to 123456789012345678901 --text x", "longer than 20"},
      {"send --to 1 --text x --port 65536", "outside 0..65535"},
      {"send --to 1 --text x --host h --port 0", "only valid for 'simulate'"},
      {"send --to 1 --text x --source-ton 256", "outside 0..255"},
      {"send --to 1 --text x --timeout 0", "outside 1..3600000"},
      {"send --to 1 --text x --timeout 5s", "'5s' is not a number"},
      {"send --to 1 --text x --timeout -1", "is not a number"},
      {"send --to 1 --text x --bind sideways", "is not transmitter"},
      {"send --to 1 --text x --encoding utf7", "is not auto"},
      {"send --to 1 --text x --split halves", "is not udh"},
      {"send --to 1 --text abc --encoding binary", "hex digits"},
      {"send --to 1 --text zz --encoding binary", "hex digits"},
      {"send --to 1 --text x --receipt --bind transmitter", "needs a bind that receives"},
      {"send --to 1 --text x --receipt=yes", "takes no value"},
      {"send --to 1 --text x --json", "does not apply to 'send'"},
      {"send --to 1 --text x --host h --reject-binds", "simulator flags"},
      {"send --to 1 --text x --system-id 1234567890123456", "longer than 15"},
      {"send --to 1 --text x --password 123456789", "longer than 8"},
      {"listen --bind transmitter", "receiver or transceiver"},
      {"listen --count 0", "outside 1..1000000"},
      {"query", "needs --id"},
      {"replace --id 1", "needs --text"},
      {"cancel --id 1 --to 1,2", "one --to"},
      {"ping --to 1", "does not apply to 'ping'"},
      {"simulate --credential nopass", "is not id:password"},
      {"simulate --system-id x", "does not apply"},
      {"send --to 1 --text x --tls", "--tls needs --host"},
      {"send --to 1 --text x --host h --tls-cert c.pem", "go together"},
      {"simulate --tls-key k.pem", "go together"},
      {"send --to 1 --text x --host h --tls-insecure --tls-ca ca.pem", "contradict"},
      {"send --to 1 --text x --host h --tls-ca=", "--tls-ca: empty"},
      {"simulate --tls", "does not apply to 'simulate'"},
  };
  for (const auto& [args, expected] : cases) {
    SCOPED_TRACE(args);
    const ParseOutcome r = ParseArgs(Split(args), nullptr);
    EXPECT_FALSE(r.options);
    EXPECT_FALSE(r.help);
    EXPECT_NE(r.error.find(expected), std::string::npos) << r.error;
    EXPECT_EQ(r.error.find('\n'), std::string::npos) << "errors are one line";
  }
}

TEST(Options, PasswordFromEnvironmentUnlessGivenOnTheCommandLine) {
  auto parse = [](const char* args, const char* env) { return ParseArgs(Split(args), env).options->password; };
  EXPECT_EQ(parse("ping", nullptr), "");
  EXPECT_EQ(parse("ping", "envpw"), "envpw");
  EXPECT_EQ(parse("ping --password flag", "envpw"), "flag");
  EXPECT_EQ(parse("ping", "123456789"), "12345678");  // the field holds 8 octets
}

TEST(Options, HelpWinsOverEverythingElse) {
  EXPECT_TRUE(ParseArgs({"send", "--bogus", "--help"}, nullptr).help);
  EXPECT_TRUE(ParseArgs({"-h"}, nullptr).help);
  const std::string usage = Usage();
  for (const char* word : {"send", "listen", "query", "cancel", "replace", "ping", "simulate", "SMPP_PASSWORD",
                           "Exit codes", "6 timeout"})
    EXPECT_NE(usage.find(word), std::string::npos) << word;
}

}  // namespace
}  // namespace velmor::cli
