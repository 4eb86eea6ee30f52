// Command line of velmorsmppdemo: the subcommands, their flags, defaults and
// ranges, and the environment variables that stand for flags. Parsing is
// pure (no I/O; the environment is read through the lookup given) so every
// flag and every refusal can be checked without a process.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "component/Velmorsmppdemo.h"
#include "sms/Encoding.h"
#include "sms/Segment.h"
#include "tools/smsc/Rules.h"

namespace velmor::cli {

// Process exit codes. Each failure maps to exactly one of them, so a script
// can tell a refused request from a dead network without reading the text.
namespace exit_code {
inline constexpr int ok = 0;             // success (also: listen or simulate stopped by SIGINT/SIGTERM)
inline constexpr int internal = 1;       // an unexpected exception
inline constexpr int usage = 2;          // bad flag or value, a text the encoding cannot carry, a length over a limit
inline constexpr int connect = 3;        // refused, unknown host, TLS failure, address not bindable
inline constexpr int bind_rejected = 4;  // the SMSC refused the bind
inline constexpr int rejected = 5;       // a request refused (non-zero command_status or generic_nack)
inline constexpr int timeout = 6;        // connect, bind, a response, or a delivery receipt
inline constexpr int lost = 7;           // connection lost, the SMSC unbound, or it sent something unframeable
inline constexpr int interrupted = 8;    // SIGINT/SIGTERM before the command finished
inline constexpr int partial = 9;        // submit_multi: some destinations accepted, others refused
// send --receipt: the final state of a message that was not delivered
inline constexpr int undeliverable = 10;     // UNDELIV
inline constexpr int expired = 11;           // EXPIRED
inline constexpr int receipt_rejected = 12;  // REJECTD
inline constexpr int deleted = 13;           // DELETED
inline constexpr int unknown_state = 14;     // UNKNOWN, or a state the receipt does not name
}  // namespace exit_code

enum class Command { Send, DataSm, Listen, Query, Cancel, Replace, Ping, Simulate };
using SplitMethod = sms::SegmentMethod;

struct Options {
  Command command = Command::Send;
  std::string command_name = "send";

  // ---- connection: no --host and no --port means the embedded simulator -------
  std::string host;  // set to 127.0.0.1 when only --port was given
  int port = 2775;
  std::string system_id = "velmor";
  std::string password;
  std::string system_type;
  std::optional<TBindType> bind;  // unset: the command's natural bind
  std::string source;
  Byte source_ton = 0, source_npi = 0;
  Byte dest_ton = 1, dest_npi = 1;
  std::optional<Byte> data_coding;
  std::optional<Byte> registered_delivery;
  unsigned connect_timeout_ms = 5000;
  unsigned bind_timeout_ms = 5000;
  unsigned timeout_ms = 5000;
  unsigned receipt_timeout_ms = 30000;
  bool trace = false;
  bool json = false;   // JSON lines on stdout, everything else on stderr
  bool quiet = false;  // only results and errors

  // ---- TLS: for clients the connection to --host, for simulate the listener ---
  bool tls = false;
  std::string tls_ca;
  std::string tls_server_name;
  std::string tls_cert, tls_key;
  bool tls_insecure = false;

  // ---- send / query / cancel / replace ----------------------------------------
  std::vector<std::string> to;
  std::string text;
  bool text_given = false;
  std::string id;
  bool receipt = false;
  std::optional<sms::Alphabet> encoding;  // unset: auto (GSM 7-bit when it can, else UCS-2)
  SplitMethod split = SplitMethod::Udh8;
  std::string file;      // send: one message per line (CSV to,text or JSON lines)
  double rate = 0;       // send: messages per second, 0 unlimited
  unsigned window = 10;  // send: requests in flight
  std::string journal;   // send --file: accepted input lines, skipped on a rerun

