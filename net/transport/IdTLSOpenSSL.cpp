// TLS sessions over OpenSSL 3 (Linux). Each session is an SSL object between
// two memory BIOs, so OpenSSL never reads or writes the socket itself: the
// connection moves the bytes under its own bounds. One SSL_CTX serves the
// process; it is made when the first session is, so a program that never
// speaks TLS never loads the trust store.
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <mutex>

#include "net/transport/IdStack.h"
#include "net/transport/IdTLS.h"

namespace {

struct SslCtxFree {
  void operator()(SSL_CTX* p) const { SSL_CTX_free(p); }
};
struct SslFree {
  void operator()(SSL* p) const { SSL_free(p); }
};
using SslCtxPtr = std::unique_ptr<SSL_CTX, SslCtxFree>;
using SslPtr = std::unique_ptr<SSL, SslFree>;

// The text of the oldest error OpenSSL queued, or AFallback.
std::string OpenSSLReason(unsigned long AError, const char* AFallback) {
  const char* reason = AError != 0 ? ERR_reason_error_string(AError) : nullptr;
  return reason ? reason : AFallback;
}

// The process's client context, made on first use. TLS 1.2 is the oldest
// version offered (RFC 8996 retires 1.0 and 1.1); 1.3 is preferred when both
// sides have it. The trust store is OpenSSL's default one (the system's
// certificates; SSL_CERT_FILE and SSL_CERT_DIR name others, which is how the
// tests bring their own authority).
SSL_CTX* ClientContext() {
  static std::once_flag once;
  static SslCtxPtr context;
  std::call_once(once, [] {
    SslCtxPtr ctx(SSL_CTX_new(TLS_client_method()));
    if (!ctx) throw EIdTLSError("TLS could not be initialised.");
    if (SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION) != 1 ||
        SSL_CTX_set_default_verify_paths(ctx.get()) != 1)
      throw EIdTLSError("TLS could not be initialised.");
    // A write may end after one record; the connection offers the rest again.
    SSL_CTX_set_mode(ctx.get(), SSL_MODE_ENABLE_PARTIAL_WRITE);
    context = std::move(ctx);
  });
  return context.get();
}

class TOpenSSLSession final : public TIdTLSSession {
 public:
  TOpenSSLSession(const std::string& AHost, const TIdTLSOptions& AOptions) : Host(AHost) {
    SSL_CTX* ctx = ClientContext();
    ERR_clear_error();
    Ssl.reset(SSL_new(ctx));
    BIO* in = BIO_new(BIO_s_mem());
    BIO* out = BIO_new(BIO_s_mem());
    if (!Ssl || !in || !out) {
      BIO_free(in);
      BIO_free(out);
      throw EIdTLSError("TLS could not be initialised.");
    }
    // An empty input BIO means "wait for more", not the end of the stream.
    BIO_set_mem_eof_return(in, -1);
    SSL_set_bio(Ssl.get(), in, out);
    Input = in;
    Output = out;
    SSL_set_connect_state(Ssl.get());
    const bool address = TIdStack::IsDottedQuad(AHost);
    bool ok = true;
    // RFC 6066 section 3: SNI carries host names only, never an address.
    if (!address) ok = SSL_set_tlsext_host_name(Ssl.get(), AHost.c_str()) == 1;
    if (AOptions.VerifyPeer) {
      SSL_set_verify(Ssl.get(), SSL_VERIFY_PEER, nullptr);
      if (address) {
        ok = ok && X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(Ssl.get()), AHost.c_str()) == 1;
      } else {
        // RFC 6125 section 6.4.3: a wildcard stands for one whole label only.
        SSL_set_hostflags(Ssl.get(), X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        ok = ok && SSL_set1_host(Ssl.get(), AHost.c_str()) == 1;
      }
    } else {
      SSL_set_verify(Ssl.get(), SSL_VERIFY_NONE, nullptr);
    }
    if (!ok) throw EIdTLSHandshakeFailed(Host, "the host name cannot be used");
  }

  void PutReceived(const char* AData, size_t ALength) override {
    while (ALength > 0) {
      const int piece = static_cast<int>(std::min<size_t>(ALength, INT_MAX));
      if (BIO_write(Input, AData, piece) != piece) throw EIdTLSError("TLS ran out of memory.");
      AData += piece;
      ALength -= static_cast<size_t>(piece);
    }
  }

