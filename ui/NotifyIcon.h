#pragma once
// The notification area: one icon per (window, identifier), described by the
// 88-byte record of the platform's interface, and the mouse cursor position.
#include <cstdint>
#include <string>

#include "ui/Backend.h"

inline constexpr unsigned NIM_ADD = 0;
inline constexpr unsigned NIM_MODIFY = 1;
inline constexpr unsigned NIM_DELETE = 2;
inline constexpr uint32_t NIF_MESSAGE = 1;  // uCallbackMessage is valid
inline constexpr uint32_t NIF_ICON = 2;     // hIcon is valid
inline constexpr uint32_t NIF_TIP = 4;      // szTip is valid

// The tip holds at most 63 characters and a terminating zero.
inline constexpr int kNotifyTipSize = 64;

// The icon's callback arrives at the window as the message uCallbackMessage
// with WParam = uID and LParam = the mouse message (WM_LBUTTONDBLCLK ...).
struct TNotifyIconData {
  uint32_t cbSize = 0;
  uint32_t Wnd = 0;  // the window's Handle()
  uint32_t uID = 0;
  uint32_t uFlags = 0;
  uint32_t uCallbackMessage = 0;
  uint32_t hIcon = 0;  // kApplicationIcon: the application's own icon
  char szTip[kNotifyTipSize] = {};
};
static_assert(sizeof(TNotifyIconData) == 88, "the record has its 88-byte form");

inline constexpr uint32_t kApplicationIcon = 1;

// One request (NIM_ADD, NIM_MODIFY, NIM_DELETE) with the record; true when the
// notification area took it.
bool Shell_NotifyIconA(unsigned dwMessage, const TNotifyIconData* lpData);

// A desktop notification shown from an icon: a balloon beside it on Windows
// (NIM_MODIFY with NIF_INFO, in the system's larger record that alone has the
// balloon's fields; Windows 10 and 11 show it as a toast), the desktop's
// notification service on Linux. Title and text are plain text, shown as
// written, never as markup.
inline constexpr uint32_t NIF_INFO = 0x10;   // szInfo, szInfoTitle and dwInfoFlags are valid
inline constexpr uint32_t NIIF_INFO = 1;     // the information icon
inline constexpr uint32_t NIIF_WARNING = 2;  // the warning icon
// The balloon's fields: 63 characters of title and 255 of text, each with a
// terminating zero.
inline constexpr int kBalloonTitleSize = 64;
inline constexpr int kBalloonTextSize = 256;

struct TNotifyBalloon {
  uint32_t Wnd = 0;  // the window's Handle() whose icon shows it
  uint32_t uID = 0;
  uint32_t dwInfoFlags = NIIF_INFO;
  std::string Title;  // at most kBalloonTitleSize - 1 bytes
  std::string Text;   // at most kBalloonTextSize - 1 bytes
};

// Shows Balloon (cut to its fields' sizes, never inside a UTF-8 character);
// true when the desktop took it.
bool ShowNotifyBalloon(TNotifyBalloon Balloon);

// The cursor position in screen coordinates.
bool GetCursorPos(TPoint& Point);
