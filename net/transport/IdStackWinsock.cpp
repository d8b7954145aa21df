// The socket stack over the Winsock 1.1 library (IPv4 only). The library is
// loaded by its file name when the stack is created, and every call goes
// through the function the library exports under that name, so the program
// links no socket library. Winsock's error numbers are the library's own
// numbering: nothing is mapped.
#include "net/transport/IdStackWinsock.h"

// winsock2.h before windows.h, which would otherwise pull in the older header
// (a blank line between them keeps the order).
#include <winsock2.h>

#include <windows.h>

#include <algorithm>
#include <cstring>

#include "platform/Text.h"

static_assert(FD_SETSIZE == IdMaxSelectSockets, "a socket set holds exactly 64 sockets");

namespace {

// The name of the stack in its version record.
constexpr const char* kStackName = "Winsock stack";
// The buffer LocalHostName reads the host name into.
constexpr int kHostNameBuffer = 250;

// Socket values are handles; Windows keeps every handle value within 32 bits
// so that 32- and 64-bit processes can share them, so the library's int socket
// values carry them whole. INVALID_SOCKET (all bits set) and -1 map onto each
// other.
SOCKET ToSocket(TIdStackSocketHandle S) {
  return static_cast<SOCKET>(static_cast<intptr_t>(S));
}
TIdStackSocketHandle FromSocket(SOCKET S) {
  return S == INVALID_SOCKET ? Id_INVALID_SOCKET : static_cast<TIdStackSocketHandle>(S);
}

sockaddr_in MakeAddr(const std::string& IP, int Port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = TIdStack::HostToNet16(static_cast<uint16_t>(Port));
  if (!IP.empty()) {
    uint8_t b[4];
    TIdStack::DottedToInAddr(IP, b);
    std::memcpy(&a.sin_addr, b, 4);
  }
  return a;
}

void ReadAddr(const sockaddr_in& a, std::string& IP, int& Port) {
  uint8_t b[4];
  std::memcpy(b, &a.sin_addr, 4);
  IP = TIdStack::InAddrToDotted(b);
  Port = TIdStack::NetToHost16(a.sin_port);
}

// One function of the library, looked up by name when the library is loaded.
// Calling a function the library does not export raises
// EIdStackMissingEntryPoint instead of jumping through a null pointer.
template <typename F>
class TEntry {
 public:
  void Load(HMODULE Module, const std::string* Library, const char* Name) {
    FLibrary = Library;
    FName = Name;
    // GetProcAddress answers a generic function pointer; the function behind
    // the name has the prototype the Winsock header declares for it.
    FProc = reinterpret_cast<F*>(reinterpret_cast<void (*)()>(GetProcAddress(Module, Name)));
  }
  bool Present() const { return FProc != nullptr; }
  // For a destructor, which cannot raise: a function the library lacks is
  // not called.
  void CallIfPresent() const noexcept {
    if (FProc) FProc();
  }
  template <typename... A>
  auto operator()(A... Args) const {
    if (!FProc) throw EIdStackMissingEntryPoint(*FLibrary, FName);
    return FProc(Args...);
  }

 private:
  F* FProc = nullptr;
  const std::string* FLibrary = nullptr;
  const char* FName = "";
};

}  // namespace

