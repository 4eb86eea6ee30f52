#include "tools/cli/Options.h"

#include <CLI/CLI.hpp>

#include "tools/cli/OptionsDetail.h"

#include <charconv>
#include <cmath>
#include <sstream>
#include <string_view>

#include "component/BindType.h"
#include "sms/Encoding.h"
#include "sms/Segment.h"

namespace velmor::cli {

const char* const kVersion = "velmorsmppdemo " VELMOR_VERSION " (SMPP 3.4)";

namespace {

using CLI::ValidationError;
using namespace flags;

const char* const kExitCodes = R"(
Exit codes:
  0 ok   1 internal error   2 usage   3 connection failed (refused, unknown host, TLS)
  4 bind rejected   5 request rejected   6 timeout
  7 connection lost (also: the SMSC unbound, or sent something unframeable)
  8 interrupted before the command finished (a bulk send prints its summary first)
  9 submit_multi: some destinations accepted, others refused
  send --receipt, a final state other than DELIVRD:
  10 UNDELIV   11 EXPIRED   12 REJECTD   13 DELETED   14 UNKNOWN

Times: a number with a unit (500ms, 10s, 2m, 1h); a bare number is in the
unit the flag names (milliseconds, except listen --duration: seconds).

Environment: SMPP_HOST, SMPP_PORT, SMPP_SYSTEM_ID, SMPP_PASSWORD stand for
--host, --port, --system-id, --password when those are not given.
)";

struct Parser {
  Options o;
  CLI::App app{"velmorsmppdemo: an SMPP 3.4 client (ESME) and SMSC simulator", "velmorsmppdemo"};
  std::vector<CLI::Option*> simulator_flags;
  CLI::Option* host = nullptr;
  CLI::Option* port = nullptr;

