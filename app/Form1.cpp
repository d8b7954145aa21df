#include "app/Form1.h"

#include <algorithm>
#include <cmath>
#include <type_traits>
#include <utility>

#include "about/AboutPicture.h"
#include "app/OptionsForm.h"
#include "app/SettingsText.h"
#include "platform/Files.h"
#include "platform/SettingsDir.h"
#include "platform/Text.h"
#include "ui/Application.h"

#ifndef CORVALE_ECHO_HOST
#define CORVALE_ECHO_HOST ""
#endif
#ifndef CORVALE_DNS_SERVER
#define CORVALE_DNS_SERVER ""
#endif
#ifndef CORVALE_DNS_PORT
#define CORVALE_DNS_PORT 53
#endif
#ifndef CORVALE_SMTP_PORT
#define CORVALE_SMTP_PORT 25
#endif
// CORVALE_SETTINGS_IN_CONFIG: this build keeps the settings file in the user's
// configuration directory (an installed program cannot write beside itself).
#ifdef CORVALE_SETTINGS_IN_CONFIG
#define CORVALE_SETTINGS_PLACE files::TSettingsPlace::ConfigDir
#else
#define CORVALE_SETTINGS_PLACE files::TSettingsPlace::ExeDir
#endif

TForm1* Form1 = nullptr;

namespace {
// The settings file, in SettingsDir.
constexpr const char* kSettingsName = "Corvale.ini";

// The notification-area icon: its identifier, its callback message, and the
// flags saying the callback message, the icon and the tip are valid.
constexpr uint32_t kTrayIconId = 100;
constexpr unsigned kTrayMessage = WM_USER + 1;
constexpr uint32_t kTrayFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
// The tip field's capacity without its terminating zero.
constexpr size_t kTipChars = kNotifyTipSize - 1;

// Interval arithmetic in milliseconds.
constexpr uint32_t kMsPerHour = 3600000;
constexpr uint32_t kMsPerMinute = 60000;
constexpr uint32_t kCountdownMs = 1000;  // the countdown ticks once a second
constexpr int kHoursMax = 48;            // the hours spin control's range
constexpr int kMinutesMax = 59;
constexpr int kHoursTypedMax = 24;  // what typing in the hours edit allows

// Window design (client area in pixels).
constexpr int kClientWidth = 403;
constexpr int kClientHeight = 254;
constexpr int kStatusHeight = 19;

std::string Key(const char* Word) {
  return formtext::SettingsKey(Word);
}

// A value as the settings file holds it; the reader cuts the value (not the
// line with its key) the same way, so what is written is what is read back.
std::string StoredValue(std::string S) {
  return formtext::StoredValue(std::move(S), TForm1::kMaxText);
}

TFont LabelFont() {
  return TFont{"", 10, true, clBlue};
}
TFont EditFont() {
  return TFont{"", 10, true, clGreen};
}
}  // namespace

