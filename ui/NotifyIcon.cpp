#include "ui/NotifyIcon.h"

#include "platform/Text.h"
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

bool ShowNotifyBalloon(TNotifyBalloon Balloon) {
  if (!Application) return false;
  Balloon.Title = text::CutUtf8(Balloon.Title, kBalloonTitleSize - 1);
  Balloon.Text = text::CutUtf8(Balloon.Text, kBalloonTextSize - 1);
  return Application->Backend().ShowBalloon(Balloon);
}