// The loaded library and its functions. Unloads the library when it ends,
// after cleaning it up if it was started.
struct TIdStackWinsock::TLibrary {
  explicit TLibrary(const std::string& Name) : FileName(Name), Module(LoadLibraryA(Name.c_str())) {
    if (!Module) throw EIdStackCanNotLoadWinsock(Name);
    auto load = [this](auto& Entry, const char* Function) {
      Entry.Load(Module, &FileName, Function);
    };
    load(accept, "accept");
    load(bind, "bind");
    load(closesocket, "closesocket");
    load(connect, "connect");
    load(gethostbyaddr, "gethostbyaddr");
    load(gethostbyname, "gethostbyname");
    load(gethostname, "gethostname");
    load(getpeername, "getpeername");
    load(getservbyname, "getservbyname");
    load(getservbyport, "getservbyport");
    load(getsockname, "getsockname");
    load(getsockopt, "getsockopt");
    load(inet_addr, "inet_addr");
    load(ioctlsocket, "ioctlsocket");
    load(listen, "listen");
    load(recv, "recv");
    load(recvfrom, "recvfrom");
    load(select, "select");
    load(send, "send");
    load(sendto, "sendto");
    load(setsockopt, "setsockopt");
    load(shutdown, "shutdown");
    load(socket, "socket");
    load(WSACancelBlockingCall, "WSACancelBlockingCall");
    load(WSACleanup, "WSACleanup");
    load(WSAGetLastError, "WSAGetLastError");
    load(WSAStartup, "WSAStartup");
  }
  ~TLibrary() {
    // The destructor cannot report anything: a library without these two
    // functions is simply unloaded.
    if (Started) {
      WSACancelBlockingCall.CallIfPresent();
      WSACleanup.CallIfPresent();
    }
    FreeLibrary(Module);
  }
  TLibrary(const TLibrary&) = delete;
  TLibrary& operator=(const TLibrary&) = delete;

  const std::string FileName;
  const HMODULE Module;
  bool Started = false;  // WSAStartup succeeded: WSACleanup is owed

  TEntry<decltype(::accept)> accept;
  TEntry<decltype(::bind)> bind;
  TEntry<decltype(::closesocket)> closesocket;
  TEntry<decltype(::connect)> connect;
  TEntry<decltype(::gethostbyaddr)> gethostbyaddr;
  TEntry<decltype(::gethostbyname)> gethostbyname;
  TEntry<decltype(::gethostname)> gethostname;
  TEntry<decltype(::getpeername)> getpeername;
  TEntry<decltype(::getservbyname)> getservbyname;
  TEntry<decltype(::getservbyport)> getservbyport;
  TEntry<decltype(::getsockname)> getsockname;
  TEntry<decltype(::getsockopt)> getsockopt;
  TEntry<decltype(::inet_addr)> inet_addr;
  TEntry<decltype(::ioctlsocket)> ioctlsocket;
  TEntry<decltype(::listen)> listen;
  TEntry<decltype(::recv)> recv;
  TEntry<decltype(::recvfrom)> recvfrom;
  TEntry<decltype(::select)> select;
  TEntry<decltype(::send)> send;
  TEntry<decltype(::sendto)> sendto;
  TEntry<decltype(::setsockopt)> setsockopt;
  TEntry<decltype(::shutdown)> shutdown;
  TEntry<decltype(::socket)> socket;
  TEntry<decltype(::WSACancelBlockingCall)> WSACancelBlockingCall;
  TEntry<decltype(::WSACleanup)> WSACleanup;
  TEntry<decltype(::WSAGetLastError)> WSAGetLastError;
  TEntry<decltype(::WSAStartup)> WSAStartup;
};

TIdStackWinsock::TIdStackWinsock(const std::string& LibraryName)
    : Lib(std::make_unique<TLibrary>(LibraryName)) {
  WSADATA data{};
  if (Lib->WSAStartup(kWinsockVersion, &data) != 0) throw EIdStackInitializationFailed();
  Lib->Started = true;
  FVersion = std::make_unique<TIdStackVersionWinsock>();
  FVersion->MaxVersion = data.wHighVersion;
  FVersion->Version = data.wVersion;
  // The texts are zero-terminated within their fixed arrays; a library that
  // fills an array to the end still ends inside it.
  FVersion->Description =
      std::string(data.szDescription, strnlen(data.szDescription, sizeof data.szDescription));
  FVersion->SystemStatus =
      std::string(data.szSystemStatus, strnlen(data.szSystemStatus, sizeof data.szSystemStatus));
  FVersion->MaxSockets = data.iMaxSockets;
  FVersion->MaxUdpDg = data.iMaxUdpDg;
  FVersion->Name = kStackName;
}

