#pragma once
// What the component layer asks of a toolkit. A backend gives each control a
// peer that mirrors the component's state; the component holds the truth. The
// Qt backend renders real widgets; the headless backend keeps everything in
// memory and drives a virtual clock for tests.
#include <memory>
#include <string>

#include "platform/DateTime.h"

class TControl;
enum class TCursor;
class TForm;
class TTimer;
class TPopupMenu;
struct TNotifyIconData;
struct TNotifyBalloon;

struct TPoint {
  int X = 0;
  int Y = 0;
};

// A toolkit object standing for one component.
class TPeer {
 public:
  virtual ~TPeer() = default;
  // The component's state changed; bring the toolkit object in line.
  virtual void Changed() = 0;
};

class TBackend {
 public:
  virtual ~TBackend() = default;

  // The application clock.
  virtual TDateTime Now() = 0;

  // A peer for a control whose parent already has one (forms first). May
  // return null when the backend needs none.
  virtual std::unique_ptr<TPeer> CreatePeer(TControl& Control) = 0;
  // A peer that makes the timer fire while it is enabled.
  virtual std::unique_ptr<TPeer> CreateTimerPeer(TTimer& Timer) = 0;

  // Lets pending messages (timer ticks, input, icon callbacks) run once.
  virtual void ProcessMessages() = 0;
  // The message loop; returns once Terminate has been called.
  virtual void Run() = 0;
  virtual void Terminate() = 0;

  // A modal message box; returns the button pressed (IDOK ...).
  virtual int MessageBox(const std::string& Text, const std::string& Caption, unsigned Flags) = 0;
  // Shows Form modally until its ModalResult is set; returns it.
  virtual int ShowModal(TForm& Form) = 0;
  // Opens the pop-up menu at screen position (X, Y).
  virtual void Popup(TPopupMenu& Menu, int X, int Y) = 0;
  // One request to the notification area (add, modify, delete).
  virtual bool NotifyIcon(unsigned Code, const TNotifyIconData& Data) = 0;
  // The mouse cursor in screen coordinates.
  virtual TPoint CursorPos() = 0;
  // A desktop notification from an icon of the notification area, its title
  // and text plain text (see ShowNotifyBalloon); true when the desktop took
  // it. Backends without a desktop answer false.
  virtual bool ShowBalloon(const TNotifyBalloon& Balloon) {
    (void)Balloon;
    return false;
  }
  // Puts Text (UTF-8 on Linux, the code page's bytes on Windows) on the
  // clipboard; true when the clipboard took it.
  virtual bool SetClipboardText(const std::string& Text) {
    (void)Text;
    return false;
  }
  // The cursor shown over every window of the program (crDefault: each
  // control's own). A backend without cursors ignores it.
  virtual void SetScreenCursor(TCursor Cursor) { (void)Cursor; }
  // Whether a request to end the program (a close posted to the main window,
  // a quit) is waiting in the queue, looked at without running it. A long
  // network wait asks this so that a check in progress gives way to a close
  // instead of holding it for up to a minute. Backends without such a queue
  // answer false.
  virtual bool QuitRequested() { return false; }
};
