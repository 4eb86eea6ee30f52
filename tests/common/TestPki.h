// Certificates for TLS tests, made with the OpenSSL API at test time in a
// temporary directory (removed at exit): a CA, server certificates it issued
// (valid for 127.0.0.1, ::1 and localhost; expired; for another name), a
// self-signed one no CA vouches for, and a client certificate. P-256 keys,
// so a test may run hundreds of handshakes.
#pragma once

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace velmor::test {

struct TestPki {
  std::string dir;
  std::string ca;                                 // the CA certificate (PEM)
  std::string cert, key;                          // 127.0.0.1, ::1, localhost
  std::string expired_cert, expired_key;          // same names, expired yesterday
  std::string wrong_name_cert, wrong_name_key;    // other.example only
  std::string self_signed_cert, self_signed_key;  // 127.0.0.1, issued by nobody known
  std::string client_cert, client_key;            // a client certificate from the CA

  ~TestPki() {
    std::error_code ec;
    if (!dir.empty()) std::filesystem::remove_all(dir, ec);
  }
};

namespace pki_detail {

struct Issued {
  EVP_PKEY* key;
  X509* cert;
};

inline void add_ext(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  if (ext == nullptr) throw std::runtime_error("bad certificate extension");
  X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
}

// A certificate for `cn` with the given SAN (empty: a CA), valid from
// `from_s` to `to_s` seconds relative to now, signed by `issuer` (null:
// self-signed).
inline Issued issue(const char* cn, const char* san, long from_s, long to_s, const Issued* issuer) {
  static long serial = 1;
  Issued out{EVP_EC_gen("P-256"), X509_new()};
  X509_set_version(out.cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(out.cert), serial++);
  X509_gmtime_adj(X509_getm_notBefore(out.cert), from_s);
  X509_gmtime_adj(X509_getm_notAfter(out.cert), to_s);
  X509_set_pubkey(out.cert, out.key);
  X509_NAME* name = X509_get_subject_name(out.cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(cn), -1, -1, 0);
  X509* signer_cert = issuer ? issuer->cert : out.cert;
  X509_set_issuer_name(out.cert, X509_get_subject_name(signer_cert));
  add_ext(out.cert, signer_cert, NID_subject_key_identifier, "hash");
  if (san[0] == '\0') {
    add_ext(out.cert, signer_cert, NID_basic_constraints, "critical,CA:TRUE");
    add_ext(out.cert, signer_cert, NID_key_usage, "critical,keyCertSign,cRLSign");
  } else {
    add_ext(out.cert, signer_cert, NID_basic_constraints, "critical,CA:FALSE");
    add_ext(out.cert, signer_cert, NID_subject_alt_name, san);
    add_ext(out.cert, signer_cert, NID_ext_key_usage, "serverAuth,clientAuth");
  }
  if (issuer) add_ext(out.cert, signer_cert, NID_authority_key_identifier, "keyid");
  X509_sign(out.cert, issuer ? issuer->key : out.key, EVP_sha256());
  return out;
}

inline void write_pem(const Issued& i, const std::string& cert_path, const std::string& key_path) {
  FILE* f = std::fopen(cert_path.c_str(), "w");
  PEM_write_X509(f, i.cert);
  std::fclose(f);
  if (key_path.empty()) return;
  f = std::fopen(key_path.c_str(), "w");
  PEM_write_PrivateKey(f, i.key, nullptr, nullptr, 0, nullptr, nullptr);
  std::fclose(f);
}

inline void release(Issued& i) {
  X509_free(i.cert);
  EVP_PKEY_free(i.key);
}

}  // namespace pki_detail

// Made once per process.
inline const TestPki& test_pki() {
  static const TestPki pki = [] {
    using namespace pki_detail;
    TestPki p;
    std::string tmpl = (std::filesystem::temp_directory_path() / "velmor-pki-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    p.dir = tmpl;
    auto at = [&](const char* name) { return p.dir + "/" + name; };
    constexpr long day = 86400;
    const char* names = "IP:127.0.0.1,IP:::1,DNS:localhost";
    Issued ca = issue("Velmor Test CA", "", -day, 30 * day, nullptr);
    Issued good = issue("localhost", names, -day, 30 * day, &ca);
    Issued expired = issue("localhost", names, -3 * day, -day, &ca);
    Issued wrong = issue("other.example", "DNS:other.example", -day, 30 * day, &ca);
    Issued self = issue("localhost", names, -day, 30 * day, nullptr);
    Issued client = issue("esme", "DNS:esme.example", -day, 30 * day, &ca);
    write_pem(ca, p.ca = at("ca.pem"), "");
    write_pem(good, p.cert = at("server.pem"), p.key = at("server.key"));
    write_pem(expired, p.expired_cert = at("expired.pem"), p.expired_key = at("expired.key"));
    write_pem(wrong, p.wrong_name_cert = at("wrong.pem"), p.wrong_name_key = at("wrong.key"));
    write_pem(self, p.self_signed_cert = at("self.pem"), p.self_signed_key = at("self.key"));
    write_pem(client, p.client_cert = at("client.pem"), p.client_key = at("client.key"));
    for (Issued* i : {&ca, &good, &expired, &wrong, &self, &client}) release(*i);
    return p;
  }();
  return pki;
}

}  // namespace velmor::test
