// Program entry: one copy per user (a second start brings the running one's
// window forward and ends), the application object on the desktop's backend
// (Qt on Linux, the native Win32 one on Windows), the main window, the
// message loop. The command line is not read.
#include "app/Form1.h"
#include "platform/SingleInstance.h"
#include "ui/Application.h"
#ifdef _WIN32
#include "ui/win32/Win32Backend.h"
#else
#include "ui/qt/QtBackend.h"
#endif

namespace {
// A second copy gives the first this long to be ready (it may be starting at
// the same moment), so that it ends within a second.
constexpr int kWakeWaitMs = 800;
// The main window's class on Windows (the backend names it after the form).
constexpr const char* kMainWindowClass = "Corvale.Form1";
}  // namespace

int main() {
  TSingleInstance instance("Corvale");
  if (!instance.First()) {
    instance.WakeFirst(kMainWindowClass, TForm1::kActivateMessage, kWakeWaitMs);
    return 0;
  }
#ifdef _WIN32
  TApplication app(CreateWin32Backend());
#else
  TApplication app(CreateQtBackend());
#endif
  app.ShowMainForm = false;
  app.CreateForm<TForm1>();
#ifndef _WIN32
  // On Windows the request arrives as a message to the window itself.
  WatchReadable(instance.ListenHandle(), [&instance] {
    if (instance.TakeWakeRequests() && Form1) Form1->Perform(TForm1::kActivateMessage, 0, 0);
  });
#endif
  app.Run();
  return 0;
}
