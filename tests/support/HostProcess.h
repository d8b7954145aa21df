#pragma once
// Processes and private folders on the Linux machine that runs the tests, for
// the peer harness. A Linux test executable makes these calls itself
// (HostProcessPosix.cpp). A Windows test executable runs under Wine, which
// cannot fork and exec Linux programs, so it asks the peer broker that
// scripts/wine-run starts beside it (HostProcessBroker.cpp,
// tests/support/peer_broker.py). Everything else -- ports, configuration
// files, readiness probes, logs -- the harness does itself on both systems:
// under Wine, Linux paths ("/tmp/corvale-nginx-x1y2z3/nginx.conf") reach the
// Linux files through Wine's drive for the root folder.
//
// Process ids, signal numbers and wait statuses are Linux ones throughout.
// Failures raise PeerServerError (tests/support/PeerServer.h).
#include <optional>
#include <string>
#include <vector>

namespace host {

// Linux signal numbers (Windows headers have no SIGKILL).
inline constexpr int kSigTerm = 15;
inline constexpr int kSigKill = 9;

// Starts argv[0] (an absolute path) with argv, in a process group of its own,
// with default signal handling, stdin from /dev/null and stdout and stderr
// appended to logPath. envEdits: "NAME=value" sets, "NAME" removes a variable
// of the inherited environment. The process dies with the test process
// (Linux: the parent-death signal; Windows: the broker ends with the test).
// Returns its pid.
int Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& envEdits,
          const std::string& logPath);
// Nothing while pid runs. Once it has exited: kills what is left of its
// process group, reaps it and returns its wait status.
std::optional<int> ReapIfExited(int pid);
// Sends sig to the process (group == false) or to its process group.
void Signal(int pid, int sig, bool group) noexcept;
// Waits for pid to exit, reaps it and returns its wait status.
int Reap(int pid) noexcept;
// Whether a process with this id exists (kill(pid, 0)).
bool ProcessExists(int pid);

// A command run to its end.
struct RunResult {
  int Status = -1;     // wait status
  std::string Output;  // stdout and stderr together
};
// Runs argv (argv[0] absolute) with input on its stdin.
RunResult Run(const std::vector<std::string>& argv, const std::string& input,
              const std::vector<std::string>& envEdits = {});
// Whether a wait status is a normal exit with code 0.
bool ExitedCleanly(int status);

// Makes a new private folder /tmp/<prefix>XXXXXX and returns its path.
std::string MakeTempDir(const std::string& prefix);
// Removes a folder below /tmp with everything in it. Never raises.
void RemoveTree(const std::string& path) noexcept;

// The effective user id of the test run on the Linux side.
unsigned EffectiveUid();
// Uid and gid of a Linux account; nothing when it does not exist.
struct Account {
  unsigned Uid = 0;
  unsigned Gid = 0;
};
std::optional<Account> FindAccount(const std::string& name);
// chown and chmod of a Linux path; false on failure.
bool ChangeOwner(const std::string& path, const Account& owner);
bool ChangeMode(const std::string& path, unsigned mode);

}  // namespace host
