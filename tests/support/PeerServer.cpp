#include "tests/support/PeerServer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

#include "tests/support/HostProcess.h"
#include "tests/support/TestSockets.h"

namespace {

// How often the readiness probe and the exit check run while waiting.
constexpr std::chrono::milliseconds kPollInterval{20};
// Timeout of one readiness connect to loopback: a listening server accepts at
// once, a closed port refuses at once; this only bounds a stuck backlog.
constexpr std::chrono::milliseconds kProbeConnectTimeout{500};
// How much of a failed server's log goes to stderr: the tail holds the error,
// and a runaway log must not drown the test output.
constexpr size_t kPrintedLogCap = size_t{64} * 1024;
// Tries to find one number free for TCP and UDP at once before giving up.
constexpr int kSharedPortTries = 64;
// Largest UDP payload over IPv4; a probe reply can be no longer.
constexpr size_t kMaxDatagram = 65507;

bool EnvFlag(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr && *v != '\0' && std::string(v) != "0";
}

// Binds a socket of the given type to 127.0.0.1:port and returns the bound
// port, or 0 when the bind fails.
uint16_t BindLoopback(int type, uint16_t port) {
  testnet::Socket s = testnet::Open(type);
  if (!s.valid()) throw PeerServerError("socket: " + testnet::ErrorText(testnet::LastError()));
  sockaddr_in a = testnet::Loopback(port);
  if (::bind(s.get(), testnet::Addr(a), sizeof a) != 0) return 0;
  const uint16_t bound = testnet::LocalPort(s.get());
  if (bound == 0) throw PeerServerError("getsockname: " + testnet::ErrorText(testnet::LastError()));
  return bound;
}

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

}  // namespace

PeerServer::PeerServer(std::string name, Ports ports) : Name_(std::move(name)), Ports_(ports) {
  try {
    Dir_ = host::MakeTempDir("corvale-" + Name_ + "-");
  } catch (const PeerServerError& e) {
    throw PeerServerError(Name_ + ": " + e.what());
  }
}

PeerServer::~PeerServer() {
  Stop();
  if (EnvFlag("CORVALE_PEER_KEEP")) {
    std::cerr << "[peer] kept " << Name_ << " directory " << Dir_ << "\n";
    return;
  }
  host::RemoveTree(Dir_);
}

std::string PeerServer::HostPort() const {
  return Address_ + ":" + std::to_string(TcpPort_);
}

std::string PeerServer::Path(const std::string& relative) const {
  return Dir_ + "/" + relative;
}

void PeerServer::AddLogFile(const std::string& relative) {
  if (std::find(LogFiles_.begin(), LogFiles_.end(), relative) == LogFiles_.end())
    LogFiles_.push_back(relative);
}

std::string PeerServer::LogText() const {
  return ReadWhole(Path("earlier-attempts.log")) + CurrentLogText();
}

std::string PeerServer::CurrentLogText() const {
  std::string text = "==> server.log <==\n" + ReadWhole(LogPath());
  for (const auto& f : LogFiles_) text += "==> " + f + " <==\n" + ReadWhole(Path(f));
  return text;
}

void PeerServer::WriteFile(const std::string& relative, const std::string& content) const {
  const std::filesystem::path p = Path(relative);
  std::error_code ec;
  std::filesystem::create_directories(p.parent_path(), ec);
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << content;
  out.close();
  if (!out) throw PeerServerError(Name_ + ": cannot write " + p.string());
}

std::string PeerServer::ReadFile(const std::string& relative) const {
  return ReadWhole(Path(relative));
}

uint16_t PeerServer::FreeTcpPort() {
  const uint16_t p = BindLoopback(SOCK_STREAM, 0);
  if (p == 0)
    throw PeerServerError("bind 127.0.0.1:0 (TCP): " + testnet::ErrorText(testnet::LastError()));
  return p;
}

uint16_t PeerServer::FreeUdpPort() {
  const uint16_t p = BindLoopback(SOCK_DGRAM, 0);
  if (p == 0)
    throw PeerServerError("bind 127.0.0.1:0 (UDP): " + testnet::ErrorText(testnet::LastError()));
  return p;
}

