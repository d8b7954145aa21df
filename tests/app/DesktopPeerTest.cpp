// A check against real servers on loopback (nginx as the echo page, dnsmasq
// answering MX queries) on the headless backend: a new address is shown on
// the desktop before the mail goes out and recorded in the history with the
// page that reported it; a mail that cannot go out is shown with its reason.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "app/Form1.h"
#include "app/History.h"
#include "tests/support/DnsmasqServer.h"
#include "tests/support/NginxServer.h"
#include "tests/support/TestEnv.h"
#include "ui/Application.h"
#include "ui/headless/HeadlessBackend.h"

namespace {

namespace fs = std::filesystem;

class DesktopPeer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Web = new NginxServer();
    Web->Start();
    Dns = new DnsmasqServer();
    // down.test's exchanger is this machine, where nothing takes mail on the
    // port the window is given; nomx.test has no record at all.
    Dns->Options = {"mx-host=down.test,127.0.0.1,10"};
    Dns->Start();
  }
  static void TearDownTestSuite() {
    delete Dns;
    delete Web;
  }
  DesktopPeer() : Dir(testenv::MakeTempDir("corvale-desktop-peer-")) {}
  ~DesktopPeer() override {
    App.reset();
    fs::remove_all(Dir);
  }
  // Starts the window on a settings file, which runs one check at once.
  TForm1& Start(const std::string& Email, const std::string& LastIP, const std::string& Extra) {
    App.reset();
    std::ofstream(Dir + "/Corvale.ini", std::ios::binary)
        << "Name          Ann\r\nEmail         " << Email
        << "\r\nSchedule      3600\r\nStart Min     0\r\nIP            " << LastIP << "\r\n"
        << Extra;
    auto b = std::make_unique<THeadlessBackend>();
    Ui = b.get();
    App = std::make_unique<TApplication>(std::move(b), Dir + "/Corvale");
    App->ShowMainForm = false;
    return *App->CreateForm<TForm1>([](TForm1& f) {
      f.EchoHost = Web->HostPort();
      f.DNSServer = "127.0.0.1";
      f.DNSPort = Dns->Port();
      f.SMTPPort = 9;  // nothing listens on the discard port
    });
  }

  static NginxServer* Web;
  static DnsmasqServer* Dns;
  std::string Dir;
  THeadlessBackend* Ui = nullptr;
  std::unique_ptr<TApplication> App;
};

NginxServer* DesktopPeer::Web = nullptr;
DnsmasqServer* DesktopPeer::Dns = nullptr;

TEST_F(DesktopPeer, AChangeIsShownAndRecordedAndAFailedMailIsShownWithItsReason) {
  const std::string page = "http://" + Web->HostPort() + "/GetMyIP.pl";
  const std::string changed = "Your IP address is now 10.1.2.3.\nIt was 10.0.0.1.";
  struct Case {
    const char* Name;
    const char* Email;
    const char* LastIP;
    const char* Extra;
    std::vector<std::string> Texts;  // the notifications, in order
    size_t Recorded;                 // history lines after the check
  } cases[] = {
      {"no exchanger",
       "ann@nomx.test",
       "10.0.0.1",
       "",
       {changed,
        "The mail to ann@nomx.test could not be delivered: no mail server was found for its "
        "domain."},
       1},
      {"exchanger down",
       "bob@down.test",
       "10.0.0.1",
       "",
       {changed,
        "The mail to bob@down.test could not be delivered: Socket Error # 10061\r\n"
        "Connection refused."},
       2},
      // The same address again: nothing to show, nothing to record.
      {"no change", "bob@down.test", " 10.1.2.3 ", "", {}, 2},
      // Notifications off: the history still grows.
      {"off", "", "10.0.0.1", "Notify        0\r\n", {}, 3},
  };
  Web->AddFile("GetMyIP.pl", "<html>BEGINIP 10.1.2.3 ENDIP</html>");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    Start(c.Email, c.LastIP, c.Extra);
    std::vector<std::string> texts;
    for (const TNotifyBalloon& b : Ui->Balloons) texts.push_back(b.Text);
    EXPECT_EQ(texts, c.Texts);
    if (!c.Texts.empty()) {
      EXPECT_EQ(Ui->Balloons.front().Title, "Corvale: new IP address");
      EXPECT_EQ(Ui->Balloons.back().Title, "Corvale: mail not delivered");
    }
    const std::vector<history::TEntry> h = history::Load(Dir + "/Corvale-history.txt");
    ASSERT_EQ(h.size(), c.Recorded);
    EXPECT_EQ(h.back().Address, "10.1.2.3");
    EXPECT_EQ(h.back().Source, page);
    // The headless clock's start, 2026-01-01 12:00:00, and the machine's offset.
    EXPECT_EQ(h.back().When.substr(0, 19), "2026-01-01T12:00:00");
  }
}

}  // namespace
