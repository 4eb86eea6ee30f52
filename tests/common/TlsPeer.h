// TLS for LoopbackPeer: blocking OpenSSL on the accepted socket, on the
// peer's own thread, independent of the platform layer under test.
#pragma once

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <csignal>
#include <memory>
#include <stdexcept>
#include <string>

#include "common/LoopbackPeer.h"
#include "common/TestPki.h"
#include "component/Velmorsmppdemo.h"

namespace velmor::test {

class TlsTransport final : public PeerTransport {
 public:
  explicit TlsTransport(SSL* ssl) : ssl_(ssl) {}
  ~TlsTransport() override { SSL_free(ssl_); }
  long write(const char* data, std::size_t n) override {
    std::size_t done = 0;
    return SSL_write_ex(ssl_, data, n, &done) == 1 ? static_cast<long>(done) : -1;
  }
  long read(char* data, std::size_t n) override {
    std::size_t done = 0;
    return SSL_read_ex(ssl_, data, n, &done) == 1 ? static_cast<long>(done) : -1;
  }
  bool buffered() const override { return SSL_pending(ssl_) > 0; }

 private:
  SSL* ssl_;
};

// A TLS server side for LoopbackPeer with the given certificate; the
// handshake runs on the peer's thread as each connection is accepted.
inline PeerWrap tls_server(const std::string& cert, const std::string& key) {
  // OpenSSL writes to the socket without MSG_NOSIGNAL: a write after the
  // component closed must fail, not kill the test.
  std::signal(SIGPIPE, SIG_IGN);
  std::shared_ptr<SSL_CTX> ctx(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
  if (SSL_CTX_use_certificate_chain_file(ctx.get(), cert.c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(ctx.get(), key.c_str(), SSL_FILETYPE_PEM) != 1)
    throw std::runtime_error("test certificate not loadable");
  SSL_CTX_set_session_cache_mode(ctx.get(), SSL_SESS_CACHE_OFF);
  SSL_CTX_set_num_tickets(ctx.get(), 0);
  return [ctx](int fd) -> std::shared_ptr<PeerTransport> {
    SSL* ssl = SSL_new(ctx.get());
    SSL_set_fd(ssl, fd);
    if (SSL_accept(ssl) != 1) {
      SSL_free(ssl);
      ERR_clear_error();
      return nullptr;
    }
    return std::make_shared<TlsTransport>(ssl);
  };
}

// The test PKI's server certificate, trusted through the test CA.
inline PeerWrap tls_server() { return tls_server(test_pki().cert, test_pki().key); }

inline TTLSOptions tls_client_options() {
  TTLSOptions o;
  o.enabled = true;
  o.ca_file = test_pki().ca;
  return o;
}

}  // namespace velmor::test
