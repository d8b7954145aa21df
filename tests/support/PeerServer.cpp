#include "tests/support/PeerServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

extern char** environ;

namespace {

// How often the readiness probe and the exit check run while waiting.
constexpr std::chrono::milliseconds kPollInterval{20};
// Timeout of one readiness connect to loopback: a listening server accepts at
// once, a closed port refuses at once; this only bounds a stuck backlog.
constexpr std::chrono::milliseconds kProbeConnectTimeout{500};
// How much of a failed server's log goes to stderr: the tail holds the error,
// and a runaway log must not drown the test output.
constexpr size_t kPrintedLogCap = 64 * 1024;
// Tries to find one number free for TCP and UDP at once before giving up.
constexpr int kSharedPortTries = 64;

std::string ErrnoText(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

bool EnvFlag(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr && *v != '\0' && std::string(v) != "0";
}

// RAII file descriptor for the short-lived sockets below.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

// Binds a socket of the given type to 127.0.0.1:port and returns the bound
// port, or 0 when the bind fails.
uint16_t BindLoopback(int type, uint16_t port) {
  Fd s(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
  if (s.get() < 0) throw PeerServerError(ErrnoText("socket"));
  sockaddr_in a = Loopback(port);
  if (::bind(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return 0;
  socklen_t len = sizeof a;
  if (::getsockname(s.get(), reinterpret_cast<sockaddr*>(&a), &len) != 0)
    throw PeerServerError(ErrnoText("getsockname"));
  return ntohs(a.sin_port);
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
  std::string templ = "/tmp/corvale-" + Name_ + "-XXXXXX";
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  if (::mkdtemp(buf.data()) == nullptr)
    throw PeerServerError(Name_ + ": " + ErrnoText("mkdtemp " + templ));
  Dir_ = buf.data();
}

PeerServer::~PeerServer() {
  Stop();
  if (EnvFlag("CORVALE_PEER_KEEP")) {
    std::cerr << "[peer] kept " << Name_ << " directory " << Dir_ << "\n";
    return;
  }
  std::error_code ec;
  std::filesystem::remove_all(Dir_, ec);
}

std::string PeerServer::HostPort() const {
  return "127.0.0.1:" + std::to_string(TcpPort_);
}

std::string PeerServer::Path(const std::string& relative) const {
  return Dir_ + "/" + relative;
}

void PeerServer::AddLogFile(const std::string& relative) {
  if (std::find(LogFiles_.begin(), LogFiles_.end(), relative) == LogFiles_.end())
    LogFiles_.push_back(relative);
}

std::string PeerServer::LogText() const {
  std::string text;
  const std::string earlier = ReadWhole(Path("earlier-attempts.log"));
  if (!earlier.empty()) text += earlier;
  text += "==> server.log <==\n" + ReadWhole(LogPath());
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
  if (p == 0) throw PeerServerError(ErrnoText("bind 127.0.0.1:0 (TCP)"));
  return p;
}

uint16_t PeerServer::FreeUdpPort() {
  const uint16_t p = BindLoopback(SOCK_DGRAM, 0);
  if (p == 0) throw PeerServerError(ErrnoText("bind 127.0.0.1:0 (UDP)"));
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
  Fd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (s.get() < 0) return false;
  sockaddr_in a = Loopback(port);
  if (::connect(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return true;
  if (errno != EINPROGRESS) return false;
  pollfd p{s.get(), POLLOUT, 0};
  if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1) return false;
  int err = 0;
  socklen_t len = sizeof err;
  return ::getsockopt(s.get(), SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
}

bool PeerServer::IsReady() {
  return TcpConnects(TcpPort_, kProbeConnectTimeout);
}

bool PeerServer::BindFailed(const std::string& log) const {
  std::string lower = log;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower.find("address already in use") != std::string::npos;
}

void PeerServer::PickPorts() {
  TcpPort_ = UdpPort_ = 0;
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
  const std::vector<std::string> argv = Command();
  if (argv.empty()) throw PeerServerError(Name_ + ": empty command");

  // Environment: inherited, then the subclass's "NAME=value" (set) and "NAME"
  // (removed) entries.
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
  for (const auto& extra : Environment()) {
    const std::string key = extra.substr(0, extra.find('='));
    std::erase_if(env, [&](const std::string& v) { return v.substr(0, v.find('=')) == key; });
    if (extra.find('=') != std::string::npos) env.push_back(extra);
  }
  std::vector<char*> cargv, cenv;
  for (const auto& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
  cargv.push_back(nullptr);
  for (const auto& e : env) cenv.push_back(const_cast<char*>(e.c_str()));
  cenv.push_back(nullptr);

  const std::string log = LogPath();
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&fa, 1, 2);
  // The test process holds sockets of its own (clients under test, scripted
  // servers); a server inheriting one would keep that connection open.
  posix_spawn_file_actions_addclosefrom_np(&fa, 3);

  posix_spawnattr_t at;
  posix_spawnattr_init(&at);
  // Own process group, so Stop() can kill whatever the server forked; no
  // inherited signal mask or ignored signals (a test runner may ignore SIGPIPE).
  posix_spawnattr_setflags(&at,
                           POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  posix_spawnattr_setpgroup(&at, 0);
  sigset_t none, all;
  sigemptyset(&none);
  sigemptyset(&all);
  for (int sig = 1; sig < 32; ++sig)
    if (sig != SIGKILL && sig != SIGSTOP) sigaddset(&all, sig);
  posix_spawnattr_setsigmask(&at, &none);
  posix_spawnattr_setsigdefault(&at, &all);

  pid_t pid = 0;
  const int rc = ::posix_spawn(&pid, cargv[0], &fa, &at, cargv.data(), cenv.data());
  posix_spawn_file_actions_destroy(&fa);
  posix_spawnattr_destroy(&at);
  if (rc != 0)
    throw PeerServerError(Name_ + ": cannot start " + argv[0] + ": " + std::strerror(rc));
  Pid_ = pid;
}

bool PeerServer::ReapIfExited() {
  if (Pid_ <= 0) return true;
  siginfo_t info{};
  // WNOWAIT: look without reaping, so the pid (and with it the process group
  // id) stays ours while leftover group members are killed.
  if (::waitid(P_PID, static_cast<id_t>(Pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0 ||
      info.si_pid == 0)
    return false;
  ::kill(-Pid_, SIGKILL);
  int status = 0;
  while (::waitpid(Pid_, &status, 0) < 0 && errno == EINTR) {
  }
  LastStatus_ = status;
  Pid_ = 0;
  return true;
}

bool PeerServer::WaitUntilReady() {
  const auto deadline = std::chrono::steady_clock::now() + kReadyTimeout;
  for (;;) {
    if (ReapIfExited()) {
      const std::string log = LogText();
      if (BindFailed(log)) return false;
      throw PeerServerError(Name_ + ": exited during start-up (status " +
                            std::to_string(LastStatus_) + ")\n" + log);
    }
    if (IsReady()) {
      // Something answering on the port while our server died means another
      // process owns the port: check once more that ours is alive.
      if (!ReapIfExited()) return true;
      continue;
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
  ::kill(Pid_, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + kStopGrace;
  while (!ReapIfExited()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(-Pid_, SIGKILL);
      ::kill(Pid_, SIGKILL);
      int status = 0;
      while (::waitpid(Pid_, &status, 0) < 0 && errno == EINTR) {
      }
      LastStatus_ = status;
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
