#include "tools/cli/Options.h"

#include <charconv>
#include <functional>
#include <string_view>

namespace velmor::cli {
namespace {

constexpr unsigned bit(Command c) { return 1u << static_cast<unsigned>(c); }
constexpr unsigned kClients = bit(Command::Send) | bit(Command::Listen) | bit(Command::Query) |
                              bit(Command::Cancel) | bit(Command::Replace) | bit(Command::Ping);
constexpr unsigned kAll = kClients | bit(Command::Simulate);
constexpr unsigned kSim = kAll;  // simulator flags: simulate, or a client on the embedded SMSC

struct Failure {
  std::string message;
};

unsigned long long ParseNumber(std::string_view flag, std::string_view text, unsigned long long lo,
                               unsigned long long hi) {
  unsigned long long v = 0;
  int base = 10;
  std::string_view digits = text;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    base = 16;
    digits.remove_prefix(2);
  }
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), v, base);
  if (digits.empty() || ec != std::errc{} || end != digits.data() + digits.size())
    throw Failure{"--" + std::string(flag) + ": '" + std::string(text) + "' is not a number"};
  if (v < lo || v > hi)
    throw Failure{"--" + std::string(flag) + ": " + std::string(text) + " is outside " + std::to_string(lo) +
                  ".." + std::to_string(hi)};
  return v;
}

Byte ParseByte(std::string_view flag, std::string_view text) {
  return static_cast<Byte>(ParseNumber(flag, text, 0, 255));
}

unsigned ParseMs(std::string_view flag, std::string_view text) {
  return static_cast<unsigned>(ParseNumber(flag, text, 1, 3'600'000));
}

void SplitList(std::string_view text, std::vector<std::string>& out, std::string_view flag) {
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t comma = text.find(',', start);
    const std::string_view item = text.substr(start, comma == std::string_view::npos ? comma : comma - start);
    if (item.empty()) throw Failure{"--" + std::string(flag) + ": empty entry in '" + std::string(text) + "'"};
    out.emplace_back(item);
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
}

std::string NonEmpty(std::string_view flag, std::string_view v) {
  if (v.empty()) throw Failure{"--" + std::string(flag) + ": empty"};
  return std::string(v);
}

// Address fields are C-Octet Strings of at most 20 octets plus NUL.
void CheckAddress(std::string_view flag, std::string_view value) {
  if (value.size() > 20) throw Failure{"--" + std::string(flag) + ": '" + std::string(value) + "' is longer than 20"};
}

struct Flag {
  std::string_view name;
  bool takes_value;
  unsigned commands;
  std::function<void(Options&, std::string_view)> apply;
};

