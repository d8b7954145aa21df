#pragma once
// One socket with its local endpoint (IP, Port) and remote endpoint
// (RemoteIP, RemotePort). All calls go through GlobalStack.
#include <string>

#include "net/transport/IdStack.h"

class TIdSocketHandle {
 public:
  TIdSocketHandle() = default;
  virtual ~TIdSocketHandle();
  TIdSocketHandle(const TIdSocketHandle&) = delete;
  TIdSocketHandle& operator=(const TIdSocketHandle&) = delete;
  // Takes IP, Port, RemoteIP and RemotePort of another handle (not its socket).
  void Assign(const TIdSocketHandle& Source);

  // Closes any socket this handle has, then creates a new one.
  void OpenSocket(int SocketType = Id_SOCK_STREAM, int Protocol = Id_IPPROTO_IP);
  // Binds to IP:Port (empty IP: any address; Port 0: any free port) and reads
  // the local endpoint back. Raises EIdCouldNotBindSocket when the address is
  // in use, EIdSocketError otherwise.
  void Bind();
  void SetRemote(const std::string& AIP, int APort);
  // Connects to RemoteIP:RemotePort; returns the raw result (check it with
  // CheckSocketResult). TimeoutMs bounds the wait (10060 when it strikes).
  virtual int Connect(int Family = Id_PF_INET, int TimeoutMs = TimeoutInfinite);
  int Send(const void* Buf, int Len, int Flags);
  // Sends what the socket takes now without blocking: the bytes taken (0 when
  // none fit now), -1 on failure.
  int SendNoWait(const void* Buf, int Len);
  int Recv(void* Buf, int Len, int Flags);
  // One datagram; raises EIdPackageSizeTooBig, EIdNotAllBytesSent or
  // EIdSocketError.
  void SendDatagram(const std::string& AIP, int APort, const void* Buf, int Len);
  virtual int RecvDatagram(void* Buf, int Len, int Flags, std::string& AIP, int& APort);
  // Raises EIdSocketError when the option cannot be set.
  void SetOption(int Level, int OptName, int Value);
  // True when data (or a close) can be read before TimeoutMs ends (negative:
  // no limit). Raises EIdConnClosedGracefully on a handle without socket, and
  // EIdSocketError 10004 when the stack's AbandonWaits asks the wait to end.
  bool WaitReadable(int TimeoutMs);
  // True when a send would not block before TimeoutMs ends; raises as
  // WaitReadable.
  bool WaitWritable(int TimeoutMs);
  virtual void Close(bool ResetLocal = true);
  void ResetState(bool ResetLocal);
  void RefreshLocal();
  void RefreshRemote();

 private:
  bool Wait(bool ForRead, int TimeoutMs);

 public:
  TIdStackSocketHandle SocketId = Id_INVALID_SOCKET;
  bool IsOpen = false;
  std::string IP;
  int Port = 0;
  std::string RemoteIP;
  int RemotePort = 0;
};
