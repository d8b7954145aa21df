// Self-timed measurements of the network library against peers on loopback,
// built the same way for Linux and for Windows (where Google Benchmark is not
// available) so that bench/windows-vs-linux.sh can run both builds against the
// same servers and divide their times. Each command prints one line,
//   <name> <best seconds per round> <figure> <unit>
// where the figure is the best round's throughput:
//   LoopbackTimings readline PORT ROUNDS       ReadLine over every line the
//                                              server sends, until it closes
//   LoopbackTimings large URL ROUNDS           GetToStream of URL into a sink
//   LoopbackTimings fresh URL COUNT ROUNDS     COUNT GetText calls, each on a
//                                              fresh connection
//   LoopbackTimings mx PORT NAME COUNT ROUNDS  COUNT MX lookups of NAME
// large and fresh take https:// addresses too, over the library's TLS with the
// certificate checked. The authority of a loopback server's certificate is
// trusted on Linux through OpenSSL's SSL_CERT_FILE; on Windows (under Wine)
// CORVALE_BENCH_CA names its PEM file, which goes into the current user's Root
// store of the build's prefix while the run lasts (bench/https-vs-curl.sh).
// Exit status 1 with a message when a round fails, 2 with the usage when the
// arguments are wrong.
#ifdef _WIN32
#include <windows.h>
// After windows.h, which it needs.
#include <wincrypt.h>
#endif

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <functional>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/BenchArgs.h"

#include "net/dns/IdDNSResolver.h"
#include "net/http/IdHTTP.h"
#include "net/transport/IdException.h"
#include "net/transport/IdTCPClient.h"

namespace {

// Longest the resolver waits for one reply: a lost datagram on loopback ends
// the run instead of hanging it.
constexpr int kDnsTimeoutMs = 2000;
using benchargs::Count;
using benchargs::PortNumber;
using benchargs::TUsageError;

// Counts the bytes written and keeps none of them.
class TDiscardStream : public TStream {
 public:
  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Write(const void*, int64_t Count) override {
    Pos += Count;
    return Count;
  }
  int64_t Size() const override { return Pos; }
  void SetSize(int64_t NewSize) override { Pos = NewSize; }
};

#ifdef _WIN32
// The authority named by CORVALE_BENCH_CA in the current user's Root store
// for as long as the run lasts (Windows trusts what that store holds).
class TTrustedAuthority {
 public:
  TTrustedAuthority() {
    const char* path = std::getenv("CORVALE_BENCH_CA");
    if (!path) return;
    std::ifstream in(path, std::ios::binary);
    std::ostringstream pem;
    pem << in.rdbuf();
    const std::string text = pem.str();
    DWORD size = 0;
    if (!CryptStringToBinaryA(text.c_str(), static_cast<DWORD>(text.size()),
                              CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr))
      throw Exception(std::string("cannot read the authority ") + path);
    std::vector<BYTE> der(size);
    CryptStringToBinaryA(text.c_str(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64HEADER,
                         der.data(), &size, nullptr, nullptr);
    Store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"Root");
    if (!Store || !CertAddEncodedCertificateToStore(Store, X509_ASN_ENCODING, der.data(), size,
                                                    CERT_STORE_ADD_REPLACE_EXISTING, &Added))
      throw Exception("cannot add the authority to the Root store");
    // Written to the registry, where the chain engine reads it.
    CertControlStore(Store, 0, CERT_STORE_CTRL_COMMIT, nullptr);
  }
  ~TTrustedAuthority() {
    if (Added) {
      CertDeleteCertificateFromStore(Added);
      CertControlStore(Store, 0, CERT_STORE_CTRL_COMMIT, nullptr);
    }
    if (Store) CertCloseStore(Store, 0);
  }
  TTrustedAuthority(const TTrustedAuthority&) = delete;
  TTrustedAuthority& operator=(const TTrustedAuthority&) = delete;

