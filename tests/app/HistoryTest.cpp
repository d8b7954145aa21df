// The address history: its lines, its cap, a damaged file, and the window and
// notifications of the main window on the headless backend.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <random>

#include "app/Form1.h"
#include "app/History.h"
#include "app/HistoryForm.h"
#include "app/OptionsForm.h"
#include "platform/Autostart.h"
#include "platform/Files.h"
#include "tests/support/TestEnv.h"
#include "ui/Application.h"
#include "ui/headless/HeadlessBackend.h"

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>

#include <chrono>
#include <thread>
#endif

namespace {

namespace fs = std::filesystem;
using history::TEntry;

TEST(HistoryText, IsoTimeTable) {
  struct Case {
    int Y, Mo, D, H, Mi, S, Ms;
    std::optional<int> Offset;
    const char* Want;
  } cases[] = {
      {2026, 1, 1, 12, 0, 0, 0, 60, "2026-01-01T12:00:00+01:00"},
      {2026, 7, 1, 9, 30, 5, 0, -270, "2026-07-01T09:30:05-04:30"},
      {2026, 3, 29, 2, 0, 0, 0, 0, "2026-03-29T02:00:00+00:00"},
      {2026, 12, 31, 23, 59, 59, 0, 840, "2026-12-31T23:59:59+14:00"},
      // Half a second or more rounds up, across midnight and the year.
      {2026, 12, 31, 23, 59, 59, 500, 0, "2027-01-01T00:00:00+00:00"},
      {2026, 12, 31, 23, 59, 59, 499, 0, "2026-12-31T23:59:59+00:00"},
      {2026, 1, 1, 12, 0, 0, 0, std::nullopt, "2026-01-01T12:00:00"},
  };
  for (const Case& c : cases) {
    const TDateTime t = EncodeDate(c.Y, c.Mo, c.D) + EncodeTime(c.H, c.Mi, c.S, c.Ms);
    EXPECT_EQ(history::IsoTime(t, c.Offset), c.Want) << c.Want;
  }
}

TEST(HistoryText, ParseKeepsEntriesAndSkipsWhatIsNotOne) {
  const std::string good1 = "2026-01-01T12:00:00+01:00\t10.0.0.1\thttp://a.test/GetMyIP.pl";
  const std::string good2 = "2026-01-02T08:15:00-05:00\t10.0.0.2\t";  // no source
  const std::string good3 = "2026-01-03T08:15:00\t10.0.0.3\thttps://b.test/ip";
  const std::string data = good1 + "\r\n" + "not a line of ours\r\n" +     // no fields
                           "2026-01-01 12:00:00+01:00\t10.0.0.9\tx\r\n" +  // blank for T
                           "2026-1-01T12:00:00+01:00\t10.0.0.9\tx\n" +     // one-digit month
                           "2026-01-01T12:00:00+0100\t10.0.0.9\tx\n" +     // offset without colon
                           "2026-01-01T12:00:00+01:00\t  \tx\n" +          // blank address
                           "2026-01-01T12:00:00+01:00\t10.0.0.9\n" +       // two fields
                           std::string("\0\xff\xfe garbage\t\t", 13) + "\r" + good2 + "\n" +
                           good3;  // the last line without its end
  const std::vector<TEntry> got = history::Parse(data);
  const std::vector<TEntry> want = {
      {"2026-01-01T12:00:00+01:00", "10.0.0.1", "http://a.test/GetMyIP.pl"},
      {"2026-01-02T08:15:00-05:00", "10.0.0.2", ""},
      {"2026-01-03T08:15:00", "10.0.0.3", "https://b.test/ip"},
  };
  EXPECT_EQ(got, want);
}

TEST(HistoryText, TextWritesOneLineAnEntryWithoutControlCharacters) {
  const std::string longSource(300, 's');
  EXPECT_EQ(history::Text({{"2026-01-01T12:00:00+01:00", "10.0.0.1", "a\tb\r\nc"},
                           {"2026-01-01T13:00:00+01:00", "10.0.0.2", longSource}}),
            "2026-01-01T12:00:00+01:00\t10.0.0.1\ta b  c\r\n"
            "2026-01-01T13:00:00+01:00\t10.0.0.2\t" +
                std::string(255, 's') + "\r\n");
}

class HistoryFile : public ::testing::Test {
 protected:
  HistoryFile() : Dir(testenv::MakeTempDir("corvale-history-")) {}
  ~HistoryFile() override { fs::remove_all(Dir); }
  std::string Path() const { return Dir + "/" + history::kFileName; }
  static TEntry Numbered(size_t N) {
    return {"2026-01-01T12:00:00+01:00",
            "10.0." + std::to_string(N / 256) + "." + std::to_string(N % 256),
            "http://a.test/GetMyIP.pl"};
  }
  std::string Dir;
};

TEST_F(HistoryFile, KeepsTheLastThousandChanges) {
  // 999 entries, then the thousandth (the limit: all kept), then the
  // 1,001st (one past: the oldest goes).
  std::vector<TEntry> entries;
  for (size_t n = 1; n <= 999; ++n) entries.push_back(Numbered(n));
  files::ReplaceFile(Path(), history::Text(entries));

  history::Append(files::TSettingsPlace::ExeDir, Path(), Numbered(1000));
  std::vector<TEntry> got = history::Load(Path());
  ASSERT_EQ(got.size(), 1000u);
  EXPECT_EQ(got.front(), Numbered(1));
  EXPECT_EQ(got.back(), Numbered(1000));

  history::Append(files::TSettingsPlace::ExeDir, Path(), Numbered(1001));
  got = history::Load(Path());
  ASSERT_EQ(got.size(), 1000u);
  EXPECT_EQ(got.front(), Numbered(2));
  EXPECT_EQ(got.back(), Numbered(1001));
}

TEST_F(HistoryFile, ADamagedFileReadsAsFarAsItHoldsEntries) {
  const std::string good = "2026-01-01T12:00:00+01:00\t10.0.0.1\thttp://a.test/GetMyIP.pl";
  std::ofstream(Path(), std::ios::binary)
      << std::string("\x89PNG\r\n\x1a\n\0\0\0\n", 12) << good << "\r\n2026-01-0";  // cut short
  EXPECT_EQ(history::Load(Path()).size(), 1u);
  history::Append(files::TSettingsPlace::ExeDir, Path(), Numbered(2));
  EXPECT_EQ(files::ReadFile(Path()), good + "\r\n" + history::Text({Numbered(2)}));
  // A missing file is an empty history.
  EXPECT_TRUE(history::Load(Dir + "/none.txt").empty());
}

#ifndef _WIN32
// A process appending changes one after another, killed at random moments:
// the file is always the whole history before or after one append, never a
// mix or a cut line.
TEST_F(HistoryFile, AKillDuringAnAppendLeavesTheOldOrTheNewFileWhole) {
  constexpr int kKills = 40;
  std::mt19937 rng(20261210);
  std::uniform_int_distribution<int> wait(0, 15000);  // microseconds
  size_t before = 0;
  for (int k = 0; k < kKills; ++k) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      // Below the cap, so that entry n stays on line n.
      for (size_t n = before + 1; n < history::kMaxEntries; ++n)
        history::Append(files::TSettingsPlace::ExeDir, Path(), Numbered(n));
      _exit(0);
    }
    std::this_thread::sleep_for(std::chrono::microseconds(wait(rng)));
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    const std::string data = fs::exists(Path()) ? files::ReadFile(Path()) : std::string();
    const std::vector<TEntry> got = history::Parse(data);
    ASSERT_GE(got.size(), before) << "kill " << k;
    std::vector<TEntry> want;
    for (size_t n = 1; n <= got.size(); ++n) want.push_back(Numbered(n));
    ASSERT_EQ(data, history::Text(got)) << "kill " << k << ": a line is cut or foreign";
    EXPECT_EQ(got, want) << "kill " << k;
    before = got.size();
  }
  EXPECT_GT(before, 0u) << "no append finished between the kills";
}
#endif

