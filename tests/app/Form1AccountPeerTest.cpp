// The notification through the user's own mail account: the window on the
// headless backend, nginx as the echo page, Postfix as a submission server
// with Dovecot checking the login (STARTTLS and implicit TLS, certificates of
// the test authority), and scripted servers for a relay on this machine. No
// MX lookup is answered: mail that arrives came through the account.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/Form1.h"
#include "net/transport/IdTLS.h"
#include "platform/Files.h"
#include "tests/support/NginxServer.h"
#include "tests/support/PostfixServer.h"
#include "tests/support/TestCertificates.h"
#include "tests/support/TestEnv.h"
#include "ui/Application.h"
#include "ui/headless/HeadlessBackend.h"

// After the component layer's headers: on Windows the scripted server brings
// the system's headers, which define some of the layer's names as macros.
#include "tests/support/ScriptedTcpServer.h"

namespace {

namespace fs = std::filesystem;
using Script = ScriptedTcpServer::Script;
using outgoing::TSecurity;

constexpr const char* kUser = "sam@corvale.test";
constexpr const char* kPassword = "s3cret";
// Three recipients as a user types them: a blank after a comma.
constexpr const char* kRecipients = "ann@corvale.test, bob@corvale.test,cat@corvale.test";
// Bounds for the window's client: a broken server fails a test in seconds.
constexpr int kTestTimeoutMs = 10000;

// The process keeps the TLS client context its first session made, with the
// authorities trusted then: the test authority is trusted before any test
// of this executable runs, whichever runs first.
class TrustTheTestAuthority : public ::testing::Environment {
 public:
  void SetUp() override {
    if (PlatformTLSAvailable()) testtls::TrustTestAuthority();
  }
};
// GoogleTest owns and frees the environment.
[[maybe_unused]] ::testing::Environment* const kTrust =
    ::testing::AddGlobalTestEnvironment(std::make_unique<TrustTheTestAuthority>().release());

class Form1AccountTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Web = std::make_unique<NginxServer>();
    Web->AddFile("GetMyIP.pl", "BEGINIP10.0.0.2ENDIP");
    Web->Start();
  }
  static void TearDownTestSuite() {
    Submission.reset();
    Web.reset();
  }
  // The submission server, started by the first test that needs it.
  static PostfixServer& Server() {
    if (!Submission) {
      // Kept only once it runs: a server that failed to start fails each
      // test that needs it, not the later ones against a dead one.
      auto server = std::make_unique<PostfixServer>();
      server->Certificate = testtls::Make().Good;
      server->Submission = {kUser, kPassword};
      server->Start();
      Submission = std::move(server);
    }
    return *Submission;
  }

  ~Form1AccountTest() override {
    App.reset();
    if (!Dir.empty()) fs::remove_all(Dir);
  }

  // A window whose check finds 10.0.0.2 where 10.0.0.1 was, with Server as
  // its outgoing server; its MX queries go to a port nobody answers.
  TForm1& Open(const outgoing::TOutgoingServer& Server, const std::string& Password,
               const std::string& Email = kRecipients) {
    Dir = testenv::MakeTempDir("corvale-account-");
    auto b = std::make_unique<THeadlessBackend>();
    Ui = b.get();
    App = std::make_unique<TApplication>(std::move(b), Dir + "/Corvale");
    App->ShowMainForm = false;
    auto* f = App->CreateForm<TForm1>([&](TForm1& w) {
      w.EchoHost = Web->HostPort();
      w.DNSServer = "127.0.0.1";
      w.DNSPort = PeerServer::FreeUdpPort();
      w.SMTPPort = PeerServer::FreeTcpPort();
    });
    f->SetNetBounds({kTestTimeoutMs, kTestTimeoutMs, kTestTimeoutMs, 200});
    f->Edit1->SetText("Ann");
    f->Edit2->SetText(Email);
    f->LastIP = "10.0.0.1";
    f->Outgoing = Server;
    f->OutgoingPassword = Password;
    return *f;
  }
  // What the user was told of a failed mail: desktop notices, then message
  // boxes (where the desktop took no notice).
  std::vector<std::string> Told() const {
    std::vector<std::string> out;
    for (const TNotifyBalloon& b : Ui->Balloons)
      if (b.Title == TForm1::kMailNoticeTitle) out.push_back(b.Text);
    for (const auto& box : Ui->MessageBoxes) out.push_back(box.Text);
    return out;
  }
  // The settings file holds the new address.
  bool Stored() const {
    return files::ReadFile(Dir + "/Corvale.ini").find("\r\nIP            10.0.0.2\r\n") !=
           std::string::npos;
  }

  static std::unique_ptr<NginxServer> Web;
  static std::unique_ptr<PostfixServer> Submission;
  std::string Dir;
  THeadlessBackend* Ui = nullptr;
  std::unique_ptr<TApplication> App;
};

