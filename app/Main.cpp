// Program entry: the application object on the Qt backend, the main window, the
// message loop. The command line is not read.
#include "app/Form1.h"
#include "ui/Application.h"
#include "ui/qt/QtBackend.h"

int main() {
  TApplication app(CreateQtBackend());
  app.ShowMainForm = false;
  app.CreateForm<TForm1>();
  app.Run();
  return 0;
}