// The main window's part on the headless backend.
class DesktopTest : public ::testing::Test {
 protected:
  DesktopTest() : Dir(testenv::MakeTempDir("corvale-desktop-")) {
    auto b = std::make_unique<THeadlessBackend>();
    Ui = b.get();
    App = std::make_unique<TApplication>(std::move(b), Dir + "/Corvale");
    App->ShowMainForm = false;
  }
  ~DesktopTest() override {
    App.reset();
    fs::remove_all(Dir);
  }
  TForm1& Start(const std::string& Extra = "") {
    fs::remove(Dir + "/Corvale.ini");
    if (!Extra.empty())
      std::ofstream(Dir + "/Corvale.ini", std::ios::binary)
          << "Name          Ann\r\nEmail         \r\nSchedule      3600\r\n"
             "Start Min     0\r\nIP            10.0.0.1\r\n"
          << Extra;
    // No check at start-up: the echo page is nowhere.
    Form = App->CreateForm<TForm1>([](TForm1& f) { f.EchoHost = "127.0.0.1:1"; });
    return *Form;
  }
  std::string Dir;
  THeadlessBackend* Ui;
  std::unique_ptr<TApplication> App;
  TForm1* Form = nullptr;
};

TEST_F(DesktopTest, NotificationTable) {
  const std::string t213(213, 't');
  struct Case {
    const char* Name;
    const char* Settings;  // extra settings lines
    std::function<void(TForm1&)> Act;
    size_t Count;
    std::string Title, Text;
    uint32_t Icon;
  } cases[] = {
      {"change", "", [](TForm1& f) { f.ShowAddressNotice("10.1.2.3", "10.0.0.1"); }, 1,
       "Corvale: new IP address", "Your IP address is now 10.1.2.3.\nIt was 10.0.0.1.", NIIF_INFO},
      {"first address", "", [](TForm1& f) { f.ShowAddressNotice("10.1.2.3", " "); }, 1,
       "Corvale: new IP address", "Your IP address is now 10.1.2.3.", NIIF_INFO},
      {"turned off", "Notify        0\r\n",
       [](TForm1& f) {
         f.ShowAddressNotice("10.1.2.3", "10.0.0.1");
         f.MailNotDelivered("ann@a.test", "550 no");
       },
       0, "", "", 0},
      // The echo page's text goes on as it is, markup and all: the backend
      // shows it as plain text.
      {"markup", "", [](TForm1& f) { f.ShowAddressNotice("<b>x</b>&amp;", ""); }, 1,
       "Corvale: new IP address", "Your IP address is now <b>x</b>&amp;.", NIIF_INFO},
      {"mail", "", [](TForm1& f) { f.MailNotDelivered(" ann@a.test", "550 No such user"); }, 1,
       "Corvale: mail not delivered",
       "The mail to ann@a.test could not be delivered: 550 No such user", NIIF_WARNING},
      {"no address", "", [](TForm1& f) { f.MailNotDelivered("  ", "no mail server"); }, 0, "", "",
       0},
      // 42 bytes before the reason: 213 more make the field's 255; one more
      // byte is cut; a two-byte character across the limit goes whole.
      {"255 bytes", "", [t213](TForm1& f) { f.MailNotDelivered("a@b.c", t213); }, 1,
       "Corvale: mail not delivered", "The mail to a@b.c could not be delivered: " + t213,
       NIIF_WARNING},
      {"256 bytes", "", [t213](TForm1& f) { f.MailNotDelivered("a@b.c", t213 + "u"); }, 1,
       "Corvale: mail not delivered", "The mail to a@b.c could not be delivered: " + t213,
       NIIF_WARNING},
      {"split character", "",
       [](TForm1& f) { f.MailNotDelivered("a@b.c", std::string(212, 't') + "\xC3\xA9"); }, 1,
       "Corvale: mail not delivered",
       "The mail to a@b.c could not be delivered: " + std::string(212, 't'), NIIF_WARNING},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    App.reset();
    auto b = std::make_unique<THeadlessBackend>();
    Ui = b.get();
    App = std::make_unique<TApplication>(std::move(b), Dir + "/Corvale");
    App->ShowMainForm = false;
    TForm1& f = Start(c.Settings);
    c.Act(f);
    ASSERT_EQ(Ui->Balloons.size(), c.Count);
    if (c.Count == 0) continue;
    const TNotifyBalloon& b0 = Ui->Balloons[0];
    EXPECT_EQ(b0.Title, c.Title);
    EXPECT_EQ(b0.Text, c.Text);
    EXPECT_EQ(b0.dwInfoFlags, c.Icon);
    EXPECT_EQ(b0.Wnd, f.TrayIconData.Wnd);
    EXPECT_EQ(b0.uID, f.TrayIconData.uID);
  }
}