TIdStackWinsock::~TIdStackWinsock() = default;

int TIdStackWinsock::Call(int Result) {
  if (Result == Id_SOCKET_ERROR) LastError = Lib->WSAGetLastError();
  return Result;
}

bool TIdStackWinsock::IsNonBlocking(TIdStackSocketHandle S) {
  const std::lock_guard<std::mutex> lock(FModeLock);
  return std::find(FNonBlocking.begin(), FNonBlocking.end(), S) != FNonBlocking.end();
}

bool TIdStackWinsock::SetNonBlocking(TIdStackSocketHandle S, bool On) {
  const std::lock_guard<std::mutex> lock(FModeLock);
  const auto at = std::find(FNonBlocking.begin(), FNonBlocking.end(), S);
  if ((at != FNonBlocking.end()) == On) return true;
  u_long mode = On ? 1 : 0;
  if (Call(Lib->ioctlsocket(ToSocket(S), FIONBIO, &mode)) == Id_SOCKET_ERROR) return false;
  if (On)
    FNonBlocking.push_back(S);
  else
    FNonBlocking.erase(at);
  return true;
}

template <typename F>
int TIdStackWinsock::Waiting(TIdStackSocketHandle S, F Attempt) {
  int r = Attempt();
  // Mostly the bytes are there (a wait for them came first) and the one call
  // is enough whatever the mode.
  if (r == Id_SOCKET_ERROR && LastError == WSAEWOULDBLOCK && IsNonBlocking(S)) {
    if (!SetNonBlocking(S, false)) return Id_SOCKET_ERROR;
    r = Attempt();
  }
  return r;
}

TIdStackSocketHandle TIdStackWinsock::SockAccept(TIdStackSocketHandle S, std::string& IP,
                                                 int& Port) {
  sockaddr_in a{};
  int len = sizeof a;
  // A socket accepted from a non-blocking one is non-blocking too: the
  // listener is made blocking first, so that every socket starts blocking.
  if (!SetNonBlocking(S, false)) return Id_INVALID_SOCKET;
  int r = Call(FromSocket(Lib->accept(ToSocket(S), reinterpret_cast<sockaddr*>(&a), &len)));
  if (r != Id_INVALID_SOCKET) ReadAddr(a, IP, Port);
  return r;
}

int TIdStackWinsock::SockBind(TIdStackSocketHandle S, int, const std::string& IP, int Port) {
  sockaddr_in a = MakeAddr(IP, Port);
  return Call(Lib->bind(ToSocket(S), reinterpret_cast<const sockaddr*>(&a), int{sizeof a}));
}

int TIdStackWinsock::SockClose(TIdStackSocketHandle S) {
  {
    // The handle's value may be given to the next socket.
    const std::lock_guard<std::mutex> lock(FModeLock);
    FNonBlocking.erase(std::remove(FNonBlocking.begin(), FNonBlocking.end(), S),
                       FNonBlocking.end());
  }
  return Call(Lib->closesocket(ToSocket(S)));
}

int TIdStackWinsock::SockConnect(TIdStackSocketHandle S, int, const std::string& IP, int Port) {
  if (!SetNonBlocking(S, false)) return Id_SOCKET_ERROR;
  sockaddr_in a = MakeAddr(IP, Port);
  return Call(Lib->connect(ToSocket(S), reinterpret_cast<const sockaddr*>(&a), int{sizeof a}));
}

