#include "ui/NotifyIcon.h"

#include "ui/Application.h"

bool Shell_NotifyIconA(unsigned dwMessage, const TNotifyIconData* lpData) {
  if (!Application || !lpData) return false;
  return Application->Backend().NotifyIcon(dwMessage, *lpData);
}

bool GetCursorPos(TPoint& Point) {
  if (!Application) return false;
  Point = Application->Backend().CursorPos();
  return true;
}
