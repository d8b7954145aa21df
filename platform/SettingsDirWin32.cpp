#include "platform/SettingsDir.h"

#include "platform/Files.h"

namespace files {

// Windows keeps the settings beside the executable whatever the build asks:
// a per-user installation folder stays writable by its user.
std::string SettingsDirectory(TSettingsPlace, const std::string& ExeDir) {
  return ExeDir;
}

void WriteSettingsFile(TSettingsPlace, const std::string& Path, std::string_view Data, bool) {
  ReplaceFile(Path, Data);
}

}  // namespace files