int TIdStackWinsock::SockConnectWithin(TIdStackSocketHandle S, int Family, const std::string& IP,
                                       int Port, int TimeoutMs) {
  if (TimeoutMs < 0) return SockConnect(S, Family, IP, Port);
  // A non-blocking connect, then a wait for the outcome: Winsock reports a
  // completed connect as writable and a failed one in the exception set.
  // The socket stays non-blocking afterwards, for the calls that follow a
  // connect under a bound: the first call that may wait switches it back.
  const SOCKET s = ToSocket(S);
  if (!SetNonBlocking(S, true)) return Id_SOCKET_ERROR;
  sockaddr_in a = MakeAddr(IP, Port);
  int err = 0;
  if (Lib->connect(s, reinterpret_cast<const sockaddr*>(&a), int{sizeof a}) == SOCKET_ERROR) {
    err = Lib->WSAGetLastError();
    if (err == WSAEWOULDBLOCK) {
      fd_set writable{};
      fd_set failed{};
      writable.fd_count = failed.fd_count = 1;
      writable.fd_array[0] = failed.fd_array[0] = s;
      timeval tv{TimeoutMs / 1000, (TimeoutMs % 1000) * 1000};
      const int n = Lib->select(0, nullptr, &writable, &failed, &tv);
      if (n == SOCKET_ERROR) {
        err = Lib->WSAGetLastError();
      } else if (n == 0) {
        err = WSAETIMEDOUT;
      } else if (failed.fd_count > 0) {
        int soError = 0;
        int len = sizeof soError;
        if (Lib->getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &len) ==
            SOCKET_ERROR)
          soError = Lib->WSAGetLastError();
        // A failed connect always has a reason; refused is the one a socket
        // that gives none most likely met.
        err = soError != 0 ? soError : WSAECONNREFUSED;
      } else {
        err = 0;
      }
    }
  }
  if (err == 0) return 0;
  LastError = err;
  return Id_SOCKET_ERROR;
}

std::string TIdStackWinsock::SockHostByName(const std::string& HostName) {
  const hostent* h = Lib->gethostbyname(HostName.c_str());
  if (!h) {
    LastError = Lib->WSAGetLastError();
    ThrowSocketError(LastError);
  }
  if (h->h_addrtype != AF_INET || h->h_length != 4 || !h->h_addr_list || !h->h_addr_list[0]) {
    LastError = WSANO_DATA;  // a name without an IPv4 address
    ThrowSocketError(LastError);
  }
  // The result lives in the library's per-thread storage: copy it at once.
  uint8_t b[4];
  std::memcpy(b, h->h_addr_list[0], 4);
  return InAddrToDotted(b);
}

std::string TIdStackWinsock::LocalHostName() {
  char buf[kHostNameBuffer] = {};
  if (Call(Lib->gethostname(buf, kHostNameBuffer - 1)) == Id_SOCKET_ERROR) return std::string();
  return std::string(buf);
}

std::string TIdStackWinsock::SockHostByAddr(const std::string& IP) {
  const unsigned long addr = Lib->inet_addr(IP.c_str());
  const hostent* h =
      Lib->gethostbyaddr(reinterpret_cast<const char*>(&addr), int{sizeof addr}, AF_INET);
  if (!h || !h->h_name) {
    LastError = Lib->WSAGetLastError();
    ThrowSocketError(LastError);
  }
  return h->h_name;
}

int TIdStackWinsock::ServicePort(const std::string& Service) {
  if (const servent* se = Lib->getservbyname(Service.c_str(), nullptr))
    return NetToHost16(static_cast<uint16_t>(se->s_port));
  int v;
  if (text::TryStrToInt(Service, v)) return v;
  throw EIdInvalidServiceName(Service);
}

std::unique_ptr<TStringList> TIdStackWinsock::PortServices(int Port) {
  auto list = std::make_unique<TStringList>();
  if (const servent* se =
          Lib->getservbyport(static_cast<int>(HostToNet16(static_cast<uint16_t>(Port))), nullptr)) {
    list->Add(se->s_name);
    for (char** a = se->s_aliases; a && *a; ++a) list->Add(*a);
  }
  return list;
}

int TIdStackWinsock::SockListen(TIdStackSocketHandle S, int BackLog) {
  return Call(Lib->listen(ToSocket(S), BackLog));
}

