#include "tests/support/PeerServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
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
// Largest UDP payload over IPv4; a probe reply can be no longer.
constexpr size_t kMaxDatagram = 65507;

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
  return TcpConnects("127.0.0.1", port, timeout);
}

bool PeerServer::TcpConnects(const std::string& address, uint16_t port,
                             std::chrono::milliseconds timeout) {
  Fd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (s.get() < 0) return false;
  sockaddr_in a = Loopback(port);
  if (::inet_pton(AF_INET, address.c_str(), &a.sin_addr) != 1) return false;
  if (::connect(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return true;
  if (errno != EINPROGRESS) return false;
  pollfd p{s.get(), POLLOUT, 0};
  if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1) return false;
  int err = 0;
  socklen_t len = sizeof err;
  return ::getsockopt(s.get(), SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
}

std::string PeerServer::UdpExchange(uint16_t port, const std::string& datagram,
                                    std::chrono::milliseconds timeout) {
  Fd s(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (s.get() < 0) return {};
  sockaddr_in a = Loopback(port);
  // Connected UDP socket: only the server's replies are delivered, and an ICMP
  // "port unreachable" shows as an error instead of a silent wait.
  if (::connect(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return {};
  if (::send(s.get(), datagram.data(), datagram.size(), 0) < 0) return {};
  pollfd p{s.get(), POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1) return {};
  std::string reply(kMaxDatagram, '\0');
  const ssize_t n = ::recv(s.get(), reply.data(), reply.size(), 0);
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
  int errPipe[2];
  if (::pipe2(errPipe, O_CLOEXEC) != 0) throw PeerServerError(Name_ + ": " + ErrnoText("pipe"));
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) {
    ::close(errPipe[0]);
    ::close(errPipe[1]);
    throw PeerServerError(Name_ + ": " + ErrnoText("fork"));
  }
  if (pid == 0) {
    // Child: async-signal-safe calls only until execve (the test process has
    // threads). Any failure goes back through the pipe as an errno value.
    const auto fail = [&]() {
      const int e = errno;
      (void)!::write(errPipe[1], &e, sizeof e);
      ::_exit(127);
    };
    // Own process group, so Stop() can kill whatever the server forks.
    ::setpgid(0, 0);
    // A test process that crashes or is killed takes its server with it
    // instead of leaving it running on the machine.
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) fail();
    if (::getppid() != parent) ::_exit(127);
    // No inherited signal mask or ignored signals (a runner may ignore SIGPIPE).
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig)
      if (sig != SIGKILL && sig != SIGSTOP) ::sigaction(sig, &dfl, nullptr);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    const int in = ::open("/dev/null", O_RDONLY);
    const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (in < 0 || out < 0 || ::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(out, 2) < 0) fail();
    // The test process holds sockets of its own (clients under test, scripted
    // servers); a server inheriting one would keep that connection open.
    const unsigned keep = static_cast<unsigned>(errPipe[1]);
    if (keep > 3) ::close_range(3, keep - 1, 0);
    ::close_range(keep + 1, ~0U, 0);
    ::execve(cargv[0], cargv.data(), cenv.data());
    fail();
  }
  ::setpgid(pid, pid);  // also from here, so the group exists before any kill
  ::close(errPipe[1]);
  int childErrno = 0;
  ssize_t n;
  while ((n = ::read(errPipe[0], &childErrno, sizeof childErrno)) < 0 && errno == EINTR) {
  }
  ::close(errPipe[0]);
  if (n > 0) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    throw PeerServerError(Name_ + ": cannot start " + argv[0] + ": " + std::strerror(childErrno));
  }
  Pid_ = pid;
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
