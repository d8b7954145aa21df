#pragma once
// Starting the program with the user's session.
//
// Linux: an XDG autostart entry, <config>/autostart/corvale.desktop, where
// <config> is $XDG_CONFIG_HOME when it holds an absolute path, else
// ~/.config: the menu entry the package installs, with the program's path and
// X-GNOME-Autostart-enabled. The program then starts as from the menu, hidden
// in the notification area when "Start Minimized" is on.
// Windows: the value "Corvale" under
// HKCU\Software\Microsoft\Windows\CurrentVersion\Run holding the quoted path
// of Corvale.exe; a shortcut Corvale.lnk in the user's Startup folder (what
// earlier installers made) counts as on too, and turning it off removes both.
#include <string>

namespace autostart {

// Whether the program starts with the session now: the entry is there and
// not turned off (Linux: Hidden=true or X-GNOME-Autostart-enabled=false
// turn it off).
bool Enabled();
// Makes the program at ExePath start with the session (On) or removes the
// entry (Off; nothing to remove is no error). Raises EInOutError when the
// entry cannot be written or removed.
void SetEnabled(bool On, const std::string& ExePath);

// Linux: the entry's path; raises EInOutError when no home directory is
// known. Windows: the registry key's path, for messages.
std::string EntryPath();
// Linux: the entry's text for the program at ExePath (the path quoted as the
// desktop entry format asks when it holds blanks or reserved characters).
// Windows: the Run value's text, the quoted path.
std::string EntryText(const std::string& ExePath);

}  // namespace autostart