TForm1::TForm1(TComponent* AOwner)
    : TForm(AOwner),
      EchoHost(CORVALE_ECHO_HOST),
      DNSServer(CORVALE_DNS_SERVER),
      DNSPort(static_cast<uint16_t>(CORVALE_DNS_PORT)),
      SMTPPort(static_cast<uint16_t>(CORVALE_SMTP_PORT)),
      SettingsPlace(CORVALE_SETTINGS_PLACE) {
  Form1 = this;
  Name = "Form1";
  SetCaption("Corvale");
  SetBounds(0, 0, kClientWidth, kClientHeight);
  Color = clSkyBlue;
  Sizeable = false;
  MaximizeBox = false;
  MinimizeBox = true;
  CenterOnScreen = true;

  auto make = [this]<class T>(T* Dummy, const char* AName) {
    (void)Dummy;
    T* c = TComponent::Create<T>(*this);
    c->Name = AName;
    if constexpr (std::is_base_of_v<TControl, T>) c->SetParent(this);
    return c;
  };
  auto label = [&](const char* AName, const char* ACaption, int L, int T, int W) {
    TLabel* l = make(static_cast<TLabel*>(nullptr), AName);
    l->SetCaption(ACaption);
    l->Font = LabelFont();
    l->SetBounds(L, T, W, 20);
    return l;
  };
  auto edit = [&](const char* AName, const char* AText, int L, int T, int W) {
    TEdit* e = make(static_cast<TEdit*>(nullptr), AName);
    e->SetText(AText);
    e->Font = EditFont();
    e->SetBounds(L, T, W, 24);
    return e;
  };
  auto updown = [&](const char* AName, TEdit* Edit, int Max, int Position) {
    TUpDown* u = make(static_cast<TUpDown*>(nullptr), AName);
    u->Min = 0;
    u->Max = Max;
    u->Wrap = false;
    u->SetPosition(Position);
    u->SetAssociate(Edit);
    u->SetBounds(Edit->Left() + Edit->Width(), Edit->Top(), 17, Edit->Height());
    return u;
  };
  auto button = [&](const char* AName, const char* ACaption, TBitBtnKind Kind, int L) {
    TBitBtn* b = make(static_cast<TBitBtn*>(nullptr), AName);
    b->SetCaption(ACaption);
    b->Kind = Kind;
    b->Font = LabelFont();
    b->SetBounds(L, 176, 115, 34);
    return b;
  };

  Label1 = label("Label1", "Name", 20, 22, 90);
  Edit1 = edit("Edit1", "Name", 120, 20, 262);
  Label2 = label("Label2", "Email", 20, 58, 90);
  Edit2 = edit("Edit2", "Email Address", 120, 56, 262);
  Label3 = label("Label3", "Check Every", 20, 94, 100);
  Edit3 = edit("Edit3", "48", 120, 92, 40);
  UpDown1 = updown("UpDown1", Edit3, kHoursMax, 48);
  Label4 = label("Label4", "hours", 183, 94, 50);
  Edit4 = edit("Edit4", "0", 240, 92, 40);
  UpDown2 = updown("UpDown2", Edit4, kMinutesMax, 0);
  Label5 = label("Label5", "mins", 303, 94, 50);
  CheckBox1 = make(static_cast<TCheckBox*>(nullptr), "CheckBox1");
  CheckBox1->SetCaption("Start Minimized");
  CheckBox1->Font = LabelFont();
  CheckBox1->SetBounds(120, 130, 180, 22);
  BitBtn1 = button("BitBtn1", "Apply", TBitBtnKind::bkOK, 12);
  BitBtn3 = button("BitBtn3", "&Minimize", TBitBtnKind::bkRetry, 144);
  BitBtn2 = button("BitBtn2", "&Close", TBitBtnKind::bkClose, 276);
  StatusBar1 = make(static_cast<TStatusBar*>(nullptr), "StatusBar1");
  StatusBar1->SetBounds(0, kClientHeight - kStatusHeight, kClientWidth, kStatusHeight);
  StatusBar1->Panels.Add(100);  // time left to the next check
  StatusBar1->Panels.Add(50);   // the public address

  Timer1 = make(static_cast<TTimer*>(nullptr), "Timer1");
  Timer1->SetEnabled(false);
  Timer2 = make(static_cast<TTimer*>(nullptr), "Timer2");
  Timer2->SetEnabled(false);
  Timer2->SetInterval(kCountdownMs);

  auto on = [this](void (TForm1::*Handler)(TComponent*)) {
    return [this, Handler](TComponent* Sender) { (this->*Handler)(Sender); };
  };
  MainMenu1 = make(static_cast<TMainMenu*>(nullptr), "MainMenu1");
  Apply1 = MainMenu1->Add("Apply1", "Apply", on(&TForm1::Apply1Click));
  Minimize1 = MainMenu1->Add("Minimize1", "Minimize", on(&TForm1::Minimize1Click));
  Close1 = MainMenu1->Add("Close1", "Close", on(&TForm1::Close1Click));
  SendEmail2 = MainMenu1->Add("SendEmail2", "Send Email", on(&TForm1::SendEmail2Click));
  Options1 = MainMenu1->Add("Options1", "Options...", on(&TForm1::Options1Click));
  History1 = MainMenu1->Add("History1", "History...", on(&TForm1::History1Click));
  About2 = MainMenu1->Add("About2", "About", on(&TForm1::About2Click));
  Menu = MainMenu1;

  PopupMenu1 = make(static_cast<TPopupMenu*>(nullptr), "PopupMenu1");
  SendEmail1 = PopupMenu1->Add("SendEmail1", "Send Email", on(&TForm1::SendEmail1Click));
  Hide1 = PopupMenu1->Add("Hide1", "Hide", on(&TForm1::Hide1Click));
  About1 = PopupMenu1->Add("About1", "About", on(&TForm1::About1Click));
  ShowApplication1 =
      PopupMenu1->Add("ShowApplication1", "Show Application", on(&TForm1::ShowApplication1Click));
  N1 = PopupMenu1->Add("N1", "-");
  ExitApplication1 =
      PopupMenu1->Add("ExitApplication1", "Exit Application", on(&TForm1::ExitApplication1Click));

  CreateNetworkComponents();
  AboutBox1 = make(static_cast<TAboutBox*>(nullptr), "AboutBox1");
  AboutBox1->AppName = "Corvale";
  AboutBox1->Copyright = "Copyright \xC2\xA9 2026 The Corvale developers";
  AboutBox1->Url = "https://corvale.example.org/";
  TJPEGImage picture;
  picture.LoadFromBytes(AboutPictureJPEG());
  AboutBox1->SetPicture(picture);

  Edit3->OnExit = on(&TForm1::Edit3Exit);
  Edit4->OnExit = on(&TForm1::Edit3Exit);
  BitBtn1->OnClick = on(&TForm1::BitBtn1Click);
  BitBtn3->OnClick = on(&TForm1::BitBtn3Click);
  Timer1->OnTimer = on(&TForm1::Timer1Timer);
  Timer2->OnTimer = on(&TForm1::Timer2Timer);
  OnCreate = on(&TForm1::FormCreate);
  OnShow = on(&TForm1::FormShow);
  OnHide = on(&TForm1::FormHide);
  OnClose = [this](TComponent* Sender, TCloseAction& Action) { FormClose(Sender, Action); };
}

