#include "app/OptionsForm.h"

#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <vector>

#include "app/Form1.h"
#include "platform/Autostart.h"
#include "platform/Files.h"
#include "platform/Text.h"
#include "ui/Application.h"

namespace {

// The security choices in the combo box, in its order.
constexpr outgoing::TSecurity kSecurities[] = {outgoing::TSecurity::StartTLS,
                                               outgoing::TSecurity::TLS, outgoing::TSecurity::None};
// The port each choice is known by: picking one moves the port along when it
// still holds the other's.
constexpr uint16_t kStartTlsPort = 587;
constexpr uint16_t kTlsPort = 465;
constexpr int kPortMax = 65535;

// Layout (client-area pixels).
constexpr int kMargin = 12;
constexpr int kFieldLeft = 110;
constexpr int kFieldWidth = 258;
constexpr int kLabelWidth = 94;
constexpr int kEditHeight = 24;
constexpr int kButtonWidth = 90;
constexpr int kButtonHeight = 30;

int SecurityIndex(outgoing::TSecurity S) {
  for (size_t i = 0; i < std::size(kSecurities); ++i)
    if (kSecurities[i] == S) return static_cast<int>(i);
  return 0;
}

}  // namespace

TOptionsForm::TOptionsForm(TComponent* AOwner, TForm1& Main) : TForm(AOwner), FMain(Main) {
  Name = "OptionsForm";
  SetCaption("Options");
  SetBounds(0, 0, kClientWidth, kClientHeight);
  Sizeable = false;
  MinimizeBox = false;
  MaximizeBox = false;
  CenterOnScreen = true;

  auto make = [this]<class T>(T* Dummy, const char* AName, int L, int T_, int W, int H) {
    (void)Dummy;
    T* c = TComponent::Create<T>(*this);
    c->Name = AName;
    c->SetParent(this);
    c->SetBounds(L, T_, W, H);
    return c;
  };
  auto label = [&](const char* AName, const char* ACaption, int L, int T_, int W) {
    TLabel* l = make(static_cast<TLabel*>(nullptr), AName, L, T_ + 4, W, 18);
    l->SetCaption(ACaption);
    return l;
  };
  auto edit = [&](const char* AName, int L, int T_, int W) {
    return make(static_cast<TEdit*>(nullptr), AName, L, T_, W, kEditHeight);
  };

  int top = kMargin;
  chkServer = make(static_cast<TCheckBox*>(nullptr), "chkServer", kMargin, top,
                   kClientWidth - 2 * kMargin, 22);
  chkServer->SetCaption("Send through my own mail server");
  top += 34;
  lblHost = label("lblHost", "Server", kMargin, top, kLabelWidth);
  edtHost = edit("edtHost", kFieldLeft, top, 160);
  lblPort = label("lblPort", "Port", 280, top, 32);
  edtPort = edit("edtPort", 314, top, kClientWidth - kMargin - 314);
  top += 34;
  lblSecurity = label("lblSecurity", "Security", kMargin, top, kLabelWidth);
  cmbSecurity =
      make(static_cast<TComboBox*>(nullptr), "cmbSecurity", kFieldLeft, top, 120, kEditHeight);
  std::vector<std::string> names;
  for (outgoing::TSecurity s : kSecurities) names.emplace_back(outgoing::SecurityName(s));
  cmbSecurity->SetItems(names);
  top += 34;
  lblUser = label("lblUser", "User name", kMargin, top, kLabelWidth);
  edtUser = edit("edtUser", kFieldLeft, top, kFieldWidth);
  top += 34;
  lblPassword = label("lblPassword", "Password", kMargin, top, kLabelWidth);
  edtPassword = edit("edtPassword", kFieldLeft, top, kFieldWidth);
  edtPassword->PasswordChar = '*';
  top += 32;
  // Room for three lines of the note.
  lblStore =
      make(static_cast<TLabel*>(nullptr), "lblStore", kMargin, top, kClientWidth - 2 * kMargin, 50);
  lblStore->WordWrap = true;
  top += 52;
  chkKeepInFile = make(static_cast<TCheckBox*>(nullptr), "chkKeepInFile", kMargin, top,
                       kClientWidth - 2 * kMargin, 22);
  chkKeepInFile->SetCaption("Keep the password in the settings file");
  top += 28;
  btnTest = make(static_cast<TBitBtn*>(nullptr), "btnTest", kFieldLeft, top, 150, kButtonHeight);
  btnTest->SetCaption("Send a test mail");
  // The desktop habits, in the rows left free for them.
  chkNotify = make(static_cast<TCheckBox*>(nullptr), "chkNotify", kMargin, kSpareTop,
                   kClientWidth - 2 * kMargin, 22);
  chkNotify->SetCaption("Show desktop notifications");
  chkAutostart = make(static_cast<TCheckBox*>(nullptr), "chkAutostart", kMargin,
                      kSpareTop + kRowHeight, kClientWidth - 2 * kMargin, 22);
  chkAutostart->SetCaption("Start with the session");
  const int buttonTop = kClientHeight - kMargin - kButtonHeight;
  btnCancel = make(static_cast<TBitBtn*>(nullptr), "btnCancel",
                   kClientWidth - kMargin - kButtonWidth, buttonTop, kButtonWidth, kButtonHeight);
  btnCancel->SetCaption("Cancel");
  btnCancel->Kind = TBitBtnKind::bkCancel;
  btnCancel->ModalResult = mrCancel;
  btnCancel->Cancel = true;
  btnOk = make(static_cast<TBitBtn*>(nullptr), "btnOk", btnCancel->Left() - 8 - kButtonWidth,
               buttonTop, kButtonWidth, kButtonHeight);
  btnOk->SetCaption("OK");
  btnOk->Kind = TBitBtnKind::bkOK;
  btnOk->Default = true;

  auto on = [this](void (TOptionsForm::*Handler)(TComponent*)) {
    return [this, Handler](TComponent* Sender) { (this->*Handler)(Sender); };
  };

  // The fields from the main window's settings, before the handlers are set:
  // filling them is not the user's choice.
  const outgoing::TOutgoingServer& server = FMain.Outgoing;
  chkServer->SetChecked(server.Enabled);
  edtHost->SetText(server.Host);
  edtPort->SetText(text::IntToStr(server.Port));
  cmbSecurity->SetItemIndex(SecurityIndex(server.Security));
  edtUser->SetText(server.User);
  chkKeepInFile->SetChecked(server.PasswordInFile);
  chkNotify->SetChecked(FMain.DesktopNotifications());
  // What the session will do, whoever made the entry (the package, the
  // installer, the user).
  chkAutostart->SetChecked(autostart::Enabled());
  // Asking the store for this account's password also says whether one
  // answers at all.
  std::string kept;
  const credentials::TOutcome o =
      credentials::ReadPassword(text::Trim(server.Host), server.User, kept);
  FStoreAvailable = o.Status != credentials::TStatus::Unavailable;
  std::string password = FMain.OutgoingPassword;
  if (password.empty())
    password = server.PasswordInFile ? FMain.ExtraSettings.Get(outgoing::kKeyPassword) : kept;
  edtPassword->SetText(password);
  ShowStore();

  chkServer->OnClick = on(&TOptionsForm::chkServerClick);
  cmbSecurity->OnChange = on(&TOptionsForm::cmbSecurityChange);
  btnTest->OnClick = on(&TOptionsForm::btnTestClick);
  btnOk->OnClick = on(&TOptionsForm::btnOkClick);
  EnableFields();
}