  void Common(CLI::App* s, Command c) {
    One(
        s, "--host", [this](const std::string& v) { o.host = NonEmpty("--host", v); },
        "SMSC host (default: the embedded simulator; with only --port: 127.0.0.1)");
    One(
        s, "--port", [this](const std::string& v) { o.port = static_cast<int>(Number("--port", v, 0, 65535)); },
        "SMSC port (default 2775)");
    Flag(s, "--json", o.json, "JSON lines on stdout; all other output on stderr");
    Flag(s, "--quiet,-q", o.quiet, "only results and errors");
    Flag(s, "--trace", o.trace, "every PDU sent and received, to stderr (passwords masked)");
    if (c == Command::Simulate) return;
    One(
        s, "--system-id",
        [this](const std::string& v) {
          MaxLength("--system-id", v, 15);
          o.system_id = v;
        },
        "system_id (default velmor)");
    One(
        s, "--password",
        [this](const std::string& v) {
          MaxLength("--password", v, 8);
          o.password = v;
        },
        "password");
    One(
        s, "--system-type",
        [this](const std::string& v) {
          MaxLength("--system-type", v, 12);
          o.system_type = v;
        },
        "system_type");
    One(
        s, "--bind", [this](const std::string& v) { o.bind = BindTypeOf(Pick("--bind", v, codec::bind_names).state); },
        Names(codec::bind_names));
    One(
        s, "--source",
        [this](const std::string& v) {
          MaxLength("--source", v, 20);
          o.source = v;
        },
        "source_addr");
    auto byte = [this, s](const char* name, Byte& target) {
      One(
          s, name, [name, &target](const std::string& v) { target = static_cast<Byte>(Number(name, v, 0, 255)); },
          "0..255");
    };
    byte("--source-ton", o.source_ton);
    byte("--source-npi", o.source_npi);
    byte("--dest-ton", o.dest_ton);
    byte("--dest-npi", o.dest_npi);
    One(
        s, "--data-coding",
        [this](const std::string& v) { o.data_coding = static_cast<Byte>(Number("--data-coding", v, 0, 255)); },
        "0..255");
    One(
        s, "--registered-delivery",
        [this](const std::string& v) {
          o.registered_delivery = static_cast<Byte>(Number("--registered-delivery", v, 0, 255));
        },
        "0..255");
    for (auto [name, target, help] :
         {std::tuple{"--connect-timeout", &o.connect_timeout_ms, "connect, and the TLS handshake (default 5s)"},
          std::tuple{"--bind-timeout", &o.bind_timeout_ms, "the bind response (default 5s)"},
          std::tuple{"--timeout", &o.timeout_ms,
                     "each response; also how long an interrupted send waits for those in flight (default 5s)"}})
      Time(s, name, *target, 1, 1, 3'600'000, help);
    Flag(s, "--tls", o.tls, "TLS to --host, verifying the certificate against the system's CAs");
    One(
        s, "--tls-ca", [this](const std::string& v) { o.tls_ca = NonEmpty("--tls-ca", v); },
        "trust the CAs in FILE (PEM)");
    One(
        s, "--tls-server-name", [this](const std::string& v) { o.tls_server_name = NonEmpty("--tls-server-name", v); },
        "verify (and send as SNI) NAME");
    Flag(s, "--tls-insecure", o.tls_insecure, "no certificate verification (warns; testing only)");
  }
  void TlsFiles(CLI::App* s, bool server) {
    const char* what = server ? "the simulator's certificate (PEM)" : "client certificate (PEM)";
    One(
        s, "--tls-cert", [this](const std::string& v) { o.tls_cert = NonEmpty("--tls-cert", v); }, what);
    One(
        s, "--tls-key", [this](const std::string& v) { o.tls_key = NonEmpty("--tls-key", v); }, "its key (PEM)");
  }
  void Simulator(CLI::App* s, bool standalone) {
    auto add = [&](CLI::Option* opt) { simulator_flags.push_back(opt); };
    auto* cred = s->add_option_function<std::vector<std::string>>(
        "--credential",
        [this](const std::vector<std::string>& all) {
          for (const std::string& v : all) {
            const std::size_t colon = v.find(':');
            if (colon == std::string::npos || colon == 0)
              throw ValidationError("--credential", "'" + v + "' is not id:password");
            o.credentials.emplace_back(v.substr(0, colon), v.substr(colon + 1));
          }
        },
        "ID:PW, repeatable (none: any login)");
    cred->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    add(cred);
    add(One(
        s, "--delivery-delay",
        [this](const std::string& v) {
          const auto ms = ParseDuration(v, 1);
          if (!ms || *ms > 3'600'000) throw ValidationError("--delivery-delay", "'" + v + "' is not a time up to 1h");
          o.delivery_delay_ms = static_cast<unsigned>(*ms);
        },
        "until the receipt (simulate 1s, embedded 200ms)"));
    auto* und = s->add_option_function<std::vector<std::string>>(
        "--undeliverable",
        [this](const std::vector<std::string>& all) {
          for (const auto& v : all) SplitList("--undeliverable", v, o.undeliverable, 20);
        },
        "NUM[,NUM]: receipts say UNDELIV");
    und->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    add(und);
    auto* rej = s->add_option_function<std::vector<std::string>>(
        "--reject",
        [this](const std::vector<std::string>& all) {
          for (const auto& v : all) SplitList("--reject", v, o.reject, 20);
        },
        "DEST: refused at submit time (repeatable)");
    rej->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    add(rej);
    add(One(
        s, "--throttle-every",
        [this](const std::string& v) {
          o.throttle_every = static_cast<unsigned>(Number("--throttle-every", v, 0, 1'000'000));
        },
        "every Nth submit is throttled"));
    add(Flag(s, "--reject-binds", o.reject_binds, "refuse every bind"));
    auto* rules = s->add_option_function<std::vector<std::string>>(
        "--rule",
        [this](const std::vector<std::string>& all) {
          for (const auto& v : all) {
            std::string why;
            auto r = smsc::parse_rule(v, why);
            if (!r) throw ValidationError("--rule", why);
            o.rules.push_back(std::move(*r));
          }
        },
        "fault by destination prefix: no-response, delay:MS, throttled, queue-full, refuse[:STATUS], "
        "undeliverable (repeatable)");
    rules->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    add(rules);
    if (!standalone) return;
    Time(s, "--mo-every", o.mo_every_ms, 1, 0, 86'400'000,
         "between mobile-originated messages to bound receivers (0: off)");
    One(
        s, "--mo-from",
        [this](const std::string& v) {
          MaxLength("--mo-from", v, 20);
          o.mo_from = v;
        },
        "their source_addr");
    One(
        s, "--mo-to",
        [this](const std::string& v) {
          MaxLength("--mo-to", v, 20);
          o.mo_to = v;
        },
        "their destination_addr");
    One(
        s, "--mo-text", [this](const std::string& v) { o.mo_text = v; },
        "their text (UTF-8: GSM 7-bit when it fits, else UCS-2; split when long)");
    Flag(s, "--mo-data-sm", o.mo_data_sm, "send them as data_sm (message_payload) instead of deliver_sm");
    One(
        s, "--http", [this](const std::string& v) { o.http_port = static_cast<int>(Number("--http", v, 0, 65535)); },
        "serve the control API and the web console on PORT (0: any free one)");
    One(
        s, "--http-host", [this](const std::string& v) { o.http_host = NonEmpty("--http-host", v); },
        "address for --http (default 127.0.0.1; 0.0.0.0 opens it to the network)");
    One(
        s, "--http-token", [this](const std::string& v) { o.http_token = NonEmpty("--http-token", v); },
        "require Authorization: Bearer TOKEN on the control API");
    One(
        s, "--first-message-id",
        [this](const std::string& v) { o.first_message_id = Number("--first-message-id", v, 0, ~0ull >> 1); },
        "first message_id (default: from the clock)");
    One(
        s, "--id-style",
        [this](const std::string& v) {
          if (v == "decimal")
            o.id_hex = false;
          else if (v == "hex")
            o.id_hex = true;
          else
            throw ValidationError("--id-style", "'" + v + "' is not decimal or hex");
        },
        "decimal|hex");
    One(
        s, "--id-prefix",
        [this](const std::string& v) {
          MaxLength("--id-prefix", v, 32);
          o.id_prefix = v;
        },
        "put before every message_id");
  }