TForm1::~TForm1() {
  if (Form1 == this) Form1 = nullptr;
}

std::string TForm1::SettingsPath() const {
  return SettingsDir + kSettingsName;
}

void TForm1::FormCreate(TComponent*) {
  ClearForm();
  EnableTimeSetting();
  Application->ProcessMessages();

  ExeDir = files::ExtractFilePath(Application->ExeName);
  if (ExeDir.empty()) ExeDir = "./";
  // A folder that already ends in a separator (Windows writes a backslash)
  // takes no second one.
  if (ExeDir.back() != '/' && ExeDir.back() != '\\') ExeDir += '/';
  SettingsDir = files::SettingsDirectory(SettingsPlace, ExeDir);

  TrayIconData = TNotifyIconData{};
  TrayIconData.cbSize = sizeof(TNotifyIconData);
  TrayIconData.Wnd = Handle();
  TrayIconData.uID = kTrayIconId;
  TrayIconData.uFlags = kTrayFlags;
  TrayIconData.uCallbackMessage = kTrayMessage;
  TrayIconData.hIcon = kApplicationIcon;
  SetTip(Application->Title);
  Shell_NotifyIconA(NIM_ADD, &TrayIconData);

  Show();
  LastIP.clear();
  if (!files::FileExists(SettingsPath())) return;

  UpdateForm();
  if (CheckBox1->GetChecked())
    Hide();
  else
    Show();
  Application->ProcessMessages();
  EnableTimeSetting();
  Timer1->SetInterval(static_cast<uint32_t>(UpDown1->GetPosition()) * kMsPerHour +
                      static_cast<uint32_t>(UpDown2->GetPosition()) * kMsPerMinute);
  PeriodStart = Now();
  Timer1->SetEnabled(true);
  StartCountdown();
  RunCheck();
}

