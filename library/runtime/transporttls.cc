// The transport's TLS: certificate names and checks, explaining handshake failures, and setting
// up the TLS context from the domain's certificate files. Links and data connections only use
// what it sets up, so it is its own file.

#include "transport_internal.h"

namespace kr_internal {

// The names a certificate gives, for traces: its common name, else its first DNS name.
std::string CertificateName(X509* cert) {
  if (cert == nullptr) return "(no certificate)";
  char cn[256] = {};
  if (X509_NAME_get_text_by_NID(X509_get_subject_name(cert), NID_commonName, cn, sizeof cn) > 0)
    return cn;
  return "(no name)";
}

// Whether the peer's certificate (already verified against the authority) names `machine`.
// Wildcards never match: a certificate names machines one by one. *names gets what it names.
bool PeerCertificateNames(TlsStream* tls, const std::string& machine, std::string* names) {
  X509* cert = SSL_get1_peer_certificate(tls->native_handle());
  *names = CertificateName(cert);
  bool ok = cert != nullptr && X509_check_host(cert, machine.data(), machine.size(),
                                               X509_CHECK_FLAG_NO_WILDCARDS, nullptr) == 1;
  X509_free(cert);
  return ok;
}

// Why a TLS handshake failed, in the words a reader of the trace needs.
std::string TlsFailure(TlsStream* tls, const asio::error_code& ec) {
  long v = tls != nullptr ? SSL_get_verify_result(tls->native_handle()) : X509_V_OK;
  if (v != X509_V_OK) {
    std::string e = X509_verify_cert_error_string(v);
    switch (v) {
      case X509_V_ERR_CERT_HAS_EXPIRED:
        return "its certificate has expired";
      case X509_V_ERR_CERT_NOT_YET_VALID:
        return "its certificate is not valid yet";
      case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
      case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
      case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
      case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
      case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
      case X509_V_ERR_CERT_SIGNATURE_FAILURE:
        return "its certificate is not signed by this domain's certificate authority (" + e + ")";
      default:
        return "its certificate is refused (" + e + ")";
    }
  }
  return "TLS handshake failed: " + ec.message();
}

std::string OpenSslError() {
  unsigned long e = ERR_get_error();
  ERR_clear_error();
  if (e == 0) return "unknown error";
  char buf[256];
  ERR_error_string_n(e, buf, sizeof buf);
  return buf;
}

// ---------------------------------------------------------------------------------------------
// The Transport facade: TLS.

bool Transport::UseTls(const TlsFiles& files, std::string* error) noexcept {
  TransportImpl* t = impl_.get();
  auto fail = [&](std::string why) {
    ERR_clear_error();
    t->tls.reset();
    t->disabled = "TLS is configured but unusable: " + why;
    *error = why;
    return false;
  };
  try {
    struct stat st;
    if (stat(files.key.c_str(), &st) != 0)
      return fail("cannot read the key '" + files.key + "': " + std::strerror(errno));
    if ((st.st_mode & 077) != 0) {
      char mode[8];
      std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
      return fail("the key '" + files.key + "' may be read by others (mode " + mode +
                  "); it must be readable by its owner only (chmod 600)");
    }
    auto ctx = std::make_unique<asio::ssl::context>(asio::ssl::context::tls);
    SSL_CTX* c = ctx->native_handle();
    SSL_CTX_set_min_proto_version(c, TLS1_3_VERSION);
    SSL_CTX_set_max_proto_version(c, TLS1_3_VERSION);
    // AES-128-GCM first: as safe here as the 256-bit key and cheaper per byte on a busy data
    // channel. Both ends offer the same order.
    SSL_CTX_set_ciphersuites(c,
                             "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:"
                             "TLS_CHACHA20_POLY1305_SHA256");
    // Links are long-lived and few: no session resumption, so no tickets after the handshake.
    SSL_CTX_set_session_cache_mode(c, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_options(c, SSL_OP_NO_TICKET);
    SSL_CTX_set_num_tickets(c, 0);
    if (SSL_CTX_load_verify_locations(c, files.ca.c_str(), nullptr) != 1)
      return fail("cannot load the certificate authority '" + files.ca + "': " + OpenSslError());
    if (SSL_CTX_use_certificate_chain_file(c, files.cert.c_str()) != 1)
      return fail("cannot load the certificate '" + files.cert + "': " + OpenSslError());
    if (SSL_CTX_use_PrivateKey_file(c, files.key.c_str(), SSL_FILETYPE_PEM) != 1)
      return fail("cannot load the key '" + files.key + "': " + OpenSslError());
    if (SSL_CTX_check_private_key(c) != 1)
      return fail("the key '" + files.key + "' does not belong to the certificate '" + files.cert +
                  "'");
    X509* own = SSL_CTX_get0_certificate(c);
    const std::string& machine = t->self->machine;
    if (X509_check_host(own, machine.data(), machine.size(), X509_CHECK_FLAG_NO_WILDCARDS,
                        nullptr) != 1)
      return fail("the certificate '" + files.cert + "' names '" + CertificateName(own) +
                  "', not this machine '" + machine + "'");
    // A certificate that does not verify here will not verify at the peers either: say so now
    // rather than at every refused link.
    X509_STORE_CTX* vc = X509_STORE_CTX_new();
    if (vc != nullptr && X509_STORE_CTX_init(vc, SSL_CTX_get_cert_store(c), own, nullptr) == 1 &&
        X509_verify_cert(vc) != 1)
      TraceMessage(kTag, 20, 0, -1, "This machine's certificate '%s' does not verify: %s",
                   files.cert.c_str(), X509_verify_cert_error_string(X509_STORE_CTX_get_error(vc)));
    X509_STORE_CTX_free(vc);
    ERR_clear_error();
    SSL_CTX_set_verify(c, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    SSL_CTX_set_verify_depth(c, 4);
    t->tls = std::move(ctx);
    t->disabled.clear();
    return true;
  } catch (const asio::system_error& e) {  // the TLS context could not be made
    return fail(e.what());
  }
}

bool Transport::tls() const noexcept { return impl_->tls != nullptr; }

}  // namespace kr_internal
