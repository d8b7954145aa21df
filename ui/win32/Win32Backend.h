#pragma once
// The native Win32 backend: a registered window class per form, the system's
// own controls (STATIC, EDIT, up-down, check box, push buttons, status bar),
// menus, SetTimer timers, MessageBoxA and the notification area through
// Shell_NotifyIconA. Window messages reach TForm::WndProc; no exception leaves
// a window procedure. This header names no system type, so the program entry
// can choose the backend without the system headers.
#include <memory>
#include <string>

#include "ui/Backend.h"

class TControl;

// The backend for this process; makes the common controls available. One per
// process.
std::unique_ptr<TBackend> CreateWin32Backend();

// The window (HWND) that shows Control, or null when it has none (yet). For
// tests that check the real window with the system's calls.
void* Win32Window(const TControl& Control);

// The tip the notification area was last given for Form's icon Id, in the
// code page's bytes, or an empty text when the icon is not there. For tests:
// the desktop's own copy cannot be read back.
std::string Win32TrayTip(const TControl& Form, unsigned Id);

// The record of the last balloon (desktop notification) this process asked
// for, as it went to the notification area; Size 0 when none was. For tests.
struct TWin32Balloon {
  unsigned Size = 0;  // cbSize
  unsigned Flags = 0;
  unsigned InfoFlags = 0;
  std::string Title;  // in the code page's bytes
  std::string Text;
};
TWin32Balloon Win32LastBalloon();
// The size of the balloon's record (the system's second form), which only
// the balloon's request uses.
unsigned Win32BalloonRecordSize();

// The window message the desktop broadcasts when its notification area has
// been re-created (Explorer restarted); the backend adds its icons again.
unsigned Win32TaskbarCreatedMessage();
