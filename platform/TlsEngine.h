// The TLS engine under the platform sockets: contexts and per-connection
// settings over OpenSSL, for ScktComp.cpp only. The OpenSSL types are
// declared, not included, so this header leaks nothing of OpenSSL.
#pragma once

#include <string>

#include "platform/Tls.h"

struct ssl_st;
struct ssl_ctx_st;

namespace velmor::detail {

// A new context for client connections with these options, owned by the
// caller; null with `code` set to tls_error::bad_config when a CA,
// certificate or key file cannot be used.
ssl_ctx_st* tls_client_context(const TTLSOptions& options, int& code);
// A new context for accepted connections: the certificate chain and key of
// options (both required), and client verification when a CA is given.
ssl_ctx_st* tls_server_context(const TTLSOptions& options, int& code);

// Prepares a client connection to `host` (the host given to Connect): SNI,
// and the name or address the peer's certificate must carry.
void tls_prepare_client(ssl_st* ssl, const TTLSOptions& options, const std::string& host);

// The tls_error code for a handshake that failed on `ssl`.
int tls_handshake_error(ssl_st* ssl);

// True when `ssl` holds received octets not yet read: decrypted, or
// encrypted and waiting to be processed.
bool tls_has_input(ssl_st* ssl);

// "TLSv1.3 TLS_AES_256_GCM_SHA384" for an established connection.
std::string tls_description(ssl_st* ssl);

}  // namespace velmor::detail
