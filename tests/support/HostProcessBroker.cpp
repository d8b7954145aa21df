// Host processes for a Windows test executable under Wine: each call is one
// request to the peer broker (tests/support/peer_broker.py) that
// scripts/wine-run starts beside the test and names in CORVALE_PEER_BROKER
// ("127.0.0.1:<port>:<key>"). The wire format is described in the broker.
#ifdef _WIN32

#include <cstdio>
#include <cstdlib>

#include "tests/support/HostProcess.h"
#include "tests/support/PeerServer.h"
#include "tests/support/TestSockets.h"

namespace host {

namespace {

using Fields = std::vector<std::string>;

// Bound on one broker reply: the broker answers at once except while a
// command it runs (a Python reader, "postfix check") works, which takes
// seconds on a loaded machine.
constexpr int kReplyTimeoutMs = 120000;
// Longest decimal length line the broker sends.
constexpr size_t kMaxLengthLine = 20;

struct BrokerAddress {
  uint16_t Port = 0;
  std::string Key;
};

BrokerAddress FindBroker() {
  const char* v = std::getenv("CORVALE_PEER_BROKER");
  const std::string text = v ? v : "";
  const auto first = text.find(':'), second = text.find(':', first + 1);
  if (text.empty() || first == std::string::npos || second == std::string::npos)
    throw PeerServerError(
        "no peer broker: CORVALE_PEER_BROKER is not set; run Windows test executables "
        "through scripts/wine-run (ctest does)");
  return {static_cast<uint16_t>(std::atoi(text.substr(first + 1, second - first - 1).c_str())),
          text.substr(second + 1)};
}

void SendAll(testnet::Handle s, const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const int n = ::send(s, bytes.data() + sent, static_cast<int>(bytes.size() - sent), 0);
    if (n <= 0) throw PeerServerError("peer broker: send failed");
    sent += static_cast<size_t>(n);
  }
}

// Reads from the broker's reply, buffering what arrived beyond the request.
class Reader {
 public:
  explicit Reader(testnet::Handle s) : S_(s) {}

  std::string Line() {
    std::string line;
    for (;;) {
      const char c = Byte();
      if (c == '\n') return line;
      line += c;
      if (line.size() > kMaxLengthLine) throw PeerServerError("peer broker: malformed reply");
    }
  }
  std::string Bytes(size_t n) {
    std::string out;
    out.reserve(n);
    while (out.size() < n) out += Byte();
    return out;
  }

 private:
  char Byte() {
    if (Pos_ == Buf_.size()) Fill();
    return Buf_[Pos_++];
  }
  void Fill() {
    pollfd p{S_, POLLIN, 0};
    if (testnet::Poll(&p, 1, kReplyTimeoutMs) != 1)
      throw PeerServerError("peer broker: no reply within " + std::to_string(kReplyTimeoutMs) +
                            " ms");
    char buf[65536];
    const int n = ::recv(S_, buf, sizeof buf, 0);
    if (n <= 0) throw PeerServerError("peer broker: connection closed before the reply ended");
    Buf_.assign(buf, static_cast<size_t>(n));
    Pos_ = 0;
  }

  testnet::Handle S_;
  std::string Buf_;
  size_t Pos_ = 0;
};

std::string Encode(const Fields& fields) {
  std::string out = std::to_string(fields.size()) + "\n";
  for (const auto& f : fields) out += std::to_string(f.size()) + "\n" + f;
  return out;
}

// One request: the operation and its arguments. Returns the reply's fields
// after "ok"; raises PeerServerError with the broker's text on "error".
Fields Ask(const std::string& operation, const Fields& args) {
  static const BrokerAddress broker = FindBroker();
  Fields request = {broker.Key, operation};
  request.insert(request.end(), args.begin(), args.end());

  testnet::Socket s = testnet::Open(SOCK_STREAM);
  sockaddr_in a = testnet::Loopback(broker.Port);
  if (!s.valid() || ::connect(s.get(), testnet::Addr(a), sizeof a) != 0)
    throw PeerServerError("peer broker: cannot connect to 127.0.0.1:" +
                          std::to_string(broker.Port));
  SendAll(s.get(), Encode(request));
  Reader in(s.get());
  const long count = std::atol(in.Line().c_str());
  Fields reply;
  for (long i = 0; i < count; ++i) reply.push_back(in.Bytes(std::stoul(in.Line())));
  if (reply.empty()) throw PeerServerError("peer broker: empty reply to " + operation);
  if (reply[0] != "ok")
    throw PeerServerError("peer broker: " + operation + ": " +
                          (reply.size() > 1 ? reply[1] : std::string("failed")));
  reply.erase(reply.begin());
  return reply;
}

void AppendList(Fields& out, const std::vector<std::string>& items) {
  out.push_back(std::to_string(items.size()));
  out.insert(out.end(), items.begin(), items.end());
}

}  // namespace

int Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& envEdits,
          const std::string& logPath) {
  if (argv.empty()) throw PeerServerError("empty command");
  Fields args = {logPath};
  AppendList(args, argv);
  AppendList(args, envEdits);
  return std::stoi(Ask("spawn", args).at(0));
}

std::optional<int> ReapIfExited(int pid) {
  const Fields r = Ask("exited", {std::to_string(pid)});
  if (r.at(0) == "running") return std::nullopt;
  return std::stoi(r.at(1));
}

void Signal(int pid, int sig, bool group) noexcept {
  try {
    Ask("kill", {std::to_string(pid), std::to_string(sig), group ? "group" : "process"});
  } catch (const PeerServerError&) {
    // Like kill(2) on a process that is gone: nothing to do.
  }
}

int Reap(int pid) noexcept {
  try {
    return std::stoi(Ask("reap", {std::to_string(pid)}).at(0));
  } catch (const std::exception&) {
    return -1;
  }
}

bool ProcessExists(int pid) {
  return Ask("exists", {std::to_string(pid)}).at(0) == "yes";
}

RunResult Run(const std::vector<std::string>& argv, const std::string& input,
              const std::vector<std::string>& envEdits) {
  Fields args = {input};
  AppendList(args, argv);
  AppendList(args, envEdits);
  const Fields r = Ask("run", args);
  return {std::stoi(r.at(0)), r.at(1)};
}

bool ExitedCleanly(int status) {
  return status == 0;
}

std::string MakeTempDir(const std::string& prefix) {
  return Ask("mkdtemp", {prefix}).at(0);
}

void RemoveTree(const std::string& path) noexcept {
  try {
    Ask("rmtree", {path});
  } catch (const PeerServerError&) {
    // Leaves the folder behind; never raises (called from destructors).
  }
}

unsigned EffectiveUid() {
  return static_cast<unsigned>(std::stoul(Ask("euid", {}).at(0)));
}

std::optional<Account> FindAccount(const std::string& name) {
  try {
    const Fields r = Ask("user", {name});
    return Account{static_cast<unsigned>(std::stoul(r.at(0))),
                   static_cast<unsigned>(std::stoul(r.at(1)))};
  } catch (const PeerServerError&) {
    return std::nullopt;
  }
}

bool ChangeOwner(const std::string& path, const Account& owner) {
  try {
    Ask("chown", {path, std::to_string(owner.Uid), std::to_string(owner.Gid)});
    return true;
  } catch (const PeerServerError&) {
    return false;
  }
}

bool ChangeMode(const std::string& path, unsigned mode) {
  char octal[16];
  std::snprintf(octal, sizeof octal, "%o", mode);
  try {
    Ask("chmod", {path, octal});
    return true;
  } catch (const PeerServerError&) {
    return false;
  }
}

}  // namespace host

#endif  // _WIN32
