#include "platform/Tls.h"

#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>

#include "platform/TlsEngine.h"

namespace velmor {

const char* TLSErrorText(int Code) {
  switch (Code) {
    case tls_error::handshake_failed:
      return "TLS handshake failed: the peer does not speak TLS on this port or refused the connection";
    case tls_error::handshake_timeout:
      return "TLS handshake timed out: the connection was made but the peer never completed TLS";
    case tls_error::cert_expired: return "TLS certificate has expired: the server must renew its certificate";
    case tls_error::cert_not_yet_valid: return "TLS certificate is not valid yet: check the clocks of both hosts";
    case tls_error::cert_wrong_name:
      return "TLS certificate does not match the host name: connect by the name in the certificate or set the server "
             "name";
    case tls_error::cert_unknown_ca:
      return "TLS certificate is issued by an unknown CA: give the issuing CA (--tls-ca) or install it in the system "
             "store";
    case tls_error::cert_rejected:
      return "TLS certificate was rejected by verification: the peer's certificate is not usable for this connection";
    case tls_error::bad_config:
      return "TLS configuration error: a CA, certificate or key file cannot be read, or the key does not match the "
             "certificate";
    case tls_error::protocol: return "TLS protocol error: the peer sent data that is not valid TLS";
    default: return nullptr;
  }
}

namespace detail {
namespace {

ssl_ctx_st* fail_config(SSL_CTX* ctx, int& code) {
  SSL_CTX_free(ctx);
  code = tls_error::bad_config;
  return nullptr;
}

bool load_cas(SSL_CTX* ctx, const TTLSOptions& o) {
  const char* file = o.ca_file.empty() ? nullptr : o.ca_file.c_str();
  const char* path = o.ca_path.empty() ? nullptr : o.ca_path.c_str();
  return SSL_CTX_load_verify_locations(ctx, file, path) == 1;
}

bool load_identity(SSL_CTX* ctx, const TTLSOptions& o) {
  return SSL_CTX_use_certificate_chain_file(ctx, o.cert_file.c_str()) == 1 &&
         SSL_CTX_use_PrivateKey_file(ctx, o.key_file.c_str(), SSL_FILETYPE_PEM) == 1 &&
         SSL_CTX_check_private_key(ctx) == 1;
}

SSL_CTX* new_context(const SSL_METHOD* method) {
  SSL_CTX* ctx = SSL_CTX_new(method);
  if (ctx == nullptr) return nullptr;
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  return ctx;
}

std::string strip_brackets(const std::string& host) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') return host.substr(1, host.size() - 2);
  return host;
}

bool is_ip_literal(const std::string& host) {
  unsigned char buf[16];
  return inet_pton(AF_INET, host.c_str(), buf) == 1 || inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

}  // namespace

ssl_ctx_st* tls_client_context(const TTLSOptions& o, int& code) {
  SSL_CTX* ctx = new_context(TLS_client_method());
  if (ctx == nullptr) return fail_config(ctx, code);
  if (o.insecure_skip_verify) {
    SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
  } else {
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    const bool loaded =
        o.ca_file.empty() && o.ca_path.empty() ? SSL_CTX_set_default_verify_paths(ctx) == 1 : load_cas(ctx, o);
    if (!loaded) return fail_config(ctx, code);
  }
  if ((!o.cert_file.empty() || !o.key_file.empty()) && !load_identity(ctx, o)) return fail_config(ctx, code);
  return ctx;
}

ssl_ctx_st* tls_server_context(const TTLSOptions& o, int& code) {
  SSL_CTX* ctx = new_context(TLS_server_method());
  if (ctx == nullptr || !load_identity(ctx, o)) return fail_config(ctx, code);
  // Clients of this library never resume a session, so tickets would only
  // cost a write per connection.
  SSL_CTX_set_num_tickets(ctx, 0);
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
  if (!o.ca_file.empty() || !o.ca_path.empty()) {
    if (!load_cas(ctx, o)) return fail_config(ctx, code);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    if (!o.ca_file.empty())
      if (STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(o.ca_file.c_str()))
        SSL_CTX_set_client_CA_list(ctx, names);
  }
  return ctx;
}

void tls_prepare_client(ssl_st* ssl, const TTLSOptions& o, const std::string& host) {
  const std::string name = strip_brackets(o.server_name.empty() ? host : o.server_name);
  const bool ip = is_ip_literal(name);
  // SNI carries host names only, never addresses.
  if (!ip && !name.empty()) SSL_set_tlsext_host_name(ssl, name.c_str());
  if (o.insecure_skip_verify) return;
  X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
  if (ip) {
    X509_VERIFY_PARAM_set1_ip_asc(param, name.c_str());
  } else {
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    X509_VERIFY_PARAM_set1_host(param, name.c_str(), name.size());
  }
}

int tls_handshake_error(ssl_st* ssl) {
  if (ssl == nullptr || SSL_get_verify_mode(ssl) == SSL_VERIFY_NONE) return tls_error::handshake_failed;
  switch (SSL_get_verify_result(ssl)) {
    case X509_V_OK: return tls_error::handshake_failed;
    case X509_V_ERR_CERT_HAS_EXPIRED: return tls_error::cert_expired;
    case X509_V_ERR_CERT_NOT_YET_VALID: return tls_error::cert_not_yet_valid;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
    case X509_V_ERR_EMAIL_MISMATCH: return tls_error::cert_wrong_name;
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN: return tls_error::cert_unknown_ca;
    default: return tls_error::cert_rejected;
  }
}

bool tls_has_input(ssl_st* ssl) {
  if (SSL_pending(ssl) > 0) return true;
  BIO* in = SSL_get_rbio(ssl);
  return in != nullptr && BIO_pending(in) > 0;
}

std::string tls_description(ssl_st* ssl) {
  if (ssl == nullptr) return {};
  const SSL_CIPHER* cipher = SSL_get_current_cipher(ssl);
  return std::string(SSL_get_version(ssl)) + " " + (cipher ? SSL_CIPHER_get_name(cipher) : "?");
}

}  // namespace detail
}  // namespace velmor
