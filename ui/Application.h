#pragma once
// The application object: the backend, the forms, the title, the message loop
// and the default exception handler. There is one while the program runs; it is
// reachable as Application (null when there is none).
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Component.h"
#include "platform/DateTime.h"
#include "platform/Exception.h"
#include "ui/Backend.h"

class TForm;
class TTimer;

// Message box flags and results.
inline constexpr unsigned MB_OK = 0x00;
inline constexpr unsigned MB_OKCANCEL = 0x01;
inline constexpr unsigned MB_YESNO = 0x04;
inline constexpr unsigned MB_ICONERROR = 0x10;
inline constexpr unsigned MB_ICONQUESTION = 0x20;
inline constexpr unsigned MB_ICONWARNING = 0x30;
inline constexpr unsigned MB_ICONINFORMATION = 0x40;
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDYES = 6;
inline constexpr int IDNO = 7;

class TApplication : public TComponent {
 public:
  // ExeName is the executable's full path; the title is derived from it.
  explicit TApplication(std::unique_ptr<TBackend> ABackend, std::string AExeName = {});
  ~TApplication() override;

  TBackend& Backend() const { return *FBackend; }

  // Makes a form owned by the application, lets Setup adjust it, then runs its
  // creation handler. The first form made becomes the main form.
  template <class T>
  T* CreateForm(const std::function<void(T&)>& Setup = {}) {
    auto form = std::make_unique<T>(this);
    T* raw = form.get();
    if (!MainForm) MainForm = raw;
    FForms.push_back(std::move(form));
    if (Setup) Setup(*raw);
    raw->DoCreate();
    return raw;
  }

  // Shows the main form unless ShowMainForm is off, then runs the message loop
  // until Terminate.
  void Run();
  void ProcessMessages();
  void Terminate();
  bool Terminated() const { return FTerminated; }
  // Terminated, or a request to end the program waiting in the queue (see
  // TBackend::QuitRequested): work that waits on the network gives up.
  bool QuitRequested() const { return FTerminated || FBackend->QuitRequested(); }

  // Runs Action; an exception that leaves it goes to HandleException and no
  // further. Every toolkit event enters the program through here.
  template <class F>
  void Invoke(F&& Action) noexcept {
    try {
      Action();
    } catch (const std::exception& e) {
      HandleException(e);
    } catch (...) {
      HandleException(Exception("Unknown exception"));
    }
  }
  // OnException when assigned, else a message box with the message text.
  void HandleException(const std::exception& E) noexcept;
  // One tick of Timer, run through Invoke; every backend's timers enter the
  // program through here. A tick that arrives while an error is being
  // reported (a message box's own loop runs timers) is dropped, so a check
  // that fails at every tick cannot open one box inside another; the timer's
  // rhythm is unchanged and the next tick after the box has closed runs.
  void TimerTick(TTimer& Timer) noexcept;

  int MessageBox(const std::string& Text, const std::string& Caption, unsigned Flags);

  // The form with this handle, or null.
  TForm* FindForm(uint32_t Handle) const;
  uint32_t AllocateHandle() { return FNextHandle++; }

  // "C:\x\Corvale.exe" or "/opt/x/Corvale" -> "Corvale": the file name cut at its
  // first dot, the first character as it is and the rest in lower case.
  static std::string TitleFromExeName(const std::string& ExeName);

  std::string ExeName;
  std::string Title;
  bool ShowMainForm = true;
  TForm* MainForm = nullptr;
  std::function<void(const std::exception&)> OnException;

 private:
  std::unique_ptr<TBackend> FBackend;
  std::vector<std::unique_ptr<TForm>> FForms;  // freed before the backend
  bool FTerminated = false;
  uint32_t FNextHandle = 1;
  bool FReportingError = false;  // HandleException is showing an error
};

extern TApplication* Application;

// The application clock (the local time). Reads the backend's clock; without an
// application, the system's.
TDateTime Now();

// A message box with an OK button and the application title as caption.
void ShowMessage(const std::string& Text);

// The cursor shown over all the program's windows; crDefault gives each control
// its own back.
void SetScreenCursor(TCursor Cursor);
