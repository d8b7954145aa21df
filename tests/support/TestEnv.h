#pragma once
// The test process's environment and temporary folders, the same on Linux and
// Windows.
#include <string>

namespace testenv {

// Sets an environment variable (or removes it, for nullptr) for the life of the
// object and restores the previous state afterwards. On Windows both the C
// runtime's copy and the process environment that the system reads (the
// temporary folder, say) are changed.
class ScopedVariable {
 public:
  ScopedVariable(std::string name, const char* value);
  ~ScopedVariable();
  ScopedVariable(const ScopedVariable&) = delete;
  ScopedVariable& operator=(const ScopedVariable&) = delete;

 private:
  std::string Name_, Old_;
  bool HadOld_ = false;
};

// The test runs as a Windows program (under Wine on the build machine): for
// the few expectations that differ, each with its reason where it is used.
#ifdef _WIN32
inline constexpr bool kWindows = true;
#else
inline constexpr bool kWindows = false;
#endif

// The variable that names the folder for temporary files: TMPDIR on Linux,
// TMP on Windows (GetTempPathA reads it first).
#ifdef _WIN32
inline constexpr const char* kTempDirVariable = "TMP";
#else
inline constexpr const char* kTempDirVariable = "TMPDIR";
#endif

// Whether setting TZ inside the running process changes its local time (true
// on Linux after tzset). On Windows the system's time zone is what the process
// started with (Wine: the TZ of the Wine process), so a test that switches
// zones runs as separate processes instead.
#ifdef _WIN32
inline constexpr bool kTzChangesInProcess = false;
#else
inline constexpr bool kTzChangesInProcess = true;
#endif

// Sets TZ for the life of the object and restores it, calling tzset after
// each change.
class ScopedTz {
 public:
  explicit ScopedTz(const char* tz);
  ~ScopedTz();
  ScopedTz(const ScopedTz&) = delete;
  ScopedTz& operator=(const ScopedTz&) = delete;

 private:
  std::string Old_;
  bool HadOld_ = false;
};

// Makes a new private folder for one test: /tmp/<prefix>XXXXXX on Linux, a
// folder of that name in the user's temporary folder on Windows. Raises
// std::runtime_error when it cannot.
std::string MakeTempDir(const std::string& prefix);

}  // namespace testenv
