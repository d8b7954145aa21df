// ReadLine over 100 MB of short lines from a loopback server, in MB/s, next to
// Python's socket.makefile('rb').readline() reading the same stream in the
// same run.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>

#include "net/transport/IdException.h"
#include "net/transport/IdTCPClient.h"

namespace {

// The stream: 100 MB made of one 1 MB block of 40-byte CR LF lines.
constexpr int kBlocks = 100;
constexpr size_t kBlockSize = 1 << 20;
// The Python reader prints one short line: a byte count and a time.
constexpr size_t kReplyBytes = 256;

std::string MakeBlock() {
  std::string b;
  for (int i = 0; b.size() < kBlockSize; ++i) {
    char line[64];
    (void)std::snprintf(line, sizeof line, "line %07d abcdefghijklmnopqrstuvwxy\r\n", i);
    b += line;
  }
  b.resize(kBlockSize - 2);
  b += "\r\n";
  return b;
}

// Serves the stream once to the next client, on its own thread.
class StreamServer {
 public:
  StreamServer() {
    Fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // Without its loopback address, listen would bind every interface.
    if (::bind(Fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(Fd, 1) != 0) {
      std::perror("loopback listener");
      std::abort();
    }
    socklen_t len = sizeof a;
    ::getsockname(Fd, reinterpret_cast<sockaddr*>(&a), &len);
    Port = ntohs(a.sin_port);
    Thread = std::thread([this] {
      int c = ::accept(Fd, nullptr, nullptr);
      static const std::string block = MakeBlock();
      for (int i = 0; i < kBlocks; ++i) {
        size_t off = 0;
        while (off < block.size()) {
          ssize_t n = ::send(c, block.data() + off, block.size() - off, MSG_NOSIGNAL);
          if (n <= 0) break;
          off += static_cast<size_t>(n);
        }
      }
      ::close(c);
    });
  }
  ~StreamServer() {
    Thread.join();
    ::close(Fd);
  }
  int Port = 0;

 private:
  int Fd = -1;
  std::thread Thread;
};

void BM_ReadLine(benchmark::State& state) {
  int64_t bytes = 0;
  for (auto _ : state) {
    StreamServer srv;
    TIdTCPClient c;
    c.Host = "127.0.0.1";
    c.Port = srv.Port;
    c.OpenConnection();
    int64_t lines = 0;
    try {
      for (;;) {
        std::string l = c.ReadLine();
        bytes += static_cast<int64_t>(l.size()) + 2;
        ++lines;
      }
    } catch (const EIdConnClosedGracefully&) {
    }
    benchmark::DoNotOptimize(lines);
  }
  state.SetBytesProcessed(bytes);
  state.counters["MB/s"] =
      benchmark::Counter(static_cast<double>(bytes) / 1e6, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ReadLine)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

// Python reads the same stream with readline(); its own wall time is reported.
void BM_PythonReadline(benchmark::State& state) {
  int64_t bytes = 0;
  for (auto _ : state) {
    StreamServer srv;
    std::string cmd =
        "/usr/bin/python3 -c \"import socket,time\n"
        "s=socket.create_connection(('127.0.0.1'," +
        std::to_string(srv.Port) +
        "))\n"
        "f=s.makefile('rb')\n"
        "t=time.perf_counter();n=0\n"
        "for l in iter(f.readline, b''): n+=len(l)\n"
        "print(n, time.perf_counter()-t)\"";
    FILE* p = ::popen(cmd.c_str(), "r");
    long long n = 0;
    double secs = 0;
    if (p) {
      std::string out(kReplyBytes, '\0');
      const bool read = std::fgets(out.data(), static_cast<int>(out.size()), p) != nullptr;
      ::pclose(p);
      std::istringstream fields(out);
      if (!read || !(fields >> n >> secs)) state.SkipWithError("python failed");
    }
    bytes += n;
    state.SetIterationTime(secs);
  }
  state.SetBytesProcessed(bytes);
  state.counters["MB/s"] =
      benchmark::Counter(static_cast<double>(bytes) / 1e6, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_PythonReadline)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