TEST_F(DesktopTest, TheHistoryWindowListsNewestFirstAndCopies) {
  std::ofstream(Dir + "/" + history::kFileName, std::ios::binary)
      << "2026-01-01T12:00:00+01:00\t10.0.0.1\thttp://a.test/GetMyIP.pl\r\n"
         "damaged\r\n"
         "2026-02-01T12:00:00+01:00\t10.0.0.2\thttps://b.test/ip\r\n";
  TForm1& f = Start();
  std::vector<std::string> rows;
  std::string label;
  bool copyEnabled = false;
  Ui->OnShowModal = [&](TForm& w) {
    auto& h = dynamic_cast<THistoryForm&>(w);
    rows = h.ListBox1->GetItems();
    label = h.Label1->GetCaption();
    copyEnabled = h.CopyButton->GetEnabled();
    // A second choice of the entry while it is open brings it forward.
    f.History1->Click();
    h.CopyButton->Click();
  };
  ASSERT_EQ(f.MainMenu1->Find("History..."), f.History1);
  f.History1->Click();
  ASSERT_EQ(Ui->ModalForms.size(), 1u);
  EXPECT_EQ(rows, (std::vector<std::string>{
                      "2026-02-01T12:00:00+01:00   10.0.0.2   https://b.test/ip",
                      "2026-01-01T12:00:00+01:00   10.0.0.1   http://a.test/GetMyIP.pl"}));
  EXPECT_EQ(label, "2 changes, newest first");
  EXPECT_TRUE(copyEnabled);
  EXPECT_EQ(Ui->Clipboard,
            "2026-02-01T12:00:00+01:00\t10.0.0.2\thttps://b.test/ip\n"
            "2026-01-01T12:00:00+01:00\t10.0.0.1\thttp://a.test/GetMyIP.pl\n");

  // Without a history file: one row saying so, nothing to copy.
  fs::remove(Dir + "/" + history::kFileName);
  f.History1->Click();
  ASSERT_EQ(Ui->ModalForms.size(), 2u);
  EXPECT_EQ(rows, std::vector<std::string>{THistoryForm::kNoChanges});
  EXPECT_EQ(label, "0 changes, newest first");
  EXPECT_FALSE(copyEnabled);
}

