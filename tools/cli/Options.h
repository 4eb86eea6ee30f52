// Command line of velmorsmppdemo: the flags, their defaults and ranges, and
// the usage text. Parsing is pure (no I/O, no environment access of its own)
// so that every flag and every refusal can be checked without a process.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "component/Velmorsmppdemo.h"

namespace velmor::cli {

// Process exit codes. Each failure maps to exactly one of them, so a script
// can tell a refused request from a dead network without reading the text.
//   0  success (also: listen or simulate stopped by SIGINT/SIGTERM)
//   1  internal error (an unexpected exception)
//   2  usage: unknown flag, bad value, missing argument, a text the chosen
//      encoding cannot carry
//   3  connection failed: refused, unknown host, address not bindable
//   4  bind rejected by the SMSC
//   5  request rejected by the SMSC (non-zero command_status or generic_nack)
//   6  timeout: connect, bind, a response, or a delivery receipt
//   7  connection lost while a response was awaited
//   8  interrupted (SIGINT/SIGTERM) before the command finished
namespace exit_code {
inline constexpr int ok = 0;
inline constexpr int internal = 1;
inline constexpr int usage = 2;
inline constexpr int connect = 3;
inline constexpr int bind_rejected = 4;
inline constexpr int rejected = 5;
inline constexpr int timeout = 6;
inline constexpr int lost = 7;
inline constexpr int interrupted = 8;
}  // namespace exit_code

enum class Command { Send, Listen, Query, Cancel, Replace, Ping, Simulate };
enum class TextEncoding { Auto, Gsm, Ucs2, Latin1, Binary };
enum class SplitMethod { Udh, Sar, Payload };

struct Options {
  Command command = Command::Send;

  // ---- connection: an empty host means the embedded simulator ----------------
  std::string host;
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

  // ---- TLS: for clients the connection to --host, for simulate the listener ---
  bool tls = false;               // clients: --tls or any other --tls-* flag
  std::string tls_ca;             // clients: trusted CA bundle (default: the system's)
  std::string tls_server_name;    // clients: the name to verify and send as SNI
  std::string tls_cert, tls_key;  // clients: own certificate; simulate: the server's
  bool tls_insecure = false;      // clients: no verification of the SMSC's certificate

  // ---- send / query / cancel / replace ----------------------------------------
  std::vector<std::string> to;
  std::string text;
  bool text_given = false;
  std::string id;
  bool receipt = false;
  TextEncoding encoding = TextEncoding::Auto;
  SplitMethod split = SplitMethod::Udh;

  // ---- listen / ping -----------------------------------------------------------
  bool json = false;
  unsigned count = 0;          // listen: 0 = no limit; ping: 0 = default 3
  unsigned duration_s = 0;     // listen: 0 = no limit
  unsigned interval_ms = 1000; // ping

  // ---- simulator (simulate, or the embedded one) ----------------------------------
  std::vector<std::pair<std::string, std::string>> credentials;
  std::optional<unsigned> delivery_delay_ms;
  std::vector<std::string> undeliverable;
  unsigned throttle_every = 0;
  bool reject_binds = false;

  // The bind the command uses: --bind, else transceiver for send --receipt,
  // receiver for listen, transmitter otherwise.
  TBindType EffectiveBind() const;
  // The platform's TLS options these flags describe (enabled false: TCP).
  TTLSOptions TLS() const;
  bool Embedded() const { return host.empty(); }
};

struct ParseOutcome {
  std::optional<Options> options;  // set on success
  bool help = false;               // --help or -h: print Usage(), exit 0
  std::string error;               // one line, set on failure
};

// args excludes the program name. env_password is SMPP_PASSWORD's value (null
// when unset); --password wins over it. Never throws.
ParseOutcome ParseArgs(const std::vector<std::string>& args, const char* env_password);

std::string Usage();

const char* BindName(TBindType type);

}  // namespace velmor::cli