void TForm1::FormClose(TComponent*, TCloseAction&) {
  Shell_NotifyIconA(NIM_DELETE, &TrayIconData);
  Application->Terminate();
}

void TForm1::ClearForm() {
  Edit1->SetText("");
  Edit2->SetText("");
}

void TForm1::EnableTimeSetting() {
  Edit3->SetEnabled(true);
  Edit4->SetEnabled(true);
  UpDown1->SetEnabled(true);
  UpDown2->SetEnabled(true);
}

void TForm1::UpdateInfo() {
  std::string out;
  out += Key("Name") + StoredValue(Edit1->GetText()) + "\r\n";
  out += Key("Email") + StoredValue(Edit2->GetText()) + "\r\n";
  out += Key("Schedule") + text::IntToStr(Timer1->GetInterval() / 1000) + "\r\n";
  out += Key("Start Min") + (CheckBox1->GetChecked() ? "1" : "0") + "\r\n";
  out += Key("IP") + StoredValue(LastIP) + "\r\n";
  outgoing::Write(ExtraSettings, Outgoing);
  out += ExtraSettings.Text(kMaxText);
  // A password the user chose to keep here makes the file private.
  files::WriteSettingsFile(SettingsPlace, SettingsPath(), out, Outgoing.PasswordInFile);
}

void TForm1::UpdateForm() {
  if (!files::FileExists(SettingsPath())) return;
  const std::string data = files::ReadFile(SettingsPath());
  const auto values = formtext::ReadSettingsValues(data, kMaxText);
  ExtraSettings = formtext::TExtraSettings::Read(data, kMaxText);
  Outgoing = outgoing::Read(ExtraSettings);
  OutgoingPassword = StoredOutgoingPassword(Outgoing, ExtraSettings);
  auto value = [&](size_t Index) { return values[Index]; };
  Edit1->SetText(text::Trim(value(0)));
  Edit2->SetText(text::Trim(value(1)));
  const int seconds = text::StrToInt(value(2));
  const int startMin = text::StrToInt(value(3));
  CheckBox1->SetChecked(startMin == 1);
  LastIP = value(4);

  UpDown1->SetPosition(seconds / 3600);
  const int h = UpDown1->GetPosition();
  UpDown2->SetPosition((seconds - h * 3600) / 60);
}

void TForm1::Edit3Exit(TComponent*) {
  if (text::StrToInt(Edit3->GetText()) > kHoursTypedMax)
    Edit3->SetText(text::IntToStr(kHoursTypedMax));
}

void TForm1::BitBtn1Click(TComponent*) {
  Hide();
  Application->ProcessMessages();
  RunCheck();
  Timer1->SetEnabled(false);
  Timer1->SetInterval(static_cast<uint32_t>(UpDown1->GetPosition()) * kMsPerHour +
                      static_cast<uint32_t>(UpDown2->GetPosition()) * kMsPerMinute);
  if (Timer1->GetInterval() == 0) {
    ShowMessage("Please enter a valid time");
    return;
  }
  PeriodStart = Now();
  Timer1->SetEnabled(true);
  StartCountdown();
  UpdateInfo();
}

void TForm1::BitBtn3Click(TComponent*) {
  Hide();
}

void TForm1::Timer1Timer(TComponent*) {
  if (!RunCheck()) return;
  // The next countdown starts when the check has returned.
  PeriodStart = Now();
}

void TForm1::Timer2Timer(TComponent*) {
  DrawCountdown();
  Application->ProcessMessages();
}

void TForm1::StartCountdown() {
  FCountdownOn = true;
  // A timer that already runs keeps its rhythm.
  if (GetVisible()) Timer2->SetEnabled(true);
}

void TForm1::FormShow(TComponent*) {
  if (!FCountdownOn) return;
  // Drawn before the window appears, so that no stale time is ever seen; the
  // next tick comes a second from now.
  DrawCountdown();
  Timer2->SetEnabled(true);
}