TOptionsForm::~TOptionsForm() = default;

void TOptionsForm::ShowStore() {
  if (FStoreAvailable) {
    lblStore->SetCaption(std::string("The password is kept in ") + credentials::StoreName() + ".");
    chkKeepInFile->SetVisible(false);
    return;
  }
  lblStore->SetCaption(kNoStoreNote);
  chkKeepInFile->SetVisible(true);
}

void TOptionsForm::EnableFields() {
  const bool on = chkServer->GetChecked();
  for (TControl* c : std::initializer_list<TControl*>{
           lblHost, edtHost, lblPort, edtPort, lblSecurity, cmbSecurity, lblUser, edtUser,
           lblPassword, edtPassword, lblStore, chkKeepInFile, btnTest})
    c->SetEnabled(on);
}

void TOptionsForm::chkServerClick(TComponent*) {
  EnableFields();
}

void TOptionsForm::cmbSecurityChange(TComponent*) {
  // The port follows the security while it holds the other one's usual port.
  const std::string port = text::Trim(edtPort->GetText());
  const int index = cmbSecurity->GetItemIndex();
  if (index < 0) return;
  const outgoing::TSecurity s = kSecurities[index];
  if (s == outgoing::TSecurity::TLS && port == text::IntToStr(kStartTlsPort))
    edtPort->SetText(text::IntToStr(kTlsPort));
  else if (s == outgoing::TSecurity::StartTLS && port == text::IntToStr(kTlsPort))
    edtPort->SetText(text::IntToStr(kStartTlsPort));
}

bool TOptionsForm::ServerFromFields(outgoing::TOutgoingServer& Server, std::string& Error,
                                    bool CheckAll) const {
  Server = FMain.Outgoing;
  Server.Enabled = chkServer->GetChecked();
  Server.Host = text::Trim(edtHost->GetText());
  Server.User = edtUser->GetText();
  const int index = cmbSecurity->GetItemIndex();
  Server.Security = kSecurities[index < 0 ? 0 : index];
  int port = 0;
  const bool number = text::TryStrToInt(text::Trim(edtPort->GetText()), port);
  if (Server.Enabled || CheckAll) {
    if (!number || port < 1 || port > kPortMax) {
      Error = "The port must be a number from 1 to 65535.";
      return false;
    }
    Server.Port = static_cast<uint16_t>(port);
    Error = outgoing::Validate(Server);
    return Error.empty();
  }
  // Off: the fields are kept as typed where they can be, never refused.
  if (number && port >= 1 && port <= kPortMax) Server.Port = static_cast<uint16_t>(port);
  Error.clear();
  return true;
}

