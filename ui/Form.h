#pragma once
// A top-level window. Toolkit events that are not a component's own event reach
// the form as window messages through WndProc, so that window code is the same
// on every backend.
#include <cstdint>
#include <functional>

#include "ui/Control.h"

class TMainMenu;

// Window message numbers the forms understand.
inline constexpr unsigned WM_KEYDOWN = 0x0100;
inline constexpr unsigned WM_SYSCOMMAND = 0x0112;
inline constexpr unsigned WM_USER = 0x0400;
inline constexpr unsigned WM_MOUSEMOVE = 0x0200;
inline constexpr unsigned WM_LBUTTONDOWN = 0x0201;
inline constexpr unsigned WM_LBUTTONUP = 0x0202;
inline constexpr unsigned WM_LBUTTONDBLCLK = 0x0203;
inline constexpr unsigned WM_RBUTTONDOWN = 0x0204;
inline constexpr unsigned WM_RBUTTONUP = 0x0205;
// Virtual keys (the WParam of WM_KEYDOWN) the forms act on.
inline constexpr uintptr_t VK_RETURN = 0x0D;
inline constexpr uintptr_t VK_ESCAPE = 0x1B;
// System commands (the WParam of WM_SYSCOMMAND).
inline constexpr uint32_t SC_MINIMIZE = 0xF020;
inline constexpr uint32_t SC_CLOSE = 0xF060;
inline constexpr uint32_t SC_RESTORE = 0xF120;

// Results of a modal form and of message boxes.
inline constexpr int mrNone = 0;
inline constexpr int mrOk = 1;
inline constexpr int mrCancel = 2;

struct TMessage {
  unsigned Msg = 0;
  uintptr_t WParam = 0;
  intptr_t LParam = 0;
  intptr_t Result = 0;
};

enum class TCloseAction { caNone, caHide, caFree, caMinimize };
enum class TWindowState { wsNormal, wsMinimized };

class TForm : public TControl {
 public:
  explicit TForm(TComponent* AOwner = nullptr);
  ~TForm() override;

  // Makes the window visible and brings it to the front of the program's windows.
  // A hidden form runs OnShow first, so that what it shows is up to date before
  // anyone can see it.
  void Show();
  // Hides the window; a visible form runs OnHide once it is hidden.
  void Hide();
  // Asks the form to close: OnClose chooses the action (hide by default). The
  // application's main form ends the application; a modal form ends its modal
  // loop with mrCancel.
  void Close();
  // Shows the form modally; returns its ModalResult.
  int ShowModal();

  // Runs OnCreate, the form's creation handler. An exception that leaves it
  // reaches the application's handler and the form stays as far as it got.
  void DoCreate();

  // Sends a message straight to WndProc and returns its result.
  intptr_t Perform(unsigned Msg, uintptr_t WParam, intptr_t LParam);
  // Every message of the window passes through here; the default hands it to
  // Dispatch.
  virtual void WndProc(TMessage& Message);
  // Calls the handler for the message (WMSysCommand) or DefaultHandler.
  void Dispatch(TMessage& Message);
  virtual void WMSysCommand(TMessage& Message);
  // What the window does with a message no handler took: a system command
  // minimizes, restores or closes it; Escape presses the Cancel button and
  // Enter the Default button (a visible, enabled TBitBtn on the form).
  virtual void DefaultHandler(TMessage& Message);

  // The window's identity in window messages and notification-area requests.
  uint32_t Handle() const { return FHandle; }

  TWindowState GetWindowState() const { return FWindowState; }
  void SetWindowState(TWindowState Value);

  // Window design, read by the backend when it makes the window: the client
  // area is Width x Height (menu bar excluded).
  TMainMenu* Menu = nullptr;
  bool Sizeable = true;
  bool MinimizeBox = true;
  bool MaximizeBox = true;
  bool CenterOnScreen = false;

  int ModalResult = mrNone;
  bool InModalLoop = false;

  TNotifyEvent OnCreate;
  // The window is about to become visible / has just been hidden (by Show and
  // Hide, each only on an actual change).
  TNotifyEvent OnShow;
  TNotifyEvent OnHide;
  std::function<void(TComponent* Sender, TCloseAction& Action)> OnClose;

 private:
  uint32_t FHandle;
  TWindowState FWindowState = TWindowState::wsNormal;
};

// The form that holds Control (directly or through its parents), or null.
TForm* GetParentForm(TControl* Control);
