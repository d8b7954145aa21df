// Host processes for a Linux test executable: the calls made directly.
#ifndef _WIN32

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>

#include <cerrno>
#include <cstddef>
#include <filesystem>
#include <system_error>
#include <vector>

#include "tests/support/HostProcess.h"
#include "tests/support/PeerServer.h"

namespace host {

namespace {

// Room for one account's entry from the user database; ordinary entries need a
// few hundred bytes.
constexpr size_t kAccountTextBytes = size_t{16} * 1024;

std::string ErrorText(int code) {
  return std::system_category().message(code);
}

std::string ErrnoText(const std::string& what) {
  return what + ": " + ErrorText(errno);
}

// The inherited environment with "NAME=value" (set) and "NAME" (removed) edits.
std::vector<std::string> EditedEnvironment(const std::vector<std::string>& edits) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
  for (const auto& extra : edits) {
    const std::string key = extra.substr(0, extra.find('='));
    std::erase_if(env, [&](const std::string& v) { return v.substr(0, v.find('=')) == key; });
    if (extra.find('=') != std::string::npos) env.push_back(extra);
  }
  return env;
}

std::vector<char*> CStrings(const std::vector<std::string>& v) {
  std::vector<char*> out;
  out.reserve(v.size());
  for (const auto& s : v) out.push_back(const_cast<char*>(s.c_str()));
  out.push_back(nullptr);
  return out;
}

// Child side after fork: async-signal-safe calls only until execve (the test
// process has threads). Any failure goes back through errFd as an errno value.
[[noreturn]] void FailChild(int errFd) {
  const int e = errno;
  (void)!::write(errFd, &e, sizeof e);
  ::_exit(127);
}

// Restores default signal dispositions and an empty mask (a runner may ignore
// SIGPIPE), so the child starts as from a shell.
void DefaultSignals() {
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig)
    if (sig != SIGKILL && sig != SIGSTOP) ::sigaction(sig, &dfl, nullptr);
  sigset_t none;
  sigemptyset(&none);
  // The forked child has one thread, and sigprocmask is async-signal-safe
  // where pthread_sigmask is not listed as such.
  ::sigprocmask(SIG_SETMASK, &none, nullptr);  // NOLINT(concurrency-mt-unsafe): one thread
}

// Reads the errno a failed child sent through the pipe; 0 when exec succeeded
// (the pipe closed on exec).
int ChildErrno(int readFd) {
  int childErrno = 0;
  ssize_t n;
  while ((n = ::read(readFd, &childErrno, sizeof childErrno)) < 0 && errno == EINTR) {
  }
  ::close(readFd);
  return n > 0 ? childErrno : 0;
}

}  // namespace

int Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& envEdits,
          const std::string& logPath) {
  if (argv.empty()) throw PeerServerError("empty command");
  const std::vector<std::string> env = EditedEnvironment(envEdits);
  std::vector<char*> cargv = CStrings(argv);
  std::vector<char*> cenv = CStrings(env);

  int errPipe[2];
  if (::pipe2(errPipe, O_CLOEXEC) != 0) throw PeerServerError(ErrnoText("pipe"));
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) {
    ::close(errPipe[0]);
    ::close(errPipe[1]);
    throw PeerServerError(ErrnoText("fork"));
  }
  if (pid == 0) {
    // Own process group, so a stop can kill whatever the server forks.
    ::setpgid(0, 0);
    // A test process that crashes or is killed takes its server with it
    // instead of leaving it running on the machine.
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) FailChild(errPipe[1]);
    if (::getppid() != parent) ::_exit(127);
    DefaultSignals();
    const int in = ::open("/dev/null", O_RDONLY);
    const int out = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (in < 0 || out < 0 || ::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(out, 2) < 0)
      FailChild(errPipe[1]);
    // The test process holds sockets of its own (clients under test, scripted
    // servers); a server inheriting one would keep that connection open.
    const auto keep = static_cast<unsigned>(errPipe[1]);
    if (keep > 3) ::close_range(3, keep - 1, 0);
    ::close_range(keep + 1, ~0U, 0);
    ::execve(cargv[0], cargv.data(), cenv.data());
    FailChild(errPipe[1]);
  }
  ::setpgid(pid, pid);  // also from here, so the group exists before any kill
  ::close(errPipe[1]);
  if (const int childErrno = ChildErrno(errPipe[0]); childErrno != 0) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    throw PeerServerError("cannot start " + argv[0] + ": " + ErrorText(childErrno));
  }
  return pid;
}