// The Options window's two boxes show the state when it opens (notifications
// on by default; the session entry as the system has it) and OK changes both.
TEST_F(DesktopTest, TheOptionsBoxesShowAndChangeNotificationsAndTheSessionStart) {
  const std::string config = Dir + "/config";
  testenv::ScopedVariable configHome("XDG_CONFIG_HOME", config.c_str());
  // No credential store answers here (nothing listens on this bus).
  const std::string noBus = "unix:path=" + Dir + "/no-bus";
  testenv::ScopedVariable bus("DBUS_SESSION_BUS_ADDRESS", noBus.c_str());
  const bool wasOn = autostart::Enabled();  // Wine's registry is the prefix's own
  autostart::SetEnabled(false, "Corvale");
  TForm1& f = Start();
  bool notify = false;
  bool session = true;
  Ui->OnShowModal = [&](TForm& w) {
    auto& o = dynamic_cast<TOptionsForm&>(w);
    notify = o.chkNotify->GetChecked();
    session = o.chkAutostart->GetChecked();
    o.chkNotify->SetChecked(!notify);
    o.chkAutostart->SetChecked(!session);
    o.btnOk->Click();
  };
  f.Options1->Click();
  EXPECT_TRUE(notify);
  EXPECT_FALSE(session);
  EXPECT_FALSE(f.DesktopNotifications());
  EXPECT_NE(files::ReadFile(Dir + "/Corvale.ini").find("\r\nNotify        0\r\n"),
            std::string::npos);
  EXPECT_TRUE(autostart::Enabled());

  // Opened again, the boxes show what was saved; OK turns both back.
  f.Options1->Click();
  EXPECT_FALSE(notify);
  EXPECT_TRUE(session);
  EXPECT_TRUE(f.DesktopNotifications());
  EXPECT_FALSE(autostart::Enabled());
  autostart::SetEnabled(wasOn, "Corvale");
}

}  // namespace
