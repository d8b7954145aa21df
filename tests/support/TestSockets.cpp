#include "tests/support/TestSockets.h"

#include <cerrno>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <system_error>

#ifndef _WIN32
#include <fcntl.h>
#endif

namespace testnet {

#ifdef _WIN32

namespace {

// Winsock's start-up for the test process; WSACleanup when the process ends.
class Winsock {
 public:
  Winsock() {
    WSADATA data;
    if (::WSAStartup(MAKEWORD(2, 2), &data) != 0)
      throw std::runtime_error("test harness: WSAStartup failed");
  }
  ~Winsock() { ::WSACleanup(); }
  Winsock(const Winsock&) = delete;
  Winsock& operator=(const Winsock&) = delete;
};

}  // namespace

void Startup() {
  static Winsock winsock;
}

void Close(Handle h) {
  ::closesocket(h);
}

Socket Open(int type) {
  Startup();
  // WSA_FLAG_NO_HANDLE_INHERIT: a child process must not keep a test's
  // connection open.
  return Socket(
      ::WSASocketW(AF_INET, type, 0, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT));
}

bool SetNonBlocking(Handle h, bool on) {
  u_long mode = on ? 1 : 0;
  return ::ioctlsocket(h, FIONBIO, &mode) == 0;
}

Socket Accept(Handle listener) {
  Socket s(::accept(listener, nullptr, nullptr));
  if (s.valid() && !SetNonBlocking(s.get(), true)) s.reset();
  return s;
}

bool ExclusiveAddress(Handle h) {
  const BOOL on = TRUE;
  return ::setsockopt(h, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on),
                      sizeof on) == 0;
}

bool SetReceiveTimeout(Handle h, int milliseconds) {
  const DWORD ms = static_cast<DWORD>(milliseconds);
  return ::setsockopt(h, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&ms), sizeof ms) ==
         0;
}

int Poll(pollfd* fds, unsigned count, int timeoutMs) {
  return ::WSAPoll(fds, count, timeoutMs);
}

int LastError() {
  return ::WSAGetLastError();
}

bool InProgress(int error) {
  return error == WSAEWOULDBLOCK || error == WSAEINPROGRESS;
}

bool Interrupted(int error) {
  return error == WSAEINTR;
}

bool IsReset(int error) {
  return error == WSAECONNRESET;
}

std::string ErrorText(int error) {
  return "Winsock error " + std::to_string(error);
}

bool StreamPair(Socket& a, Socket& b) {
  Socket listener = Open(SOCK_STREAM);
  if (!listener.valid()) return false;
  sockaddr_in addr = Loopback(0);
  if (::bind(listener.get(), Addr(addr), sizeof addr) != 0 || ::listen(listener.get(), 1) != 0)
    return false;
  addr.sin_port = htons(LocalPort(listener.get()));
  Socket client = Open(SOCK_STREAM);
  if (!client.valid() || ::connect(client.get(), Addr(addr), sizeof addr) != 0) return false;
  Socket server(::accept(listener.get(), nullptr, nullptr));
  if (!server.valid()) return false;
  a = std::move(client);
  b = std::move(server);
  return true;
}

#else

void Startup() {}

void Close(Handle h) {
  ::close(h);
}

Socket Open(int type) {
  return Socket(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
}

bool SetNonBlocking(Handle h, bool on) {
  const int flags = ::fcntl(h, F_GETFL);
  if (flags < 0) return false;
  return ::fcntl(h, F_SETFL, on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK) == 0;
}

Socket Accept(Handle listener) {
  return Socket(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
}

bool ExclusiveAddress(Handle) {
  return true;
}

bool SetReceiveTimeout(Handle h, int milliseconds) {
  timeval tv{milliseconds / 1000, static_cast<suseconds_t>(milliseconds % 1000) * 1000};
  return ::setsockopt(h, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0;
}

int Poll(pollfd* fds, unsigned count, int timeoutMs) {
  return ::poll(fds, count, timeoutMs);
}

int LastError() {
  return errno;
}

bool InProgress(int error) {
  return error == EINPROGRESS || error == EWOULDBLOCK || error == EAGAIN;
}

bool Interrupted(int error) {
  return error == EINTR;
}

bool IsReset(int error) {
  return error == ECONNRESET;
}

std::string ErrorText(int error) {
  return std::system_category().message(error);
}

bool StreamPair(Socket& a, Socket& b) {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return false;
  a.reset(fds[0]);
  b.reset(fds[1]);
  return true;
}

#endif

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

sockaddr_in Address(const std::string& dotted, uint16_t port) {
  Startup();
  sockaddr_in a = Loopback(port);
  if (::inet_pton(AF_INET, dotted.c_str(), &a.sin_addr) != 1)
    throw std::invalid_argument("not a dotted IPv4 address: " + dotted);
  return a;
}

uint16_t LocalPort(Handle h) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  if (::getsockname(h, reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
  return ntohs(a.sin_port);
}

}  // namespace testnet
