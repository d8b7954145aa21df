#pragma once
// The in-memory backend for tests. Its clock moves only when the test advances
// it; timers fire as it moves; message boxes, modal windows, pop-up menus and
// notification-area requests are recorded; ProcessMessages runs what is due.
//
//   auto backend = std::make_unique<THeadlessBackend>();
//   THeadlessBackend& ui = *backend;
//   TApplication app(std::move(backend), dir + "/Corvale");
//   ui.Advance(1000);  // one second passes, Timer2 ticks
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "ui/Backend.h"
#include "ui/NotifyIcon.h"

class THeadlessBackend : public TBackend {
 public:
  // The virtual clock starts at Start (default 2026-01-01 12:00:00).
  explicit THeadlessBackend(TDateTime Start = 0);
  ~THeadlessBackend() override;

  // Moves the clock forward by Milliseconds, firing every timer that falls
  // due on the way, in time order, each at its own moment.
  void Advance(int64_t Milliseconds);
  // Moves the clock forward without running anything, as time passes while the
  // program's one thread is blocked (in a network call, say); what fell due runs
  // at the next ProcessMessages or Advance.
  void Block(int64_t Milliseconds) { FNowMs += Milliseconds > 0 ? Milliseconds : 0; }
  int64_t ElapsedMs() const { return FNowMs; }
  TDateTime StartTime() const { return FStart; }

  // Queues a message for the form with this handle; ProcessMessages (or Run)
  // delivers it, as the toolkit would deliver input.
  void PostMessage(uint32_t Handle, unsigned Msg, uintptr_t WParam, intptr_t LParam);

  struct Box {
    std::string Text, Caption;
    unsigned Flags;
  };
  struct TrayRequest {
    unsigned Code;
    TNotifyIconData Data;
  };
  struct PopupCall {
    TPopupMenu* Menu;
    int X, Y;
  };
  std::vector<Box> MessageBoxes;
  int MessageBoxAnswer = 1;  // IDOK
  // Called while a message box is open, before it returns. A real box runs its
  // own message loop, in which timers keep firing: a test lets time pass here.
  std::function<void(const Box&)> OnMessageBox;
  std::vector<TrayRequest> TrayRequests;
  // Each desktop notification asked for, as the backend received it.
  std::vector<TNotifyBalloon> Balloons;
  // What the program last put on the clipboard.
  std::string Clipboard;
  bool TrayIconPresent = false;
  std::string TrayTip;
  std::vector<PopupCall> Popups;
  // Called for each pop-up with the menu; a test can choose an item there.
  std::function<void(TPopupMenu&)> OnPopup;
  std::vector<TForm*> ModalForms;
  // Called while a form is shown modally; sets its ModalResult (else mrCancel).
  std::function<void(TForm&)> OnShowModal;
  TPoint Cursor;
  // Each screen cursor the program asked for, in order.
  std::vector<TCursor> ScreenCursors;
  int ProcessMessagesCalls = 0;
  bool RunCalled = false;
  bool Terminated = false;
  // A request to end the program waiting in the queue, as another program
  // (an installer) or the session would post it; a test thread may set it
  // while the program waits on the network.
  std::atomic<bool> QuitPending{false};
  // Each change of a form's visibility: (form name, visible).
  std::vector<std::pair<std::string, bool>> VisibilityLog;

  // TBackend
  TDateTime Now() override;
  std::unique_ptr<TPeer> CreatePeer(TControl& Control) override;
  std::unique_ptr<TPeer> CreateTimerPeer(TTimer& Timer) override;
  void ProcessMessages() override;
  void Run() override;
  void Terminate() override;
  int MessageBox(const std::string& Text, const std::string& Caption, unsigned Flags) override;
  int ShowModal(TForm& Form) override;
  void Popup(TPopupMenu& Menu, int X, int Y) override;
  bool NotifyIcon(unsigned Code, const TNotifyIconData& Data) override;
  TPoint CursorPos() override { return Cursor; }
  bool ShowBalloon(const TNotifyBalloon& Balloon) override;
  bool SetClipboardText(const std::string& Text) override {
    Clipboard = Text;
    return true;
  }
  void SetScreenCursor(TCursor C) override { ScreenCursors.push_back(C); }
  bool QuitRequested() override { return QuitPending; }

  class TimerPeer;

 private:
  friend class TimerPeer;
  struct Posted {
    uint32_t Handle;
    unsigned Msg;
    uintptr_t WParam;
    intptr_t LParam;
  };
  void FireDue();
  TDateTime FStart;
  int64_t FNowMs = 0;
  std::vector<TimerPeer*> FTimers;
  std::deque<Posted> FQueue;
};
