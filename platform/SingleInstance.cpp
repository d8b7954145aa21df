#include "platform/SingleInstance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {
// How often a later copy tries the socket while the first is starting.
constexpr auto kRetryEvery = std::chrono::milliseconds(20);
// Requests waiting to be taken; later copies beyond it retry.
constexpr int kBacklog = 8;

bool PrivateFolder(const std::string& Dir) {
  struct stat st {};
  if (lstat(Dir.c_str(), &st) != 0) return false;
  return S_ISDIR(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

bool FillAddress(sockaddr_un& A, const std::string& Path) {
  A = sockaddr_un{};
  A.sun_family = AF_UNIX;
  if (Path.size() >= sizeof A.sun_path) return false;
  std::memcpy(A.sun_path, Path.c_str(), Path.size() + 1);
  return true;
}
}  // namespace

std::string TSingleInstance::InstanceDirectory() {
  if (const char* run = std::getenv("XDG_RUNTIME_DIR"); run && run[0] == '/' && PrivateFolder(run))
    return run;
  const char* tmp = std::getenv("TMPDIR");
  std::string dir = (tmp && tmp[0] == '/') ? tmp : "/tmp";
  dir += "/corvale-" + std::to_string(geteuid());
  // Made private, or found so; a folder someone else made or may write to
  // could hold a planted lock or socket.
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return {};
  return PrivateFolder(dir) ? dir : std::string();
}

TSingleInstance::TSingleInstance(const std::string& Name, const std::string& Dir) {
  const std::string dir = Dir.empty() ? InstanceDirectory() : Dir;
  if (dir.empty()) return;
  FSocketPath = dir + "/" + Name + ".socket";
  const std::string lock = dir + "/" + Name + ".lock";
  FLock = open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (FLock < 0) return;
  // The lock goes with the process: a killed copy leaves the file, never the
  // claim.
  if (flock(FLock, LOCK_EX | LOCK_NB) != 0) {
    FFirst = errno != EWOULDBLOCK;
    close(FLock);
    FLock = -1;
    return;
  }
  // Holding the claim, the socket of an earlier copy (a killed one left it)
  // is ours to replace; no other copy can be listening there.
  sockaddr_un a{};
  if (!FillAddress(a, FSocketPath)) return;
  unlink(FSocketPath.c_str());
  FListen = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (FListen < 0) return;
  if (bind(FListen, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 ||
      listen(FListen, kBacklog) != 0) {
    close(FListen);
    FListen = -1;
  }
}

TSingleInstance::~TSingleInstance() {
  if (FListen >= 0) {
    close(FListen);
    unlink(FSocketPath.c_str());
  }
  // The lock file stays: removing it could let two copies lock two files.
  if (FLock >= 0) close(FLock);
}

bool TSingleInstance::WakeFirst(const std::string&, unsigned, int TimeoutMs) const {
  sockaddr_un a{};
  if (FFirst || !FillAddress(a, FSocketPath)) return false;
  // The first copy may hold the lock before it listens: it is starting too.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
  for (;;) {
    const int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return false;
    const bool connected = connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
    close(s);
    // The connection is the request; nothing is sent.
    if (connected) return true;
    if (std::chrono::steady_clock::now() + kRetryEvery > deadline) return false;
    std::this_thread::sleep_for(kRetryEvery);
  }
}

bool TSingleInstance::TakeWakeRequests() const {
  if (FListen < 0) return false;
  bool any = false;
  for (;;) {
    const int c = accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) break;
    any = true;
    close(c);
  }
  return any;
}
