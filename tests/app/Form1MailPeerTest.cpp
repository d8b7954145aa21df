// The notification mail when a mail exchanger fails in the middle of a
// delivery or in its TLS: the window on the headless backend, nginx as the
// echo page, dnsmasq answering MX queries, scripted exchangers and aiosmtpd
// with STARTTLS.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "app/Form1.h"
#include "net/transport/IdTLS.h"
#include "platform/Files.h"
#include "tests/support/AiosmtpdServer.h"
#include "tests/support/DnsmasqServer.h"
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
using namespace std::chrono_literals;
using Script = ScriptedTcpServer::Script;

// The exchange deadline the window's SMTP client gets here instead of its
// minute: long enough for a healthy delivery on a loaded machine, and well
// inside the tarpit below.
constexpr int kExchangeTimeoutMs = 3000;
// The tarpit answers one byte at this pace, inside every read time-out, for
// far longer than the deadline.
constexpr auto kTarpitPerByte = 50ms;
// Longest wait of a test for an event it expects.
constexpr int kWaitMs = 5000;

// An exchanger that takes the greeting, EHLO and RSET and has just read the
// sender.
Script UpToMail(const std::string& Address) {
  return Script()
      .Send("220 mx\r\n")
      .ReadLine()
      .Send("250 mx\r\n")
      .ExpectLine("Rset")
      .Send("250 ok\r\n")
      .ExpectLine("Mail from:<" + Address + ">");
}

// The servers are shared by the suite; each test gets its own window and
// settings directory.
class Form1MailTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Web = std::make_unique<NginxServer>();
    Web->AddFile("GetMyIP.pl", "BEGINIP10.0.0.2ENDIP");
    Web->Start();
    Dns = std::make_unique<DnsmasqServer>();
    Dns->Options = {"mx-host=a.test,127.0.0.1,10", "mx-host=b.test,127.0.0.1,10",
                    std::string("mx-host=") + PostfixServer::kDomain + ",127.0.0.1,10"};
    Dns->Start();
  }
  static void TearDownTestSuite() {
    Dns.reset();
    Web.reset();
  }

  ~Form1MailTest() override { CloseWindow(); }

  // A window without a settings file whose check finds 10.0.0.2 where
  // 10.0.0.1 was, and whose mail goes to Mx.
  TForm1& Open(const ScriptedTcpServer& Mx, const std::string& Email) {
    return Open(Mx.Port(), Email);
  }
  TForm1& Open(uint16_t MxPort, const std::string& Email) {
    Dir = testenv::MakeTempDir("corvale-mail-");
    auto b = std::make_unique<THeadlessBackend>();
    Ui = b.get();
    App = std::make_unique<TApplication>(std::move(b), Dir + "/Corvale");
    App->ShowMainForm = false;
    auto* f = App->CreateForm<TForm1>([&](TForm1& w) {
      w.EchoHost = Web->HostPort();
      w.DNSServer = "127.0.0.1";
      w.DNSPort = Dns->Port();
      w.SMTPPort = MxPort;
    });
    f->Edit1->SetText("Ann");
    f->Edit2->SetText(Email);
    f->LastIP = "10.0.0.1";
    return *f;
  }
  void CloseWindow() {
    App.reset();
    if (!Dir.empty()) fs::remove_all(Dir);
    Dir.clear();
  }
  bool Stored() const {
    const std::string ini = Dir + "/Corvale.ini";
    return fs::exists(ini) &&
           files::ReadFile(ini).find("\r\nIP            10.0.0.2\r\n") != std::string::npos;
  }

  static std::unique_ptr<NginxServer> Web;
  static std::unique_ptr<DnsmasqServer> Dns;
  std::string Dir;
  THeadlessBackend* Ui = nullptr;
  std::unique_ptr<TApplication> App;
};

std::unique_ptr<NginxServer> Form1MailTest::Web;
std::unique_ptr<DnsmasqServer> Form1MailTest::Dns;

