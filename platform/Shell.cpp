#include "platform/Shell.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

// The desktop's opener for addresses and documents (freedesktop.org xdg-utils).
constexpr const char* kOpener = "xdg-open";
// Exit status of the intermediate child of the double fork.
constexpr int kChildOk = 0;

// "http://x", "mailto:a@b": a scheme of two or more characters (RFC 3986
// section 3.1), so that a drive letter ("C:\x") is not taken for one.
bool HasScheme(std::string_view S) {
  const size_t colon = S.find(':');
  if (colon == std::string_view::npos || colon < 2) return false;
  if (!std::isalpha(static_cast<unsigned char>(S[0]))) return false;
  for (size_t i = 1; i < colon; ++i) {
    const auto c = static_cast<unsigned char>(S[i]);
    if (!std::isalnum(c) && c != '+' && c != '-' && c != '.') return false;
  }
  return true;
}

bool IsRegularFile(const std::string& Path) {
  struct stat st {};
  return stat(Path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool IsExecutable(const std::string& Path) {
  return IsRegularFile(Path) && access(Path.c_str(), X_OK) == 0;
}

// Where a command name is found: a name with a slash as it is (relative to
// Directory when given), else the first executable match along PATH.
std::string FindProgram(const std::string& Name, const char* Directory) {
  if (Name.find('/') != std::string::npos) {
    if (Name[0] != '/' && Directory && *Directory) return std::string(Directory) + "/" + Name;
    return Name;
  }
  const char* path = std::getenv("PATH");
  std::string_view dirs = path ? path : "/usr/bin:/bin";
  while (true) {
    const size_t colon = dirs.find(':');
    // An empty entry means the current directory.
    const std::string_view dir =
        colon == 0 || dirs.empty() ? std::string_view(".") : dirs.substr(0, colon);
    std::string candidate;
    candidate.append(dir).append("/").append(Name);
    if (IsExecutable(candidate)) return candidate;
    if (colon == std::string_view::npos) break;
    dirs.remove_prefix(colon + 1);
  }
  return {};
}

// Blank-separated arguments; double quotes group blanks into one argument.
std::vector<std::string> SplitParameters(const char* Parameters) {
  std::vector<std::string> out;
  if (!Parameters) return out;
  std::string cur;
  bool quoted = false;
  bool any = false;
  for (const char* p = Parameters; *p; ++p) {
    if (*p == '"') {
      quoted = !quoted;
      any = true;
    } else if ((*p == ' ' || *p == '\t') && !quoted) {
      if (any) out.push_back(cur);
      cur.clear();
      any = false;
    } else {
      cur.push_back(*p);
      any = true;
    }
  }
  if (any) out.push_back(cur);
  return out;
}

// Starts Program with Args, detached (a double fork, so nothing is left to
// reap), and reports whether it could be executed: the grandchild writes its
// errno into a close-on-exec pipe when exec fails, so an empty pipe means the
// program runs. Between fork and exec the children call only
// async-signal-safe functions; everything is prepared before.
intptr_t Spawn(const std::string& Program, const std::vector<std::string>& Args,
               const char* Directory) {
  std::vector<char*> argv;
  argv.reserve(Args.size() + 1);
  for (const std::string& a : Args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return SE_ERR_OOM;
  const int devnull = open("/dev/null", O_RDWR | O_CLOEXEC);
  const pid_t child = fork();
  if (child < 0) {
    close(fds[0]);
    close(fds[1]);
    if (devnull >= 0) close(devnull);
    return SE_ERR_OOM;
  }
  if (child == 0) {
    const pid_t grandchild = fork();
    if (grandchild != 0) _exit(grandchild < 0 ? 1 : kChildOk);
    setsid();
    if (devnull >= 0) dup2(devnull, STDIN_FILENO);
    int err = 0;
    if (Directory && *Directory && chdir(Directory) != 0) err = errno;
    if (err == 0) {
      execv(Program.c_str(), argv.data());
      err = errno;
    }
    ssize_t ignored = write(fds[1], &err, sizeof err);
    (void)ignored;
    _exit(127);
  }
  close(fds[1]);
  if (devnull >= 0) close(devnull);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  int err = 0;
  ssize_t n;
  while ((n = read(fds[0], &err, sizeof err)) < 0 && errno == EINTR) {
  }
  close(fds[0]);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != kChildOk) return SE_ERR_OOM;
  if (n == 0) return kShellExecuteOk;
  if (err == EACCES || err == ENOEXEC) return SE_ERR_ACCESSDENIED;
  return SE_ERR_FNF;
}

intptr_t OpenWithDesktop(const std::string& Target) {
  const std::string opener = FindProgram(kOpener, nullptr);
  if (opener.empty()) return SE_ERR_NOASSOC;
  return Spawn(opener, {opener, Target}, nullptr);
}

}  // namespace

intptr_t ShellExecuteA(uint32_t Wnd, const char* Operation, const char* File,
                       const char* Parameters, const char* Directory, int ShowCmd) {
  // The owner window and the show state have no meaning to the Linux desktop's
  // opener; the started program places its own window.
  (void)Wnd;
  (void)ShowCmd;
  if (Operation && *Operation && std::string_view(Operation) != "open") return SE_ERR_NOASSOC;
  if (!File || !*File) return SE_ERR_FNF;
  const std::string file = File;
  if (HasScheme(file)) return OpenWithDesktop(file);
  const std::string program = FindProgram(file, Directory);
  if (!program.empty() && IsExecutable(program)) {
    std::vector<std::string> args{program};
    for (std::string& a : SplitParameters(Parameters)) args.push_back(std::move(a));
    return Spawn(program, args, Directory);
  }
  // An existing document that is not a program opens in the desktop's program
  // for its kind.
  if (!program.empty() && IsRegularFile(program)) return OpenWithDesktop(program);
  return SE_ERR_FNF;
}
