// The address monitor's desktop habits: a notification on the desktop when
// the address changes or a notification mail cannot be delivered, the address
// history and its window, and the window coming forward when the program is
// started a second time.
#include <exception>
#include <memory>

#include "app/Form1.h"
#include "app/History.h"
#include "app/HistoryForm.h"
#include "platform/DateTime.h"
#include "platform/Text.h"
#include "ui/Application.h"

namespace {
constexpr const char* kNotifyOn = "1";
constexpr const char* kNotifyOff = "0";
}  // namespace

bool TForm1::DesktopNotifications() const {
  // On unless the settings turn it off: a file of an older build has no
  // such line.
  return ExtraSettings.Get(kKeyNotify, kNotifyOn) != kNotifyOff;
}

void TForm1::SetDesktopNotifications(bool On) {
  ExtraSettings.Set(kKeyNotify, On ? kNotifyOn : kNotifyOff);
}

bool TForm1::ShowDesktopNotice(const std::string& Title, const std::string& Text, bool Warning) {
  if (!DesktopNotifications()) return false;
  TNotifyBalloon b;
  b.Wnd = TrayIconData.Wnd;
  b.uID = TrayIconData.uID;
  b.dwInfoFlags = Warning ? NIIF_WARNING : NIIF_INFO;
  b.Title = Title;
  b.Text = Text;
  return ShowNotifyBalloon(b);
}

void TForm1::ShowAddressNotice(const std::string& NewIP, const std::string& OldIP) {
  std::string body = "Your IP address is now " + text::Trim(NewIP) + ".";
  if (!text::Trim(OldIP).empty()) body += "\nIt was " + text::Trim(OldIP) + ".";
  ShowDesktopNotice(kAddressNoticeTitle, body, false);
}

void TForm1::MailNotDelivered(const std::string& Address, const std::string& Reason) {
  // Nobody to tell about a list without an address in it.
  if (text::Trim(Address).empty()) return;
  ShowDesktopNotice(kMailNoticeTitle,
                    "The mail to " + text::Trim(Address) + " could not be delivered: " + Reason,
                    true);
}

std::string TForm1::HistoryPath() const {
  return SettingsDir + history::kFileName;
}

void TForm1::RecordAddress(const std::string& NewIP, const std::string& Source) {
  history::TEntry e;
  e.When = history::IsoTime(Now(), LocalUtcOffsetMinutes());
  // As the window and the notification show it; LastIP keeps the echo
  // page's blanks as they came.
  e.Address = text::Trim(NewIP);
  e.Source = Source;
  try {
    history::Append(SettingsPlace, HistoryPath(), e);
  } catch (const std::exception&) {
    // The history is a record for the user, not the monitor's state: a file
    // that cannot be written leaves the check and its mail as they are.
  }
}

void TForm1::History1Click(TComponent*) {
  // The icon's menu stays usable while the window is open; a second choice
  // brings the open window forward instead of opening another inside it.
  if (FHistoryWindow) {
    FHistoryWindow->Show();
    return;
  }
  auto window = std::make_unique<THistoryForm>(this, history::Load(HistoryPath()));
  struct Forget {
    THistoryForm*& Window;
    ~Forget() { Window = nullptr; }
  } forget{FHistoryWindow};
  FHistoryWindow = window.get();
  window->ShowModal();
}
