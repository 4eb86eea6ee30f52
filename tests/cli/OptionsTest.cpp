// The command line: every flag accepted where it applies, every malformed or
// misplaced one refused with a line naming it, and SMPP_PASSWORD's precedence.
#include <gtest/gtest.h>

#include <functional>
#include <map>

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
         EXPECT_FALSE(o.encoding);
         EXPECT_EQ(o.split, SplitMethod::Udh8);
       }},
      {"send --to A,B --to C --text x --receipt",
       [](const Options& o) {
         EXPECT_EQ(o.to, (std::vector<std::string>{"A", "B", "C"}));
         EXPECT_EQ(o.EffectiveBind(), Transceiver);
       }},
      {"send --to=1 --text=00 --encoding binary --split sar",
       [](const Options& o) {
         EXPECT_TRUE(o.text_given);
         EXPECT_EQ(o.text, "00");
         EXPECT_EQ(o.encoding, sms::Alphabet::Binary);
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
      {"send --to 1 --text x --timeout 5s --connect-timeout 2m --receipt-timeout 1500ms --schedule 10m "
       "--validity 1d --priority 3 --protocol-id 0x7F --esm-class 0x02 --service-type CMT --tlv 0x0204=0102 --tlv "
       "0x0202=A0B1C2 --tlv 0x1400=",
       [](const Options& o) {
         EXPECT_EQ(o.timeout_ms, 5000u);
         EXPECT_EQ(o.connect_timeout_ms, 120000u);
         EXPECT_EQ(o.receipt_timeout_ms, 1500u);
         EXPECT_EQ(o.schedule_delivery_time, "000000001000000R");
         EXPECT_EQ(o.validity_period, "000001000000000R");
         EXPECT_EQ(o.priority_flag, 3);
         EXPECT_EQ(o.protocol_id, 0x7F);
         EXPECT_EQ(o.esm_class, Byte(2));
         EXPECT_EQ(o.service_type, "CMT");
         ASSERT_EQ(o.tlvs.size(), 3u);
         EXPECT_EQ(o.tlvs[0], (std::pair<Word, std::string>{0x0204, "\x01\x02"}));
         EXPECT_EQ(o.tlvs[1].second, "\xA0\xB1\xC2");
         EXPECT_EQ(o.tlvs[2], (std::pair<Word, std::string>{0x1400, ""}));  // a vendor's tag, no value
       }},
      {"send --to 1 --text x --schedule 260101120000004+ --validity 000000020000000R",
       [](const Options& o) {
         EXPECT_EQ(o.schedule_delivery_time, "260101120000004+");
         EXPECT_EQ(o.validity_period, "000000020000000R");
       }},
      {"listen --duration 2m", [](const Options& o) { EXPECT_EQ(o.duration_ms, 120000u); }},
      {"data_sm --to 1 --text x --bind transceiver", [](const Options& o) { EXPECT_EQ(o.command, Command::DataSm); }},
      {"listen --bind transceiver --json --count 2 --duration 3",
       [](const Options& o) {
         EXPECT_EQ(o.EffectiveBind(), Transceiver);
         EXPECT_TRUE(o.json);
         EXPECT_EQ(o.count, 2u);
         EXPECT_EQ(o.duration_ms, 3000u);
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

// "try `velmorsmppdemo SUBCOMMAND --help`" names a subcommand that exists.
TEST(Options, ErrorsPointAtTheRightHelp) {
  EXPECT_EQ(ParseArgs({"sned", "--to", "1"}).command, "");
  EXPECT_EQ(ParseArgs({"send", "--bogus"}).command, "send");
  EXPECT_EQ(ParseArgs({}).command, "");
}

TEST(Options, AnEmptyTextIsAText) {
  const ParseOutcome r = ParseArgs({"send", "--to", "1", "--text", "", "--encoding", "binary"});
  ASSERT_TRUE(r.options) << r.error;
  EXPECT_TRUE(r.options->text_given);
  EXPECT_EQ(r.options->text, "");
}

// TLS flags: any of them asks for TLS; the options handed to the platform
// carry each value, and verification stays on unless --tls-insecure.
TEST(Options, TlsFlagsBecomeThePlatformOptions) {
  const Good cases[] = {
      {"send --to 1 --text x --host h", [](const Options& o) { EXPECT_FALSE(o.TLS().enabled); }},
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
      {"send --to 123456789012345678901 --text x", "holds at most 20"},
      {"send --to 1 --text x --port 65536", "outside 0..65535"},
      {"send --to 1 --text x --host h --port 0", "only valid for 'simulate'"},
      {"send --to 1 --text x --source-ton 256", "outside 0..255"},
      {"send --to 1 --text x --timeout 0", "outside 1ms..3600000ms"},
      {"send --to 1 --text x --timeout 5parsecs", "'5parsecs' is not a time"},
      {"send --to 1 --text x --timeout 2h", "outside 1ms..3600000ms"},
      {"send --to 1 --text x --timeout -1", "is not a time"},
      {"send --to 1 --text x --bind receiver", "needs a bind that sends"},
      {"query --id 1 --bind receiver", "needs a bind that sends"},
      {"send --to 1 --text x --tlv 0x10000=00", "outside 0..65535"},
      {"send --to 1 --text x --tlv 0x0204=0", "even count of hex digits"},
      {"send --to 1 --text x --tlv 0204", "is not TAG=HEX"},
      {"send --to 1 --text x --schedule tomorrow", "neither an SMPP time"},
      {"send --to 1 --text x --validity 2601011200000X0+", "not an SMPP time"},
      {"send --to 1 --text x --priority 4", "outside 0..3"},
      {"send --to 1 --text x --service-type TOOLONG", "holds at most 5"},
      {"send --to 1 --text x --journal j.txt", "give --file"},
      {"data_sm --text x", "needs one --to"},
      {"data_sm --to 1 --text x --priority 1", "unknown flag --priority"},  // a data_sm has no priority_flag
      {"data_sm --to 1", "needs --text"},
      {"send --to 1 --text x --bind sideways", "is not transmitter"},
      {"send --to 1 --text x --encoding utf7", "is not auto"},
      {"send --to 1 --text x --split halves", "is not udh"},
      {"send --to 1 --text abc --encoding binary", "hex digits"},
      {"send --to 1 --text zz --encoding binary", "hex digits"},
      {"send --to 1 --text x --receipt --bind transmitter", "on a transmitter needs --store"},
      {"send --to 1 --text x --store mysql:x", "none of memory, sqlite:PATH, redis://HOST:PORT/DB"},
      {"send --to 1 --text x --store sqlite:", "sqlite: needs a file"},
      {"listen --store redis://h:99999/0", "bad port"},
      {"listen --store redis://h:1/x", "bad database number"},
      {"send --to 1 --text x --tag t", "give --store"},
      {"send --to 1 --text x --rate-store redis://h:1/0", "give --rate"},
      {"send --to 1 --text x --rate 5 --rate-store sqlite:x", "is not redis://"},
      {"listen --tag t", "unknown flag --tag for 'listen'"},
      {"send --to 1 --text x --interval 5", "unknown flag --interval for 'send'"},
      {"send --to 1 --text x --text y", "--text is given more than once"},
      {"send --to 1 --text x --port 1 --port 2", "--port is given more than once"},
      {"send --to 1 --text x --receipt --registered-delivery 0", "drop one of them"},
      {"send --file m.csv --to 1", "drop --to and --text"},
      {"send --file m.csv --count 2", "does not go with --file"},
      {"send --to 1 --text x --rate 0", "is not a rate"},
      {"send --to 1 --text x --port 2775 --throttle-every 1", "simulator flags"},
      {"send --to 1 --text x --host h --reject-binds", "simulator flags"},
      {"send --to 1 --text x --system-id 1234567890123456", "holds at most 15"},
      {"send --to 1 --text x --password 123456789", "holds at most 8"},
      {"listen --bind transmitter", "receiver or transceiver"},
      {"listen --count 0", "outside 1..1000000"},
      {"query", "needs --id"},
      {"replace --id 1", "needs --text"},
      {"cancel --id 1 --to 1,2", "one --to"},
      {"ping --to 1", "unknown flag --to for 'ping'"},
      {"simulate --credential nopass", "is not id:password"},
      {"simulate --system-id x", "unknown flag --system-id"},
      {"send --to 1 --text x --tls", "--tls needs --host"},
      {"send --to 1 --text x --host h --tls-cert c.pem", "go together"},
      {"simulate --tls-key k.pem", "go together"},
      {"send --to 1 --text x --host h --tls-insecure --tls-ca ca.pem", "contradict"},
      {"send --to 1 --text x --host h --tls-ca=", "--tls-ca"},
      {"simulate --tls", "unknown flag --tls for 'simulate'"},
  };
  for (const auto& [args, expected] : cases) {
    SCOPED_TRACE(args);
    const ParseOutcome r = ParseArgs(Split(args), nullptr);
    EXPECT_FALSE(r.options);
    EXPECT_FALSE(r.help);
    EXPECT_NE(r.error.find(expected), std::string::npos) << "GOT: " << r.error;
    EXPECT_EQ(r.error.find('\n'), std::string::npos) << "errors are one line";
  }
}

// The variables stand for the flags and are checked exactly like them: a
// value the flag would refuse is refused, naming the variable, never cut.
TEST(Options, EnvironmentStandsForFlagsAndIsCheckedLikeThem) {
  struct Case {
    const char* args;
    std::map<std::string, std::string> env;
    std::function<void(const ParseOutcome&)> check;
  };
  const Case cases[] = {
      {"ping", {}, [](const ParseOutcome& r) { EXPECT_EQ(r.options->password, ""); }},
      {"ping", {{"SMPP_PASSWORD", "envpw"}}, [](const ParseOutcome& r) { EXPECT_EQ(r.options->password, "envpw"); }},
      {"ping --password flag",
       {{"SMPP_PASSWORD", "envpw"}},
       [](const ParseOutcome& r) { EXPECT_EQ(r.options->password, "flag"); }},
      {"ping",
       {{"SMPP_PASSWORD", "123456789"}},
       [](const ParseOutcome& r) {
         EXPECT_FALSE(r.options);
         EXPECT_NE(r.error.find("SMPP_PASSWORD"), std::string::npos) << r.error;
         EXPECT_NE(r.error.find("at most 8"), std::string::npos) << r.error;
       }},
      {"ping",
       {{"SMPP_HOST", "smsc.example"}, {"SMPP_PORT", "3000"}, {"SMPP_SYSTEM_ID", "esme"}},
       [](const ParseOutcome& r) {
         ASSERT_TRUE(r.options) << r.error;
         EXPECT_EQ(r.options->host, "smsc.example");
         EXPECT_EQ(r.options->port, 3000);
         EXPECT_EQ(r.options->system_id, "esme");
       }},
      {"ping",
       {{"SMPP_PORT", "99999"}},
       [](const ParseOutcome& r) {
         EXPECT_NE(r.error.find("SMPP_PORT (for --port): 99999 is outside"), std::string::npos) << r.error;
       }},
      {"ping",
       {{"SMPP_SYSTEM_ID", "1234567890123456"}},
       [](const ParseOutcome& r) { EXPECT_NE(r.error.find("SMPP_SYSTEM_ID"), std::string::npos) << r.error; }},
      // --port alone (or SMPP_PORT alone) means a local SMSC, never the embedded one.
      {"ping", {{"SMPP_PORT", "2775"}}, [](const ParseOutcome& r) { EXPECT_EQ(r.options->host, "127.0.0.1"); }},
      {"simulate", {{"SMPP_SYSTEM_ID", "x"}}, [](const ParseOutcome& r) { ASSERT_TRUE(r.options) << r.error; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    const ParseOutcome r = ParseArgs(Split(c.args), [&](const char* name) -> const char* {
      const auto it = c.env.find(name);
      return it == c.env.end() ? nullptr : it->second.c_str();
    });
    c.check(r);
  }
}

TEST(Options, HelpAndVersion) {
  const ParseOutcome top = ParseArgs({"--help"});
  EXPECT_TRUE(top.help);
  for (const char* word : {"send", "listen", "query", "cancel", "replace", "ping", "simulate", "SMPP_PASSWORD",
                           "Exit codes", "6 timeout", "10 UNDELIV"})
    EXPECT_NE(top.text.find(word), std::string::npos) << word;
  const ParseOutcome send = ParseArgs({"send", "--help"});
  EXPECT_TRUE(send.help);
  EXPECT_NE(send.text.find("--receipt"), std::string::npos);
  EXPECT_EQ(send.text.find("--interval"), std::string::npos) << "ping's flags are not send's";
  EXPECT_TRUE(ParseArgs({"--version"}).version);
}

}  // namespace
}  // namespace velmor::cli
