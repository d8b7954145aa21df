#pragma once
// A UDP socket that sends single datagrams to a host and port and waits, with
// a time-out, for single datagrams on the same socket.
#include <memory>
#include <string>

#include "net/transport/IdComponent.h"
#include "net/transport/IdException.h"
#include "net/transport/IdSocketHandle.h"

class EIdUDPException : public EIdException {
 public:
  using EIdException::EIdException;
};

// A datagram of zero bytes arrived.
class EIdUDPReceiveErrorZeroBytes : public EIdUDPException {
 public:
  EIdUDPReceiveErrorZeroBytes() : EIdUDPException("UDP Receive Error = 0.") {}
};

class TIdUDPBase : public TIdComponent {
 public:
  explicit TIdUDPBase(TComponent* AOwner = nullptr);
  // Closes the socket.
  ~TIdUDPBase() override;

  // Whether the socket is open. Setting true opens it; false closes it.
  virtual bool GetActive() const;
  void SetActive(bool Value);
  bool GetBroadcastEnabled() const { return FBroadcastEnabled; }
  // Stores the wish and applies it at once when the socket is open, else when
  // it is next opened.
  void SetBroadcastEnabled(bool Value);

  // The socket, created and opened (datagram, broadcast setting applied) when
  // there is none yet. The operating system binds it at the first send.
  virtual TIdSocketHandle& SocketHandle();

  // Resolves Host ("localhost", a dotted quad or a name) and sends one
  // datagram. Raises EIdSocketError, EIdPackageSizeTooBig, EIdNotAllBytesSent.
  void SendBytes(const std::string& AHost, int APort, const void* ABuffer, int ALength);
  void SendText(const std::string& AHost, int APort, const std::string& AText);

  // Waits up to ATimeOut ms (TimeoutDefault: ReceiveTimeout; TimeoutInfinite:
  // no limit) for one datagram and reads it into ABuffer. Returns its length,
  // or 0 with an empty sender after the time-out. Raises EIdSocketError (10040
  // for a datagram longer than ALength) and EIdUDPReceiveErrorZeroBytes.
  int ReceiveBytes(void* ABuffer, int ALength, std::string& VPeerIP, int& VPeerPort,
                   int ATimeOut = TimeoutDefault);
  // One datagram of at most BufferSize bytes as a byte string; empty after the
  // time-out.
  std::string ReceiveText(std::string& VPeerIP, int& VPeerPort, int ATimeOut = TimeoutDefault);
  std::string ReceiveText(int ATimeOut = TimeoutDefault);

  // Sets the broadcast permission on AHandle (SocketHandle() when null).
  void ApplyBroadcastFlag(bool AEnabled, TIdSocketHandle* AHandle = nullptr);

  // Largest datagram the text receive accepts, in bytes.
  int BufferSize = 8192;
  // Time-out of ReceiveBytes with TimeoutDefault, in ms (TimeoutInfinite: none).
  int ReceiveTimeout = TimeoutInfinite;

 protected:
  // Frees the socket handle, which closes its socket.
  virtual void CloseBinding();
  // Called when the broadcast setting must be applied to the open socket.
  virtual void BroadcastChanged();
  // The time-out a receive uses for ATimeOut.
  int EffectiveTimeout(int ATimeOut) const;
  // One raw receive of up to ALength bytes: the result of the receive call
  // (-1 on failure, its error number then in GlobalStack->SockLastError())
  // and the sender, empty when unknown. Never raises.
  int RecvRaw(void* ABuffer, int ALength, std::string& VPeerIP, int& VPeerPort);

 private:
  std::unique_ptr<TIdSocketHandle> FBinding;
  bool FBroadcastEnabled = false;
};
