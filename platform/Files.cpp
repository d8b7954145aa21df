#include "platform/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "platform/Exception.h"

namespace files {

std::string ExecutablePath() {
  std::error_code ec;
  std::filesystem::path p = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : p.string();
}

std::string ExtractFilePath(std::string_view Path) {
  size_t slash = Path.find_last_of('/');
  if (slash == std::string_view::npos) return std::string();
  return std::string(Path.substr(0, slash + 1));
}

bool FileExists(const std::string& Path) {
  struct stat st {};
  return ::stat(Path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string IoErrorText(int ErrorNumber) {
  switch (ErrorNumber) {
    case ENOENT:
      return "File not found";
    case EACCES:
    case EPERM:
    case EROFS:
      return "File access denied";
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return "Disk full";
    case EMFILE:
    case ENFILE:
      return "Too many open files";
    default:
      return "I/O error " + std::to_string(ErrorNumber);
  }
}

namespace {
// Closes a descriptor on every path out of ReplaceFile.
struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};
[[noreturn]] void Fail(int err, const std::string& tmp) {
  if (!tmp.empty()) ::unlink(tmp.c_str());
  throw EInOutError(IoErrorText(err));
}
}  // namespace

std::string ReadFile(const std::string& Path) {
  Fd f;
  f.fd = ::open(Path.c_str(), O_RDONLY | O_CLOEXEC);
  if (f.fd < 0) throw EInOutError(IoErrorText(errno));
  std::string out;
  char buf[4096];
  for (;;) {
    ssize_t n = ::read(f.fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw EInOutError(IoErrorText(errno));
    }
    if (n == 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

void ReplaceFile(const std::string& Path, std::string_view Data, TFileAccess Access) {
  const std::string tmp = Path + ".tmp";
  const mode_t mode = Access == TFileAccess::OwnerOnly ? 0600 : 0644;
  Fd f;
  f.fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (f.fd < 0) Fail(errno, std::string());
  // A temporary file left by a crash keeps the mode it was made with.
  if (Access == TFileAccess::OwnerOnly && ::fchmod(f.fd, mode) != 0) Fail(errno, tmp);
  size_t done = 0;
  while (done < Data.size()) {
    ssize_t n = ::write(f.fd, Data.data() + done, Data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      Fail(errno, tmp);
    }
    done += static_cast<size_t>(n);
  }
  // The data must be on disk before the rename makes it the file; otherwise a
  // crash could leave a renamed but empty file.
  if (::fsync(f.fd) != 0) Fail(errno, tmp);
  int fd = f.fd;
  f.fd = -1;
  if (::close(fd) != 0) Fail(errno, tmp);
  if (::rename(tmp.c_str(), Path.c_str()) != 0) Fail(errno, tmp);
  // Make the rename itself durable.
  Fd dir;
  std::string d = ExtractFilePath(Path);
  dir.fd = ::open(d.empty() ? "." : d.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir.fd >= 0) ::fsync(dir.fd);
}

}  // namespace files
