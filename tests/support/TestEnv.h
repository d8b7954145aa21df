#pragma once
// The test process's environment and temporary folders, the same on Linux and
// Windows.
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace testenv {

// Sets an environment variable (or removes it, for nullptr) for the life of the
// object and restores the previous state afterwards. On Windows both the C
// runtime's copy and the process environment that the system reads (the
// temporary folder, say) are changed. Make and drop it only while the test runs
// no other thread: the C library's environment is not safe to change while
// another thread reads it.
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
// each change. As for ScopedVariable, only while no other thread runs.
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

// Text that is a decimal number and nothing else, within T's range, into
// Value; false (Value unspecified) otherwise.
template <class T>
bool ParseWhole(std::string_view Text, T& Value) {
  const auto [end, ec] = std::from_chars(Text.data(), Text.data() + Text.size(), Value);
  return ec == std::errc() && end == Text.data() + Text.size();
}

// A test knob: the environment variable Name read as a whole decimal number, or
// Fallback when it is unset. Any other value raises std::runtime_error naming
// the variable: a seed read in part would replay some other run, and "12abc"
// is a typo, not 12.
template <class T>
T NumberFromEnvironment(const char* Name, T Fallback) {
  const char* text = std::getenv(Name);
  if (!text) return Fallback;
  T value{};
  if (!ParseWhole(text, value))
    throw std::runtime_error(std::string(Name) + " is not a decimal number: " + text);
  return value;
}

// Makes a new private folder for one test: /tmp/<prefix>XXXXXX on Linux, a
// folder of that name in the user's temporary folder on Windows. Raises
// std::runtime_error when it cannot.
std::string MakeTempDir(const std::string& prefix);

// Every entry of the folder Dir (not its subfolders) by name, with the content
// of each regular file; other entries (folders, links) map to "(not a file)".
// Two listings compare equal when nothing in the folder was added, removed or
// rewritten.
std::map<std::string, std::string> FolderContents(const std::string& Dir);

// The names of the temporary files beside File (a path) that a save of File
// makes and renames: File's name, a dot, anything, ".tmp" (older builds used
// File's name + ".tmp" alone, which counts too). Empty when the folder holds
// none.
std::vector<std::string> TemporaryFilesBeside(const std::string& File);

// Makes replacing the file File in the folder Dir fail with "access denied"
// for the life of the object, and undoes it afterwards. Linux: the folder loses
// its write permission, so nothing can be created or renamed in it (this does
// not bind root: see Binds). Windows: another handle holds the file open
// without sharing its deletion, so no rename may replace it, whoever runs the
// program (a read-only mark would not stop a rename under Wine).
class ScopedWriteProtect {
 public:
  ScopedWriteProtect(std::string dir, std::string file);
  ~ScopedWriteProtect();
  ScopedWriteProtect(const ScopedWriteProtect&) = delete;
  ScopedWriteProtect& operator=(const ScopedWriteProtect&) = delete;
  // Whether the protection stops this process.
  static bool Binds();

 private:
  std::string Dir_, File_;
  void* Held_ = nullptr;  // Windows: the handle that holds the file
};

// Limits the size of every file this process writes to bytes, for the life of
// the object: a write past it fails as on a full disk (Linux: RLIMIT_FSIZE,
// with SIGXFSZ ignored so that the write returns the error). Windows has no
// such per-process limit: kFileSizeLimitAvailable is false there and the
// object does nothing.
#ifdef _WIN32
inline constexpr bool kFileSizeLimitAvailable = false;
#else
inline constexpr bool kFileSizeLimitAvailable = true;
#endif
class ScopedFileSizeLimit {
 public:
  explicit ScopedFileSizeLimit(uint64_t bytes);
  ~ScopedFileSizeLimit();
  ScopedFileSizeLimit(const ScopedFileSizeLimit&) = delete;
  ScopedFileSizeLimit& operator=(const ScopedFileSizeLimit&) = delete;

 private:
  uint64_t OldSoft_ = 0;
  void (*OldHandler_)(int) = nullptr;
};

}  // namespace testenv
