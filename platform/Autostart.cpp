#include "platform/Autostart.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "platform/Exception.h"
#include "platform/Files.h"
#include "platform/Text.h"

namespace autostart {

namespace {

// The XDG autostart folder under the configuration directory, and the entry's
// name: the package's menu entry has the same name.
constexpr const char* kAutostartFolder = "autostart";
constexpr const char* kEntryName = "corvale.desktop";
constexpr const char* kDefaultConfigHome = ".config";
// Folders made on the way: as the desktop makes them.
constexpr mode_t kFolderMode = 0755;
constexpr size_t kPasswdBuffer = 16384;

std::string Home() {
  if (const char* env = std::getenv("HOME"); env && env[0] == '/') return env;
  long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(hint > 0 ? static_cast<size_t>(hint) : kPasswdBuffer);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buf.data(), buf.size(), &found) != 0 || !found ||
      !found->pw_dir || found->pw_dir[0] != '/')
    throw EInOutError(files::IoErrorText(ENOENT));
  return found->pw_dir;
}

std::string ConfigHome() {
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && xdg[0] == '/') return xdg;
  return Home() + "/" + kDefaultConfigHome;
}

void MakeFolders(const std::string& Dir) {
  for (size_t end = Dir.find('/', 1);; end = Dir.find('/', end + 1)) {
    const std::string part = Dir.substr(0, end);
    if (mkdir(part.c_str(), kFolderMode) != 0 && errno != EEXIST)
      throw EInOutError(files::IoErrorText(errno));
    if (end == std::string::npos) break;
  }
}

// An argument of Exec (the desktop entry format's rules for that key): quoted
// when it holds a blank or a reserved character, with ", `, $ and \ escaped
// inside the quotes; % is doubled everywhere. Then the value's own escape
// rule doubles each backslash.
std::string ExecArgument(const std::string& Arg) {
  const std::string reserved = " \t\n\"'\\><~|&;$*?#()`";
  const bool quote = Arg.find_first_of(reserved) != std::string::npos;
  std::string out;
  for (char c : Arg) {
    if (c == '%') {
      out += "%%";
      continue;
    }
    if (quote && (c == '"' || c == '`' || c == '$' || c == '\\')) out += '\\';
    out += c;
  }
  if (quote) out = '"' + out + '"';
  std::string value;
  for (char c : out) {
    if (c == '\\') value += '\\';
    value += c;
  }
  return value;
}

}  // namespace

std::string EntryPath() {
  return ConfigHome() + "/" + kAutostartFolder + "/" + kEntryName;
}

std::string EntryText(const std::string& ExePath) {
  // The package's menu entry (resources/linux/corvale.desktop) with this
  // program's path and the switch desktops read to turn the entry off.
  return "[Desktop Entry]\n"
         "Type=Application\n"
         "Name=Corvale\n"
         "GenericName=Public Address Monitor\n"
         "Comment=Watch this machine's public IP address and mail its changes\n"
         "Exec=" +
         ExecArgument(ExePath) +
         "\n"
         "Icon=corvale\n"
         "Terminal=false\n"
         "Categories=Network;\n"
         "X-GNOME-Autostart-enabled=true\n";
}

bool Enabled() {
  std::string data;
  try {
    const std::string path = EntryPath();
    if (!files::FileExists(path)) return false;
    data = files::ReadFile(path);
  } catch (const std::exception&) {
    return false;
  }
  // Keys of the [Desktop Entry] group that turn an entry off.
  bool inEntry = false;
  size_t pos = 0;
  while (pos <= data.size()) {
    size_t end = data.find('\n', pos);
    if (end == std::string::npos) end = data.size();
    const std::string line = text::Trim(data.substr(pos, end - pos));
    pos = end + 1;
    if (!line.empty() && line[0] == '[') {
      inEntry = line == "[Desktop Entry]";
      continue;
    }
    if (!inEntry) continue;
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = text::Trim(line.substr(0, eq));
    const std::string value = text::Trim(line.substr(eq + 1));
    if (key == "Hidden" && value == "true") return false;
    if (key == "X-GNOME-Autostart-enabled" && value == "false") return false;
  }
  return true;
}

void SetEnabled(bool On, const std::string& ExePath) {
  const std::string path = EntryPath();
  if (!On) {
    if (unlink(path.c_str()) != 0 && errno != ENOENT) throw EInOutError(files::IoErrorText(errno));
    return;
  }
  MakeFolders(files::ExtractFilePath(path).substr(0, path.rfind('/')));
  files::ReplaceFile(path, EntryText(ExePath));
}

}  // namespace autostart