// After an exchanger that stalls past the deadline or resets the connection,
// the next recipient still gets its mail, nothing reaches the user and the
// new address is stored.
TEST_F(Form1MailTest, AFailingExchangerDoesNotStopTheNextOne) {
  struct Case {
    const char* Name;
    Script First;
  } cases[] = {
      {"tarpit",
       UpToMail("ann@a.test").Trickle("250 " + std::string(200, '.') + "\r\n", kTarpitPerByte)},
      {"reset", UpToMail("ann@a.test").Reset()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    ScriptedTcpServer mx({c.First, UpToMail("bo@b.test")
                                       .Send("250 ok\r\n")
                                       .ExpectLine("RCPT to:<bo@b.test>")
                                       .Send("250 ok\r\n")
                                       .ExpectLine("Data")
                                       .Send("354 go\r\n")
                                       .ReadUntil("\r\n.\r\n")
                                       .Send("250 queued\r\n")
                                       .ExpectLine("Quit")});
    TForm1& f = Open(mx, "ann@a.test,bo@b.test");
    f.IdSMTP1->ExchangeTimeout = kExchangeTimeoutMs;
    std::string address;
    EXPECT_NO_THROW(f.GetMyIP(address));
    EXPECT_EQ(f.LastIP, "10.0.0.2");
    EXPECT_TRUE(Stored());
    EXPECT_TRUE(Ui->MessageBoxes.empty());
    EXPECT_TRUE(mx.WaitForFinished(2));
    // No "Quit" after the fault; the second session is whole.
    EXPECT_EQ(mx.Received(0).find("Quit"), std::string::npos) << mx.Received(0);
    EXPECT_TRUE(mx.Received(1).ends_with("\r\n.\r\nQuit\r\n")) << mx.Received(1);
    CloseWindow();
  }
}

// A recipient whose exchanger refuses the mail is not delivered, whichever
// reply refuses it: the recipient's address, or the message itself after its
// final dot (554, and the transient 452: nothing is retried). The session
// ends with "Quit", the next recipient gets its mail, nothing reaches the
// user and the new address is stored.
TEST_F(Form1MailTest, ARefusalAfterTheFinalDotIsNotADelivery) {
  const Script upToRcpt =
      UpToMail("ann@a.test").Send("250 ok\r\n").ExpectLine("RCPT to:<ann@a.test>");
  const Script upToDot = Script(upToRcpt)
                             .Send("250 ok\r\n")
                             .ExpectLine("Data")
                             .Send("354 go\r\n")
                             .ReadUntil("\r\n.\r\n");
  struct Case {
    const char* Name;
    Script First;
    const char* Before;  // the last thing the client wrote before "Quit"
  } cases[] = {
      {"recipient refused", Script(upToRcpt).Send("550 5.1.1 no such user\r\n"),
       "RCPT to:<ann@a.test>\r\n"},
      {"message refused after the dot", Script(upToDot).Send("554 5.7.1 message refused\r\n"),
       "\r\n.\r\n"},
      {"no room after the dot", Script(upToDot).Send("452 4.3.1 insufficient system storage\r\n"),
       "\r\n.\r\n"},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.Name);
    ScriptedTcpServer mx(
        {std::move(c.First.ExpectLine("Quit")), UpToMail("bo@b.test")
                                                    .Send("250 ok\r\n")
                                                    .ExpectLine("RCPT to:<bo@b.test>")
                                                    .Send("250 ok\r\n")
                                                    .ExpectLine("Data")
                                                    .Send("354 go\r\n")
                                                    .ReadUntil("\r\n.\r\n")
                                                    .Send("250 queued\r\n")
                                                    .ExpectLine("Quit")});
    TForm1& f = Open(mx, "ann@a.test,bo@b.test");
    std::string address;
    EXPECT_NO_THROW(f.GetMyIP(address));
    EXPECT_EQ(f.LastIP, "10.0.0.2");
    EXPECT_TRUE(Stored());
    EXPECT_TRUE(Ui->MessageBoxes.empty());
    EXPECT_TRUE(mx.WaitForFinished(2));
    EXPECT_TRUE(mx.Received(0).ends_with(std::string(c.Before) + "Quit\r\n")) << mx.Received(0);
    EXPECT_TRUE(mx.Received(1).ends_with("\r\n.\r\nQuit\r\n")) << mx.Received(1);
    CloseWindow();
  }
}

// Holds the client in its receive of the refusal until the reset that follows
// it has arrived, so that "Quit" meets a reset the client has not yet seen.
class HoldUntilReset : public TIdConnectionIntercept {
 public:
  using TIdConnectionIntercept::TIdConnectionIntercept;
  void NotifyReceived(const char* Data, int Count) override {
    if (Count > 0 && std::string_view(Data, static_cast<size_t>(Count)).starts_with("550"))
      Handle->WaitReadable(kWaitMs);
  }
};

TEST_F(Form1MailTest, AnErrorOfTheClosingQuitLeavesTheAddressForTheNextCheck) {
  // The exchanger refuses the sender and resets the connection: the delivery
  // fails, and so does the closing "Quit" on a connection that had shown no
  // fault. That error reaches the caller, which keeps the old address.
  ScriptedTcpServer mx(UpToMail("ann@a.test").Send("550 no\r\n").Reset());
  TForm1& f = Open(mx, "ann@a.test");
  f.IdSMTP1->Intercept = TComponent::Create<HoldUntilReset>(f);
  f.IdSMTP1->SetInterceptEnabled(true);
  std::string address;
  EXPECT_THROW(f.GetMyIP(address), EIdSocketError);
  EXPECT_EQ(f.LastIP, "10.0.0.1");
  EXPECT_FALSE(fs::exists(Dir + "/Corvale.ini"));
}

// The TLS of direct delivery: opportunistic STARTTLS (RFC 7435), which this
// build has only where TLS is available.
constexpr size_t kRecordHeader = 5;  // a TLS record header: the ClientHello has begun
// A fatal handshake_failure alert (RFC 8446 sections 5.1 and 6).
const std::string kHandshakeAlert("\x15\x03\x03\x00\x02\x02\x28", 7);

