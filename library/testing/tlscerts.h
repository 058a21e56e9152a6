// Certificates for tests and benchmarks, made with libcrypto at run time: a domain authority
// and machine certificates signed by it, with any validity period (an expired one included),
// written where a home's config/tls directory expects them. Header-only, so that benchmarks
// can use it without the test library.
#pragma once

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>

namespace kr_testing {

class TestAuthority {
 public:
  // A new authority whose certificate's common name is `name`.
  explicit TestAuthority(const std::string& name) {
    key_ = EVP_EC_gen("P-256");
    cert_ = Make(name, key_, nullptr, -3600, 86400L * 365, true);
  }
  ~TestAuthority() {
    X509_free(cert_);
    EVP_PKEY_free(key_);
  }
  TestAuthority(const TestAuthority&) = delete;
  TestAuthority& operator=(const TestAuthority&) = delete;

  bool ok() const { return key_ != nullptr && cert_ != nullptr; }

  // Writes the authority's certificate (PEM) to `path`.
  bool WriteCertificate(const std::string& path) const { return WritePem(path, cert_, nullptr); }

  // Makes a key and a certificate naming `machine`, valid from `from_s` to `to_s` seconds
  // relative to now, and writes them as <dir>/<file>.crt and <dir>/<file>.key (mode 0600).
  // `file` defaults to the machine name.
  bool IssueMachine(const std::string& dir, const std::string& machine, long from_s = -3600,
                    long to_s = 86400L * 30, std::string file = "") const {
    if (file.empty()) file = machine;
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = key != nullptr ? Make(machine, key, this, from_s, to_s, false) : nullptr;
    bool ok = cert != nullptr && WritePem(dir + "/" + file + ".crt", cert, nullptr) &&
              WritePem(dir + "/" + file + ".key", nullptr, key);
    X509_free(cert);
    EVP_PKEY_free(key);
    return ok;
  }

 private:
  static bool AddExt(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    if (ext == nullptr) return false;
    bool ok = X509_add_ext(cert, ext, -1) == 1;
    X509_EXTENSION_free(ext);
    return ok;
  }

  static X509* Make(const std::string& name, EVP_PKEY* key, const TestAuthority* issuer,
                    long from_s, long to_s, bool ca) {
    X509* cert = X509_new();
    if (cert == nullptr) return nullptr;
    static long serial = 1;
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), serial++);
    X509_gmtime_adj(X509_getm_notBefore(cert), from_s);
    X509_gmtime_adj(X509_getm_notAfter(cert), to_s);
    X509_NAME* subject = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(name.c_str()), -1, -1, 0);
    X509_set_issuer_name(cert, issuer != nullptr ? X509_get_subject_name(issuer->cert_) : subject);
    X509_set_pubkey(cert, key);
    X509* signer = issuer != nullptr ? issuer->cert_ : cert;
    bool ok = true;
    if (ca) {
      ok = AddExt(cert, signer, NID_basic_constraints, "critical,CA:TRUE") &&
           AddExt(cert, signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
      std::string san = "DNS:" + name;
      ok = AddExt(cert, signer, NID_basic_constraints, "CA:FALSE") &&
           AddExt(cert, signer, NID_subject_alt_name, san.c_str()) &&
           AddExt(cert, signer, NID_ext_key_usage, "serverAuth,clientAuth");
    }
    EVP_PKEY* signing_key = issuer != nullptr ? issuer->key_ : key;
    if (!ok || X509_sign(cert, signing_key, EVP_sha256()) == 0) {
      X509_free(cert);
      return nullptr;
    }
    return cert;
  }

  static bool WritePem(const std::string& path, X509* cert, EVP_PKEY* key) {
    FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr) return false;
    if (key != nullptr) chmod(path.c_str(), 0600);
    bool ok = cert != nullptr
                  ? PEM_write_X509(f, cert) == 1
                  : PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    return std::fclose(f) == 0 && ok;
  }

  EVP_PKEY* key_ = nullptr;
  X509* cert_ = nullptr;
};

}  // namespace kr_testing
