#pragma once
// A blocking, buffered TCP byte stream with line-oriented reads and writes and
// the command/reply exchange of text protocols (SMTP, POP3 style replies).
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/transport/IdBuffer.h"
#include "net/transport/IdComponent.h"
#include "net/transport/IdException.h"
#include "net/transport/IdSocketHandle.h"
#include "net/transport/IdTLS.h"
#include "platform/Stream.h"
#include "platform/StringList.h"

// Limits and defaults of the TCP connection.
namespace IdTCPDefaults {
// Size of the scratch buffer of one receive call.
constexpr int RecvBufferSize = 32768;
// Largest piece handed to the socket by WriteFromStream.
constexpr int SendBufferSize = 32768;
// Longest line ReadLine accepts (bytes before the terminator): it refuses to
// buffer more while waiting for a terminator, so a peer that never ends its
// line cannot exhaust memory.
constexpr int MaxLineLength = 1024 * 1024;
// Most lines ReadReply takes in one reply: real ones have a few dozen at most.
constexpr int MaxReplyLines = 1000;
// Most bytes of one reply, so that its lines cannot each be MaxLineLength long.
constexpr int MaxReplyBytes = 1024 * 1024;
// PollPeerClosed waits this long to notice a close the peer already sent.
constexpr int PollPeerClosedMs = 1;
}  // namespace IdTCPDefaults

// A filter that can stand between a connection and its socket. The base class
// passes nothing through; the program uses none. TLS is not an intercept (see
// TIdTCPConnection::StartTLS): an intercept gets one receive call after the
// connection's single wait and answers 0 for a close, while TLS must wait
// several times per read under the connection's bounds (a record arrives in
// pieces, the handshake takes round trips), holds decrypted bytes the socket
// no longer signals, must tell close_notify from a cut stream, and must send
// close_notify before the socket closes, which DetachSocket comes too late for.
class TIdConnectionIntercept : public TComponent {
 public:
  using TComponent::TComponent;
  virtual void AttachSocket(TIdSocketHandle* AHandle);
  virtual void DetachSocket() { Handle = nullptr; }
  virtual void NotifyReceived(const char*, int) {}
  virtual void NotifySent(const char*, int) {}
  virtual int ReceiveThrough(char*, int) { return 0; }
  virtual int SendThrough(const char*, int) { return 0; }

  bool HandlesReceive = false;
  bool HandlesSend = false;
  std::function<void(TIdConnectionIntercept*)> OnConnect;

 protected:
  TIdSocketHandle* Handle = nullptr;
};

// Marks a secure intercept; both directions go through it.
class TIdSSLConnectionIntercept : public TIdConnectionIntercept {
 public:
  explicit TIdSSLConnectionIntercept(TComponent* AOwner = nullptr)
      : TIdConnectionIntercept(AOwner) {
    HandlesReceive = HandlesSend = true;
  }
};

// A reply grew past MaxReplyLines or MaxReplyBytes before its last line; the
// connection has been closed.
class EIdReplyTooLong : public EIdTCPConnectionError {
 public:
  EIdReplyTooLong(int ALimit, const char* AUnit)
      : EIdTCPConnectionError("Reply too long: more than " + std::to_string(ALimit) + " " + AUnit +
                              ".") {}
};

// What went wrong on an open connection, if anything: TimedOut when one of
// the connection's own bounds struck (ReadTimeout, ExchangeTimeout,
// ConnectTimeout), SocketError when a socket call failed.
enum class TIdConnectionFault { None, TimedOut, SocketError };

// The reply codes a command accepts; empty means any.
using TIdReplyCodes = std::vector<int16_t>;

class TIdTCPConnection : public TIdComponent {
 public:
  explicit TIdTCPConnection(TComponent* AOwner = nullptr);
  ~TIdTCPConnection() override;

