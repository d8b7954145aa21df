// The socket stack over POSIX sockets (IPv4 only). Error values are reported in
// the library's (Winsock) numbering so that texts and numbers mean the same on
// every platform; a value without an equivalent keeps its own number.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "net/transport/IdException.h"
#include "net/transport/IdStack.h"
#include "platform/Text.h"

namespace {

int MapErrno(int e) {
  switch (e) {
    case EINTR:
      return 10004;
    case EBADF:
      return 10009;
    case EACCES:
      return 10013;
    case EFAULT:
      return 10014;
    case EINVAL:
      return 10022;
    case EMFILE:
      return 10024;
    case EWOULDBLOCK:
      return 10035;
    case EINPROGRESS:
      return 10036;
    case EALREADY:
      return 10037;
    case ENOTSOCK:
      return 10038;
    case EDESTADDRREQ:
      return 10039;
    case EMSGSIZE:
      return 10040;
    case EPROTOTYPE:
      return 10041;
    case ENOPROTOOPT:
      return 10042;
    case EPROTONOSUPPORT:
      return 10043;
    case ESOCKTNOSUPPORT:
      return 10044;
    case EOPNOTSUPP:
      return 10045;
    case EPFNOSUPPORT:
      return 10046;
    case EAFNOSUPPORT:
      return 10047;
    case EADDRINUSE:
      return 10048;
    case EADDRNOTAVAIL:
      return 10049;
    case ENETDOWN:
      return 10050;
    case ENETUNREACH:
      return 10051;
    case ENETRESET:
      return 10052;
    case ECONNABORTED:
      return 10053;
    case ECONNRESET:
      return 10054;
    case ENOBUFS:
      return 10055;
    case EISCONN:
      return 10056;
    case ENOTCONN:
      return 10057;
    // A send after this side shut down, or after the connection is gone.
    case ESHUTDOWN:
    case EPIPE:
      return 10058;
    case ETOOMANYREFS:
      return 10059;
    case ETIMEDOUT:
      return 10060;
    case ECONNREFUSED:
      return 10061;
    case ELOOP:
      return 10062;
    case ENAMETOOLONG:
      return 10063;
    case EHOSTDOWN:
      return 10064;
    case EHOSTUNREACH:
      return 10065;
    case ENOTEMPTY:
      return 10066;
    default:
      return e;
  }
}

// Name-lookup failures in the numbering of the host-lookup errors.
int MapLookupError(int eai) {
  switch (eai) {
    case EAI_NONAME:
      return 11001;  // host not found
#ifdef EAI_NODATA
    case EAI_NODATA:
      return 11004;  // valid name, no address
#endif
    case EAI_AGAIN:
      return 11002;  // try again
    case EAI_FAIL:
      return 11003;  // non-recoverable
    case EAI_MEMORY:
      return 10055;
    default:
      return 11003;
  }
}

sockaddr_in MakeAddr(const std::string& IP, int Port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(Port));
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
  Port = ntohs(a.sin_port);
}

class TIdStackPosix : public TIdStack {
 public:
  TIdStackSocketHandle SockAccept(TIdStackSocketHandle S, std::string& IP, int& Port) override {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    int r = Call(::accept(S, reinterpret_cast<sockaddr*>(&a), &len));
    if (r != -1) ReadAddr(a, IP, Port);
    return r;
  }

  int SockBind(TIdStackSocketHandle S, int, const std::string& IP, int Port) override {
    sockaddr_in a = MakeAddr(IP, Port);
    return Call(::bind(S, reinterpret_cast<sockaddr*>(&a), sizeof a));
  }

  int SockClose(TIdStackSocketHandle S) override { return Call(::close(S)); }

  int SockConnect(TIdStackSocketHandle S, int, const std::string& IP, int Port) override {
    sockaddr_in a = MakeAddr(IP, Port);
    int r;
    do {
      r = ::connect(S, reinterpret_cast<sockaddr*>(&a), sizeof a);
    } while (r == -1 && errno == EINTR);
    return Call(r);
  }

