#include "platform/Autostart.h"

#include "platform/Exception.h"
#include "platform/Files.h"
#include "platform/WidePath.h"
// clang-format off
#include <windows.h>
#include <shlobj.h>
// clang-format on

namespace autostart {

namespace {

// The programs the shell starts at sign-in for this user, and the value
// that names Corvale there (the installer writes the same).
constexpr const wchar_t* kRunKey = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr const wchar_t* kValueName = L"Corvale";
// What earlier installers made instead: a shortcut in the Startup folder.
constexpr const wchar_t* kStartupShortcut = L"\\Corvale.lnk";

std::wstring StartupShortcut() {
  wchar_t folder[MAX_PATH] = {};
  if (SHGetFolderPathW(nullptr, CSIDL_STARTUP, nullptr, SHGFP_TYPE_CURRENT, folder) != S_OK)
    return {};
  return std::wstring(folder) + kStartupShortcut;
}

std::string ErrorText(LONG Code) {
  char buf[256] = {};
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                 static_cast<DWORD>(Code), 0, buf, sizeof buf, nullptr);
  std::string s = buf;
  while (!s.empty() && (s.back() == '\r' || s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s.empty() ? "Error " + std::to_string(Code) : s;
}

}  // namespace

std::string EntryPath() {
  return R"(HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\Run)";
}

std::string EntryText(const std::string& ExePath) {
  return '"' + ExePath + '"';
}

bool Enabled() {
  DWORD type = 0;
  DWORD size = 0;
  if (RegGetValueW(HKEY_CURRENT_USER, kRunKey, kValueName,
                   RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, &type, nullptr,
                   &size) == ERROR_SUCCESS)
    return true;
  const std::wstring shortcut = StartupShortcut();
  return !shortcut.empty() && GetFileAttributesW(shortcut.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void SetEnabled(bool On, const std::string& ExePath) {
  if (On) {
    const std::wstring value = files::WidePath(EntryText(ExePath));
    HKEY key = nullptr;
    LONG r = RegCreateKeyExW(HKEY_CURRENT_USER, kRunKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                             &key, nullptr);
    if (r == ERROR_SUCCESS) {
      r = RegSetValueExW(key, kValueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                         static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
      RegCloseKey(key);
    }
    if (r != ERROR_SUCCESS) throw EInOutError(ErrorText(r));
    return;
  }
  HKEY key = nullptr;
  LONG r = RegOpenKeyExW(HKEY_CURRENT_USER, kRunKey, 0, KEY_SET_VALUE, &key);
  if (r == ERROR_SUCCESS) {
    r = RegDeleteValueW(key, kValueName);
    RegCloseKey(key);
  }
  if (r != ERROR_SUCCESS && r != ERROR_FILE_NOT_FOUND) throw EInOutError(ErrorText(r));
  // The shortcut of an earlier installer starts the program as well.
  const std::wstring shortcut = StartupShortcut();
  if (!shortcut.empty() && !DeleteFileW(shortcut.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND)
    throw EInOutError(ErrorText(static_cast<LONG>(GetLastError())));
}

}  // namespace autostart
