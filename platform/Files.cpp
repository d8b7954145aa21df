#include "platform/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>

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
// Modes of the files ReplaceFile makes.
constexpr mode_t kOwnerOnlyMode = 0600;
constexpr mode_t kCreationMode = 0666;  // before the user's file-creation mask
constexpr mode_t kPermissionBits = 0777;
// Fresh temporary names tried before giving up (each is taken only when
// nothing of that name exists; a clash of random names is all but impossible).
constexpr int kTemporaryNameAttempts = 16;
// Random letters and digits in a temporary file's name.
constexpr size_t kTemporaryNameLength = 8;

// Path + "." + random letters and digits + ".tmp", beside Path.
std::string TemporaryName(const std::string& Path) {
  static constexpr char kAlphabet[] =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::random_device random;
  std::uniform_int_distribution<size_t> pick(0, sizeof kAlphabet - 2);
  std::string name = Path + ".";
  for (size_t i = 0; i < kTemporaryNameLength; ++i) name += kAlphabet[pick(random)];
  return name + ".tmp";
}

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
  // The mode the new file ends with: the owner's alone for private files;
  // otherwise the mode of the file it replaces (a file the user made private
  // stays private), and for a first file what the user's file-creation mask
  // gives (0666 through the mask, applied by open).
  struct stat old {};
  const bool replacesFile = ::stat(Path.c_str(), &old) == 0 && S_ISREG(old.st_mode);
  const bool setMode = Access == TFileAccess::OwnerOnly || replacesFile;
  const mode_t finalMode =
      Access == TFileAccess::OwnerOnly ? kOwnerOnlyMode : old.st_mode & kPermissionBits;
  // Made exclusively under a fresh name: nothing that stands there already (a
  // file or link planted by someone who can write to the folder, a temporary
  // file of an earlier run) is opened, followed or overwritten. Until its
  // final mode is set it is readable by its owner only.
  Fd f;
  std::string tmp;
  for (int attempt = 1;; ++attempt) {
    tmp = TemporaryName(Path);
    f.fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                  setMode ? kOwnerOnlyMode : kCreationMode);
    if (f.fd >= 0) break;
    if (errno != EEXIST || attempt == kTemporaryNameAttempts) Fail(errno, std::string());
  }
  if (setMode && ::fchmod(f.fd, finalMode) != 0) Fail(errno, tmp);
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