int TIdStackWinsock::SockRecv(TIdStackSocketHandle S, void* Buf, int Len, int Flags) {
  const int r =
      Waiting(S, [&] { return Call(Lib->recv(ToSocket(S), static_cast<char*>(Buf), Len, Flags)); });
  if (r == 0 && Len > 0) {
    // Winsock reports a peer's reset as WSAECONNRESET, but Wine answers it
    // with zero bytes, like an orderly close. A send of no bytes tells the
    // two apart: it fails with the reset on a reset connection and succeeds
    // on one the peer has only closed (on Windows the reset never gets here).
    if (const int reset = ResetBehindEnd(S)) {
      LastError = reset;
      return Id_SOCKET_ERROR;
    }
  }
  return r;
}

int TIdStackWinsock::ResetBehindEnd(TIdStackSocketHandle S) {
  const SOCKET s = ToSocket(S);
  // Only a stream has an end to tell apart: on a datagram socket zero bytes
  // are an empty datagram, and a send of none would be one too.
  int type = 0;
  int len = sizeof type;
  if (Lib->getsockopt(s, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &len) ==
          SOCKET_ERROR ||
      type != SOCK_STREAM)
    return 0;
  char none = 0;
  if (Lib->send(s, &none, 0, 0) != SOCKET_ERROR) return 0;
  const int err = Lib->WSAGetLastError();
  // Any other failure (a socket already shut down for sending) says nothing
  // about how the peer ended.
  return err == WSAECONNRESET || err == WSAECONNABORTED ? err : 0;
}

int TIdStackWinsock::SockRecvFrom(TIdStackSocketHandle S, void* Buf, int Len, int Flags,
                                  std::string& IP, int& Port) {
  sockaddr_in a{};
  int len = sizeof a;
  // A datagram longer than the buffer fails with WSAEMSGSIZE (10040) after
  // filling the buffer and the sender; the caller sees the failure, never a
  // datagram silently cut.
  int r = Waiting(S, [&] {
    len = sizeof a;
    return Call(Lib->recvfrom(ToSocket(S), static_cast<char*>(Buf), Len, Flags,
                              reinterpret_cast<sockaddr*>(&a), &len));
  });
  if (r != Id_SOCKET_ERROR || LastError == WSAEMSGSIZE) ReadAddr(a, IP, Port);
  return r;
}

int TIdStackWinsock::SockSelect(std::vector<TIdStackSocketHandle>* ReadList,
                                std::vector<TIdStackSocketHandle>* WriteList,
                                std::vector<TIdStackSocketHandle>* ExceptList, int TimeoutMs) {
  std::vector<TIdStackSocketHandle>* lists[] = {ReadList, WriteList, ExceptList};
  for (const auto* l : lists)
    if (l && l->size() > IdMaxSelectSockets) throw EIdStackSetSizeExceeded();
  // A wait for one socket to become readable is answered without select when
  // bytes are already waiting (FIONREAD > 0 means readable, nothing more).
  // Under Wine every select is a round trip through the server that costs
  // milliseconds, and a stream read waits once per buffer: without this a
  // 100 MB read ran at a sixth of the speed of the same reads without select.
  if (ReadList && ReadList->size() == 1 && !WriteList && !ExceptList &&
      Lib->ioctlsocket.Present()) {
    u_long waiting = 0;
    if (Lib->ioctlsocket(ToSocket(ReadList->front()), FIONREAD, &waiting) == 0 && waiting > 0)
      return 1;
  }
  fd_set sets[3] = {};
  fd_set* given[3] = {};
  for (int i = 0; i < 3; ++i) {
    if (!lists[i]) continue;
    for (TIdStackSocketHandle sock : *lists[i])
      sets[i].fd_array[sets[i].fd_count++] = ToSocket(sock);
    given[i] = &sets[i];
  }
  timeval tv{};
  timeval* limit = nullptr;
  if (TimeoutMs != TimeoutInfinite) {
    const int ms = TimeoutMs < 0 ? 0 : TimeoutMs;
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    limit = &tv;
  }
  int r = Call(Lib->select(0, given[0], given[1], given[2], limit));
  if (r == Id_SOCKET_ERROR) return r;
  // Winsock's select leaves in each set exactly the sockets that are ready.
  for (int i = 0; i < 3; ++i) {
    if (!lists[i]) continue;
    lists[i]->clear();
    for (u_int k = 0; k < sets[i].fd_count; ++k)
      lists[i]->push_back(FromSocket(sets[i].fd_array[k]));
  }
  return r;
}