void TForm1::FormHide(TComponent*) {
  Timer2->SetEnabled(false);
}

void TForm1::DrawCountdown() {
  // Whole seconds since the period began. The difference is rounded to the
  // millisecond first: day fractions are not exact, and truncating 8999.9999
  // would show a second too many.
  const int64_t elapsedMs = std::llround((Now() - PeriodStart) * 86400000.0);
  const int64_t elapsed = elapsedMs / 1000;
  const int64_t left = static_cast<int64_t>(Timer1->GetInterval() / 1000) - elapsed;
  StatusBar1->Panels[0].SetText(FormatCountdown(left));
}

std::string TForm1::FormatCountdown(int64_t Seconds) {
  const int64_t h = Seconds / 3600;
  const int64_t m = (Seconds - h * 3600) / 60;
  const int64_t s = Seconds - h * 3600 - m * 60;
  return text::Format("%2.2lld : %2.2lld : %2.2lld", static_cast<long long>(h),
                      static_cast<long long>(m), static_cast<long long>(s));
}

void TForm1::Apply1Click(TComponent*) {
  BitBtn1->Click();
}
void TForm1::Minimize1Click(TComponent*) {
  BitBtn3->Click();
}
void TForm1::Close1Click(TComponent*) {
  BitBtn2->Click();
}

void TForm1::About1Click(TComponent*) {
  AboutBox1->ShowAbout();
}

void TForm1::About2Click(TComponent*) {
  About1Click(Form1);
}
void TForm1::SendEmail1Click(TComponent*) {
  SendEmailNow();
}
void TForm1::SendEmail2Click(TComponent*) {
  SendEmailNow();
}
void TForm1::Options1Click(TComponent*) {
  ShowOptionsWindow(*this);
}

// "Hide" hides the window like the other hide commands: a user who picks it
// from the icon's menu expects the window to go.
void TForm1::Hide1Click(TComponent*) {
  Hide();
}

void TForm1::ShowApplication1Click(TComponent*) {
  Show();
}

void TForm1::ExitApplication1Click(TComponent*) {
  Shell_NotifyIconA(NIM_DELETE, &TrayIconData);
  Application->Terminate();
}

void TForm1::WndProc(TMessage& Message) {
  if (Message.Msg == kActivateMessage) Show();
  if (Message.Msg == kTrayMessage) {
    switch (static_cast<unsigned>(Message.LParam)) {
      case WM_LBUTTONDBLCLK:
        Show();
        break;
      case WM_RBUTTONDOWN: {
        TPoint p;
        GetCursorPos(p);
        PopupMenu1->Popup(p.X, p.Y);
        break;
      }
      default:
        break;
    }
  }
  TForm::WndProc(Message);
}

void TForm1::WMSysCommand(TMessage& Message) {
  // Minimizing hides the window: the program leaves the task bar and stays
  // reachable through its icon.
  if (Message.WParam == SC_MINIMIZE) {
    Message.WParam = 0;
    Hide();
  }
  TForm::WMSysCommand(Message);
}

void TForm1::UpdateTrayTip() {
  const std::string before(TrayIconData.szTip);
  SetTip(Application->Title + " - " + LastIP);
  // Every check ends here, and the tip seldom changes: an unchanged tip is
  // not sent again (each modify is a message to the shell's process, which
  // under Wine wakes the hidden program several times a check).
  if (before == TrayIconData.szTip) return;
  Shell_NotifyIconA(NIM_MODIFY, &TrayIconData);
}

void TForm1::SetTip(const std::string& Tip) {
  std::string t = text::CutUtf8(Tip, kTipChars);
  std::fill(std::begin(TrayIconData.szTip), std::end(TrayIconData.szTip), '\0');
  std::copy(t.begin(), t.end(), TrayIconData.szTip);
}

bool TForm1::RunCheck() {
  if (FChecking) return false;
  FChecking = true;
  struct Reset {
    bool& b;
    ~Reset() { b = false; }
  } reset{FChecking};
  GetMyIP();
  return true;
}