std::optional<int> ReapIfExited(int pid) {
  siginfo_t info{};
  // WNOWAIT: look without reaping, so the pid (and with it the process group
  // id) stays ours while leftover group members are killed.
  if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 ||
      info.si_pid == 0)
    return std::nullopt;
  ::kill(-pid, SIGKILL);
  return Reap(pid);
}

void Signal(int pid, int sig, bool group) noexcept {
  ::kill(group ? -pid : pid, sig);
}

int Reap(int pid) noexcept {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

bool ProcessExists(int pid) {
  return ::kill(pid, 0) == 0 || errno != ESRCH;
}

RunResult Run(const std::vector<std::string>& argv, const std::string& input,
              const std::vector<std::string>& envEdits) {
  if (argv.empty()) throw PeerServerError("empty command");
  const std::vector<std::string> env = EditedEnvironment(envEdits);
  std::vector<char*> cargv = CStrings(argv);
  std::vector<char*> cenv = CStrings(env);
  int in[2];
  int out[2];
  int errPipe[2];
  if (::pipe2(in, O_CLOEXEC) != 0) throw PeerServerError(ErrnoText("pipe"));
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) {
    ::close(in[0]);
    ::close(in[1]);
    throw PeerServerError(ErrnoText("pipe"));
  }
  const pid_t pid = ::fork();
  if (pid < 0) throw PeerServerError(ErrnoText("fork"));
  if (pid == 0) {
    DefaultSignals();
    if (::dup2(in[0], 0) < 0 || ::dup2(out[1], 1) < 0 || ::dup2(out[1], 2) < 0)
      FailChild(errPipe[1]);
    ::execve(cargv[0], cargv.data(), cenv.data());
    FailChild(errPipe[1]);
  }
  ::close(in[0]);
  ::close(out[1]);
  ::close(errPipe[1]);
  // Feed the input and collect the output together, so neither side can
  // block on a full pipe.
  RunResult r;
  size_t written = 0;
  int inFd = in[1];
  if (input.empty()) {
    ::close(inFd);
    inFd = -1;
  }
  char buf[4096];
  for (;;) {
    pollfd p[2] = {{out[0], POLLIN, 0}, {inFd, POLLOUT, 0}};
    if (::poll(p, inFd >= 0 ? 2 : 1, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (inFd >= 0 && p[1].revents != 0) {
      const ssize_t n = ::write(inFd, input.data() + written, input.size() - written);
      if (n > 0) written += static_cast<size_t>(n);
      if (n < 0 || written == input.size()) {
        ::close(inFd);
        inFd = -1;
      }
    }
    if (p[0].revents != 0) {
      const ssize_t n = ::read(out[0], buf, sizeof buf);
      if (n <= 0) break;
      r.Output.append(buf, static_cast<size_t>(n));
    }
  }
  if (inFd >= 0) ::close(inFd);
  ::close(out[0]);
  const int childErrno = ChildErrno(errPipe[0]);
  r.Status = Reap(pid);
  if (childErrno != 0)
    throw PeerServerError("cannot run " + argv[0] + ": " + ErrorText(childErrno));
  return r;
}

bool ExitedCleanly(int status) {
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string MakeTempDir(const std::string& prefix) {
  std::string templ = "/tmp/" + prefix + "XXXXXX";
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  if (::mkdtemp(buf.data()) == nullptr) throw PeerServerError(ErrnoText("mkdtemp " + templ));
  return buf.data();
}

void RemoveTree(const std::string& path) noexcept {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
}

unsigned EffectiveUid() {
  return ::geteuid();
}

std::optional<Account> FindAccount(const std::string& name) {
  // The reentrant form: fixtures on several threads may look accounts up at once.
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> text(kAccountTextBytes);
  if (::getpwnam_r(name.c_str(), &entry, text.data(), text.size(), &found) != 0 || !found)
    return std::nullopt;
  return Account{found->pw_uid, found->pw_gid};
}

bool ChangeOwner(const std::string& path, const Account& owner) {
  return ::chown(path.c_str(), owner.Uid, owner.Gid) == 0;
}

bool ChangeMode(const std::string& path, unsigned mode) {
  return ::chmod(path.c_str(), mode) == 0;
}

}  // namespace host

#endif  // !_WIN32