std::unique_ptr<NginxServer> Form1AccountTest::Web;
std::unique_ptr<PostfixServer> Form1AccountTest::Submission;

// Why a Postfix test does not run (GTEST_SKIP ends only the function it is
// written in, so each test says it itself).
constexpr const char* kNoTLS = "this build has no TLS (Windows: not yet)";
constexpr const char* kNoRoot = "Postfix and Dovecot need root";

// A header line of a message (LF line ends), or "" when it has none.
std::string Header(const std::string& Msg, const std::string& Name) {
  const std::string m = "\n" + Msg;
  const size_t p = m.find("\n" + Name + ": ");
  if (p == std::string::npos) return "";
  return m.substr(p + 1, m.find('\n', p + 1) - p - 1);
}

// The notification goes through the account in one session for all three
// recipients, over STARTTLS on the submission port and over TLS from the
// first byte: the login is checked, the envelope sender and From are the
// account's (Postfix refuses any other sender for this login), and the new
// address is stored; the settings file keeps the server.
TEST_F(Form1AccountTest, MailArrivesThroughTheAccount) {
  if (!PlatformTLSAvailable()) GTEST_SKIP() << kNoTLS;
  if (!PostfixServer::RunsAsRoot()) GTEST_SKIP() << kNoRoot;
  PostfixServer& mx = Server();
  size_t arrived = mx.Messages().size();
  for (const auto& [security, port] : {std::pair{TSecurity::StartTLS, mx.Port()},
                                       std::pair{TSecurity::TLS, mx.ImplicitTlsPort()}}) {
    SCOPED_TRACE(outgoing::SecurityName(security));
    const outgoing::TOutgoingServer server{true, "127.0.0.1", port, security, kUser, false};
    TForm1& f = Open(server, kPassword);
    std::string address;
    f.GetMyIP(address);
    EXPECT_EQ(Told(), std::vector<std::string>{});
    EXPECT_TRUE(Stored());
    // The save kept the server, and the window reads it back.
    f.Outgoing = {};
    f.UpdateForm();
    EXPECT_EQ(f.Outgoing, server);
    arrived += 3;
    const std::vector<std::string> msgs = mx.WaitForDelivery(arrived);
    ASSERT_EQ(msgs.size(), arrived) << mx.LogText();
    std::vector<std::string> to;
    for (size_t i = arrived - 3; i < arrived; ++i) {
      EXPECT_EQ(Header(msgs[i], "Return-Path"), "Return-Path: <sam@corvale.test>");
      EXPECT_NE(Header(msgs[i], "From").find("Ann"), std::string::npos) << msgs[i];
      EXPECT_NE(Header(msgs[i], "From").find("<sam@corvale.test>"), std::string::npos);
      EXPECT_EQ(Header(msgs[i], "Subject"), "Subject: Your IP Address is 10.0.0.2");
      to.push_back(Header(msgs[i], "Delivered-To"));
    }
    std::sort(to.begin(), to.end());
    EXPECT_EQ(to, (std::vector<std::string>{"Delivered-To: ann@corvale.test",
                                            "Delivered-To: bob@corvale.test",
                                            "Delivered-To: cat@corvale.test"}));
    App.reset();
  }
  // One transaction per session: each queued message had three recipients.
  const std::string log = mx.LogText();
  size_t sessions = 0;
  for (size_t p = 0; (p = log.find("nrcpt=3", p)) != std::string::npos; ++p) ++sessions;
  EXPECT_EQ(sessions, 2u) << log;
}