// An exchanger whose EHLO reply announces STARTTLS.
Script GreetWithStartTls() {
  return Script().Send("220 mx\r\n").ReadLine().Send("250-mx\r\n250 STARTTLS\r\n");
}

// An exchanger with a certificate nobody vouches for (self-signed) gets the
// mail encrypted: its certificate is not required to verify.
TEST_F(Form1MailTest, TheExchangerGetsTheMailOverStartTls) {
  if (!PlatformTLSAvailable()) GTEST_SKIP() << "this build has no TLS";
  AiosmtpdServer mx;
  mx.Tls = AiosmtpdServer::TlsMode::StartTls;
  mx.Certificate = testtls::Make().SelfSigned;
  mx.Start();
  TForm1& f = Open(mx.Port(), "ann@a.test");
  std::string address;
  EXPECT_NO_THROW(f.GetMyIP(address));
  EXPECT_TRUE(Ui->MessageBoxes.empty());
  const auto messages = mx.WaitForMessages(1);
  ASSERT_EQ(messages.size(), 1u) << mx.Transcript();
  EXPECT_TRUE(messages[0].Tls);
  EXPECT_EQ(messages[0].RcptTo, std::vector<std::string>{"ann@a.test"});
}

// A production mail server that offers STARTTLS without requiring it, as
// exchangers do, gets the mail encrypted: it arrives, and the server's log
// says the session was TLS.
TEST_F(Form1MailTest, PostfixAsTheExchangerGetsTheMailOverTls) {
  if (!PlatformTLSAvailable()) GTEST_SKIP() << "this build has no TLS";
  if (!PostfixServer::RunsAsRoot()) GTEST_SKIP() << "Postfix needs root";
  PostfixServer mx;
  mx.Certificate = testtls::Make().Good;
  mx.Start();
  TForm1& f = Open(mx.Port(), std::string("ann@") + PostfixServer::kDomain);
  std::string address;
  EXPECT_NO_THROW(f.GetMyIP(address));
  EXPECT_TRUE(Ui->MessageBoxes.empty());
  const auto delivered = mx.WaitForDelivery(1);
  ASSERT_EQ(delivered.size(), 1u) << mx.LogText();
  EXPECT_NE(delivered[0].find("\nSubject: Your IP Address is 10.0.0.2\n"), std::string::npos);
  EXPECT_NE(mx.ReadFile("postfix.log").find("TLS connection established from"), std::string::npos)
      << mx.LogText();
}

// A handshake that fails gets one more session in plain text on a new
// connection, which delivers once; STARTTLS is not asked for again.
TEST_F(Form1MailTest, AFailedHandshakeIsFollowedByOnePlainDelivery) {
  if (!PlatformTLSAvailable()) GTEST_SKIP() << "this build has no TLS";
  ScriptedTcpServer mx({GreetWithStartTls()
                            .ExpectLine("STARTTLS")
                            .Send("220 go ahead\r\n")
                            .ReadBytes(kRecordHeader)
                            .Send(kHandshakeAlert)
                            .CloseNow(),
                        GreetWithStartTls()
                            .ExpectLine("Rset")
                            .Send("250 ok\r\n")
                            .ExpectLine("Mail from:<ann@a.test>")
                            .Send("250 ok\r\n")
                            .ExpectLine("RCPT to:<ann@a.test>")
                            .Send("250 ok\r\n")
                            .ExpectLine("Data")
                            .Send("354 go\r\n")
                            .ReadUntil("\r\n.\r\n")
                            .Send("250 queued\r\n")
                            .ExpectLine("Quit")});
  TForm1& f = Open(mx, "ann@a.test");
  std::string address;
  EXPECT_NO_THROW(f.GetMyIP(address));
  EXPECT_TRUE(Ui->MessageBoxes.empty());
  EXPECT_TRUE(Stored());
  EXPECT_TRUE(mx.WaitForFinished(2));
  EXPECT_EQ(mx.Connections(), 2u);
  EXPECT_TRUE(mx.Received(1).ends_with("\r\n.\r\nQuit\r\n")) << mx.Received(1);
}

// Bytes after the 220 to STARTTLS, in the same packet, refuse the session:
// nothing is delivered and there is no plain retry.
TEST_F(Form1MailTest, BytesAfterTheReadyReplyDeliverNothing) {
  if (!PlatformTLSAvailable()) GTEST_SKIP() << "this build has no TLS";
  ScriptedTcpServer mx(
      {GreetWithStartTls().ExpectLine("STARTTLS").Send("220 go ahead\r\n250 ok\r\n").ReadToEnd()});
  TForm1& f = Open(mx, "ann@a.test");
  std::string address;
  EXPECT_NO_THROW(f.GetMyIP(address));
  EXPECT_TRUE(Ui->MessageBoxes.empty());
  EXPECT_TRUE(mx.WaitForFinished(1));
  EXPECT_EQ(mx.Connections(), 1u);
  EXPECT_EQ(mx.Received(0), "ehlo " + f.IdSMTP1->LocalName() + "\r\nSTARTTLS\r\n");
}

}  // namespace
