#pragma once
// The notification area: one icon per (window, identifier), described by the
// 88-byte record of the platform's interface, and the mouse cursor position.
#include <cstdint>

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

// The cursor position in screen coordinates.
bool GetCursorPos(TPoint& Point);