  void Build() {
    app.require_subcommand(1);
    app.set_version_flag("--version", kVersion);
    app.footer(kExitCodes);
    app.fallthrough(false);

    auto* send =
        app.add_subcommand("send", "submit_sm to one destination, submit_multi to several; --count/--file for bulk");
    Common(send, Command::Send);
    TlsFiles(send, false);
    Simulator(send, false);
    send->add_option_function<std::vector<std::string>>(
            "--to",
            [this](const std::vector<std::string>& all) {
              for (const auto& v : all) SplitList("--to", v, o.to, 20);
            },
            "NUM or A,B (repeatable)")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    One(
        send, "--text",
        [this](const std::string& v) {
          o.text = v;
          o.text_given = true;
        },
        "UTF-8 text (binary: hex)");
    One(
        send, "--file", [this](const std::string& v) { o.file = NonEmpty("--file", v); },
        "one message a line: CSV to,text or JSON {\"to\":..,\"text\":..}");
    One(
        send, "--count",
        [this](const std::string& v) { o.count = static_cast<unsigned>(Number("--count", v, 1, 100'000'000)); },
        "send the message N times");
    One(
        send, "--rate",
        [this](const std::string& v) {
          double r = 0;
          const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), r);
          if (ec != std::errc{} || end != v.data() + v.size() || !(r > 0) || r > 1e6)
            throw ValidationError("--rate", "'" + v + "' is not a rate in messages per second (0 < R <= 1000000)");
          o.rate = r;
        },
        "messages per second");
    One(
        send, "--window",
        [this](const std::string& v) { o.window = static_cast<unsigned>(Number("--window", v, 1, 10'000)); },
        "requests in flight (default 10)");
    One(
        send, "--journal", [this](const std::string& v) { o.journal = NonEmpty("--journal", v); },
        "with --file: record each accepted line; a rerun skips those");
    MessageFlags(send, o);
    StoreFlags(send, o);
    One(
        send, "--tag",
        [this](const std::string& v) {
          MaxLength("--tag", NonEmpty("--tag", v), 200);
          o.tag = v;
        },
        "with --store: the run's name, printed by whoever matches its receipts (default: the --file name)");
    One(
        send, "--rate-store",
        [this](const std::string& v) {
          if (v.substr(0, 8) != "redis://")
            throw ValidationError("--rate-store", "'" + v + "' is not redis://HOST:PORT/DB");
          StoreText("--rate-store", v);
          o.rate_store = v;
        },
        "redis://HOST:PORT/DB: draw --rate from a budget every process of the --account shares");
    Flag(send, "--receipt", o.receipt, "wait for the delivery receipts; exit 0 only when every one says DELIVRD");
    Time(send, "--receipt-timeout", o.receipt_timeout_ms, 1, 1, 86'400'000,
         "for the delivery receipts, from the last response (default 30s)");
    One(
        send, "--encoding",
        [this](const std::string& v) {
          if (v == "auto")
            o.encoding.reset();
          else
            o.encoding = Pick("--encoding", v, sms::kAlphabetNames, "auto").alphabet;
        },
        "auto|" + Names(sms::kAlphabetNames) + " (default auto: GSM 7-bit, else UCS-2)");
    One(
        send, "--split",
        [this](const std::string& v) { o.split = Pick("--split", v, sms::kSegmentMethodNames).method; },
        Names(sms::kSegmentMethodNames) + " (default udh)");

    auto* data = app.add_subcommand("data_sm", "data_sm to one destination, the text in message_payload");
    Common(data, Command::DataSm);
    TlsFiles(data, false);
    Simulator(data, false);
    One(
        data, "--to", [this](const std::string& v) { SplitList("--to", v, o.to, 20); }, "destination_addr");
    One(
        data, "--text",
        [this](const std::string& v) {
          o.text = v;
          o.text_given = true;
        },
        "UTF-8 text (GSM 7-bit when it fits, else UCS-2)");
    MessageFlags(data, o, true);  // data_sm has no priority, protocol_id, schedule or validity

    auto* listen = app.add_subcommand("listen", "print MO messages and receipts, one line each");
    Common(listen, Command::Listen);
    TlsFiles(listen, false);
    Simulator(listen, false);
    One(
        listen, "--count",
        [this](const std::string& v) { o.count = static_cast<unsigned>(Number("--count", v, 1, 1'000'000)); },
        "stop after N");
    Time(listen, "--duration", o.duration_ms, 1000, 1, 86'400'000, "stop after this long (a bare number: seconds)");
    StoreFlags(listen, o);
    Flag(listen, "--reconnect", o.reconnect, "reconnect and rebind with backoff when the link is lost");
    One(
        listen, "--metrics-port",
        [this](const std::string& v) { o.metrics_port = static_cast<int>(Number("--metrics-port", v, 0, 65535)); },
        "serve the session's metrics (Prometheus text) at http://127.0.0.1:PORT/metrics");

    for (auto [name, c, help] : {std::tuple{"query", Command::Query, "query_sm for --id"},
                                 std::tuple{"cancel", Command::Cancel, "cancel_sm for --id"},
                                 std::tuple{"replace", Command::Replace, "replace_sm for --id"}}) {
      auto* s = app.add_subcommand(name, help);
      Common(s, c);
      TlsFiles(s, false);
      Simulator(s, false);
      One(
          s, "--id",
          [this](const std::string& v) {
            if (v.empty() || v.size() > 64) throw ValidationError("--id", "must be 1..64 characters");
            o.id = v;
          },
          "message_id");
      if (c == Command::Cancel)
        One(
            s, "--to", [this](const std::string& v) { SplitList("--to", v, o.to, 20); }, "destination_addr");
      if (c == Command::Replace)
        One(
            s, "--text",
            [this](const std::string& v) {
              o.text = v;
              o.text_given = true;
            },
            "new text");
    }

    auto* ping = app.add_subcommand("ping", "enquire_link round trips");
    Common(ping, Command::Ping);
    TlsFiles(ping, false);
    Simulator(ping, false);
    One(
        ping, "--count",
        [this](const std::string& v) { o.count = static_cast<unsigned>(Number("--count", v, 1, 1'000'000)); },
        "round trips (default 3)");
    Time(ping, "--interval", o.interval_ms, 1, 0, 3'600'000, "between them (default 1s)");

    auto* sim = app.add_subcommand("simulate", "the SMSC simulator on --host (127.0.0.1) --port (2775; 0: any)");
    Common(sim, Command::Simulate);
    TlsFiles(sim, true);
    Simulator(sim, true);
    TypeNames(app);
  }
};

struct EnvFlag {
  const char* variable;
  const char* flag;
};
constexpr EnvFlag kEnv[] = {{"SMPP_HOST", "--host"},
                            {"SMPP_PORT", "--port"},
                            {"SMPP_SYSTEM_ID", "--system-id"},
                            {"SMPP_PASSWORD", "--password"}};

bool Given(const std::vector<std::string>& args, std::string_view flag) {
  for (const auto& a : args)
    if (a == flag || (a.size() > flag.size() && a.compare(0, flag.size(), flag) == 0 && a[flag.size()] == '='))
      return true;
  return false;
}

Command CommandOf(std::string_view name) {
  if (name == "listen") return Command::Listen;
  if (name == "query") return Command::Query;
  if (name == "cancel") return Command::Cancel;
  if (name == "replace") return Command::Replace;
  if (name == "ping") return Command::Ping;
  if (name == "simulate") return Command::Simulate;
  return Command::Send;
}

// Cross-flag rules, after every flag has been read.
void Check(Options& o, bool simulator_flag_used, bool port_given) {
  auto fail = [](std::string m) { throw ValidationError(std::move(m)); };
  const bool client = o.command != Command::Simulate;
  if (client && o.host.empty() && port_given) o.host = "127.0.0.1";  // --port alone: a local SMSC
  if (client && !o.host.empty() && simulator_flag_used)
    fail("simulator flags apply only to 'simulate' or to the embedded SMSC (no --host, no --port)");
  if (client && !o.host.empty() && o.port == 0) fail("--port: 0 is only valid for 'simulate'");
  if (o.command == Command::Simulate && o.host.empty()) o.host = "127.0.0.1";
  if (o.tls_cert.empty() != o.tls_key.empty()) fail("--tls-cert and --tls-key go together");
  if (client) {
    o.tls = o.tls || !o.tls_ca.empty() || !o.tls_server_name.empty() || !o.tls_cert.empty() || o.tls_insecure;
    if (o.tls && o.host.empty()) fail("--tls needs --host: the embedded SMSC listens on plain TCP");
    if (o.tls_insecure && !o.tls_ca.empty()) fail("--tls-insecure and --tls-ca contradict each other");
  } else {
    o.tls = !o.tls_cert.empty();
  }
  const bool sends = o.command == Command::Send || o.command == Command::DataSm || o.command == Command::Query ||
                     o.command == Command::Cancel || o.command == Command::Replace;
  if (sends && !o.CanSend())
    fail(o.command_name + " needs a bind that sends: --bind transmitter or transceiver (a receiver cannot)");
  switch (o.command) {
    case Command::Send:
      if (!o.file.empty()) {
        if (!o.to.empty() || o.text_given) fail("--file gives the destinations and texts: drop --to and --text");
        if (o.count) fail("--count repeats one message: it does not go with --file");
      } else {
        if (o.to.empty()) fail("send needs --to (or --file)");
        if (!o.text_given) fail("send needs --text");
      }
      if (o.to.size() > TVelmorSMPPDemo::MaxDestinations) fail("--to: more than 254 destinations");
      if (o.encoding == sms::Alphabet::Binary && o.text_given && !IsHex(o.text))
        fail("--text: with --encoding binary the text must be an even count of hex digits");
      if (o.receipt && o.bind && *o.bind == Transmitter && o.store.empty())
        fail("--receipt on a transmitter needs --store: another process's bind receives the receipts");
      if (!o.tag.empty() && o.store.empty()) fail("--tag names the run in a shared --store: give --store");
      if (!o.rate_store.empty() && o.rate == 0) fail("--rate-store holds the --rate budget: give --rate");
      if (!o.journal.empty() && o.file.empty()) fail("--journal records --file lines: give --file");
      if (o.receipt && o.registered_delivery && (*o.registered_delivery & 0x03) == 0)
        fail("--receipt asks for receipts but --registered-delivery " + std::to_string(*o.registered_delivery) +
             " does not: drop one of them");
      break;
    case Command::DataSm:
      if (o.to.size() != 1) fail("data_sm needs one --to");
      if (!o.text_given) fail("data_sm needs --text");
      break;
    case Command::Listen:
      if (o.bind && *o.bind == Transmitter) fail("listen needs --bind receiver or transceiver");
      break;
    case Command::Replace:
      if (!o.text_given) fail("replace needs --text");
      [[fallthrough]];
    case Command::Query:
    case Command::Cancel:
      if (o.to.size() > 1) fail("cancel takes one --to");
      if (o.id.empty()) fail(o.command_name + " needs --id");
      break;
    case Command::Ping:
    case Command::Simulate: break;
  }
}

// CLI11's wording made one line and pointed at the flag.
std::string OneLine(std::string m) {
  for (char& c : m)
    if (c == '\n') c = ' ';
  while (!m.empty() && m.back() == ' ') m.pop_back();
  return m;
}

}  // namespace

TBindType Options::EffectiveBind() const {
  if (bind) return *bind;
  if (command == Command::Listen) return Receiver;
  if (command == Command::Send && receipt) return Transceiver;
  return Transmitter;
}

TTLSOptions Options::TLS() const {
  TTLSOptions t;
  t.enabled = tls;
  t.ca_file = tls_ca;
  t.server_name = tls_server_name;
  t.cert_file = tls_cert;
  t.key_file = tls_key;
  t.insecure_skip_verify = tls_insecure;
  t.handshake_timeout = std::chrono::milliseconds(connect_timeout_ms);
  return t;
}

const char* BindName(TBindType type) { return codec::bind_state_name(BoundState(type)).data(); }

ParseOutcome ParseArgs(const std::vector<std::string>& args, const EnvLookup& env) {
  ParseOutcome out;
  Parser p;
  p.Build();
  if (!args.empty() && args[0].rfind("-", 0) != 0) out.command = args[0];
  // Variables stand for flags not given, as if given: the same checks apply.
  std::vector<std::string> all = args;
  std::vector<const EnvFlag*> from_env;
  const bool simulate = out.command == "simulate";
  if (env && !out.command.empty())
    for (const EnvFlag& e : kEnv) {
      const char* v = env(e.variable);
      if (v == nullptr || Given(args, e.flag)) continue;
      if (simulate && std::string_view(e.flag) != "--host" && std::string_view(e.flag) != "--port") continue;
      all.push_back(std::string(e.flag) + "=" + v);
      from_env.push_back(&e);
    }
  std::vector<std::string> reversed(all.rbegin(), all.rend());  // CLI11 takes them last first
  try {
    p.app.parse(reversed);
    CLI::App* sub = p.app.get_subcommands().front();
    p.o.command = sub->get_name() == "data_sm" ? Command::DataSm : CommandOf(sub->get_name());
    p.o.command_name = sub->get_name();
    bool sim_used = false;
    for (CLI::Option* f : p.simulator_flags)
      if (f->count() > 0) sim_used = true;
    const bool port_given = sub->get_option("--port")->count() > 0;
    Check(p.o, sim_used, port_given);
    out.options = std::move(p.o);
  } catch (const CLI::CallForHelp&) {
    out.help = true;
    const auto subs = p.app.get_subcommands();
    out.text = subs.empty() ? p.app.help() : subs.front()->help();
  } catch (const CLI::CallForVersion&) {
    out.version = true;
    out.text = std::string(kVersion) + "\n";
  } catch (const CLI::ParseError& e) {
    std::string m = OneLine(e.what());
    if (m.rfind("A subcommand is required", 0) == 0 || m.rfind("A subcommand", 0) == 0)
      m = args.empty() ? "no command given" : "unknown command '" + args[0] + "'";
    if (m.rfind("unknown command", 0) == 0 || m.rfind("no command", 0) == 0) out.command.clear();
    if (const auto at = m.find(" not expected: "); at != std::string::npos) {
      // CLI11 lists the leftovers last first (it reads the reversed list).
      std::vector<std::string> extra;
      std::istringstream in(m.substr(at + 15));
      for (std::string w; in >> w;) extra.insert(extra.begin(), w);
      const std::string where = out.command.empty() ? "" : " for '" + out.command + "'";
      m = !extra.empty() && extra[0].rfind("-", 0) == 0
              ? "unknown flag " + extra[0].substr(0, extra[0].find('=')) + where
              : "unexpected argument '" + (extra.empty() ? "" : extra[0]) + "'";
    }
    if (const auto at = m.find(" required ");
        at != std::string::npos && m.find(" missing") != std::string::npos && m.rfind("--", 0) == 0)
      m = m.substr(0, m.find(':')) + " needs a value";
    if (const auto at = m.find(": At Most 1 required but received"); at != std::string::npos)
      m = m.substr(0, at) + " is given more than once; give it once";
    for (const EnvFlag* f : from_env) {
      const std::string flag = f->flag;
      if (m.rfind(flag + ":", 0) == 0) m = std::string(f->variable) + " (for " + flag + ")" + m.substr(flag.size());
    }
    out.error = m;
  }
  return out;
}

}  // namespace velmor::cli
