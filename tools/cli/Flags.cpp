// Message-field flags, time values with units, and the value type each flag
// shows in --help.
#include <cstdio>
#include <map>

#include "tlv/Tlv.h"
#include "tools/cli/OptionsDetail.h"

namespace velmor::cli {

std::optional<unsigned long long> ParseDuration(std::string_view text, unsigned long long bare_unit_ms) {
  unsigned long long v = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (text.empty() || ec != std::errc{}) return std::nullopt;
  const std::string_view unit(end, static_cast<std::size_t>(text.data() + text.size() - end));
  static const std::pair<std::string_view, unsigned long long> kUnits[] = {
      {"", 0}, {"ms", 1}, {"s", 1000}, {"m", 60'000}, {"min", 60'000}, {"h", 3'600'000}, {"d", 86'400'000}};
  for (const auto& [name, scale] : kUnits)
    if (unit == name) {
      const unsigned long long k = scale ? scale : bare_unit_ms;
      if (v > ~0ull / k) return std::nullopt;
      return v * k;
    }
  return std::nullopt;
}

std::string RelativeSmppTime(unsigned long long ms) {
  unsigned long long s = ms / 1000;
  const unsigned long long sec = s % 60, min = s / 60 % 60, hour = s / 3600 % 24, days = s / 86400;
  // Relative times count months of 30 days and years of 365, as SMSCs read them.
  const unsigned long long years = days / 365, months = days % 365 / 30, day = days % 365 % 30;
  char buf[24];
  std::snprintf(buf, sizeof buf, "%02llu%02llu%02llu%02llu%02llu%02llu000R", years % 100, months, day, hour, min, sec);
  return buf;
}

namespace flags {
namespace {

// A value for schedule_delivery_time or validity_period: an SMPP time
// (16 characters, absolute ...t..p with + or -, or relative ...000R) as it
// stands, or a duration (10m, 2h) made relative.
std::string SmppTime(const std::string& flag, const std::string& v) {
  if (v.size() == 16 && (v[15] == 'R' || v[15] == '+' || v[15] == '-')) {
    for (std::size_t i = 0; i < 15; ++i)
      if (v[i] < '0' || v[i] > '9') throw ValidationError(flag, "'" + v + "' is not an SMPP time");
    return v;
  }
  if (const auto ms = ParseDuration(v, 1000); ms && *ms >= 1000) return RelativeSmppTime(*ms);
  throw ValidationError(flag, "'" + v +
                                  "' is neither an SMPP time (YYMMDDhhmmsstnnp, or ...000R relative) nor a duration "
                                  "like 10m or 2h");
}

}  // namespace

CLI::Option* Time(CLI::App* s, const std::string& name, unsigned& target_ms, unsigned long long bare_unit_ms,
                  unsigned long long lo_ms, unsigned long long hi_ms, const std::string& help) {
  auto* opt = One(
      s, name,
      [name, &target_ms, bare_unit_ms, lo_ms, hi_ms](const std::string& v) {
        const auto ms = ParseDuration(v, bare_unit_ms);
        if (!ms) throw ValidationError(name, "'" + v + "' is not a time (e.g. 500ms, 10s, 2m)");
        if (*ms < lo_ms || *ms > hi_ms)
          throw ValidationError(name,
                                v + " is outside " + std::to_string(lo_ms) + "ms.." + std::to_string(hi_ms) + "ms");
        target_ms = static_cast<unsigned>(*ms);
      },
      help);
  opt->type_name(bare_unit_ms == 1000 ? "S|TIME" : "MS|TIME");
  return opt;
}

void MessageFlags(CLI::App* s, Options& o, bool data_sm) {
  One(
      s, "--service-type",
      [&o](const std::string& v) {
        MaxLength("--service-type", v, 5);
        o.service_type = v;
      },
      "service_type");
  for (auto [name, target, hi] :
       {std::tuple{"--priority", &o.priority_flag, 3}, std::tuple{"--protocol-id", &o.protocol_id, 255}})
    if (!data_sm)
      One(
          s, name,
          [name = std::string(name), target, hi](const std::string& v) { *target = Byte(Number(name, v, 0, hi)); },
          std::string(name + 2) + " 0.." + std::to_string(hi));
  One(
      s, "--esm-class", [&o](const std::string& v) { o.esm_class = Byte(Number("--esm-class", v, 0, 255)); },
      "esm_class, or-ed with the UDHI bit a split sets");
  if (!data_sm) {
    One(
        s, "--schedule", [&o](const std::string& v) { o.schedule_delivery_time = SmppTime("--schedule", v); },
        "schedule_delivery_time: SMPP time, or a delay like 10m");
    One(
        s, "--validity", [&o](const std::string& v) { o.validity_period = SmppTime("--validity", v); },
        "validity_period: SMPP time, or a duration like 2h");
  }
  s->add_option_function<std::vector<std::string>>(
       "--tlv",
       [&o](const std::vector<std::string>& all) {
         for (const auto& v : all) {
           const auto eq = v.find('=');
           if (eq == std::string::npos) throw ValidationError("--tlv", "'" + v + "' is not TAG=HEX");
           const Word t = static_cast<Word>(Number("--tlv", v.substr(0, eq), 0, 0xFFFF));
           const std::string hex = v.substr(eq + 1);
           if (!IsHex(hex)) throw ValidationError("--tlv", "'" + hex + "' is not an even count of hex digits");
           if (hex.size() / 2 > 0xFFFF)
             throw ValidationError("--tlv",
                                   "a value holds at most 65535 octets, not " + std::to_string(hex.size() / 2));
           std::string octets;
           for (std::size_t i = 0; i < hex.size(); i += 2)
             octets += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
           o.tlvs.emplace_back(t, std::move(octets));
         }
       },
       "optional parameter TAG=HEX, e.g. 0x0204=0001 or a vendor's 0x1400=ABCD (repeatable)")
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
}

void TypeNames(CLI::App& app) {
  static const std::map<std::string, const char*> kTypes = {
      {"--host", "HOST"},
      {"--port", "PORT"},
      {"--system-id", "ID"},
      {"--password", "PW"},
      {"--system-type", "TYPE"},
      {"--bind", "BIND"},
      {"--source", "ADDR"},
      {"--source-ton", "N"},
      {"--source-npi", "N"},
      {"--dest-ton", "N"},
      {"--dest-npi", "N"},
      {"--data-coding", "N"},
      {"--registered-delivery", "N"},
      {"--tls-ca", "FILE"},
      {"--tls-cert", "FILE"},
      {"--tls-key", "FILE"},
      {"--tls-server-name", "NAME"},
      {"--credential", "ID:PW"},
      {"--delivery-delay", "MS|TIME"},
      {"--undeliverable", "NUM"},
      {"--reject", "NUM"},
      {"--throttle-every", "N"},
      {"--mo-from", "ADDR"},
      {"--mo-to", "ADDR"},
      {"--mo-text", "TEXT"},
      {"--first-message-id", "N"},
      {"--id-style", "STYLE"},
      {"--id-prefix", "TEXT"},
      {"--to", "NUM"},
      {"--text", "TEXT"},
      {"--file", "FILE"},
      {"--journal", "FILE"},
      {"--count", "N"},
      {"--rate", "N"},
      {"--window", "N"},
      {"--encoding", "ENC"},
      {"--split", "METHOD"},
      {"--id", "ID"},
      {"--service-type", "TYPE"},
      {"--priority", "N"},
      {"--protocol-id", "N"},
      {"--esm-class", "N"},
      {"--schedule", "TIME"},
      {"--validity", "TIME"},
      {"--tlv", "TAG=HEX"},
      {"--http", "PORT"},
      {"--http-host", "HOST"},
      {"--http-token", "TOKEN"},
      {"--rule", "PREFIX=FAULT"},
      {"--metrics-port", "PORT"},
  };
  for (CLI::App* sub : app.get_subcommands({}))
    for (CLI::Option* opt : sub->get_options())
      if (auto it = kTypes.find(opt->get_name()); it != kTypes.end() && opt->get_type_name() == "TEXT")
        opt->type_name(it->second);
}

// A store's text: memory, sqlite:PATH or redis://HOST:PORT[/DB].
void StoreText(const std::string& flag, const std::string& v) {
  if (v == "memory") return;
  if (v.substr(0, 7) == "sqlite:") {
    if (v.size() == 7) throw ValidationError(flag, "sqlite: needs a file, as in sqlite:receipts.db");
    return;
  }
  if (v.substr(0, 8) != "redis://")
    throw ValidationError(flag, "'" + v + "' is none of memory, sqlite:PATH, redis://HOST:PORT/DB");
  const std::string_view rest = std::string_view(v).substr(8);
  const std::string_view hostport = rest.substr(0, rest.find('/'));
  const auto colon = hostport.rfind(':');
  auto number = [&](std::string_view s, unsigned long long hi, const char* what) {
    unsigned long long n = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), n);
    if (s.empty() || ec != std::errc{} || end != s.data() + s.size() || n > hi)
      throw ValidationError(flag, "'" + v + "': bad " + what);
  };
  if (colon != std::string_view::npos) number(hostport.substr(colon + 1), 65535, "port");
  if (const auto slash = rest.find('/'); slash != std::string_view::npos && slash + 1 < rest.size())
    number(rest.substr(slash + 1), 1'000'000, "database number");
}

// --store and --account (send, listen).
void StoreFlags(CLI::App* s, Options& o) {
  One(
      s, "--store",
      [&o](const std::string& v) {
        StoreText("--store", v);
        o.store = v == "memory" ? std::string() : v;
      },
      "sqlite:PATH or redis://HOST:PORT/DB: the receipt entries, shared with other processes (default: memory)");
  One(
      s, "--account",
      [&o](const std::string& v) {
        MaxLength("--account", NonEmpty("--account", v), 200);
        o.account = v;
      },
      "the name entries and the budget are kept under (default HOST:PORT/SYSTEM_ID)");
}

}  // namespace flags
}  // namespace velmor::cli
