#pragma once
// Where the program keeps its settings file. Every build keeps it beside the
// executable; a build for installation in a system directory, which its users
// cannot write, keeps it in the user's configuration directory instead.
#include <string>
#include <string_view>

namespace files {

enum class TSettingsPlace {
  ExeDir,     // beside the executable (the default, and always on Windows)
  ConfigDir,  // $XDG_CONFIG_HOME/corvale/, else ~/.config/corvale/
};

// The directory of the settings file, with its final separator. ExeDir answers
// ExeDir itself. ConfigDir answers ConfigHome + "/corvale/", where ConfigHome is
// $XDG_CONFIG_HOME when it holds an absolute path and $HOME/.config otherwise
// (unset, empty and relative values count as unset); without a usable $HOME the
// user's home directory comes from the password database. Raises EInOutError
// ("File not found") when no home directory can be found. On Windows every
// place answers ExeDir.
std::string SettingsDirectory(TSettingsPlace Place, const std::string& ExeDir);

// Replaces the settings file at Path with Data (files::ReplaceFile: a temporary
// file beside it, flushed and renamed over it). ConfigDir first makes the
// file's directory and any missing parent with mode 0700 and writes the file
// readable and writable by its owner only (0600), as the settings hold the
// user's name and addresses. Raises EInOutError; a directory that cannot be
// made, a file standing where a directory belongs, or a settings folder that
// belongs to another user or that its group or others may write to ("The
// settings folder <dir> is not private: ...") leaves nothing written.
// HoldsSecret (the data carries a password the user chose to keep in the
// file): every place gets ConfigDir's rules, a private folder (checked, not
// made, beside the executable) and a file only its owner may read; Windows
// keeps the file as always, in the user's own folder.
void WriteSettingsFile(TSettingsPlace Place, const std::string& Path, std::string_view Data,
                       bool HoldsSecret = false);

}  // namespace files