void TOptionsForm::btnTestClick(TComponent*) {
  outgoing::TOutgoingServer server;
  std::string error;
  if (ServerFromFields(server, error, true)) {
    SetScreenCursor(TCursor::crHourGlass);
    struct Restore {
      ~Restore() { SetScreenCursor(TCursor::crDefault); }
    } restore;
    error = FMain.SendTestMail(server, edtPassword->GetText());
  }
  if (error.empty())
    Application->MessageBox("The test mail was sent.", Application->Title,
                            MB_OK | MB_ICONINFORMATION);
  else
    Application->MessageBox("The test mail was not sent: " + error, Application->Title,
                            MB_OK | MB_ICONERROR);
}

void TOptionsForm::btnOkClick(TComponent*) {
  outgoing::TOutgoingServer server;
  std::string error;
  const std::string password = edtPassword->GetText();
  if (!ServerFromFields(server, error, false)) {
    Application->MessageBox(error, Application->Title, MB_OK | MB_ICONERROR);
    return;
  }
  if (password.size() > credentials::kMaxPasswordBytes) {
    Application->MessageBox("The password is longer than " +
                                text::IntToStr(static_cast<int>(credentials::kMaxPasswordBytes)) +
                                " bytes.",
                            Application->Title, MB_OK | MB_ICONERROR);
    return;
  }
  server.PasswordInFile = !FStoreAvailable && chkKeepInFile->GetChecked();
  // The settings file keeps values of at most TForm1::kMaxText bytes on one
  // line: a password it would cut or break is refused rather than kept
  // wrong.
  if (server.PasswordInFile &&
      (password.size() > TForm1::kMaxText || password.find_first_of("\r\n") != std::string::npos)) {
    Application->MessageBox("A password kept in the settings file can be at most " +
                                text::IntToStr(static_cast<int>(TForm1::kMaxText)) +
                                " bytes, on one line.",
                            Application->Title, MB_OK | MB_ICONERROR);
    return;
  }

  // The store first: when it refuses, nothing is saved. A store that has
  // gone away since the window opened offers the settings file instead.
  if (server.Enabled && FStoreAvailable) {
    const credentials::TOutcome o =
        password.empty() ? credentials::DeletePassword(server.Host, server.User)
                         : credentials::StorePassword(server.Host, server.User, password);
    if (!o.Ok() && o.Status != credentials::TStatus::NotFound) {
      if (o.Status == credentials::TStatus::Unavailable) {
        FStoreAvailable = false;
        ShowStore();
      }
      Application->MessageBox(o.Message, Application->Title, MB_OK | MB_ICONERROR);
      return;
    }
  }

  // Then the settings file; a file that cannot be written leaves the window
  // open and the program's settings as they were.
  const outgoing::TOutgoingServer oldServer = FMain.Outgoing;
  const formtext::TExtraSettings oldExtra = FMain.ExtraSettings;
  const std::string oldPassword = FMain.OutgoingPassword;
  FMain.Outgoing = server;
  outgoing::Write(FMain.ExtraSettings, server);
  if (server.PasswordInFile)
    FMain.ExtraSettings.Set(outgoing::kKeyPassword, password);
  else
    FMain.ExtraSettings.Remove(outgoing::kKeyPassword);
  FMain.OutgoingPassword = password;
  FMain.SetDesktopNotifications(chkNotify->GetChecked());
  try {
    FMain.UpdateInfo();
  } catch (...) {
    FMain.Outgoing = oldServer;
    FMain.ExtraSettings = oldExtra;
    FMain.OutgoingPassword = oldPassword;
    throw;
  }
  // The session's entry changes only when the box was changed: an entry the
  // desktop keeps turned off is left to it while the box shows it off.
  if (chkAutostart->GetChecked() != autostart::Enabled()) {
    try {
      autostart::SetEnabled(chkAutostart->GetChecked(), files::ExecutablePath());
    } catch (const std::exception& e) {
      Application->MessageBox(
          std::string("Corvale could not change how it starts with the session: ") + e.what(),
          Application->Title, MB_OK | MB_ICONERROR);
      chkAutostart->SetChecked(autostart::Enabled());
      return;
    }
  }
  ModalResult = mrOk;
}

void ShowOptionsWindow(TForm1& Main) {
  auto window = std::make_unique<TOptionsForm>(nullptr, Main);
  window->ShowModal();
}

std::string StoredOutgoingPassword(const outgoing::TOutgoingServer& Server,
                                   const formtext::TExtraSettings& Extra) {
  if (!Server.Enabled) return {};
  if (Server.PasswordInFile) return Extra.Get(outgoing::kKeyPassword);
  std::string password;
  credentials::ReadPassword(text::Trim(Server.Host), Server.User, password);
  return password;
}
