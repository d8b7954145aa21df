// The floor under bench/LoopbackTimings: the same transfers against the same
// peers made with bare sockets and no Corvale code, built for Linux (POSIX
// sockets) and for Windows (Winsock, as Corvale loads it: wsock32.dll), so
// that bench/windows-vs-linux.sh can tell what Wine costs any program from
// what Corvale adds. Same commands and output as LoopbackTimings:
//   LoopbackFloor [--wait] readline PORT ROUNDS | large URL ROUNDS |
//                 fresh URL COUNT ROUNDS | mx PORT NAME COUNT ROUNDS
// --wait: a select with a time-out before every read, as a program whose reads
// are bounded in time needs; without it every read simply blocks.
// URL is http://127.0.0.1:PORT/PATH (loopback only).
#ifdef _WIN32
// clang-format off
#include <winsock2.h>
// clang-format on
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/BenchArgs.h"

namespace {

#ifdef _WIN32
using Sock = SOCKET;
void CloseSock(Sock S) {
  closesocket(S);
}
#else
using Sock = int;
void CloseSock(Sock S) {
  close(S);
}
#endif

// The library's own receive buffer size, so that both make as many reads.
constexpr int kRecvSize = 32768;
// The bound of a waited read (--wait): long enough never to strike here.
constexpr int kWaitSeconds = 30;
// Room for one DNS reply over UDP (RFC 1035 4.2.1).
constexpr int kDnsMax = 512;
using benchargs::Count;
using benchargs::PortNumber;
using benchargs::TUsageError;

struct TOptions {
  bool Wait = false;
};

void WaitReadable(const TOptions& O, Sock S) {
  if (!O.Wait) return;
  fd_set r;
  FD_ZERO(&r);
  FD_SET(S, &r);
  timeval tv{kWaitSeconds, 0};
  if (select(static_cast<int>(S) + 1, &r, nullptr, nullptr, &tv) != 1)
    throw std::runtime_error("select failed or timed out");
}

sockaddr_in Loopback(int Port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(Port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

Sock Connect(int Port) {
  Sock s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = Loopback(Port);
  if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    CloseSock(s);
    throw std::runtime_error("connect failed");
  }
  return s;
}

// Reads until the peer closes; answers the bytes read.
int64_t Drain(const TOptions& O, Sock S) {
  std::vector<char> buf(kRecvSize);
  int64_t total = 0;
  for (;;) {
    WaitReadable(O, S);
    const int n = static_cast<int>(recv(S, buf.data(), kRecvSize, 0));
    if (n < 0) throw std::runtime_error("recv failed");
    if (n == 0) return total;
    total += n;
  }
}

// "http://127.0.0.1:PORT/PATH" -> PORT and "/PATH".
void SplitUrl(const std::string& Url, int& Port, std::string& Path) {
  const std::string prefix = "http://127.0.0.1:";
  if (Url.compare(0, prefix.size(), prefix) != 0) throw std::runtime_error("not a loopback URL");
  const size_t slash = Url.find('/', prefix.size());
  Port = PortNumber(Url.substr(prefix.size(), slash - prefix.size()));
  Path = slash == std::string::npos ? "/" : Url.substr(slash);
}

// One GET on a fresh connection, read until the server closes it.
int64_t Get(const TOptions& O, int Port, const std::string& Path) {
  Sock s = Connect(Port);
  const std::string req =
      "GET " + Path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
  send(s, req.data(), static_cast<int>(req.size()), 0);
  const int64_t n = Drain(O, s);
  CloseSock(s);
  return n;
}

std::string MxQuery(const std::string& Name) {
  std::string q("\x12\x34\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00", 12);  // id, RD, one question
  size_t start = 0;
  while (start <= Name.size()) {
    size_t dot = Name.find('.', start);
    if (dot == std::string::npos) dot = Name.size();
    q += static_cast<char>(dot - start);
    q += Name.substr(start, dot - start);
    start = dot + 1;
  }
  q += std::string("\x00\x00\x0f\x00\x01", 5);  // root, MX, IN
  return q;
}

int Report(const char* Name, const char* Unit, double Scale, int Rounds,
           const std::function<int64_t()>& Round) {
  double best = 0;
  int64_t units = 0;
  for (int r = 0; r < Rounds; ++r) {
    const auto start = std::chrono::steady_clock::now();
    const int64_t n = Round();
    const double secs =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (r == 0 || secs < best) {
      best = secs;
      units = n;
    }
  }
  std::printf("%s %.6f %.1f %s\n", Name, best, static_cast<double>(units) / Scale / best, Unit);
  return 0;
}

int Run(std::vector<std::string> A) {
  TOptions o;
  if (!A.empty() && A[0] == "--wait") {
    o.Wait = true;
    A.erase(A.begin());
  }
  if (A.empty()) return 2;
  if (A[0] == "readline" && A.size() == 3) {
    const int port = PortNumber(A[1]);
    return Report("readline", "MB/s", 1e6, Count(A[2], "ROUNDS"), [&] {
      Sock s = Connect(port);
      const int64_t n = Drain(o, s);
      CloseSock(s);
      return n;
    });
  }
  if (A[0] == "large" && A.size() == 3) {
    int port = 0;
    std::string path;
    SplitUrl(A[1], port, path);
    return Report("large", "MB/s", 1e6, Count(A[2], "ROUNDS"), [&] { return Get(o, port, path); });
  }
  if (A[0] == "fresh" && A.size() == 4) {
    int port = 0;
    std::string path;
    SplitUrl(A[1], port, path);
    const int count = Count(A[2], "COUNT");
    return Report("fresh", "requests/s", 1, Count(A[3], "ROUNDS"), [&] {
      for (int i = 0; i < count; ++i)
        if (Get(o, port, path) == 0) throw std::runtime_error("empty reply");
      return int64_t{count};
    });
  }
  if (A[0] == "mx" && A.size() == 5) {
    const sockaddr_in server = Loopback(PortNumber(A[1]));
    const std::string query = MxQuery(A[2]);
    const int count = Count(A[3], "COUNT");
    const int rounds = Count(A[4], "ROUNDS");
    Sock s = socket(AF_INET, SOCK_DGRAM, 0);
    const int r = Report("mx", "lookups/s", 1, rounds, [&] {
      char reply[kDnsMax];
      for (int i = 0; i < count; ++i) {
        sendto(s, query.data(), static_cast<int>(query.size()), 0,
               reinterpret_cast<const sockaddr*>(&server), sizeof server);
        WaitReadable(o, s);
        if (recvfrom(s, reply, kDnsMax, 0, nullptr, nullptr) <= 0)
          throw std::runtime_error("no reply");
      }
      return int64_t{count};
    });
    CloseSock(s);
    return r;
  }
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
  WSADATA data;
  if (WSAStartup(MAKEWORD(1, 1), &data) != 0) return 1;
#endif
  // Messages go to std::cerr: the exit status already says the run failed, and
  // a stream keeps a failed write of the message from being a second error.
  int r = 1;
  try {
    r = Run(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const TUsageError& e) {
    std::cerr << "LoopbackFloor: " << e.what() << "\n";
    r = 2;
  } catch (const std::exception& e) {
    std::cerr << "LoopbackFloor: " << e.what() << "\n";
  }
  if (r == 2) std::cerr << "usage: LoopbackFloor [--wait] readline|large|fresh|mx ...\n";
#ifdef _WIN32
  WSACleanup();
#endif
  return r;
}
