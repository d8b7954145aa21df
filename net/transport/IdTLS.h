#pragma once
// TLS (RFC 8446 for 1.3, RFC 5246 for 1.2) as a session over bytes: the
// session never touches a socket. The connection (TIdTCPConnection::StartTLS
// and its reads and writes, IdTCPConnectionTLS.cpp) moves the ciphertext
// between the socket and the session under its own bounds, so one driver
// serves every implementation: OpenSSL on Linux (IdTLSOpenSSL.cpp), the
// system's TLS on Windows (IdTLSWin32.cpp). Nothing above net/transport/ sees
// which one runs.
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "net/transport/IdException.h"

// Limits of the TLS layer.
namespace IdTLSDefaults {
// Largest TLS record on the wire: a 5-byte header and 2^14 bytes of plaintext
// plus the 2048 bytes of expansion RFC 5246 section 6.2.3 allows; the
// handshake reads the socket in pieces of this size.
constexpr int MaxRecordBytes = 5 + 16384 + 2048;
// Most plaintext one Write takes: one full record, so a large write holds no
// more than one record of ciphertext at a time.
constexpr int MaxWriteChunk = 16384;
}  // namespace IdTLSDefaults

// How a TLS session judges its peer.
struct TIdTLSOptions {
  // Whether the handshake fails unless the peer's certificate chains to a root
  // of the system's trust store, is within its validity period and names the
  // host asked for (RFC 6125). Off, any certificate is taken: the channel is
  // encrypted but the peer is not authenticated (opportunistic TLS, RFC 7435).
  bool VerifyPeer = true;
};

// Every TLS failure. The connection is dropped when one is raised.
class EIdTLSError : public EIdException {
 public:
  using EIdException::EIdException;
};

// This build carries no TLS implementation.
class EIdTLSNotAvailable : public EIdTLSError {
 public:
  EIdTLSNotAvailable() : EIdTLSError("TLS is not available in this build.") {}
};

// The certificate does not chain to a trusted authority (self-signed, or
// issued by an authority the system does not trust).
class EIdTLSCertificateNotTrusted : public EIdTLSError {
 public:
  explicit EIdTLSCertificateNotTrusted(const std::string& AHost)
      : EIdTLSError("The certificate of " + AHost + " is not issued by a trusted authority.") {}
};

// The certificate (or one of its chain) is past its end or before its start.
class EIdTLSCertificateExpired : public EIdTLSError {
 public:
  explicit EIdTLSCertificateExpired(const std::string& AHost)
      : EIdTLSError("The certificate of " + AHost + " has expired or is not yet valid.") {}
};

// The certificate names neither the host name nor the address asked for.
class EIdTLSCertificateWrongName : public EIdTLSError {
 public:
  explicit EIdTLSCertificateWrongName(const std::string& AHost)
      : EIdTLSError("The certificate of " + AHost + " was issued for another name.") {}
};

// The peer offers no TLS version this library accepts (1.2 and later).
class EIdTLSProtocolVersion : public EIdTLSError {
 public:
  explicit EIdTLSProtocolVersion(const std::string& AHost)
      : EIdTLSError(AHost + " does not offer TLS 1.2 or later.") {}
};

// Any other failure of the handshake or of a record; AReason is the TLS
// library's own short reason.
class EIdTLSHandshakeFailed : public EIdTLSError {
 public:
  EIdTLSHandshakeFailed(const std::string& AHost, const std::string& AReason)
      : EIdTLSError("The secure connection to " + AHost + " failed: " + AReason + ".") {}
};

// Bytes were waiting on the connection before the handshake began: they came
// in clear, and taking them as part of the secure stream would let anyone on
// the path inject them (CVE-2011-0411).
class EIdTLSPlaintextBeforeHandshake : public EIdTLSError {
 public:
  explicit EIdTLSPlaintextBeforeHandshake(const std::string& AHost)
      : EIdTLSError(AHost + " sent data before the secure connection began.") {}
};

// The peer closed the connection without close_notify (RFC 8446 section 6.1)
// where the protocol needs the close to mark the end of the data: what came
// may have been cut short by anyone on the path.
class EIdTLSTruncated : public EIdTLSError {
 public:
  explicit EIdTLSTruncated(const std::string& AHost)
      : EIdTLSError("The secure connection to " + AHost + " ended without its closing message.") {}
};

// One client-side TLS session. Ciphertext from the peer goes in through
// PutReceived; ciphertext for the peer collects in ToSend until the caller
// has sent it. The calls raise the EIdTLS... errors above, naming the host.
class TIdTLSSession {
 public:
  TIdTLSSession() = default;
  virtual ~TIdTLSSession() = default;
  TIdTLSSession(const TIdTLSSession&) = delete;
  TIdTLSSession& operator=(const TIdTLSSession&) = delete;

  // Ciphertext that arrived from the peer.
  virtual void PutReceived(const char* AData, size_t ALength) = 0;
  // Ciphertext waiting to go to the peer, and how much of it was sent.
  virtual std::string_view ToSend() const = 0;
  virtual void Sent(size_t ACount) = 0;
  // Advances the handshake with what has arrived: true once it is complete,
  // false while it waits for more from the peer (ToSend may hold bytes for it).
  virtual bool Handshake() = 0;
  // Decrypted bytes into ABuffer: their count, 0 when more ciphertext is
  // needed first, -1 once the peer has sent close_notify.
  virtual int Read(char* ABuffer, int ALength) = 0;
  // Encrypts up to MaxWriteChunk of the bytes into ToSend; returns how many it took.
  virtual int Write(const char* AData, int ALength) = 0;
  // Puts close_notify into ToSend, once, if the session is established and
  // has not failed. Never raises.
  virtual void Close() noexcept = 0;
};

// A client session with AHost: its name for SNI (RFC 6066 section 3; not sent
// for an address) and as the name the certificate must carry. Raises
// EIdTLSNotAvailable where the build has no TLS; loads the TLS library's state
// on the first call, not before.
std::unique_ptr<TIdTLSSession> CreatePlatformTLSSession(const std::string& AHost,
                                                        const TIdTLSOptions& AOptions);
// Whether this build can run TLS at all (false where StartTLS would raise
// EIdTLSNotAvailable). Loads nothing.
bool PlatformTLSAvailable();
