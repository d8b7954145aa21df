// TLS sessions over OpenSSL 3 (Linux). Each session is an SSL object between
// two memory BIOs, so OpenSSL never reads or writes the socket itself: the
// connection moves the bytes under its own bounds.
//
// The library is loaded when the first session is made (libssl.so.3, which
// brings libcrypto.so.3), not when the program starts: a program that never
// speaks TLS never maps it, so its memory stays as it was (linking it costs
// about half a megabyte of private memory at start-up). The headers give the
// types and constants; every call goes through the table of functions found
// in the loaded library. One SSL_CTX then serves the process.
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <mutex>

#include "net/transport/IdStack.h"
#include "net/transport/IdTLS.h"
#include "platform/SharedLibrary.h"

namespace {

// The shared library of OpenSSL 3's TLS (Debian's libssl3).
constexpr const char* kLibSSL = "libssl.so.3";

// The OpenSSL functions this file calls. The ones OpenSSL's headers define as
// macros (SSL_CTX_set_min_proto_version, BIO_get_mem_data, ...) are written
// with the control calls they stand for.
struct TOpenSSL {
  decltype(&::TLS_client_method) TLS_client_method = nullptr;
  decltype(&::SSL_CTX_new) SSL_CTX_new = nullptr;
  decltype(&::SSL_CTX_free) SSL_CTX_free = nullptr;
  decltype(&::SSL_CTX_ctrl) SSL_CTX_ctrl = nullptr;
  decltype(&::SSL_CTX_set_default_verify_paths) SSL_CTX_set_default_verify_paths = nullptr;
  decltype(&::SSL_new) SSL_new = nullptr;
  decltype(&::SSL_free) SSL_free = nullptr;
  decltype(&::SSL_ctrl) SSL_ctrl = nullptr;
  decltype(&::SSL_set_bio) SSL_set_bio = nullptr;
  decltype(&::SSL_set_connect_state) SSL_set_connect_state = nullptr;
  decltype(&::SSL_set_verify) SSL_set_verify = nullptr;
  decltype(&::SSL_get0_param) SSL_get0_param = nullptr;
  decltype(&::SSL_set_hostflags) SSL_set_hostflags = nullptr;
  decltype(&::SSL_set1_host) SSL_set1_host = nullptr;
  decltype(&::SSL_do_handshake) SSL_do_handshake = nullptr;
  decltype(&::SSL_get_error) SSL_get_error = nullptr;
  decltype(&::SSL_read) SSL_read = nullptr;
  decltype(&::SSL_write) SSL_write = nullptr;
  decltype(&::SSL_is_init_finished) SSL_is_init_finished = nullptr;
  decltype(&::SSL_shutdown) SSL_shutdown = nullptr;
  decltype(&::SSL_get_verify_result) SSL_get_verify_result = nullptr;
  decltype(&::BIO_s_mem) BIO_s_mem = nullptr;
  decltype(&::BIO_new) BIO_new = nullptr;
  decltype(&::BIO_free) BIO_free = nullptr;
  decltype(&::BIO_ctrl) BIO_ctrl = nullptr;
  decltype(&::BIO_write) BIO_write = nullptr;
  decltype(&::X509_VERIFY_PARAM_set1_ip_asc) X509_VERIFY_PARAM_set1_ip_asc = nullptr;
  decltype(&::X509_verify_cert_error_string) X509_verify_cert_error_string = nullptr;
  decltype(&::ERR_peek_error) ERR_peek_error = nullptr;
  decltype(&::ERR_clear_error) ERR_clear_error = nullptr;
  decltype(&::ERR_reason_error_string) ERR_reason_error_string = nullptr;
};

TOpenSSL LoadOpenSSL() {
  const std::unique_ptr<TSharedLibrary> lib = TSharedLibrary::Load(kLibSSL);
  if (!lib)
    throw EIdTLSError(std::string("TLS could not be initialised: ") + kLibSSL +
                      " could not be loaded.");
  TOpenSSL f;
  // libssl's own dependency (libcrypto) answers through the same handle.
  const bool all =
      Bind(f.TLS_client_method, *lib, "TLS_client_method") &&
      Bind(f.SSL_CTX_new, *lib, "SSL_CTX_new") && Bind(f.SSL_CTX_free, *lib, "SSL_CTX_free") &&
      Bind(f.SSL_CTX_ctrl, *lib, "SSL_CTX_ctrl") &&
      Bind(f.SSL_CTX_set_default_verify_paths, *lib, "SSL_CTX_set_default_verify_paths") &&
      Bind(f.SSL_new, *lib, "SSL_new") && Bind(f.SSL_free, *lib, "SSL_free") &&
      Bind(f.SSL_ctrl, *lib, "SSL_ctrl") && Bind(f.SSL_set_bio, *lib, "SSL_set_bio") &&
      Bind(f.SSL_set_connect_state, *lib, "SSL_set_connect_state") &&
      Bind(f.SSL_set_verify, *lib, "SSL_set_verify") &&
      Bind(f.SSL_get0_param, *lib, "SSL_get0_param") &&
      Bind(f.SSL_set_hostflags, *lib, "SSL_set_hostflags") &&
      Bind(f.SSL_set1_host, *lib, "SSL_set1_host") &&
      Bind(f.SSL_do_handshake, *lib, "SSL_do_handshake") &&
      Bind(f.SSL_get_error, *lib, "SSL_get_error") && Bind(f.SSL_read, *lib, "SSL_read") &&
      Bind(f.SSL_write, *lib, "SSL_write") &&
      Bind(f.SSL_is_init_finished, *lib, "SSL_is_init_finished") &&
      Bind(f.SSL_shutdown, *lib, "SSL_shutdown") &&
      Bind(f.SSL_get_verify_result, *lib, "SSL_get_verify_result") &&
      Bind(f.BIO_s_mem, *lib, "BIO_s_mem") && Bind(f.BIO_new, *lib, "BIO_new") &&
      Bind(f.BIO_free, *lib, "BIO_free") && Bind(f.BIO_ctrl, *lib, "BIO_ctrl") &&
      Bind(f.BIO_write, *lib, "BIO_write") &&
      Bind(f.X509_VERIFY_PARAM_set1_ip_asc, *lib, "X509_VERIFY_PARAM_set1_ip_asc") &&
      Bind(f.X509_verify_cert_error_string, *lib, "X509_verify_cert_error_string") &&
      Bind(f.ERR_peek_error, *lib, "ERR_peek_error") &&
      Bind(f.ERR_clear_error, *lib, "ERR_clear_error") &&
      Bind(f.ERR_reason_error_string, *lib, "ERR_reason_error_string");
  if (!all)
    throw EIdTLSError(std::string("TLS could not be initialised: ") + kLibSSL +
                      " lacks a function this program needs.");
  // The library stays mapped after lib is gone (TSharedLibrary).
  return f;
}

struct TLoaded {
  TOpenSSL Api;
  // Serves until the process ends and is never freed: OpenSSL's own exit
  // handler, registered after this object, runs before its destructor would,
  // and freeing the context then would reach into a library already torn down.
  SSL_CTX* Context = nullptr;
};

// The library and the process's client context, made on first use. TLS 1.2
// is the oldest version offered (RFC 8996 retires 1.0 and 1.1); 1.3 is
// preferred when both sides have it. The trust store is OpenSSL's default
// one (the system's certificates; SSL_CERT_FILE and SSL_CERT_DIR name
// others, which is how the tests bring their own authority).
const TLoaded& Loaded() {
  static std::once_flag once;
  static TLoaded loaded;
  std::call_once(once, [] {
    const TOpenSSL f = LoadOpenSSL();
    std::unique_ptr<SSL_CTX, decltype(&::SSL_CTX_free)> context(
        f.SSL_CTX_new(f.TLS_client_method()), f.SSL_CTX_free);
    SSL_CTX* ctx = context.get();
    if (!ctx || f.SSL_CTX_ctrl(ctx, SSL_CTRL_SET_MIN_PROTO_VERSION, TLS1_2_VERSION, nullptr) != 1 ||
        f.SSL_CTX_set_default_verify_paths(ctx) != 1)
      throw EIdTLSError("TLS could not be initialised.");
    // A write may end after one record; the connection offers the rest again.
    f.SSL_CTX_ctrl(ctx, SSL_CTRL_MODE, SSL_MODE_ENABLE_PARTIAL_WRITE, nullptr);
    loaded.Api = f;
    loaded.Context = context.release();
  });
  return loaded;
}

class TOpenSSLSession final : public TIdTLSSession {
 public:
  TOpenSSLSession(const std::string& AHost, const TIdTLSOptions& AOptions)
      : F(Loaded().Api), Host(AHost), Ssl(nullptr, F.SSL_free) {
    F.ERR_clear_error();
    Ssl.reset(F.SSL_new(Loaded().Context));
    BIO* in = F.BIO_new(F.BIO_s_mem());
    BIO* out = F.BIO_new(F.BIO_s_mem());
    if (!Ssl || !in || !out) {
      F.BIO_free(in);
      F.BIO_free(out);
      throw EIdTLSError("TLS could not be initialised.");
    }
    // An empty input BIO means "wait for more", not the end of the stream
    // (BIO_set_mem_eof_return).
    F.BIO_ctrl(in, BIO_C_SET_BUF_MEM_EOF_RETURN, -1, nullptr);
    F.SSL_set_bio(Ssl.get(), in, out);
    Input = in;
    Output = out;
    F.SSL_set_connect_state(Ssl.get());
    const bool address = TIdStack::IsDottedQuad(AHost);
    bool ok = true;
    // RFC 6066 section 3: SNI carries host names only, never an address
    // (SSL_set_tlsext_host_name, whose control call takes the name as a
    // mutable pointer but only copies it).
    if (!address)
      ok = F.SSL_ctrl(Ssl.get(), SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
                      const_cast<char*>(AHost.c_str())) == 1;
    if (AOptions.VerifyPeer) {
      F.SSL_set_verify(Ssl.get(), SSL_VERIFY_PEER, nullptr);
      if (address) {
        ok = ok && F.X509_VERIFY_PARAM_set1_ip_asc(F.SSL_get0_param(Ssl.get()), AHost.c_str()) == 1;
      } else {
        // RFC 6125 section 6.4.3: a wildcard stands for one whole label only.
        F.SSL_set_hostflags(Ssl.get(), X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        ok = ok && F.SSL_set1_host(Ssl.get(), AHost.c_str()) == 1;
      }
    } else {
      // Only opportunistic STARTTLS to a mail exchanger asks for this (RFC
      // 7435: exchangers' certificates rarely name the host asked for, and the
      // alternative is plain text); every other use keeps the default, with
      // the chain and the host name checked above.
      F.SSL_set_verify(Ssl.get(), SSL_VERIFY_NONE, nullptr);
    }
    if (!ok) throw EIdTLSHandshakeFailed(Host, "the host name cannot be used");
  }

  void PutReceived(const char* AData, size_t ALength) override {
    while (ALength > 0) {
      const int piece = static_cast<int>(std::min<size_t>(ALength, INT_MAX));
      if (F.BIO_write(Input, AData, piece) != piece) throw EIdTLSError("TLS ran out of memory.");
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
    F.ERR_clear_error();
    const int r = F.SSL_do_handshake(Ssl.get());
    Collect();
    if (r == 1) return true;
    if (F.SSL_get_error(Ssl.get(), r) == SSL_ERROR_WANT_READ) return false;
    Failed = true;
    RaiseHandshakeError();
  }

  int Read(char* ABuffer, int ALength) override {
    F.ERR_clear_error();
    const int r = F.SSL_read(Ssl.get(), ABuffer, ALength);
    Collect();
    if (r > 0) return r;
    switch (F.SSL_get_error(Ssl.get(), r)) {
      case SSL_ERROR_WANT_READ:
        return 0;
      case SSL_ERROR_ZERO_RETURN:
        return -1;
      default:
        Failed = true;
        throw EIdTLSHandshakeFailed(Host, Reason(F.ERR_peek_error(), "a record could not be read"));
    }
  }

  int Write(const char* AData, int ALength) override {
    F.ERR_clear_error();
    const int r = F.SSL_write(Ssl.get(), AData, std::min(ALength, IdTLSDefaults::MaxWriteChunk));
    Collect();
    if (r > 0) return r;
    Failed = true;
    throw EIdTLSHandshakeFailed(Host, Reason(F.ERR_peek_error(), "a record could not be sent"));
  }

  void Close() noexcept override {
    if (Closed || Failed || !F.SSL_is_init_finished(Ssl.get())) return;
    Closed = true;
    F.ERR_clear_error();
    // The first call queues close_notify; the peer's answer is not waited
    // for (RFC 8446 section 6.1 lets the closing side go at once).
    F.SSL_shutdown(Ssl.get());
    try {
      Collect();
    } catch (...) {
      // Out of memory while closing: the close goes without its notice.
    }
  }

 private:
  // Moves what OpenSSL wrote into the output BIO to Pending
  // (BIO_get_mem_data, BIO_reset).
  void Collect() {
    char* data = nullptr;
    const long size = F.BIO_ctrl(Output, BIO_CTRL_INFO, 0, static_cast<void*>(&data));
    if (size <= 0) return;
    Pending.append(data, static_cast<size_t>(size));
    (void)F.BIO_ctrl(Output, BIO_CTRL_RESET, 0, nullptr);
  }

  // The text of an error OpenSSL queued, or AFallback.
  std::string Reason(unsigned long AError, const char* AFallback) const {
    const char* reason = AError != 0 ? F.ERR_reason_error_string(AError) : nullptr;
    return reason ? reason : AFallback;
  }

  // The failed handshake in the program's words: the verification result
  // first (it says why a certificate was refused), then the reason OpenSSL
  // queued.
  [[noreturn]] void RaiseHandshakeError() {
    const long verify = F.SSL_get_verify_result(Ssl.get());
    switch (verify) {
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
        throw EIdTLSHandshakeFailed(Host, F.X509_verify_cert_error_string(verify));
    }
    const unsigned long error = F.ERR_peek_error();
    switch (ERR_GET_REASON(error)) {
      case SSL_R_UNSUPPORTED_PROTOCOL:
      case SSL_R_TLSV1_ALERT_PROTOCOL_VERSION:
      case SSL_R_WRONG_SSL_VERSION:
        throw EIdTLSProtocolVersion(Host);
      default:
        throw EIdTLSHandshakeFailed(Host, Reason(error, "the handshake was not completed"));
    }
  }

  const TOpenSSL& F;
  std::string Host;
  std::unique_ptr<SSL, decltype(&::SSL_free)> Ssl;
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
