// TLS for the platform sockets: the options an application sets, and the
// codes a failed handshake or a broken TLS stream reports through the error
// notification. Plain C++: the TLS library stays inside platform/.
#pragma once

#include <chrono>
#include <string>

namespace velmor {

// Client side: peer verification and SNI are on unless insecure_skip_verify
// says otherwise; with neither ca_file nor ca_path the system's CA store is
// trusted. Server side (TServerSocket): cert_file and key_file are the
// server's certificate chain and key; a ca_file or ca_path there asks every
// client for a certificate issued by those CAs.
struct TTLSOptions {
  bool enabled = false;
  std::string ca_file;                                 // PEM bundle; empty and ca_path empty: the system's CA store
  std::string ca_path;                                 // hashed CA directory
  std::string server_name;                             // verified name and SNI; empty: the host given to Connect
  std::string cert_file, key_file;                     // optional client certificate (PEM)
  bool insecure_skip_verify = false;                   // explicit, named opt-out of peer verification
  std::chrono::milliseconds handshake_timeout{10000};  // 0: no limit of its own
};

// Codes of TLS failures, in a range of their own (the resolver's codes are
// -1..-105, system errors positive). A handshake failure is reported as
// OnError(eeConnect) and no connection is established; a TLS failure after
// the handshake as OnError(eeReceive or eeSend), then OnDisconnect.
namespace tls_error {
inline constexpr int handshake_failed = -1001;    // the peer broke off the handshake or does not speak TLS
inline constexpr int handshake_timeout = -1002;   // no handshake within handshake_timeout
inline constexpr int cert_expired = -1003;        // the peer's certificate (or its issuer's) has expired
inline constexpr int cert_not_yet_valid = -1004;  // the peer's certificate is not valid yet
inline constexpr int cert_wrong_name = -1005;     // the certificate does not name the host (or server_name)
inline constexpr int cert_unknown_ca = -1006;     // the certificate's issuer is not trusted (or it is self-signed)
inline constexpr int cert_rejected = -1007;       // the certificate failed verification for another reason
inline constexpr int bad_config = -1008;          // a CA, certificate or key file could not be loaded
inline constexpr int protocol = -1009;            // a TLS protocol error after the handshake
inline constexpr int first = -1009, last = -1001;
}  // namespace tls_error

// One line saying what failed and what to do, for a code of tls_error;
// null for any other code.
const char* TLSErrorText(int Code);

}  // namespace velmor
