#include "platform/SettingsDir.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "platform/Exception.h"
#include "platform/Files.h"

namespace files {

namespace {

// The program's own folder inside the user's configuration directory.
constexpr const char* kConfigFolder = "corvale";
// The configuration directory under the home directory when $XDG_CONFIG_HOME
// gives none (the XDG base directory default).
constexpr const char* kDefaultConfigHome = ".config";
// Only the user may list or enter the folders made for the settings (the XDG
// base directory rule for a directory it has to create).
constexpr mode_t kDirectoryMode = 0700;
// Write permission for the folder's group or for everyone.
constexpr mode_t kOthersMayWrite = S_IWGRP | S_IWOTH;
// Buffer for one password-database entry when the system names no size.
constexpr size_t kPasswdBuffer = 16384;

// The XDG rule: a variable that is unset, empty or relative is ignored.
bool Absolute(const char* Path) {
  return Path != nullptr && Path[0] == '/';
}

// Path without trailing separators ("/" stays "/" only as the empty prefix).
std::string WithoutTrailingSlash(std::string Path) {
  while (!Path.empty() && Path.back() == '/') Path.pop_back();
  return Path;
}

std::string HomeFromPasswordDatabase() {
  long hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(hint > 0 ? static_cast<size_t>(hint) : kPasswdBuffer);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buf.data(), buf.size(), &found) != 0 || found == nullptr ||
      !Absolute(found->pw_dir))
    return {};
  return found->pw_dir;
}

// Makes Dir and every missing folder above it with kDirectoryMode. A folder that
// exists is left as it is; anything else standing in the way is an error.
void MakeDirectories(const std::string& Dir) {
  for (size_t end = Dir.find('/', 1);; end = Dir.find('/', end + 1)) {
    const std::string part = Dir.substr(0, end);
    struct stat st {};
    if (::stat(part.c_str(), &st) == 0) {
      if (!S_ISDIR(st.st_mode)) throw EInOutError(IoErrorText(ENOTDIR));
    } else if (errno != ENOENT) {
      throw EInOutError(IoErrorText(errno));
    } else if (::mkdir(part.c_str(), kDirectoryMode) != 0) {
      // Made by someone else meanwhile: fine when it is a folder.
      const int err = errno;
      if (err != EEXIST || ::stat(part.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        throw EInOutError(IoErrorText(err == EEXIST ? ENOTDIR : err));
    }
    if (end == std::string::npos) break;
  }
}

// The settings folder must be the user's own and writable by nobody else:
// whoever else may write there could swap the settings file for one of
// theirs (their address as the recipient) or plant links where it is saved.
void CheckPrivate(const std::string& Dir) {
  struct stat st {};
  if (::stat(Dir.c_str(), &st) != 0) throw EInOutError(IoErrorText(errno));
  if (st.st_uid != ::geteuid() || (st.st_mode & kOthersMayWrite) != 0)
    throw EInOutError("The settings folder " + Dir +
                      " is not private: it must belong to you and no one else may write to it");
}

}  // namespace

std::string SettingsDirectory(TSettingsPlace Place, const std::string& ExeDir) {
  if (Place == TSettingsPlace::ExeDir) return ExeDir;
  std::string home;
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); Absolute(xdg)) {
    home = WithoutTrailingSlash(xdg);
  } else {
    const char* env = std::getenv("HOME");
    std::string user = Absolute(env) ? std::string(env) : HomeFromPasswordDatabase();
    if (user.empty()) throw EInOutError(IoErrorText(ENOENT));
    home = WithoutTrailingSlash(user) + "/" + kDefaultConfigHome;
  }
  return home + "/" + kConfigFolder + "/";
}

void WriteSettingsFile(TSettingsPlace Place, const std::string& Path, std::string_view Data,
                       bool HoldsSecret) {
  if (Place == TSettingsPlace::ExeDir && !HoldsSecret) {
    ReplaceFile(Path, Data);
    return;
  }
  const std::string dir = WithoutTrailingSlash(ExtractFilePath(Path));
  if (Place == TSettingsPlace::ConfigDir && !dir.empty()) MakeDirectories(dir);
  // A bare file name is in the working folder, which must be private too.
  CheckPrivate(dir.empty() ? std::string(".") : dir);
  ReplaceFile(Path, Data, TFileAccess::OwnerOnly);
}

}  // namespace files