  // --- Reading -------------------------------------------------------------
  // One wait and one receive call; returns the bytes received, 0 on time-out or
  // when not connected. Raises EIdConnClosedGracefully after a peer close when
  // ARaiseIfClosed and nothing is buffered.
  virtual int ReceiveFromSocket(bool ARaiseIfClosed, int ATimeout, bool AUseInputBuffer,
                                TIdBuffer* ADestination);
  // The next line up to ATerminator (LF when empty; then one trailing CR is
  // dropped too). Returns the empty text with LineTimedOut set when ATimeout
  // passes or the peer closes after an unterminated partial line. Raises
  // EIdReadLineMaxLineLengthExceeded for a line (the bytes before its
  // terminator, a CR before the LF included) longer than MaxLineLength: as
  // soon as more than that are held without a terminator, or when one ends
  // such a line, however its bytes were split between receives.
  virtual std::string ReadLine(const std::string& ATerminator = std::string(),
                               int ATimeout = TimeoutInfinite);
  // The next non-blank line, trimmed.
  std::string ReadReplyLine();
  // Exactly ACount bytes.
  void ReadBytes(void* ABuffer, int ACount);
  int ReadInt32(bool AConvert = true);
  // ACount bytes, or (ACount -1 without AUntilClosed) as many as a 4-byte length
  // prefix says, or everything up to the peer's close (AUntilClosed).
  void ReadToStream(TStream* AStream, int64_t ACount = -1, bool AUntilClosed = false);
  // Lines up to (and consuming) the line ADelimiter, into a list or a stream
  // (each line followed by CR LF) or nowhere.
  void ReadLinesUntil(TStringList* ATarget, const std::string& ADelimiter = ".",
                      bool AUnstuffDots = true);
  void ReadLinesUntil(TStream* ATarget, const std::string& ADelimiter = ".",
                      bool AUnstuffDots = true);
  std::string TakeBufferedText();
  virtual std::string ReadAllText();
  int BufferedByteCount() const { return static_cast<int>(InputBuffer.Size()); }
  virtual std::string TakeBytes(int64_t N);
  virtual void DiscardBytes(int64_t N);

  // --- Writing -------------------------------------------------------------
  virtual void WriteText(const std::string& AText);
  virtual void WriteLine(const std::string& AText = std::string());
  void WriteLines(const TStringList& AList);
  void WriteBytes(const void* ABuffer, int64_t ACount, bool AWriteNow = false);
  void WriteInt32(int AValue, bool AConvert = true);
  virtual void WriteFromStream(TStream* AStream, bool AFromStart = true,
                               bool AWithLengthPrefix = false);
  virtual int64_t WriteFileContents(const std::string& AFile, bool AAllowSystemTransfer = false);

  // --- Command exchange ----------------------------------------------------
  // Writes ACommand and CRLF (nothing for NoOutputCommand) and reads the reply;
  // raises EIdProtocolReplyError when its code is not accepted.
  virtual int16_t SendCommand(const std::string& ACommand, const TIdReplyCodes& AAccepted);
  // A single accepted code; -1 accepts any.
  int16_t SendCommand(const std::string& ACommand, int AAccepted);
  // Reads one reply into ReplyLines. Raises EIdReplyTooLong, after dropping
  // the connection, when the reply runs past MaxReplyLines lines or
  // MaxReplyBytes bytes (line ends and skipped blank lines counted).
  virtual int16_t ReadReply(const TIdReplyCodes& AAccepted);
  int16_t ReadReply(int AAccepted);
  virtual int16_t CheckReplyCode(int16_t ACode, const TIdReplyCodes& AAccepted);
  [[noreturn]] virtual void RaiseReplyError();
  std::string LastReplyLine() const;

  // --- Connection state ----------------------------------------------------
  virtual bool IsConnected();
  virtual void CheckPeerClosed(bool ARaiseIfClosed, bool AIgnoreBuffered);
  virtual void PollPeerClosed(bool ARaiseIfClosed);
  virtual void CloseConnection();
  virtual void DropSocket();
  virtual void ResetForConnect();
  // Restarts the exchange deadline (OpenConnection starts it).
  void StartExchange();
  virtual void FireDisconnected();

  // --- TLS ---------------------------------------------------------------
  // Runs a TLS handshake with AHost (the name sent for SNI and the name the
  // certificate must carry, see TLSOptions) on the open connection; from then
  // on every read and write goes through TLS and a close sends close_notify.
  // The handshake is bounded by ReadTimeout for each wait, by ExchangeTimeout
  // and by AHandshakeTimeout (TimeoutInfinite: none) as a whole; a bound
  // raises EIdSocketError 10060. Raises EIdTLSPlaintextBeforeHandshake when
  // received bytes are already held, and the EIdTLSError family when the
  // handshake fails (EIdTLSNotAvailable in a build without TLS). On any
  // failure the connection is dropped.
  void StartTLS(const std::string& AHost, int AHandshakeTimeout = TimeoutInfinite);
  bool IsTLSActive() const { return TLS != nullptr; }
  // Whether the TLS stream ended with a close that carried no close_notify
  // (RFC 8446 section 6.1): data whose end is the close may be cut short.
  bool TLSTruncated() const { return TLSEndedWithoutNotify; }
  // How the next StartTLS judges its peer.
  TIdTLSOptions TLSOptions;