  std::string_view ToSend() const override { return std::string_view(Pending).substr(PendingSent); }

  void Sent(size_t ACount) override {
    PendingSent += ACount;
    if (PendingSent >= Pending.size()) {
      Pending.clear();
      PendingSent = 0;
    }
  }

  bool Handshake() override {
    ERR_clear_error();
    const int r = SSL_do_handshake(Ssl.get());
    Collect();
    if (r == 1) return true;
    if (SSL_get_error(Ssl.get(), r) == SSL_ERROR_WANT_READ) return false;
    Failed = true;
    RaiseHandshakeError();
  }

  int Read(char* ABuffer, int ALength) override {
    ERR_clear_error();
    const int r = SSL_read(Ssl.get(), ABuffer, ALength);
    Collect();
    if (r > 0) return r;
    switch (SSL_get_error(Ssl.get(), r)) {
      case SSL_ERROR_WANT_READ:
        return 0;
      case SSL_ERROR_ZERO_RETURN:
        return -1;
      default:
        Failed = true;
        throw EIdTLSHandshakeFailed(Host,
                                    OpenSSLReason(ERR_peek_error(), "a record could not be read"));
    }
  }

  int Write(const char* AData, int ALength) override {
    ERR_clear_error();
    const int r = SSL_write(Ssl.get(), AData, std::min(ALength, IdTLSDefaults::MaxWriteChunk));
    Collect();
    if (r > 0) return r;
    Failed = true;
    throw EIdTLSHandshakeFailed(Host,
                                OpenSSLReason(ERR_peek_error(), "a record could not be sent"));
  }

  void Close() noexcept override {
    if (Closed || Failed || !SSL_is_init_finished(Ssl.get())) return;
    Closed = true;
    ERR_clear_error();
    // The first call queues close_notify; the peer's answer is not waited
    // for (RFC 8446 section 6.1 lets the closing side go at once).
    SSL_shutdown(Ssl.get());
    try {
      Collect();
    } catch (...) {
      // Out of memory while closing: the close goes without its notice.
    }
  }

 private:
  // Moves what OpenSSL wrote into the output BIO to Pending.
  void Collect() {
    char* data = nullptr;
    const long size = BIO_get_mem_data(Output, &data);
    if (size <= 0) return;
    Pending.append(data, static_cast<size_t>(size));
    (void)BIO_reset(Output);
  }

  // The failed handshake in the program's words: the verification result
  // first (it says why a certificate was refused), then the reason OpenSSL
  // queued.
  [[noreturn]] void RaiseHandshakeError() {
    switch (SSL_get_verify_result(Ssl.get())) {
      case X509_V_OK:
        break;
      case X509_V_ERR_CERT_HAS_EXPIRED:
      case X509_V_ERR_CERT_NOT_YET_VALID:
        throw EIdTLSCertificateExpired(Host);
      case X509_V_ERR_HOSTNAME_MISMATCH:
      case X509_V_ERR_IP_ADDRESS_MISMATCH:
        throw EIdTLSCertificateWrongName(Host);
      case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
      case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
      case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
      case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
      case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
      case X509_V_ERR_CERT_UNTRUSTED:
        throw EIdTLSCertificateNotTrusted(Host);
      default:
        throw EIdTLSHandshakeFailed(
            Host, X509_verify_cert_error_string(SSL_get_verify_result(Ssl.get())));
    }
    const unsigned long error = ERR_peek_error();
    switch (ERR_GET_REASON(error)) {
      case SSL_R_UNSUPPORTED_PROTOCOL:
      case SSL_R_TLSV1_ALERT_PROTOCOL_VERSION:
      case SSL_R_WRONG_SSL_VERSION:
        throw EIdTLSProtocolVersion(Host);
      default:
        throw EIdTLSHandshakeFailed(Host, OpenSSLReason(error, "the handshake was not completed"));
    }
  }

  std::string Host;
  SslPtr Ssl;
  BIO* Input = nullptr;   // owned by Ssl
  BIO* Output = nullptr;  // owned by Ssl
  std::string Pending;
  size_t PendingSent = 0;
  bool Failed = false;
  bool Closed = false;
};

}  // namespace

std::unique_ptr<TIdTLSSession> CreatePlatformTLSSession(const std::string& AHost,
                                                        const TIdTLSOptions& AOptions) {
  return std::make_unique<TOpenSSLSession>(AHost, AOptions);
}

bool PlatformTLSAvailable() {
  return true;
}
