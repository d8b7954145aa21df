#include "net/transport/IdSocketHandle.h"

#include <algorithm>
#include <chrono>
#include <functional>
#include <vector>

#include "net/transport/IdException.h"

TIdSocketHandle::~TIdSocketHandle() {
  // This class's own Close: a derived part is already gone here.
  TIdSocketHandle::Close(true);
}

void TIdSocketHandle::Assign(const TIdSocketHandle& Source) {
  IP = Source.IP;
  Port = Source.Port;
  RemoteIP = Source.RemoteIP;
  RemotePort = Source.RemotePort;
}

void TIdSocketHandle::OpenSocket(int SocketType, int Protocol) {
  Close(true);
  SocketId = GlobalStack->NewSocketHandle(SocketType, Protocol);
  IsOpen = true;
}

void TIdSocketHandle::Bind() {
  if (GlobalStack->CheckSocketResult(GlobalStack->SockBind(SocketId, Id_PF_INET, IP, Port),
                                     {Id_WSAEADDRINUSE}))
    throw EIdCouldNotBindSocket();
  RefreshLocal();
}

void TIdSocketHandle::SetRemote(const std::string& AIP, int APort) {
  RemoteIP = AIP;
  RemotePort = APort;
}

int TIdSocketHandle::Connect(int Family, int TimeoutMs) {
  int r = GlobalStack->SockConnectWithin(SocketId, Family, RemoteIP, RemotePort, TimeoutMs);
  if (r != Id_SOCKET_ERROR) {
    RefreshLocal();
    RefreshRemote();
  }
  return r;
}

int TIdSocketHandle::Send(const void* Buf, int Len, int Flags) {
  return GlobalStack->SockSend(SocketId, Buf, Len, Flags);
}

int TIdSocketHandle::SendNoWait(const void* Buf, int Len) {
  return GlobalStack->SockSendNoWait(SocketId, Buf, Len);
}

int TIdSocketHandle::Recv(void* Buf, int Len, int Flags) {
  return GlobalStack->SockRecv(SocketId, Buf, Len, Flags);
}

void TIdSocketHandle::SendDatagram(const std::string& AIP, int APort, const void* Buf, int Len) {
  int r = GlobalStack->SockSendTo(SocketId, Buf, Len, 0, AIP, APort);
  if (r == Id_SOCKET_ERROR) {
    int err = GlobalStack->SockLastError();
    if (err == Id_WSAEMSGSIZE) throw EIdPackageSizeTooBig();
    TIdStack::ThrowSocketError(err);
  }
  if (r != Len) throw EIdNotAllBytesSent();
}

int TIdSocketHandle::RecvDatagram(void* Buf, int Len, int Flags, std::string& AIP, int& APort) {
  return GlobalStack->SockRecvFrom(SocketId, Buf, Len, Flags, AIP, APort);
}

void TIdSocketHandle::SetOption(int Level, int OptName, int Value) {
  GlobalStack->CheckSocketResult(
      GlobalStack->SockSetOption(SocketId, Level, OptName, &Value, sizeof Value));
}

bool TIdSocketHandle::WaitReadable(int TimeoutMs) {
  return Wait(true, TimeoutMs);
}

bool TIdSocketHandle::WaitWritable(int TimeoutMs) {
  return Wait(false, TimeoutMs);
}

bool TIdSocketHandle::Wait(bool ForRead, int TimeoutMs) {
  if (!IsOpen) throw EIdConnClosedGracefully();
  const auto select = [&](int Ms) {
    std::vector<TIdStackSocketHandle> list{SocketId};
    return GlobalStack->SockSelect(ForRead ? &list : nullptr, ForRead ? nullptr : &list, nullptr,
                                   Ms);
  };
  const std::function<bool()>& abandon = GlobalStack->AbandonWaits;
  if (!abandon || TimeoutMs == 0) return select(TimeoutMs) == 1;
  // The wait is cut into slices so that a request to end is seen while it
  // lasts, not only when it is over. The question is asked only after a slice
  // in which the socket stayed quiet: a wait the peer answers at once (most
  // of them) costs no look at the message queue, which under Wine is a round
  // trip to its server, and so a wake-up of an otherwise idle program.
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(TimeoutMs, 0));
  for (;;) {
    int slice = TIdStack::AbandonCheckMs;
    if (TimeoutMs > 0) {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return false;
      slice = static_cast<int>(std::min<long long>(slice, left));
    }
    const int r = select(slice);
    if (r != 0) return r == 1;
    if (abandon()) TIdStack::ThrowSocketError(Id_WSAEINTR);
  }
}

void TIdSocketHandle::Close(bool ResetLocal) {
  if (!IsOpen) return;
  IsOpen = false;
  GlobalStack->SockShutdown(SocketId, 1);
  GlobalStack->SockClose(SocketId);
  ResetState(ResetLocal);
}

void TIdSocketHandle::ResetState(bool ResetLocal) {
  IsOpen = false;
  SocketId = Id_INVALID_SOCKET;
  if (ResetLocal) {
    IP.clear();
    Port = 0;
  }
  RemoteIP.clear();
  RemotePort = 0;
}

void TIdSocketHandle::RefreshLocal() {
  GlobalStack->SockLocalName(SocketId, IP, Port);
}

void TIdSocketHandle::RefreshRemote() {
  GlobalStack->SockPeerName(SocketId, RemoteIP, RemotePort);
}