  void SetInterceptEnabled(bool AValue);
  bool GetInterceptEnabled() const { return InterceptEnabled; }
  int GetRecvBufferSize() const { return static_cast<int>(ReceiveBuffer.Size()); }
  void SetRecvBufferSize(int AValue) { ReceiveBuffer.SetSize(AValue); }

  // The command text that makes SendCommand read a reply without writing.
  static const std::string NoOutputCommand;

  bool ASCIIFilter = false;
  std::unique_ptr<TIdSocketHandle> SocketHandle;
  TIdBuffer InputBuffer;
  bool PeerClosed = false;
  TStringList ReplyLines;
  TIdConnectionIntercept* Intercept = nullptr;
  std::function<void(TIdTCPConnection*)> OnDisconnected;
  bool LineTimedOut = false;
  int16_t LastReplyCode = 0;
  int SendBufferSize = IdTCPDefaults::SendBufferSize;

  // Bounds on waiting, in milliseconds (TimeoutInfinite: none). ReadTimeout is
  // the longest wait for the peer to send or accept the next bytes;
  // ExchangeTimeout the longest a whole exchange may take from
  // OpenConnection (or StartExchange) on, so that a peer trickling one byte
  // just inside every ReadTimeout is still cut off. Either raises
  // EIdSocketError 10060 "Connection timed out."; the connection can then
  // still be closed.
  int ReadTimeout = TimeoutInfinite;
  int ExchangeTimeout = TimeoutInfinite;
  // Longest line ReadLine accepts, in bytes before its terminator (0: no cap);
  // it also bounds what ReadLine buffers while waiting for a terminator.
  int MaxLineLength = IdTCPDefaults::MaxLineLength;
  // The first fault met since OpenConnection. After one the stream is in an
  // unknown state (a reply half read, the deadline spent), so a protocol
  // closes without its farewell command.
  TIdConnectionFault Fault = TIdConnectionFault::None;

 protected:
  // The wait allowed now by ReadTimeout and ExchangeTimeout (TimeoutInfinite
  // when neither is set); raises 10060 when the deadline has passed.
  int BoundedWait();
  // ATimeout narrowed by the bounds; AOurs tells whether a bound is what limits it.
  int EffectiveWait(int ATimeout, bool& AOurs);
  // Notes that a bound of ours struck and raises 10060.
  [[noreturn]] void RaiseTimedOut();
  // Notes a failed socket call (unless a fault is already noted).
  void NoteSocketError();
  // Drops the connection and raises EIdReplyTooLong.
  [[noreturn]] void RaiseReplyTooLong(int ALimit, const char* AUnit);
  // TLS under the bounds (IdTCPConnectionTLS.cpp). ReceiveTLS: decrypted
  // bytes, 0 at the end of the stream, -1 when ATimeout passed first.
  int ReceiveTLS(char* ABuffer, int ASize, int ATimeout);
  int SendTLS(const char* AData, int ALength);
  // Sends the session's waiting ciphertext, waiting for the socket under the bounds.
  void FlushTLS();
  // Sends close_notify when the session is sound (without waiting) and ends it.
  void CloseTLS() noexcept;

 private:
  template <class Deliver>
  void ReadLinesUntilImpl(const std::string& ADelimiter, bool AUnstuffDots, Deliver&& D);

  // Drops N bytes from the front of InputBuffer.
  void ConsumeInput(int64_t N);

  bool InterceptEnabled = false;
  TIdBuffer ReceiveBuffer;
  // Where the search for a terminator resumes in InputBuffer (bytes already
  // known to hold none), and the terminator it was for.
  size_t LineScanned = 0;
  std::string LineScanTerminator;
  // Bytes the last ReadLine took from the stream, its terminator included.
  size_t LastLineBytes = 0;
  std::chrono::steady_clock::time_point ExchangeStart;
  std::unique_ptr<TIdTLSSession> TLS;
  bool TLSEndedWithoutNotify = false;
};
