#include "net/dns/IdUDPBase.h"

TIdUDPBase::TIdUDPBase(TComponent* AOwner) : TIdComponent(AOwner) {}

TIdUDPBase::~TIdUDPBase() {
  // This class's own members: a derived part is already gone here.
  if (TIdUDPBase::GetActive()) TIdUDPBase::CloseBinding();
}

bool TIdUDPBase::GetActive() const {
  return FBinding && FBinding->IsOpen;
}

void TIdUDPBase::SetActive(bool Value) {
  if (Value == GetActive()) return;
  if (Value)
    SocketHandle();
  else
    CloseBinding();
}

void TIdUDPBase::SetBroadcastEnabled(bool Value) {
  if (Value == FBroadcastEnabled) return;
  FBroadcastEnabled = Value;
  if (GetActive()) BroadcastChanged();
}

void TIdUDPBase::BroadcastChanged() {
  ApplyBroadcastFlag(FBroadcastEnabled);
}

void TIdUDPBase::CloseBinding() {
  FBinding.reset();
}

TIdSocketHandle& TIdUDPBase::SocketHandle() {
  if (!FBinding) FBinding = std::make_unique<TIdSocketHandle>();
  if (!FBinding->IsOpen) {
    FBinding->OpenSocket(Id_SOCK_DGRAM, Id_IPPROTO_IP);
    BroadcastChanged();
  }
  return *FBinding;
}

void TIdUDPBase::ApplyBroadcastFlag(bool AEnabled, TIdSocketHandle* AHandle) {
  TIdSocketHandle& h = AHandle ? *AHandle : SocketHandle();
  h.SetOption(Id_SOL_SOCKET, Id_SO_BROADCAST, AEnabled ? -1 : 0);
}

void TIdUDPBase::SendBytes(const std::string& AHost, int APort, const void* ABuffer, int ALength) {
  std::string ip = GlobalStack->ResolveAddress(AHost);
  SocketHandle().SendDatagram(ip, APort, ABuffer, ALength);
}

void TIdUDPBase::SendText(const std::string& AHost, int APort, const std::string& AText) {
  SendBytes(AHost, APort, AText.data(), static_cast<int>(AText.size()));
}

int TIdUDPBase::EffectiveTimeout(int ATimeOut) const {
  return ATimeOut == TimeoutDefault ? ReceiveTimeout : ATimeOut;
}

int TIdUDPBase::RecvRaw(void* ABuffer, int ALength, std::string& VPeerIP, int& VPeerPort) {
  VPeerIP.clear();
  VPeerPort = 0;
  // The stack reports a datagram longer than the buffer as error 10040 rather
  // than cutting it silently.
  return SocketHandle().RecvDatagram(ABuffer, ALength, 0, VPeerIP, VPeerPort);
}

int TIdUDPBase::ReceiveBytes(void* ABuffer, int ALength, std::string& VPeerIP, int& VPeerPort,
                             int ATimeOut) {
  if (!SocketHandle().WaitReadable(EffectiveTimeout(ATimeOut))) {
    VPeerIP.clear();
    VPeerPort = 0;
    return 0;
  }
  int n = RecvRaw(ABuffer, ALength, VPeerIP, VPeerPort);
  GlobalStack->CheckSocketResult(n);
  if (n == 0) throw EIdUDPReceiveErrorZeroBytes();
  return n;
}

std::string TIdUDPBase::ReceiveText(std::string& VPeerIP, int& VPeerPort, int ATimeOut) {
  std::string s(static_cast<size_t>(BufferSize), '\0');
  int n = ReceiveBytes(s.data(), BufferSize, VPeerIP, VPeerPort, ATimeOut);
  s.resize(static_cast<size_t>(n));
  return s;
}

std::string TIdUDPBase::ReceiveText(int ATimeOut) {
  std::string ip;
  int port = 0;
  return ReceiveText(ip, port, ATimeOut);
}