const std::vector<Flag>& Flags() {
  static const std::vector<Flag> flags = {
      {"host", true, kAll,
       [](Options& o, std::string_view v) {
         if (v.empty()) throw Failure{"--host: empty"};
         o.host = v;
       }},
      {"port", true, kAll, [](Options& o, std::string_view v) { o.port = static_cast<int>(ParseNumber("port", v, 0, 65535)); }},
      {"system-id", true, kClients,
       [](Options& o, std::string_view v) {
         if (v.size() > 15) throw Failure{"--system-id: longer than 15"};
         o.system_id = v;
       }},
      {"password", true, kClients,
       [](Options& o, std::string_view v) {
         if (v.size() > 8) throw Failure{"--password: longer than 8"};
         o.password = v;
       }},
      {"system-type", true, kClients,
       [](Options& o, std::string_view v) {
         if (v.size() > 12) throw Failure{"--system-type: longer than 12"};
         o.system_type = v;
       }},
      {"bind", true, kClients,
       [](Options& o, std::string_view v) {
         if (v == "transmitter") o.bind = Transmitter;
         else if (v == "receiver") o.bind = Receiver;
         else if (v == "transceiver") o.bind = Transceiver;
         else throw Failure{"--bind: '" + std::string(v) + "' is not transmitter, receiver or transceiver"};
       }},
      {"source", true, kClients, [](Options& o, std::string_view v) { CheckAddress("source", v); o.source = v; }},
      {"source-ton", true, kClients, [](Options& o, std::string_view v) { o.source_ton = ParseByte("source-ton", v); }},
      {"source-npi", true, kClients, [](Options& o, std::string_view v) { o.source_npi = ParseByte("source-npi", v); }},
      {"dest-ton", true, kClients, [](Options& o, std::string_view v) { o.dest_ton = ParseByte("dest-ton", v); }},
      {"dest-npi", true, kClients, [](Options& o, std::string_view v) { o.dest_npi = ParseByte("dest-npi", v); }},
      {"data-coding", true, kClients, [](Options& o, std::string_view v) { o.data_coding = ParseByte("data-coding", v); }},
      {"registered-delivery", true, kClients,
       [](Options& o, std::string_view v) { o.registered_delivery = ParseByte("registered-delivery", v); }},
      {"connect-timeout", true, kClients, [](Options& o, std::string_view v) { o.connect_timeout_ms = ParseMs("connect-timeout", v); }},
      {"bind-timeout", true, kClients, [](Options& o, std::string_view v) { o.bind_timeout_ms = ParseMs("bind-timeout", v); }},
      {"timeout", true, kClients, [](Options& o, std::string_view v) { o.timeout_ms = ParseMs("timeout", v); }},
      {"receipt-timeout", true, bit(Command::Send),
       [](Options& o, std::string_view v) { o.receipt_timeout_ms = ParseMs("receipt-timeout", v); }},
      {"trace", false, kClients, [](Options& o, std::string_view) { o.trace = true; }},
      {"tls", false, kClients, [](Options& o, std::string_view) { o.tls = true; }},
      {"tls-ca", true, kClients, [](Options& o, std::string_view v) { o.tls_ca = NonEmpty("tls-ca", v); }},
      {"tls-server-name", true, kClients,
       [](Options& o, std::string_view v) { o.tls_server_name = NonEmpty("tls-server-name", v); }},
      {"tls-cert", true, kAll, [](Options& o, std::string_view v) { o.tls_cert = NonEmpty("tls-cert", v); }},
      {"tls-key", true, kAll, [](Options& o, std::string_view v) { o.tls_key = NonEmpty("tls-key", v); }},
      {"tls-insecure", false, kClients, [](Options& o, std::string_view) { o.tls_insecure = true; }},
      {"to", true, bit(Command::Send) | bit(Command::Cancel),
       [](Options& o, std::string_view v) {
         const std::size_t before = o.to.size();
         SplitList(v, o.to, "to");
         for (std::size_t i = before; i < o.to.size(); ++i) CheckAddress("to", o.to[i]);
       }},
      {"text", true, bit(Command::Send) | bit(Command::Replace),
       [](Options& o, std::string_view v) {
         o.text = v;
         o.text_given = true;
       }},
      {"id", true, bit(Command::Query) | bit(Command::Cancel) | bit(Command::Replace),
       [](Options& o, std::string_view v) {
         if (v.empty() || v.size() > 64) throw Failure{"--id: must be 1..64 characters"};
         o.id = v;
       }},
      {"receipt", false, bit(Command::Send), [](Options& o, std::string_view) { o.receipt = true; }},
      {"encoding", true, bit(Command::Send),
       [](Options& o, std::string_view v) {
         if (v == "auto") o.encoding = TextEncoding::Auto;
         else if (v == "gsm") o.encoding = TextEncoding::Gsm;
         else if (v == "ucs2") o.encoding = TextEncoding::Ucs2;
         else if (v == "latin1") o.encoding = TextEncoding::Latin1;
         else if (v == "binary") o.encoding = TextEncoding::Binary;
         else throw Failure{"--encoding: '" + std::string(v) + "' is not auto, gsm, ucs2, latin1 or binary"};
       }},
      {"split", true, bit(Command::Send),
       [](Options& o, std::string_view v) {
         if (v == "udh") o.split = SplitMethod::Udh;
         else if (v == "sar") o.split = SplitMethod::Sar;
         else if (v == "payload") o.split = SplitMethod::Payload;
         else throw Failure{"--split: '" + std::string(v) + "' is not udh, sar or payload"};
       }},
      {"json", false, bit(Command::Listen), [](Options& o, std::string_view) { o.json = true; }},
      {"count", true, bit(Command::Listen) | bit(Command::Ping),
       [](Options& o, std::string_view v) { o.count = static_cast<unsigned>(ParseNumber("count", v, 1, 1'000'000)); }},
      {"duration", true, bit(Command::Listen),
       [](Options& o, std::string_view v) { o.duration_s = static_cast<unsigned>(ParseNumber("duration", v, 1, 86'400)); }},
      {"interval", true, bit(Command::Ping),
       [](Options& o, std::string_view v) { o.interval_ms = static_cast<unsigned>(ParseNumber("interval", v, 0, 3'600'000)); }},
      {"credential", true, kSim,
       [](Options& o, std::string_view v) {
         const std::size_t colon = v.find(':');
         if (colon == std::string_view::npos || colon == 0)
           throw Failure{"--credential: '" + std::string(v) + "' is not id:password"};
         o.credentials.emplace_back(std::string(v.substr(0, colon)), std::string(v.substr(colon + 1)));
       }},
      {"delivery-delay", true, kSim,
       [](Options& o, std::string_view v) {
         o.delivery_delay_ms = static_cast<unsigned>(ParseNumber("delivery-delay", v, 0, 3'600'000));
       }},
      {"undeliverable", true, kSim, [](Options& o, std::string_view v) { SplitList(v, o.undeliverable, "undeliverable"); }},
      {"throttle-every", true, kSim,
       [](Options& o, std::string_view v) {
         o.throttle_every = static_cast<unsigned>(ParseNumber("throttle-every", v, 0, 1'000'000));
       }},
      {"reject-binds", false, kSim, [](Options& o, std::string_view) { o.reject_binds = true; }},
  };
  return flags;
}

bool IsSimulatorFlag(std::string_view name) {
  return name == "credential" || name == "delivery-delay" || name == "undeliverable" || name == "throttle-every" ||
         name == "reject-binds";
}

std::optional<Command> CommandNamed(std::string_view name) {
  if (name == "send") return Command::Send;
  if (name == "listen") return Command::Listen;
  if (name == "query") return Command::Query;
  if (name == "cancel") return Command::Cancel;
  if (name == "replace") return Command::Replace;
  if (name == "ping") return Command::Ping;
  if (name == "simulate") return Command::Simulate;
  return std::nullopt;
}

bool IsHex(std::string_view s) {
  if (s.size() % 2 != 0) return false;
  for (char c : s)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) return false;
  return true;
}

Options Parse(const std::vector<std::string>& args, const char* env_password, bool& help) {
  if (args.empty()) throw Failure{"no command given"};
  for (const std::string& a : args)
    if (a == "--help" || a == "-h") {
      help = true;
      return {};
    }
  const auto command = CommandNamed(args[0]);
  if (!command) throw Failure{"unknown command '" + args[0] + "'"};
  Options o;
  o.command = *command;
  if (env_password != nullptr) o.password = std::string(env_password).substr(0, 8);
  bool simulator_flag_used = false;
  for (std::size_t i = 1; i < args.size(); ++i) {
    std::string_view arg = args[i];
    if (arg.size() < 3 || arg.substr(0, 2) != "--") throw Failure{"unexpected argument '" + std::string(arg) + "'"};
    arg.remove_prefix(2);
    std::optional<std::string_view> inline_value;
    if (const std::size_t eq = arg.find('='); eq != std::string_view::npos) {
      inline_value = arg.substr(eq + 1);
      arg = arg.substr(0, eq);
    }
    const Flag* flag = nullptr;
    for (const Flag& f : Flags())
      if (f.name == arg) flag = &f;
    if (flag == nullptr) throw Failure{"unknown flag --" + std::string(arg)};
    if ((flag->commands & bit(o.command)) == 0)
      throw Failure{"--" + std::string(arg) + " does not apply to '" + args[0] + "'"};
    std::string_view value;
    if (flag->takes_value) {
      if (inline_value) {
        value = *inline_value;
      } else {
        if (i + 1 >= args.size()) throw Failure{"--" + std::string(arg) + " needs a value"};
        value = args[++i];
      }
    } else if (inline_value) {
      throw Failure{"--" + std::string(arg) + " takes no value"};
    }
    flag->apply(o, value);
    if (IsSimulatorFlag(arg)) simulator_flag_used = true;
  }

  // Cross-flag rules.
  const bool client = o.command != Command::Simulate;
  if (client && !o.host.empty() && simulator_flag_used)
    throw Failure{"simulator flags apply only to 'simulate' or to the embedded SMSC (no --host)"};
  if (client && !o.host.empty() && o.port == 0) throw Failure{"--port: 0 is only valid for 'simulate'"};
  if (o.command == Command::Simulate && o.host.empty()) o.host = "127.0.0.1";
  if (o.tls_cert.empty() != o.tls_key.empty()) throw Failure{"--tls-cert and --tls-key go together"};
  if (client) {
    o.tls = o.tls || !o.tls_ca.empty() || !o.tls_server_name.empty() || !o.tls_cert.empty() || o.tls_insecure;
    if (o.tls && o.host.empty())
      throw Failure{"--tls needs --host: the embedded SMSC listens on plain TCP"};
    if (o.tls_insecure && !o.tls_ca.empty()) throw Failure{"--tls-insecure and --tls-ca contradict each other"};
  } else {
    o.tls = !o.tls_cert.empty();
  }
  switch (o.command) {
    case Command::Send:
      if (o.to.empty()) throw Failure{"send needs --to"};
      if (o.to.size() > TVelmorSMPPDemo::MaxDestinations) throw Failure{"--to: more than 254 destinations"};
      if (!o.text_given) throw Failure{"send needs --text"};
      if (o.encoding == TextEncoding::Binary && !IsHex(o.text))
        throw Failure{"--text: with --encoding binary the text must be an even count of hex digits"};
      if (o.receipt && o.bind && *o.bind == Transmitter)
        throw Failure{"--receipt needs a bind that receives (receiver or transceiver)"};
      if (o.receipt && o.bind && *o.bind == Receiver) throw Failure{"--receipt: a receiver cannot submit"};
      break;
    case Command::Listen:
      if (o.bind && *o.bind == Transmitter) throw Failure{"listen needs --bind receiver or transceiver"};
      break;
    case Command::Query:
    case Command::Replace:
      if (o.id.empty()) throw Failure{std::string(args[0]) + " needs --id"};
      if (o.command == Command::Replace && !o.text_given) throw Failure{"replace needs --text"};
      break;
    case Command::Cancel:
      if (o.id.empty()) throw Failure{"cancel needs --id"};
      if (o.to.size() > 1) throw Failure{"cancel takes one --to"};
      break;
    case Command::Ping:
    case Command::Simulate:
      break;
  }
  return o;
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
  // The handshake gets a deadline of its own, as long as the connect's.
  t.handshake_timeout = std::chrono::milliseconds(connect_timeout_ms);
  return t;
}

const char* BindName(TBindType type) {
  switch (type) {
    case Transmitter: return "transmitter";
    case Receiver: return "receiver";
    case Transceiver: return "transceiver";
  }
  return "?";
}

ParseOutcome ParseArgs(const std::vector<std::string>& args, const char* env_password) {
  ParseOutcome out;
  try {
    out.options = Parse(args, env_password, out.help);
    if (out.help) out.options.reset();
  } catch (const Failure& f) {
    out.error = f.message;
  }
  return out;
}

std::string Usage() {
  return R"(usage: velmorsmppdemo COMMAND [FLAGS]

Commands:
  send      --to NUM [--to NUM | --to A,B] --text TEXT   one destination: submit_sm;
            several: submit_multi. [--receipt] waits for the delivery receipts.
            [--encoding auto|gsm|ucs2|latin1|binary] (binary: TEXT is hex)
            [--split udh|sar|payload] for long texts (default udh)
            [--receipt-timeout MS] (default 30000)
  listen    print MO messages and receipts, one line each [--json]
            [--count N] [--duration S]; runs until SIGINT/SIGTERM otherwise
  query     --id ID                  query_sm
  cancel    --id ID [--to NUM]       cancel_sm
  replace   --id ID --text TEXT      replace_sm
  ping      [--count N] [--interval MS]  enquire_link round trips (default 3, 1000)
  simulate  run the SMSC simulator on --host (default 127.0.0.1) --port (default 2775; 0: any)
            [--tls-cert FILE --tls-key FILE]: TLS with that certificate and key (PEM)

Connection (all but simulate):
  --host H --port P          SMSC address; without --host an embedded simulator is
                             started on 127.0.0.1 with a free port
  --system-id ID --password PW (or SMPP_PASSWORD) --system-type T
  --bind transmitter|receiver|transceiver
  --source ADDR --source-ton N --source-npi N --dest-ton N --dest-npi N
  --data-coding N --registered-delivery N      (0..255, decimal or 0x hex)
  --connect-timeout MS --bind-timeout MS --timeout MS   (default 5000 each)
  --trace                    every PDU sent and received, to stderr; over TLS
                             also the protocol version and cipher
  --tls                      TLS to --host, verifying the SMSC's certificate
                             against the system's CAs and the host name
  --tls-ca FILE              trust the CAs in FILE (PEM) instead
  --tls-server-name NAME     verify (and send as SNI) NAME instead of --host
  --tls-cert FILE --tls-key FILE   client certificate and key (PEM)
  --tls-insecure             do not verify the certificate (warns; testing only)

Simulator (simulate, or the embedded one):
  --credential ID:PW (repeatable; none: any login accepted)
  --delivery-delay MS (simulate 1000, embedded 200)  --undeliverable NUM[,NUM]
  --throttle-every N  --reject-binds

Exit codes:
  0 ok   1 internal error   2 usage   3 connection failed (refused, unknown host)
  4 bind rejected   5 request rejected   6 timeout   7 connection lost
  8 interrupted before the command finished
)";
}

}  // namespace velmor::cli
