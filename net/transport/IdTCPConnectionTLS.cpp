// The TCP connection's TLS: the handshake, reads and writes of a TIdTLSSession
// (IdTLS.h) driven over the connection's socket. Every wait goes through the
// connection's bounds (ReadTimeout per wait, ExchangeTimeout for the whole
// exchange), so a peer that stalls or trickles in the middle of a record or
// of the handshake meets the same 10060 as in clear text.
#include <algorithm>
#include <array>
#include <chrono>

#include "net/transport/IdTCPConnection.h"

namespace {

using Clock = std::chrono::steady_clock;

// What is left of ATimeout (TimeoutInfinite or another negative value: no
// limit) since AStart.
int TimeLeft(int ATimeout, Clock::time_point AStart) {
  if (ATimeout < 0) return ATimeout;
  const auto used =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - AStart).count();
  return static_cast<int>(std::max<long long>(ATimeout - used, 0));
}

}  // namespace

void TIdTCPConnection::StartTLS(const std::string& AHost, int AHandshakeTimeout) {
  if (!SocketHandle->IsOpen) throw EIdConnClosedGracefully();
  const auto start = Clock::now();
  try {
    // Anything received so far came in clear (RFC 3207 section 4.2 and RFC
    // 8314 section 4: such bytes must not be taken as part of the secure stream).
    if (!InputBuffer.Empty()) throw EIdTLSPlaintextBeforeHandshake(AHost);
    TLS = CreatePlatformTLSSession(AHost, TLSOptions);
    TLSEndedWithoutNotify = false;
    std::array<char, IdTLSDefaults::MaxRecordBytes> piece{};
    while (!TLS->Handshake()) {
      FlushTLS();
      bool ours;
      const int wait = EffectiveWait(TimeLeft(AHandshakeTimeout, start), ours);
      // Every bound of the handshake is ours, the caller's included.
      if (!SocketHandle->WaitReadable(wait)) RaiseTimedOut();
      const int got = SocketHandle->Recv(piece.data(), static_cast<int>(piece.size()), 0);
      if (got == 0) throw EIdTLSHandshakeFailed(AHost, "the server closed the connection");
      GlobalStack->CheckSocketResult(got);
      TLS->PutReceived(piece.data(), static_cast<size_t>(got));
    }
    FlushTLS();
  } catch (...) {
    // The stream is at an unknown point: the connection goes. An alert the
    // session has queued (a refused certificate, say) goes first if the
    // socket takes it at once.
    NoteSocketError();
    if (TLS && SocketHandle->IsOpen) {
      const std::string_view alert = TLS->ToSend();
      if (!alert.empty())
        (void)SocketHandle->SendNoWait(alert.data(), static_cast<int>(alert.size()));
    }
    TLS.reset();
    DropSocket();
    throw;
  }
}

int TIdTCPConnection::ReceiveTLS(char* ABuffer, int ASize, int ATimeout) {
  const auto start = Clock::now();
  try {
    for (;;) {
      // Records already received may hold bytes: they are taken before any
      // wait, as many as fit (one record gives at most 16 KiB; the caller's
      // buffer is usually larger, and each call costs a round of checks).
      int n = TLS->Read(ABuffer, ASize);
      while (n > 0 && n < ASize) {
        const int more = TLS->Read(ABuffer + n, ASize - n);
        if (more <= 0) break;  // an end seen here is seen again by the next call
        n += more;
      }
      // Reading can make the session answer (a TLS 1.3 key update).
      FlushTLS();
      if (n > 0) return n;
      if (n < 0) return 0;
      bool ours;
      const int wait = EffectiveWait(TimeLeft(ATimeout, start), ours);
      if (!SocketHandle->WaitReadable(wait)) {
        if (ours) RaiseTimedOut();
        return -1;
      }
      // The caller's buffer carries the ciphertext into the session, which
      // copies it, and then the plaintext out.
      const int got = SocketHandle->Recv(ABuffer, ASize, 0);
      if (got == 0) {
        TLSEndedWithoutNotify = true;
        return 0;
      }
      GlobalStack->CheckSocketResult(got);
      TLS->PutReceived(ABuffer, static_cast<size_t>(got));
    }
  } catch (const EIdTLSError&) {
    // A record that fails to decrypt leaves nothing to trust on this connection.
    NoteSocketError();
    TLS.reset();
    DropSocket();
    throw;
  }
}

int TIdTCPConnection::SendTLS(const char* AData, int ALength) {
  int taken;
  try {
    taken = TLS->Write(AData, ALength);
  } catch (const EIdTLSError&) {
    NoteSocketError();
    TLS.reset();
    DropSocket();
    throw;
  }
  FlushTLS();
  return taken;
}

void TIdTCPConnection::FlushTLS() {
  for (std::string_view out = TLS->ToSend(); !out.empty(); out = TLS->ToSend()) {
    bool ours;
    const int wait = EffectiveWait(TimeoutInfinite, ours);
    if (!SocketHandle->WaitWritable(wait)) RaiseTimedOut();
    const int sent = SocketHandle->SendNoWait(
        out.data(), static_cast<int>(std::min<size_t>(out.size(), IdTLSDefaults::MaxRecordBytes)));
    GlobalStack->CheckSocketResult(sent);
    TLS->Sent(static_cast<size_t>(sent));
  }
}

void TIdTCPConnection::CloseTLS() noexcept {
  if (!TLS) return;
  // After a fault the stream is at an unknown point and the notice could
  // land in the middle of a record; a sound session says goodbye, without
  // waiting for the socket (a close never blocks).
  if (SocketHandle->IsOpen && Fault == TIdConnectionFault::None) {
    TLS->Close();
    const std::string_view notice = TLS->ToSend();
    if (!notice.empty())
      (void)SocketHandle->SendNoWait(notice.data(), static_cast<int>(notice.size()));
  }
  TLS.reset();
}