uint16_t PeerServer::FreeTcpUdpPort() {
  for (int i = 0; i < kSharedPortTries; ++i) {
    const uint16_t p = FreeTcpPort();
    if (BindLoopback(SOCK_DGRAM, p) == p) return p;
  }
  throw PeerServerError("no loopback port free for both TCP and UDP");
}

bool PeerServer::TcpConnects(uint16_t port, std::chrono::milliseconds timeout) {
  return TcpConnects("127.0.0.1", port, timeout);
}

bool PeerServer::TcpConnects(const std::string& address, uint16_t port,
                             std::chrono::milliseconds timeout) {
  testnet::Socket s = testnet::Open(SOCK_STREAM);
  if (!s.valid() || !testnet::SetNonBlocking(s.get(), true)) return false;
  sockaddr_in a = testnet::Address(address, port);
  if (::connect(s.get(), testnet::Addr(a), sizeof a) == 0) return true;
  if (!testnet::InProgress(testnet::LastError())) return false;
  pollfd p{s.get(), POLLOUT, 0};
  if (testnet::Poll(&p, 1, static_cast<int>(timeout.count())) != 1) return false;
  int err = 0;
  socklen_t len = sizeof err;
  return ::getsockopt(s.get(), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) == 0 &&
         err == 0;
}

std::string PeerServer::UdpExchange(uint16_t port, const std::string& datagram,
                                    std::chrono::milliseconds timeout) {
  testnet::Socket s = testnet::Open(SOCK_DGRAM);
  if (!s.valid()) return {};
  sockaddr_in a = testnet::Loopback(port);
  // Connected UDP socket: only the server's replies are delivered, and an ICMP
  // "port unreachable" shows as an error instead of a silent wait.
  if (::connect(s.get(), testnet::Addr(a), sizeof a) != 0) return {};
  if (::send(s.get(), datagram.data(), static_cast<int>(datagram.size()), 0) < 0) return {};
  pollfd p{s.get(), POLLIN, 0};
  if (testnet::Poll(&p, 1, static_cast<int>(timeout.count())) != 1) return {};
  std::string reply(kMaxDatagram, '\0');
  const auto n = ::recv(s.get(), reply.data(), static_cast<int>(reply.size()), 0);
  if (n <= 0) return {};
  reply.resize(static_cast<size_t>(n));
  return reply;
}

bool PeerServer::IsReady() {
  return TcpConnects(Address_, TcpPort_, kProbeConnectTimeout);
}

void PeerServer::Pin(std::string address, uint16_t port) {
  Address_ = std::move(address);
  PinnedPort_ = port;
}

bool PeerServer::BindFailed(const std::string& log) const {
  std::string lower = log;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower.find("address already in use") != std::string::npos;
}

void PeerServer::PickPorts() {
  TcpPort_ = UdpPort_ = 0;
  if (PinnedPort_ != 0) {
    if (Ports_ != Ports::None) TcpPort_ = UdpPort_ = PinnedPort_;
    return;
  }
  switch (Ports_) {
    case Ports::None:
      break;
    case Ports::Tcp:
      TcpPort_ = FreeTcpPort();
      break;
    case Ports::Udp:
      UdpPort_ = FreeUdpPort();
      break;
    case Ports::TcpAndUdp:
      TcpPort_ = FreeTcpPort();
      UdpPort_ = FreeUdpPort();
      break;
    case Ports::SameTcpUdp:
      TcpPort_ = UdpPort_ = FreeTcpUdpPort();
      break;
  }
}

void PeerServer::Start() {
  if (Running()) throw PeerServerError(Name_ + ": already running");
  for (int attempt = 1; attempt <= kStartAttempts; ++attempt) {
    PickPorts();
    WriteConfig();
    Spawn();
    if (WaitUntilReady()) return;
    // Lost the port to another process between picking and binding. Keep the
    // failed attempt's logs for the record and start afresh on new ports.
    std::ofstream earlier(Path("earlier-attempts.log"), std::ios::binary | std::ios::app);
    earlier << "==> attempt " << attempt << " (port " << TcpPort_ << "/" << UdpPort_
            << ") lost its port <==\n"
            << ReadWhole(LogPath());
    std::ofstream(LogPath(), std::ios::trunc).close();
    for (const auto& f : LogFiles_) {
      earlier << "==> " << f << " <==\n" << ReadWhole(Path(f));
      std::ofstream(Path(f), std::ios::trunc).close();
    }
  }
  throw PeerServerError(Name_ + ": could not bind a free port in " +
                        std::to_string(kStartAttempts) + " attempts\n" + LogText());
}

