// Program entry: the application object on the desktop's backend (Qt on
// Linux, the native Win32 one on Windows), the main window, the message loop.
// The command line is not read.
#include "app/Form1.h"
#include "ui/Application.h"
#ifdef _WIN32
#include "ui/win32/Win32Backend.h"
#else
#include "ui/qt/QtBackend.h"
#endif

int main() {
#ifdef _WIN32
  TApplication app(CreateWin32Backend());
#else
  TApplication app(CreateQtBackend());
#endif
  app.ShowMainForm = false;
  app.CreateForm<TForm1>();
  app.Run();
  return 0;
}
