#include "platform/TempFile.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <vector>

#include "platform/Exception.h"

namespace files {

std::string CreateTempFile(const std::string& Prefix) {
  const char* dir = std::getenv("TMPDIR");
  std::string base = (dir && *dir) ? dir : "/tmp";
  if (base.back() != '/') base += '/';
  std::string pattern = base + Prefix + "XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  int fd = mkstemp(name.data());
  if (fd < 0)
    throw EInOutError("Cannot create temporary file " + pattern + ": " +
                      std::generic_category().message(errno));
  close(fd);
  return std::string(name.data());
}

bool DeleteFile(const std::string& Path) noexcept {
  return ::unlink(Path.c_str()) == 0;
}

}  // namespace files
