// Temporary files on Windows, in the user's temporary folder (GetTempPathW).
// The folder lies under the user's profile, whose name may hold characters the
// ANSI code page lacks: the wide calls find it, and the path answered is UTF-8
// like every path of the program (platform/WidePath.h).
#include "platform/TempFile.h"

#include <windows.h>

// windows.h names DeleteFileA "DeleteFile"; this file defines files::DeleteFile.
#undef DeleteFile

#include "platform/Exception.h"
#include "platform/Files.h"
#include "platform/WidePath.h"

namespace files {

std::string CreateTempFile(const std::string& Prefix) {
  // GetTempPathW answers at most MAX_PATH + 1 characters with the final
  // backslash; GetTempFileNameW needs MAX_PATH for the name it makes.
  wchar_t dir[MAX_PATH + 2] = {};
  const DWORD n = GetTempPathW(MAX_PATH + 2, dir);
  if (n == 0 || n >= MAX_PATH + 2)
    throw EInOutError("Cannot create temporary file " + Prefix + ": " +
                      IoErrorText(static_cast<int>(GetLastError())));
  // A new, empty file with a unique name: the prefix's first three characters,
  // a hexadecimal number and ".tmp".
  wchar_t name[MAX_PATH] = {};
  if (GetTempFileNameW(dir, WidePath(Prefix).c_str(), 0, name) == 0)
    throw EInOutError("Cannot create temporary file " + Utf8Path(dir) + Prefix + ": " +
                      IoErrorText(static_cast<int>(GetLastError())));
  return Utf8Path(name);
}

bool DeleteFile(const std::string& Path) noexcept {
  try {
    return DeleteFileW(WidePath(Path).c_str()) != 0;
  } catch (...) {
    return false;  // a path too long to convert names no file
  }
}

}  // namespace files