void PeerServer::Spawn() {
  try {
    Pid_ = host::Spawn(Command(), Environment(), LogPath());
  } catch (const PeerServerError& e) {
    throw PeerServerError(Name_ + ": " + e.what());
  }
}

void PeerServer::Restart() {
  if (TcpPort_ == 0 && UdpPort_ == 0 && Ports_ != Ports::None) return Start();  // never started
  Stop();
  WriteConfig();
  Spawn();
  if (!WaitUntilReady())
    throw PeerServerError(Name_ + ": cannot restart, port " + std::to_string(TcpPort_) + "/" +
                          std::to_string(UdpPort_) + " taken meanwhile\n" + LogText());
}

bool PeerServer::Alive() {
  return !ReapIfExited();
}

bool PeerServer::ReapIfExited() {
  if (Pid_ <= 0) return true;
  const std::optional<int> status = host::ReapIfExited(Pid_);
  if (!status) return false;
  LastStatus_ = *status;
  Pid_ = 0;
  return true;
}

bool PeerServer::WaitUntilReady() {
  const auto deadline = std::chrono::steady_clock::now() + kReadyTimeout;
  for (;;) {
    if (ReapIfExited()) {
      if (BindFailed(CurrentLogText())) return false;
      throw PeerServerError(Name_ + ": exited during start-up (status " +
                            std::to_string(LastStatus_) + ")\n" + LogText());
    }
    if (IsReady()) {
      // Something answering on the port while our server died means another
      // process owns the port: check once more that ours is alive.
      if (!ReapIfExited()) return true;
      continue;
    }
    // Some servers (nginx) retry a failed bind for seconds before giving up;
    // the log already tells the port is lost.
    if (BindFailed(CurrentLogText())) {
      Stop();
      return false;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      Stop();
      throw PeerServerError(Name_ + ": not ready within " + std::to_string(kReadyTimeout.count()) +
                            " ms on port " + std::to_string(TcpPort_) + "/" +
                            std::to_string(UdpPort_) + "\n" + LogText());
    }
    std::this_thread::sleep_for(kPollInterval);
  }
}

void PeerServer::Stop() noexcept {
  if (Pid_ <= 0) return;
  host::Signal(Pid_, host::kSigTerm, false);
  const auto deadline = std::chrono::steady_clock::now() + kStopGrace;
  while (!ReapIfExited()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      host::Signal(Pid_, host::kSigKill, true);
      host::Signal(Pid_, host::kSigKill, false);
      LastStatus_ = host::Reap(Pid_);
      Pid_ = 0;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  PrintLogIfFailed();
}

void PeerServer::PrintLogIfFailed() const noexcept {
  try {
    // Inside a test: that test's result. Outside one (a server shared by a
    // suite, stopped in TearDownTestSuite): whether any test of the suite failed.
    const auto* unit = ::testing::UnitTest::GetInstance();
    bool failed = ::testing::Test::HasFailure();
    if (unit->current_test_info() == nullptr && unit->current_test_suite() != nullptr)
      failed = failed || unit->current_test_suite()->Failed();
    if (!failed && !EnvFlag("CORVALE_PEER_LOG")) return;
    std::string log = LogText();
    if (log.size() > kPrintedLogCap) log = "[...]\n" + log.substr(log.size() - kPrintedLogCap);
    std::cerr << "---- " << Name_ << " log (dir " << Dir_ << ", port " << TcpPort_ << "/"
              << UdpPort_ << ", exit status " << LastStatus_ << ") ----\n"
              << log << "\n---- end of " << Name_ << " log ----\n";
  } catch (...) {
    // Printing is a courtesy; stopping must never throw.
  }
}