  int SockConnectWithin(TIdStackSocketHandle S, int Family, const std::string& IP, int Port,
                        int TimeoutMs) override {
    if (TimeoutMs < 0) return SockConnect(S, Family, IP, Port);
    // A non-blocking connect, then a wait for the socket to become writable.
    int flags = ::fcntl(S, F_GETFL, 0);
    if (flags == -1 || ::fcntl(S, F_SETFL, flags | O_NONBLOCK) == -1) return Call(-1);
    sockaddr_in a = MakeAddr(IP, Port);
    int r = ::connect(S, reinterpret_cast<sockaddr*>(&a), sizeof a);
    int err = r == 0 ? 0 : errno;
    if (r == -1 && err == EINPROGRESS) {
      pollfd p{S, POLLOUT, 0};
      auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
      for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        int n = ::poll(&p, 1, left > 0 ? static_cast<int>(left) : 0);
        if (n == -1 && errno == EINTR) continue;
        if (n == -1) {
          err = errno;
          break;
        }
        if (n == 0) {
          err = ETIMEDOUT;
          break;
        }
        socklen_t len = sizeof err;
        if (::getsockopt(S, SOL_SOCKET, SO_ERROR, &err, &len) == -1) err = errno;
        break;
      }
    }
    ::fcntl(S, F_SETFL, flags);
    if (err == 0) return 0;
    LastError = MapErrno(err);
    return -1;
  }

  std::string SockHostByName(const std::string& HostName) override {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    int r = ::getaddrinfo(HostName.c_str(), nullptr, &hints, &res);
    if (r != 0 || !res) {
      LastError = r == EAI_SYSTEM ? MapErrno(errno) : MapLookupError(r);
      ThrowSocketError(LastError);
    }
    std::string ip;
    int port;
    ReadAddr(*reinterpret_cast<sockaddr_in*>(res->ai_addr), ip, port);
    ::freeaddrinfo(res);
    return ip;
  }

  std::string LocalHostName() override {
    char buf[250] = {};
    ::gethostname(buf, sizeof buf - 1);
    return std::string(buf);
  }

  std::string SockHostByAddr(const std::string& IP) override {
    sockaddr_in a = MakeAddr(IP, 0);
    char host[NI_MAXHOST] = {};
    int r = ::getnameinfo(reinterpret_cast<sockaddr*>(&a), sizeof a, host, sizeof host, nullptr, 0,
                          NI_NAMEREQD);
    if (r != 0) {
      LastError = MapLookupError(r);
      ThrowSocketError(LastError);
    }
    return host;
  }

  int ServicePort(const std::string& Service) override {
    servent buf{};
    servent* se = nullptr;
    char tmp[1024];
    if (::getservbyname_r(Service.c_str(), nullptr, &buf, tmp, sizeof tmp, &se) == 0 && se)
      return ntohs(static_cast<uint16_t>(se->s_port));
    int v;
    if (text::TryStrToInt(Service, v)) return v;
    throw EIdInvalidServiceName(Service);
  }

  std::unique_ptr<TStringList> PortServices(int Port) override {
    auto list = std::make_unique<TStringList>();
    servent buf{};
    servent* se = nullptr;
    char tmp[1024];
    if (::getservbyport_r(htons(static_cast<uint16_t>(Port)), nullptr, &buf, tmp, sizeof tmp,
                          &se) == 0 &&
        se) {
      list->Add(se->s_name);
      for (char** a = se->s_aliases; a && *a; ++a) list->Add(*a);
    }
    return list;
  }

  int SockListen(TIdStackSocketHandle S, int BackLog) override {
    return Call(::listen(S, BackLog));
  }

  int SockRecv(TIdStackSocketHandle S, void* Buf, int Len, int Flags) override {
    ssize_t r;
    do {
      r = ::recv(S, Buf, static_cast<size_t>(Len), Flags);
    } while (r == -1 && errno == EINTR);
    return Call(static_cast<int>(r));
  }

  int SockRecvFrom(TIdStackSocketHandle S, void* Buf, int Len, int Flags, std::string& IP,
                   int& Port) override {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ssize_t r;
    // MSG_TRUNC makes the call answer the datagram's real length, so a datagram
    // longer than the buffer is reported (10040) instead of silently cut.
    do {
      r = ::recvfrom(S, Buf, static_cast<size_t>(Len), Flags | MSG_TRUNC,
                     reinterpret_cast<sockaddr*>(&a), &len);
    } while (r == -1 && errno == EINTR);
    if (r == -1) return Call(-1);
    ReadAddr(a, IP, Port);
    if (r > Len) {
      LastError = Id_WSAEMSGSIZE;
      return -1;
    }
    return static_cast<int>(r);
  }

  int SockSelect(std::vector<TIdStackSocketHandle>* ReadList,
                 std::vector<TIdStackSocketHandle>* WriteList,
                 std::vector<TIdStackSocketHandle>* ExceptList, int TimeoutMs) override {
    for (auto* l : {ReadList, WriteList, ExceptList})
      if (l && l->size() > IdMaxSelectSockets) throw EIdStackSetSizeExceeded();
    // poll() instead of select(): the same semantics without FD_SETSIZE's limit
    // on descriptor numbers.
    std::vector<pollfd> fds;
    auto add = [&fds](const std::vector<int>* l, short ev) {
      if (l)
        for (int sock : *l) fds.push_back(pollfd{sock, ev, 0});
    };
    add(ReadList, POLLIN);
    add(WriteList, POLLOUT);
    add(ExceptList, POLLPRI);
    int timeout = -1;
    if (TimeoutMs != TimeoutInfinite) {
      timeout = TimeoutMs < 0 ? 0 : TimeoutMs;
    }
    int r;
    do {
      r = ::poll(fds.data(), fds.size(), timeout);
    } while (r == -1 && errno == EINTR);
    if (r == -1) {
      LastError = MapErrno(errno);
      return -1;
    }
    // A closed or failed socket counts as readable (a read then reports it),
    // as select() does.
    int count = 0;
    size_t i = 0;
    auto refill = [&](std::vector<int>* l, short ev) {
      if (!l) return;
      std::vector<int> ready;
      for (int sock : *l) {
        short re = fds[i++].revents;
        auto hit = static_cast<short>(ev | (ev == POLLPRI ? 0 : (POLLHUP | POLLERR)));
        if (ev == POLLOUT) hit = static_cast<short>(POLLOUT | POLLERR | POLLHUP);
        if (re & (hit | POLLNVAL)) ready.push_back(sock);
      }
      count += static_cast<int>(ready.size());
      *l = std::move(ready);
    };
    refill(ReadList, POLLIN);
    refill(WriteList, POLLOUT);
    refill(ExceptList, POLLPRI);
    return count;
  }

  int SockSend(TIdStackSocketHandle S, const void* Buf, int Len, int Flags) override {
    ssize_t r;
    // MSG_NOSIGNAL: a peer that has gone answers EPIPE instead of killing the
    // process with SIGPIPE.
    do {
      r = ::send(S, Buf, static_cast<size_t>(Len), Flags | MSG_NOSIGNAL);
    } while (r == -1 && errno == EINTR);
    return Call(static_cast<int>(r));
  }

  int SockSendNoWait(TIdStackSocketHandle S, const void* Buf, int Len) override {
    ssize_t r;
    do {
      r = ::send(S, Buf, static_cast<size_t>(Len), MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (r == -1 && errno == EINTR);
    if (r == -1 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
    return Call(static_cast<int>(r));
  }

  int SockSendTo(TIdStackSocketHandle S, const void* Buf, int Len, int Flags, const std::string& IP,
                 int Port) override {
    sockaddr_in a = MakeAddr(IP, Port);
    ssize_t r;
    do {
      r = ::sendto(S, Buf, static_cast<size_t>(Len), Flags | MSG_NOSIGNAL,
                   reinterpret_cast<sockaddr*>(&a), sizeof a);
    } while (r == -1 && errno == EINTR);
    return Call(static_cast<int>(r));
  }

  int SockSetOption(TIdStackSocketHandle S, int Level, int OptName, const void* OptVal,
                    int OptLen) override {
    // The library's option numbers to this platform's.
    int level = Level;
    int name = OptName;
    if (Level == Id_SOL_SOCKET) {
      level = SOL_SOCKET;
      if (OptName == Id_SO_BROADCAST) name = SO_BROADCAST;
    } else if (Level == Id_IPPROTO_TCP) {
      level = IPPROTO_TCP;
      if (OptName == Id_TCP_NODELAY) name = TCP_NODELAY;
    }
    return Call(::setsockopt(S, level, name, OptVal, static_cast<socklen_t>(OptLen)));
  }

  TIdStackSocketHandle SockSocket(int Family, int Type, int Protocol) override {
    int type = Type == Id_SOCK_DGRAM ? SOCK_DGRAM : SOCK_STREAM;
    (void)Family;  // IPv4 only
    return Call(::socket(AF_INET, type | SOCK_CLOEXEC, Protocol));
  }

  int SockShutdown(TIdStackSocketHandle S, int How) override {
    int how = How == 0 ? SHUT_RD : How == 1 ? SHUT_WR : SHUT_RDWR;
    return Call(::shutdown(S, how));
  }

  int SockLastError() override { return LastError; }

  void SockPeerName(TIdStackSocketHandle S, std::string& IP, int& Port) override {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    CheckSocketResult(Call(::getpeername(S, reinterpret_cast<sockaddr*>(&a), &len)));
    ReadAddr(a, IP, Port);
  }

  void SockLocalName(TIdStackSocketHandle S, std::string& IP, int& Port) override {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    CheckSocketResult(Call(::getsockname(S, reinterpret_cast<sockaddr*>(&a), &len)));
    ReadAddr(a, IP, Port);
  }

 private:
  // Records the mapped error of a failed call; passes the result through.
  int Call(int Result) {
    if (Result == -1) LastError = MapErrno(errno);
    return Result;
  }

  int LastError = 0;
};

}  // namespace

std::unique_ptr<TIdStack> CreatePlatformStack() {
  return std::make_unique<TIdStackPosix>();
}
