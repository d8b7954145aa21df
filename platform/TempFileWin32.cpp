// Temporary files on Windows, in the user's temporary folder (GetTempPathA).
#include "platform/TempFile.h"

#include <windows.h>

// windows.h names DeleteFileA "DeleteFile"; this file defines files::DeleteFile.
#undef DeleteFile

#include "platform/Exception.h"
#include "platform/Files.h"

namespace files {

std::string CreateTempFile(const std::string& Prefix) {
  // GetTempPathA answers at most MAX_PATH + 1 characters with the final
  // backslash; GetTempFileNameA needs MAX_PATH for the name it makes.
  char dir[MAX_PATH + 2] = {};
  const DWORD n = GetTempPathA(sizeof dir, dir);
  if (n == 0 || n >= sizeof dir)
    throw EInOutError("Cannot create temporary file " + Prefix + ": " +
                      IoErrorText(static_cast<int>(GetLastError())));
  // A new, empty file with a unique name: the prefix's first three characters,
  // a hexadecimal number and ".tmp".
  char name[MAX_PATH] = {};
  if (GetTempFileNameA(dir, Prefix.c_str(), 0, name) == 0)
    throw EInOutError("Cannot create temporary file " + std::string(dir) + Prefix + ": " +
                      IoErrorText(static_cast<int>(GetLastError())));
  return std::string(name);
}

bool DeleteFile(const std::string& Path) noexcept {
  return DeleteFileA(Path.c_str()) != 0;
}

}  // namespace files