 private:
  HCERTSTORE Store = nullptr;
  PCCERT_CONTEXT Added = nullptr;
};
#else
// Linux: OpenSSL's SSL_CERT_FILE already says it.
struct TTrustedAuthority {
  TTrustedAuthority() = default;
};
#endif

// Runs Round (which answers the units it handled) Rounds times and prints the
// fastest round: the machine is shared, and the best round is the one least
// disturbed by others.
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

int Run(const std::vector<std::string>& A) {
  if (A.empty()) throw TUsageError("no command");
  // The socket stack lives while a network component does. One held for the
  // whole run keeps every round on the same stack, as the program's own
  // components do (and under Wine a socket made after the stack was stopped
  // and started again cannot be bound).
  TIdTCPClient keepStack;
  [[maybe_unused]] const TTrustedAuthority authority;
  const std::string& what = A[0];
  if (what == "readline" && A.size() == 3) {
    const int port = PortNumber(A[1]);
    return Report("readline", "MB/s", 1e6, Count(A[2], "ROUNDS"), [port] {
      TIdTCPClient c;
      c.Host = "127.0.0.1";
      c.Port = port;
      c.OpenConnection();
      int64_t bytes = 0;
      try {
        for (;;) bytes += static_cast<int64_t>(c.ReadLine().size()) + 2;
      } catch (const EIdConnClosedGracefully&) {
      }
      return bytes;
    });
  }
  if (what == "large" && A.size() == 3) {
    const std::string& url = A[1];
    TIdHTTP http;
    http.BuiltInTLS = true;
    return Report("large", "MB/s", 1e6, Count(A[2], "ROUNDS"), [&] {
      TDiscardStream sink;
      http.GetToStream(url, &sink);
      return sink.Position();
    });
  }
  if (what == "fresh" && A.size() == 4) {
    const std::string& url = A[1];
    const int count = Count(A[2], "COUNT");
    const int rounds = Count(A[3], "ROUNDS");
    TIdHTTP http;
    http.BuiltInTLS = true;
    http.Request.ContentType = "text/html";
    return Report("fresh", "requests/s", 1, rounds, [&] {
      for (int i = 0; i < count; ++i) {
        // The program's addresses name no port, so its client closes before
        // each request; a loopback server needs a port, so close explicitly.
        http.CloseConnection();
        if (http.GetText(url).empty()) throw Exception("empty reply from " + url);
      }
      return int64_t{count};
    });
  }
  if (what == "mx" && A.size() == 5) {
    const int port = PortNumber(A[1]);
    const std::string& name = A[2];
    const int count = Count(A[3], "COUNT");
    const int rounds = Count(A[4], "ROUNDS");
    TIdDNSResolver r;
    r.Host = "127.0.0.1";
    r.Port = port;
    r.ReceiveTimeout = kDnsTimeoutMs;
    return Report("mx", "lookups/s", 1, rounds, [&] {
      for (int i = 0; i < count; ++i) {
        r.ClearResults();
        r.Header.SetRD(true);
        r.Questions.Clear();
        TQuestionItem* q = r.Questions.Add();
        q->QName = name;
        q->QType = 15;
        q->QClass = 1;
        r.Resolve();
        if (r.Answers.Count() == 0) throw Exception("no MX answer for " + name);
      }
      return int64_t{count};
    });
  }
  throw TUsageError("unknown command or wrong number of arguments");
}

}  // namespace

// Messages go to std::cerr: the exit status already says the run failed, and a
// stream keeps a failed write of the message from being a second error.
int main(int argc, char** argv) {
  try {
    return Run(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const TUsageError& e) {
    std::cerr << "LoopbackTimings: " << e.what() << "\n"
              << "usage: LoopbackTimings readline PORT ROUNDS | large URL ROUNDS |\n"
                 "       fresh URL COUNT ROUNDS | mx PORT NAME COUNT ROUNDS\n";
    return 2;
  } catch (const std::exception& e) {
    std::cerr << "LoopbackTimings: " << e.what() << "\n";
    return 1;
  }
}
