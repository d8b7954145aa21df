#include "ui/Application.h"

#include "platform/Files.h"
#include "platform/Text.h"
#include "ui/Form.h"
#include "ui/Timer.h"

TApplication* Application = nullptr;

TApplication::TApplication(std::unique_ptr<TBackend> ABackend, std::string AExeName)
    : ExeName(AExeName.empty() ? files::ExecutablePath() : std::move(AExeName)),
      Title(TitleFromExeName(ExeName)),
      FBackend(std::move(ABackend)) {
  Application = this;
}

TApplication::~TApplication() {
  // Forms first (newest first), while the backend their peers live in is there.
  while (!FForms.empty()) FForms.pop_back();
  MainForm = nullptr;
  if (Application == this) Application = nullptr;
}

std::string TApplication::TitleFromExeName(const std::string& ExeName) {
  size_t slash = ExeName.find_last_of("/\\");
  std::string name = slash == std::string::npos ? ExeName : ExeName.substr(slash + 1);
  if (const size_t dot = name.find('.'); dot != std::string::npos) name.resize(dot);
  if (name.empty()) return name;
  return name.substr(0, 1) + text::LowerCase(name.substr(1));
}

void TApplication::Run() {
  if (ShowMainForm && MainForm && !FTerminated) Invoke([&] { MainForm->Show(); });
  if (!FTerminated) FBackend->Run();
}

void TApplication::ProcessMessages() {
  FBackend->ProcessMessages();
}

void TApplication::Terminate() {
  FTerminated = true;
  FBackend->Terminate();
}

void TApplication::HandleException(const std::exception& E) noexcept {
  // Restored, not cleared: an error can be reported from inside the report of
  // another (a user command in the box's loop), and the outer box is still up.
  struct Reporting {
    bool& Flag;
    bool Saved;
    ~Reporting() { Flag = Saved; }
  } reporting{FReportingError, FReportingError};
  FReportingError = true;
  try {
    if (OnException)
      OnException(E);
    else
      FBackend->MessageBox(E.what(), Title, MB_OK | MB_ICONERROR);
  } catch (...) {
    // The handler of last resort has nowhere to report to.
  }
}

void TApplication::TimerTick(TTimer& Timer) noexcept {
  if (FReportingError) return;
  Invoke([&] { Timer.Fire(); });
}

int TApplication::MessageBox(const std::string& Text, const std::string& Caption, unsigned Flags) {
  return FBackend->MessageBox(Text, Caption, Flags);
}

TForm* TApplication::FindForm(uint32_t Handle) const {
  for (const auto& f : FForms)
    if (f->Handle() == Handle) return f.get();
  return nullptr;
}

TDateTime Now() {
  return Application ? Application->Backend().Now() : SystemNow();
}

void ShowMessage(const std::string& Text) {
  if (Application) Application->MessageBox(Text, Application->Title, MB_OK);
}

void SetScreenCursor(TCursor Cursor) {
  if (Application) Application->Backend().SetScreenCursor(Cursor);
}
