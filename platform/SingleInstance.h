#pragma once
// One running copy of the program per user (per session on Windows). The
// first copy claims the instance; a later one finds it claimed, tells the
// first to come forward and ends. The claim goes with the process that holds
// it, however that ends, so a killed program never blocks the next start.
//
//   TSingleInstance instance("Corvale");
//   if (!instance.First()) {
//     instance.WakeFirst("Corvale.Form1", kActivateMessage, 800);
//     return 0;
//   }
//
// Linux: an exclusive lock (flock) on <dir>/<name>.lock, and a local socket
// <dir>/<name>.socket on which the first copy listens; <dir> is
// $XDG_RUNTIME_DIR, else a folder of the user's own (see InstanceDirectory).
// Windows: a named mutex in the session's namespace (Local\<name>.Instance);
// the first copy's window receives a posted message.
#include <string>

class TSingleInstance {
 public:
  // Claims the instance called Name. Dir is the folder of the lock and the
  // socket (Linux; empty: InstanceDirectory()). When no claim can be made at
  // all (no private folder, the system refuses), this copy counts as the
  // first: a start is never refused for want of a lock.
  explicit TSingleInstance(const std::string& Name, const std::string& Dir = {});
  ~TSingleInstance();
  TSingleInstance(const TSingleInstance&) = delete;
  TSingleInstance& operator=(const TSingleInstance&) = delete;

  // Whether this copy holds the claim.
  bool First() const { return FFirst; }

  // A later copy: asks the first to come forward, waiting at most TimeoutMs
  // for it to be ready (it may be starting itself). Linux connects to its
  // socket; Windows posts Message to the first top-level window of
  // WindowClass, letting that process take the foreground. True when the
  // request was delivered.
  bool WakeFirst(const std::string& WindowClass, unsigned Message, int TimeoutMs) const;

  // The first copy (Linux): the listening socket to watch for readability,
  // or -1 (Windows, or no socket could be made).
  int ListenHandle() const { return FListen; }
  // The first copy (Linux): takes every waiting request of later copies;
  // true when there was at least one.
  bool TakeWakeRequests() const;

  // Linux: $XDG_RUNTIME_DIR when it names an absolute folder, else
  // <tmp>/corvale-<uid>, made with mode 0700 and used only while it is a
  // folder of this user's that nobody else may write to; empty when there is
  // none. Ends without a separator.
  static std::string InstanceDirectory();

 private:
  bool FFirst = true;
  int FLock = -1;          // Linux: the locked file
  int FListen = -1;        // Linux: the listening socket
  void* FMutex = nullptr;  // Windows: the mutex handle
  std::string FSocketPath;
};