int TIdStackWinsock::SockSend(TIdStackSocketHandle S, const void* Buf, int Len, int Flags) {
  // Winsock raises no signal for a peer that has gone: the call fails. A
  // blocking send takes everything it is given, which a non-blocking one may
  // not: the mode is set first.
  if (!SetNonBlocking(S, false)) return Id_SOCKET_ERROR;
  return Call(Lib->send(ToSocket(S), static_cast<const char*>(Buf), Len, Flags));
}

int TIdStackWinsock::SockSendNoWait(TIdStackSocketHandle S, const void* Buf, int Len) {
  // Winsock 1.1 has no per-call "don't wait" flag: the socket is made
  // non-blocking, and stays so until a call that may wait needs it blocking.
  const SOCKET s = ToSocket(S);
  if (!SetNonBlocking(S, true)) return Id_SOCKET_ERROR;
  const int r = Lib->send(s, static_cast<const char*>(Buf), Len, 0);
  const int err = r == SOCKET_ERROR ? Lib->WSAGetLastError() : 0;
  if (r != SOCKET_ERROR) return r;
  if (err == WSAEWOULDBLOCK) return 0;
  LastError = err;
  return Id_SOCKET_ERROR;
}

int TIdStackWinsock::SockSendTo(TIdStackSocketHandle S, const void* Buf, int Len, int Flags,
                                const std::string& IP, int Port) {
  if (!SetNonBlocking(S, false)) return Id_SOCKET_ERROR;
  sockaddr_in a = MakeAddr(IP, Port);
  return Call(Lib->sendto(ToSocket(S), static_cast<const char*>(Buf), Len, Flags,
                          reinterpret_cast<const sockaddr*>(&a), int{sizeof a}));
}

int TIdStackWinsock::SockSetOption(TIdStackSocketHandle S, int Level, int OptName,
                                   const void* OptVal, int OptLen) {
  // The library's level and option numbers are Winsock's.
  return Call(
      Lib->setsockopt(ToSocket(S), Level, OptName, static_cast<const char*>(OptVal), OptLen));
}

TIdStackSocketHandle TIdStackWinsock::SockSocket(int Family, int Type, int Protocol) {
  return Call(FromSocket(Lib->socket(Family, Type, Protocol)));
}

int TIdStackWinsock::SockShutdown(TIdStackSocketHandle S, int How) {
  // 0, 1 and 2 are SD_RECEIVE, SD_SEND and SD_BOTH.
  return Call(Lib->shutdown(ToSocket(S), How));
}

void TIdStackWinsock::SockPeerName(TIdStackSocketHandle S, std::string& IP, int& Port) {
  sockaddr_in a{};
  int len = sizeof a;
  CheckSocketResult(Call(Lib->getpeername(ToSocket(S), reinterpret_cast<sockaddr*>(&a), &len)));
  ReadAddr(a, IP, Port);
}

void TIdStackWinsock::SockLocalName(TIdStackSocketHandle S, std::string& IP, int& Port) {
  sockaddr_in a{};
  int len = sizeof a;
  CheckSocketResult(Call(Lib->getsockname(ToSocket(S), reinterpret_cast<sockaddr*>(&a), &len)));
  ReadAddr(a, IP, Port);
}

std::unique_ptr<TIdStack> CreatePlatformStack() {
  return std::make_unique<TIdStackWinsock>();
}