// What the server says reaches the user: a wrong password gives Postfix's
// 535 in the test mail's outcome and, desktop notices off, in the check's
// message box (the address is stored all the same, nothing retried); a session without TLS on the
// submission port finds no AUTH, since it is offered only after STARTTLS,
// and sends no password.
TEST_F(Form1AccountTest, TheServersRefusalReachesTheUser) {
  if (!PlatformTLSAvailable()) GTEST_SKIP() << kNoTLS;
  if (!PostfixServer::RunsAsRoot()) GTEST_SKIP() << kNoRoot;
  PostfixServer& mx = Server();
  const size_t arrived = mx.Messages().size();
  const std::string at =
      "The mail could not be sent through 127.0.0.1:" + std::to_string(mx.Port()) + ": ";
  const outgoing::TOutgoingServer server{true,  "127.0.0.1", mx.Port(), TSecurity::StartTLS,
                                         kUser, false};
  {
    TForm1& f = Open(server, "wrong");
    // Postfix's text for a login the SASL service refused (RFC 4954 535).
    const std::string refused = at + "535 5.7.8 Error: authentication failed";
    EXPECT_TRUE(f.SendTestMail(server, "wrong").starts_with(refused));
    // With desktop notices turned off, the reason comes in a message box.
    f.SetDesktopNotifications(false);
    std::string address;
    f.GetMyIP(address);
    ASSERT_EQ(Ui->MessageBoxes.size(), 1u);
    EXPECT_TRUE(Ui->MessageBoxes[0].Text.starts_with(refused)) << Ui->MessageBoxes[0].Text;
    EXPECT_TRUE(Stored());
    App.reset();
  }
  {
    // A None server on loopback: allowed by the settings, but this server
    // announces no login in clear.
    outgoing::TOutgoingServer plain = server;
    plain.Security = TSecurity::None;
    TForm1& f = Open(plain, kPassword);
    EXPECT_EQ(f.SendTestMail(plain, kPassword),
              at + "127.0.0.1 offers no login this program can use (PLAIN or LOGIN): it "
                   "announces none.");
    App.reset();
  }
  EXPECT_EQ(mx.Messages().size(), arrived);
}

// A relay on this machine with security None (no TLS, allowed for loopback
// only): the login is sent in clear to it, the user name that is not an
// address leaves the first recipient as sender, the recipients are trimmed
// and an empty one left out; a missing password and a relay without the
// STARTTLS asked for reach the user once (a desktop notice, or a message box
// where the desktop takes none), and the address is stored.
TEST_F(Form1AccountTest, ARelayOnThisMachine) {
  // NUL "relay" NUL "pw": 00 72 65 6C 61 79 00 70 77 in base64.
  const Script upToMail = Script()
                              .Send("220 relay\r\n")
                              .ReadLine()
                              .Send("250-relay\r\n250 AUTH PLAIN LOGIN\r\n")
                              .ExpectLine("Rset")
                              .Send("250 ok\r\n")
                              .ExpectLine("AUTH PLAIN AHJlbGF5AHB3")
                              .Send("235 2.7.0 ok\r\n")
                              .ExpectLine("Mail from:<ann@a.test>");
  struct Case {
    const char* Name;
    Script Relay;
    std::string Password;
    std::string Box;  // "" when nothing reaches the user; else how it begins
    TSecurity Security = TSecurity::None;
  } cases[] = {
      {"delivered",
       Script(upToMail)
           .Send("250 ok\r\n")
           .ExpectLine("RCPT to:<ann@a.test>")
           .Send("250 ok\r\n")
           .ExpectLine("RCPT to:<bo@b.test>")
           .Send("250 ok\r\n")
           .ExpectLine("RCPT to:<cy@c.test>")
           .Send("250 ok\r\n")
           .ExpectLine("Data")
           .Send("354 go\r\n")
           .ReadUntil("\r\n.\r\n")
           .Send("250 queued\r\n")
           .ExpectLine("Quit"),
       "pw", ""},
      {"no password", Script(), "", ""},
      // STARTTLS asked for is required: a relay that does not offer it gets
      // no login in clear.
      {"STARTTLS not offered",
       Script()
           .Send("220 relay\r\n")
           .ReadLine()
           .Send("250-relay\r\n250 AUTH PLAIN\r\n")
           .ExpectLine("Quit"),
       "pw", ": 127.0.0.1 does not offer STARTTLS.", TSecurity::StartTLS},
  };
  for (Case& k : cases) {
    SCOPED_TRACE(k.Name);
    ScriptedTcpServer relay(std::move(k.Relay.CloseNow()));
    const std::string where = "127.0.0.1:" + std::to_string(relay.Port());
    const outgoing::TOutgoingServer server{true,       "127.0.0.1", relay.Port(),
                                           k.Security, "relay",     false};
    TForm1& f = Open(server, k.Password, "ann@a.test, bo@b.test,,cy@c.test ");
    std::string address;
    f.GetMyIP(address);
    EXPECT_TRUE(Stored());
    if (k.Password.empty()) {
      EXPECT_EQ(Told(), std::vector<std::string>{"There is no password for relay at " + where +
                                                 ": enter it in Options... (the mail was not "
                                                 "sent)."});
      EXPECT_EQ(relay.Connections(), 0u);
    } else if (k.Box.empty()) {
      EXPECT_EQ(Told(), std::vector<std::string>{});
    } else {
      EXPECT_EQ(Told(),
                std::vector<std::string>{"The mail could not be sent through " + where + k.Box});
    }
    if (!k.Password.empty()) {
      // One session, not retried.
      EXPECT_TRUE(relay.WaitForFinished(1));
      EXPECT_EQ(relay.Connections(), 1u);
    }
    App.reset();
  }
}

}  // namespace
