#include "net/transport/IdTCPClient.h"

#include "net/transport/IdException.h"

TIdTCPClient::TIdTCPClient(TComponent* AOwner) : TIdTCPConnection(AOwner) {}

void TIdTCPClient::OpenConnection() {
  if (SocketHandle->IsOpen) throw EIdAlreadyConnected();
  ResetForConnect();
  SocketHandle->OpenSocket(Id_SOCK_STREAM, Id_IPPROTO_IP);
  try {
    SocketHandle->IP = BoundIP;
    SocketHandle->Bind();
    bool direct = SocksInfo.Version == TSocksVersion::svNoSocks;
    const std::string& host = direct ? Host : SocksInfo.Host;
    int port = direct ? Port : SocksInfo.Port;
    if (!TIdStack::IsDottedQuad(host)) SignalStatus(TIdStatus::Resolving, host);
    SocketHandle->SetRemote(GlobalStack->ResolveAddress(host), port);
    if (!UseNagle) SocketHandle->SetOption(Id_IPPROTO_TCP, Id_TCP_NODELAY, 1);
    SignalStatus(TIdStatus::Connecting, SocketHandle->RemoteIP);
    // The connect is bounded by ConnectTimeout and by what is left of the
    // exchange deadline, whichever is shorter.
    int wait = ConnectTimeout >= 0 ? ConnectTimeout : TimeoutInfinite;
    int bound = BoundedWait();
    if (ExchangeTimeout >= 0 && (wait == TimeoutInfinite || bound < wait)) wait = bound;
    GlobalStack->CheckSocketResult(SocketHandle->Connect(Id_PF_INET, wait));
    if (GetInterceptEnabled() && Intercept) Intercept->AttachSocket(SocketHandle.get());
    if (!direct) throw EIdSocksError("SOCKS proxies are not supported.");
  } catch (...) {
    // No session exists on a connection that failed to open (a connect that
    // timed out may still be half open): noting the fault keeps a protocol's
    // close from writing its farewell and waiting on that socket again.
    NoteSocketError();
    try {
      CloseConnection();
    } catch (...) {
      // The original failure is the one worth reporting.
    }
    throw;
  }
  SignalStatus(TIdStatus::Connected, SocketHandle->RemoteIP);
  FireConnected();
}

std::string TIdTCPClient::ConnectAndReadAll() {
  OpenConnection();
  std::string all;
  try {
    all = ReadAllText();
  } catch (...) {
    CloseConnection();
    throw;
  }
  CloseConnection();
  return all;
}

void TIdTCPClient::FireConnected() {
  if (OnConnected) OnConnected(this);
}
