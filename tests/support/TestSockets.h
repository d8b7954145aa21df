#pragma once
// Raw sockets for test code that must not depend on the network library under
// test (the peer harness, scripted servers, tests that need a listener or a
// connected pair), the same on Linux and Windows. On Linux these are the POSIX
// calls; on Windows Winsock 2 (ws2_32), started on first use.
//
//   testnet::Socket s = testnet::Open(SOCK_STREAM);
//   sockaddr_in a = testnet::Loopback(0);
//   ::bind(s.get(), testnet::Addr(a), sizeof a);
//   testnet::Poll(...)
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <cstdint>
#include <string>

namespace testnet {

#ifdef _WIN32
using Handle = SOCKET;
inline constexpr Handle kNoSocket = INVALID_SOCKET;
inline constexpr int kShutWrite = SD_SEND;
// Winsock raises no signal on a send to a closed connection.
inline constexpr int kNoSignal = 0;
#else
using Handle = int;
inline constexpr Handle kNoSocket = -1;
inline constexpr int kShutWrite = SHUT_WR;
// Flag for send(): a closed connection gives EPIPE, never SIGPIPE.
inline constexpr int kNoSignal = MSG_NOSIGNAL;
#endif

// Starts Winsock once per process (Windows); nothing on Linux. Every function
// below calls it, so test code needs it only before calling the socket API
// directly.
void Startup();

// Closes a socket handle (closesocket on Windows).
void Close(Handle h);

// An owned socket, closed on destruction.
class Socket {
 public:
  Socket() = default;
  explicit Socket(Handle h) : H_(h) {}
  ~Socket() { reset(); }
  Socket(Socket&& o) noexcept : H_(o.release()) {}
  Socket& operator=(Socket&& o) noexcept {
    if (this != &o) {
      reset();
      H_ = o.release();
    }
    return *this;
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  Handle get() const { return H_; }
  bool valid() const { return H_ != kNoSocket; }
  Handle release() {
    const Handle h = H_;
    H_ = kNoSocket;
    return h;
  }
  void reset(Handle h = kNoSocket) {
    if (H_ != kNoSocket) Close(H_);
    H_ = h;
  }

 private:
  Handle H_ = kNoSocket;
};

// A new IPv4 socket of the given type (SOCK_STREAM, SOCK_DGRAM), not inherited
// by child processes; invalid on failure.
Socket Open(int type);

// Accepts a connection on a listening socket; the new socket is non-blocking
// and not inherited. Invalid when none was waiting.
Socket Accept(Handle listener);

// 127.0.0.1:port (or the given dotted address; port in host order).
sockaddr_in Loopback(uint16_t port);
sockaddr_in Address(const std::string& dotted, uint16_t port);
inline sockaddr* Addr(sockaddr_in& a) {
  return reinterpret_cast<sockaddr*>(&a);
}
// The port a socket is bound to (host order), 0 on failure.
uint16_t LocalPort(Handle h);

// Switches a socket between blocking and non-blocking mode.
bool SetNonBlocking(Handle h, bool on);
// Makes a later bind of the socket keep its address to itself, also against
// a socket that asks to reuse it (SO_EXCLUSIVEADDRUSE on Windows; a Linux bind
// is exclusive unless both sides ask for reuse). Call before bind.
bool ExclusiveAddress(Handle h);
// Bounds each blocking receive on the socket (SO_RCVTIMEO).
bool SetReceiveTimeout(Handle h, int milliseconds);

// poll() on Linux, WSAPoll() on Windows.
int Poll(pollfd* fds, unsigned count, int timeoutMs);

// The error of the last failed socket call (errno; WSAGetLastError()).
int LastError();
// Whether that error means a non-blocking call has not finished yet
// (EINPROGRESS / EWOULDBLOCK; WSAEWOULDBLOCK).
bool InProgress(int error);
// Whether it means the call was interrupted and may be repeated.
bool Interrupted(int error);
// Whether it means the peer reset the connection (ECONNRESET; WSAECONNRESET).
bool IsReset(int error);
// A readable text for it.
std::string ErrorText(int error);

// Two connected stream sockets (socketpair on Linux; on Windows, where
// socketpair does not exist, the two ends of a loopback TCP connection).
// Returns false on failure.
bool StreamPair(Socket& a, Socket& b);

}  // namespace testnet
