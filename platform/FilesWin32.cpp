// Files beside the executable on Windows. Paths are UTF-8 (platform/WidePath.h)
// and every call that takes or answers one is the system's wide ("W") call: a
// folder whose name the ANSI code page cannot spell (a user name with "Ł" under
// code page 1252) must be found as it is, not as a look-alike that does not
// exist or, worse, is someone else's.
#include "platform/Files.h"

#include <windows.h>

// windows.h names ReplaceFileA "ReplaceFile"; this file defines files::ReplaceFile.
#undef ReplaceFile

#include "platform/Exception.h"
#include "platform/WidePath.h"

namespace files {

namespace {

// The longest path GetModuleFileNameW can answer (the extended-length limit).
constexpr DWORD kMaxPath = 32768;
// One WriteFile call takes at most this many bytes (a DWORD count).
constexpr size_t kMaxWrite = 1u << 30;
// Another program reading the settings file (a virus scanner, an indexer, an
// editor) may hold it open without sharing deletion for a moment, and the
// rename over it is refused meanwhile: the rename is tried again for up to
// two seconds before the save is given up.
constexpr int kRenameAttempts = 40;
constexpr DWORD kRenameRetryMs = 50;

// A file handle, closed on every path out.
class THandle {
 public:
  explicit THandle(HANDLE H) : FHandle(H) {}
  ~THandle() { Close(); }
  THandle(const THandle&) = delete;
  THandle& operator=(const THandle&) = delete;
  bool Valid() const { return FHandle != INVALID_HANDLE_VALUE; }
  HANDLE Get() const { return FHandle; }
  // False when the close itself fails (the last buffered data was not written).
  bool Close() {
    if (!Valid()) return true;
    const bool ok = CloseHandle(FHandle) != 0;
    FHandle = INVALID_HANDLE_VALUE;
    return ok;
  }

 private:
  HANDLE FHandle;
};

// Closes the temporary file, removes it and raises the error's text.
[[noreturn]] void Fail(DWORD Error, THandle& File, const std::wstring& Tmp) {
  File.Close();
  if (!Tmp.empty()) DeleteFileW(Tmp.c_str());
  throw EInOutError(IoErrorText(static_cast<int>(Error)));
}

}  // namespace

std::string ExecutablePath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return std::string();
    // A path that filled the buffer may have been cut: try a larger one.
    if (n < path.size()) {
      path.resize(n);
      return Utf8Path(path);
    }
    if (path.size() >= kMaxPath) return std::string();
    path.resize(path.size() * 2);
  }
}

std::string ExtractFilePath(std::string_view Path) {
  // Windows takes both slashes as separators; a drive ("C:") ends a directory too.
  const size_t sep = Path.find_last_of("\\/:");
  if (sep == std::string_view::npos) return std::string();
  return std::string(Path.substr(0, sep + 1));
}

bool FileExists(const std::string& Path) {
  const DWORD a = GetFileAttributesW(WidePath(Path).c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::string IoErrorText(int ErrorNumber) {
  switch (ErrorNumber) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return "File not found";
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
      return "File access denied";
    case ERROR_HANDLE_DISK_FULL:
    case ERROR_DISK_FULL:
      return "Disk full";
    case ERROR_TOO_MANY_OPEN_FILES:
      return "Too many open files";
    default:
      return "I/O error " + std::to_string(ErrorNumber);
  }
}

std::string ReadFile(const std::string& Path) {
  // Others may read, write, rename or delete the file meanwhile: reading it
  // must never make ReplaceFile fail.
  THandle f(CreateFileW(WidePath(Path).c_str(), GENERIC_READ,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!f.Valid()) throw EInOutError(IoErrorText(static_cast<int>(GetLastError())));
  std::string out;
  char buf[4096];
  for (;;) {
    DWORD n = 0;
    if (!::ReadFile(f.Get(), buf, sizeof buf, &n, nullptr))
      throw EInOutError(IoErrorText(static_cast<int>(GetLastError())));
    if (n == 0) break;
    out.append(buf, n);
  }
  return out;
}

// Access is not applied: the file inherits its folder's permissions.
void ReplaceFile(const std::string& Path, std::string_view Data, TFileAccess) {
  const std::wstring path = WidePath(Path);
  const std::wstring tmp = path + L".tmp";
  // A file the user marked read-only is not replaced: Windows refuses the
  // rename over it, and it never becomes free the way a file another program
  // holds does, so it is refused here, before anything is written and
  // without the retries.
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0)
    throw EInOutError(IoErrorText(ERROR_ACCESS_DENIED));
  THandle f(CreateFileW(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                        FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!f.Valid()) Fail(GetLastError(), f, std::wstring());
  size_t done = 0;
  while (done < Data.size()) {
    const DWORD chunk = static_cast<DWORD>(std::min(Data.size() - done, kMaxWrite));
    DWORD n = 0;
    if (!WriteFile(f.Get(), Data.data() + done, chunk, &n, nullptr)) Fail(GetLastError(), f, tmp);
    done += n;
  }
  // The data must be on disk before the rename makes it the file; otherwise a
  // crash could leave a renamed but empty file.
  if (!FlushFileBuffers(f.Get())) Fail(GetLastError(), f, tmp);
  if (!f.Close()) Fail(GetLastError(), f, tmp);
  // One rename, which either leaves the old file or puts the new one in its
  // place; WRITE_THROUGH returns only when the rename is on disk.
  for (int attempt = 1;; ++attempt) {
    if (MoveFileExW(tmp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
      return;
    const DWORD error = GetLastError();
    const bool held = error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION;
    if (!held || attempt == kRenameAttempts) Fail(error, f, tmp);
    Sleep(kRenameRetryMs);
  }
}

}  // namespace files