  // ---- shared receipts and budget (send, listen) -------------------------------
  std::string store;       // sqlite:PATH or redis://HOST:PORT/DB; empty: this process's memory
  std::string account;     // whose entries and budget; empty: host:port/system_id
  std::string tag;         // send: names the run to whoever matches its receipts
  std::string rate_store;  // send: redis://HOST:PORT/DB holding the --rate budget

  // ---- message fields (send, data_sm) ------------------------------------------
  std::string service_type;
  std::optional<Byte> esm_class;  // or-ed into what the split sets (UDHI)
  Byte priority_flag = 0, protocol_id = 0;
  std::string schedule_delivery_time, validity_period;  // SMPP time strings, absolute or relative
  std::vector<std::pair<Word, std::string>> tlvs;       // --tlv TAG=HEX, in the order given

  // ---- listen / ping / send --count -------------------------------------------
  unsigned count = 0;               // send: repeats (0: 1); listen: 0 = no limit; ping: 0 = default 3
  unsigned duration_ms = 0;         // listen: 0 = no limit
  unsigned interval_ms = 1000;      // ping
  bool reconnect = false;           // listen
  std::optional<int> metrics_port;  // listen: GET /metrics (Prometheus) on 127.0.0.1

  // ---- simulator (simulate, or the embedded one) ------------------------------
  std::vector<std::pair<std::string, std::string>> credentials;
  std::optional<unsigned> delivery_delay_ms;
  std::vector<std::string> undeliverable;
  std::vector<std::string> reject;
  unsigned throttle_every = 0;
  bool reject_binds = false;
  unsigned mo_every_ms = 0;
  std::string mo_from = "46700000099", mo_to = "46700000001", mo_text = "Hello from the SMSC";
  bool mo_data_sm = false;  // MO as data_sm (message_payload) instead of deliver_sm
  std::optional<std::uint64_t> first_message_id;
  std::vector<smsc::FaultRule> rules;  // --rule PREFIX=FAULT[:ARG], in order
  std::optional<int> http_port;        // simulate --http: the control API and console
  std::string http_host = "127.0.0.1";
  std::string http_token;
  bool id_hex = false;
  std::string id_prefix;

  // The bind the command uses: --bind, else transceiver for send --receipt,
  // receiver for listen, transmitter otherwise.
  TBindType EffectiveBind() const;
  // The platform's TLS options these flags describe (enabled false: TCP).
  TTLSOptions TLS() const;
  bool Embedded() const { return host.empty(); }
  // The bind can submit (transmitter or transceiver).
  bool CanSend() const { return EffectiveBind() != Receiver; }
};

struct ParseOutcome {
  std::optional<Options> options;  // set on success
  bool help = false;               // --help: print `text` on stdout, exit 0
  bool version = false;            // --version: print `text`, exit 0
  std::string text;
  std::string error;    // one line, set on failure
  std::string command;  // the subcommand named, for "try ... --help"
};

// The environment, one variable at a time (null: unset).
using EnvLookup = std::function<const char*(const char*)>;

// args excludes the program name. SMPP_HOST, SMPP_PORT, SMPP_SYSTEM_ID and
// SMPP_PASSWORD stand for the flags when those are not given, and are
// checked exactly as the flags are (an error names the variable). Never throws.
ParseOutcome ParseArgs(const std::vector<std::string>& args, const EnvLookup& env = {});

const char* BindName(TBindType type);
// "velmorsmppdemo 1.2.0 (SMPP 3.4)": the project's version, from CMake.
extern const char* const kVersion;

// A time flag's value in milliseconds: a number with a unit (ms, s, m, h),
// or a bare number in `bare_unit_ms` (1 for ms, 1000 for s). Empty optional
// when the text is neither.
std::optional<unsigned long long> ParseDuration(std::string_view text, unsigned long long bare_unit_ms);
// A duration as an SMPP relative time (YYMMDDhhmmss000R).
std::string RelativeSmppTime(unsigned long long ms);

}  // namespace velmor::cli
