// The main window's network part on the headless backend against real servers
// on loopback: nginx as the echo page, dnsmasq answering MX queries and
// aiosmtpd as every domain's mail exchanger.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "app/Form1.h"
#include "net/transport/IdTLS.h"
#include "platform/Files.h"
#include "tests/support/AiosmtpdServer.h"
#include "tests/support/DnsmasqServer.h"
#include "tests/support/NginxServer.h"
#include "tests/support/NginxTlsServer.h"
#include "tests/support/TestCertificates.h"
#include "tests/support/TestEnv.h"
#include "ui/Application.h"
#include "ui/headless/HeadlessBackend.h"

// After the component layer's headers: on Windows the scripted server brings
// the system's headers, which define some of the layer's names as macros.
#include "tests/support/ScriptedTcpServer.h"

namespace {

namespace fs = std::filesystem;

const char kBody1[] = R"(<div align="center"><p><font size="5"><strong>Hello )";
const char kBody4[] = "Thank you for using Corvale</strong></p></div>";

// The servers are shared by the suite; each test gets its own window and
// settings directory.
class Form1NetTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Web = new NginxServer();
    Web->Start();
    Dns = new DnsmasqServer();
    // dnsmasq lists records in reverse order of their lines.
    Dns->Options = {"mx-host=a.test,127.0.0.1,10", "mx-host=b.test,127.0.0.1,10",
                    "mx-host=two.test,127.0.0.1,10", "mx-host=two.test,127.0.0.3,20",
                    "mx-host=refused.test,127.0.0.2,10", "cname=alias.test,a.test",
                    // Exchangers tried in order: the best one unreachable, busy
                    // at the greeting, refusing at the greeting; a domain with
                    // an address and no exchanger.
                    "mx-host=down.test,127.0.0.1,10", "mx-host=down.test,127.0.0.2,5",
                    "mx-host=busy.test,127.0.0.1,10", "mx-host=busy.test,127.0.0.6,5",
                    "mx-host=closed.test,127.0.0.1,10", "mx-host=closed.test,127.0.0.6,5",
                    "mx-host=twice.test,127.0.0.6,10", "mx-host=twice.test,127.0.0.6,5",
                    "host-record=aonly.test,127.0.0.1"};
    Dns->Start();
    Smtp = new AiosmtpdServer();
    Smtp->Start();
  }
  static void TearDownTestSuite() {
    delete Smtp;
    delete Dns;
    delete Web;
  }

  Form1NetTest() {
    Dir = testenv::MakeTempDir("corvale-net-");
    NewApplication();
    MailsBefore = Smtp->Messages().size();
  }
  // A fresh application on the headless backend (the window, if any, goes with
  // the old one), for a table whose cases each start their own window.
  void NewApplication() {
    App.reset();
    auto b = std::make_unique<THeadlessBackend>();
    Ui = b.get();
    App = std::make_unique<TApplication>(std::move(b), Dir + "/Corvale");
    App->ShowMainForm = false;
  }
  ~Form1NetTest() override {
    App.reset();
    fs::remove_all(Dir);
  }

  // Starts the window without a settings file, pointed at the servers.
  TForm1& Start(const std::string& Name, const std::string& Email, const std::string& LastIP) {
    Form = App->CreateForm<TForm1>([](TForm1& f) {
      f.EchoHost = Web->HostPort();
      f.DNSServer = "127.0.0.1";
      f.DNSPort = Dns->Port();
      f.SMTPPort = Smtp->Port();
    });
    Form->Edit1->SetText(Name);
    Form->Edit2->SetText(Email);
    Form->LastIP = LastIP;
    return *Form;
  }
  void Echo(const std::string& Reply) { Web->AddFile("GetMyIP.pl", Reply); }
  std::string Ini() const { return files::ReadFile(Dir + "/Corvale.ini"); }
  bool IniExists() const { return fs::exists(Dir + "/Corvale.ini"); }
  std::vector<AiosmtpdServer::Message> NewMails(size_t Count = 0) const {
    auto all = Count ? Smtp->WaitForMessages(MailsBefore + Count) : Smtp->Messages();
    return {all.begin() + static_cast<long>(MailsBefore), all.end()};
  }

  static NginxServer* Web;
  static DnsmasqServer* Dns;
  static AiosmtpdServer* Smtp;
  std::string Dir;
  THeadlessBackend* Ui;
  std::unique_ptr<TApplication> App;
  TForm1* Form = nullptr;
  size_t MailsBefore = 0;
};

NginxServer* Form1NetTest::Web = nullptr;
DnsmasqServer* Form1NetTest::Dns = nullptr;
AiosmtpdServer* Form1NetTest::Smtp = nullptr;

TEST_F(Form1NetTest, AChangedAddressIsMailedStoredAndShown) {
  TForm1& f = Start("Ann", "ann@a.test", "");
  Echo("<html>BEGINIP 10.1.2.3 ENDIP</html>");
  std::string address = "untouched";
  f.GetMyIP(address);
  EXPECT_EQ(address, " 10.1.2.3 ");
  EXPECT_EQ(f.LastIP, " 10.1.2.3 ");
  EXPECT_EQ(f.StatusBar1->Panels[1].GetText(), " 10.1.2.3 ");
  EXPECT_EQ(Ui->TrayTip, "Corvale -  10.1.2.3 ");
  EXPECT_NE(Ini().find("IP             10.1.2.3 \r\n"), std::string::npos);

  auto mails = NewMails(1);
  ASSERT_EQ(mails.size(), 1u);
  EXPECT_EQ(mails[0].MailFrom, "ann@a.test");
  EXPECT_EQ(mails[0].RcptTo, std::vector<std::string>{"ann@a.test"});
  const std::string& d = mails[0].Data;
  // Header lines lose trailing blanks when they are folded.
  EXPECT_NE(d.find("Subject: Your IP Address is  10.1.2.3\r\n"), std::string::npos) << d;
  EXPECT_NE(d.find("From: \"Ann\" <ann@a.test>\r\n"), std::string::npos) << d;
  EXPECT_NE(d.find("To: \"Ann\" <ann@a.test>\r\n"), std::string::npos) << d;
  EXPECT_NE(d.find("Content-Type: text/html;\r\n"), std::string::npos) << d;
  EXPECT_NE(
      d.find(std::string("\r\n\r\n") + kBody1 + "Ann<br>\r\n" + "Your Old IP Address is <br>\r\n" +
             "Your New IP Address is  10.1.2.3 <br>\r\n" + kBody4 + "\r\n"),
      std::string::npos)
      << d;

  // The same address again (blanks around it do not count): no mail, no write.
  Echo("BEGINIP10.1.2.3\tENDIP");
  fs::remove(Dir + "/Corvale.ini");
  f.GetMyIP(address);
  EXPECT_FALSE(IniExists());
  EXPECT_EQ(f.LastIP, " 10.1.2.3 ");
  EXPECT_EQ(f.StatusBar1->Panels[1].GetText(), "10.1.2.3");
  EXPECT_EQ(NewMails().size(), 1u);
}

TEST_F(Form1NetTest, RepliesWithoutUsableMarkersChangeNothing) {
  TForm1& f = Start("Ann", "ann@a.test", "10.0.0.1");
  f.StatusBar1->Panels[1].SetText("before");
  for (const std::string& reply :
       std::vector<std::string>{"BEGINIP 10.9.9.9", "10.9.9.9 ENDIP", "", "beginip 1 endip",
                                // A line break inside the address would reach the file.
                                "BEGINIP 10.9\r\n.9.9 ENDIP",
                                // Markers naming no address: reversed, touching, blanks.
                                "ENDIP BEGINIP", "BEGINIPENDIP", "BEGINIP   ENDIP",
                                // Only blanks are left once the value is cut to the
                                // 255 bytes that would be stored.
                                "BEGINIP" + std::string(300, ' ') + "10.9.9.9ENDIP",
                                "BEGINIP" + std::string(255, ' ') + "1ENDIP"}) {
    std::string address = "untouched";
    Echo(reply);
    f.GetMyIP(address);
    EXPECT_EQ(address, "untouched") << reply;
    EXPECT_EQ(f.LastIP, "10.0.0.1") << reply;
    EXPECT_EQ(f.StatusBar1->Panels[1].GetText(), "before") << reply;
  }
  EXPECT_FALSE(IniExists());
  EXPECT_TRUE(NewMails().empty());
}

TEST_F(Form1NetTest, LineBreaksAroundTheAddressNeverReachTheFile) {
  TForm1& f = Start("Ann", "ann@a.test", "");
  Echo("BEGINIP\r\n10.4.4.4\r\nENDIP\n");
  std::string address;
  f.GetMyIP(address);
  EXPECT_EQ(f.LastIP, "10.4.4.4");
  EXPECT_NE(Ini().find("\r\nIP            10.4.4.4\r\n"), std::string::npos);
  ASSERT_EQ(NewMails(1).size(), 1u);
}

// The stored address keeps 255 bytes. An unchanged longer value is compared as
// it would be stored, so it is mailed and written once, not at every check.
TEST_F(Form1NetTest, AnUnchangedAddressLongerThanTheStoredTextIsMailedOnce) {
  // 307 bytes; the two-byte character at bytes 255-256 would be split by the
  // cut, so it goes whole and 254 bytes are kept.
  const std::string value = std::string(254, '1') + "\xC3\xA9" + std::string(51, '2');
  ASSERT_EQ(value.size(), 307u);
  TForm1& f = Start("Ann", "ann@a.test", "");
  Echo("BEGINIP" + value + "ENDIP");
  std::string address;
  f.GetMyIP(address);
  EXPECT_EQ(f.LastIP, std::string(254, '1'));
  ASSERT_EQ(NewMails(1).size(), 1u);
  fs::remove(Dir + "/Corvale.ini");
  f.GetMyIP(address);
  f.GetMyIP(address);
  EXPECT_EQ(NewMails().size(), 1u);
  EXPECT_FALSE(IniExists());
  EXPECT_EQ(address, value) << "the check still reports what it found";
  EXPECT_EQ(f.StatusBar1->Panels[1].GetText(), value);
}

// Text that is not UTF-8 is cut at 255 bytes like any other, never to nothing;
// an address whose stored form still holds more than blanks is a change.
TEST_F(Form1NetTest, AValueCutTo255BytesKeepsWhatIsLeft) {
  struct Case {
    const char* What;
    std::string Value;
    std::string Stored;
  };
  const std::string cont(300, '\x80');
  const Case cases[] = {
      {"continuation bytes without a lead byte", cont + "10.9.9.9", cont.substr(0, 255)},
      {"254 blanks, then the address", std::string(254, ' ') + "10.9.9.9",
       std::string(254, ' ') + "1"},
  };
  TForm1& f = Start("Ann", "ann@a.test", "");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.What);
    const size_t before = NewMails().size();
    f.LastIP = "10.0.0.1";
    Echo("BEGINIP" + c.Value + "ENDIP");
    std::string address;
    f.GetMyIP(address);
    EXPECT_EQ(f.LastIP, c.Stored);
    EXPECT_EQ(address, c.Value);
    EXPECT_NE(Ini().find("\r\nIP            " + c.Stored + "\r\n"), std::string::npos);
    EXPECT_EQ(NewMails(before + 1).size(), before + 1);
  }
}

// An echo page given as a full https:// address is fetched over TLS with its
// certificate checked; one the program cannot trust fails the check like any
// failed fetch: the stored address stays and is shown.
TEST_F(Form1NetTest, AnHttpsEchoPageIsFetchedWithItsCertificateChecked) {
  if (!PlatformTLSAvailable()) GTEST_SKIP() << "this build has no TLS";
  testtls::TrustTestAuthority();
  const testtls::Certificates& certs = testtls::Make();
  struct Case {
    const char* What;
    testtls::KeyPair Cert;
    std::string LastIP;  // after the check
  };
  const Case cases[] = {
      {"a trusted certificate", certs.Good, "10.7.7.7"},
      {"a certificate for another name", certs.WrongName, "10.0.0.1"},
      {"an expired certificate", certs.Expired, "10.0.0.1"},
  };
  TForm1& f = Start("Ann", "ann@a.test", "");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.What);
    NginxTlsServer web(c.Cert);
    web.AddFile("ip", "BEGINIP10.7.7.7ENDIP");
    web.Start();
    f.EchoHost = web.HttpsUrl("/ip");
    f.LastIP = "10.0.0.1";
    std::string address;
    f.GetMyIP(address);
    EXPECT_EQ(f.LastIP, c.LastIP);
    EXPECT_EQ(f.StatusBar1->Panels[1].GetText(), c.LastIP);
    EXPECT_TRUE(Ui->MessageBoxes.empty());
  }
  EXPECT_EQ(NewMails(1).size(), 1u);
}

// Name and addresses go into the HTML body with &, <, > and " escaped; the
// subject is not HTML and keeps them.
TEST_F(Form1NetTest, MarkupInTheNameOrAddressesIsEscapedInTheBody) {
  TForm1& f = Start("", "", "");
  f.SendNotifyMail("<b>Ann</b> & \"Bo\"", "ann@a.test", "<img src=/dev/zero>", "a&b\"c'd>");
  auto mails = NewMails(1);
  ASSERT_EQ(mails.size(), 1u);
  const std::string& d = mails[0].Data;
  EXPECT_NE(d.find("Subject: Your IP Address is <img src=/dev/zero>\r\n"), std::string::npos) << d;
  EXPECT_NE(d.find(std::string("\r\n\r\n") + kBody1 +
                   "&lt;b&gt;Ann&lt;/b&gt; &amp; &quot;Bo&quot;<br>\r\n"
                   "Your Old IP Address is a&amp;b&quot;c'd&gt;<br>\r\n"
                   "Your New IP Address is &lt;img src=/dev/zero&gt;<br>\r\n" +
                   kBody4 + "\r\n"),
            std::string::npos)
      << d;
}

TEST_F(Form1NetTest, EchoHostDownShowsTheStoredAddress) {
  TForm1& f = Start("Ann", "ann@a.test", "10.0.0.1");
  f.EchoHost = "127.0.0.1:" + std::to_string(PeerServer::FreeTcpPort());
  std::string address = "untouched";
  f.GetMyIP(address);
  EXPECT_EQ(address, "untouched");
  EXPECT_EQ(f.StatusBar1->Panels[1].GetText(), "10.0.0.1");
  EXPECT_EQ(Ui->TrayTip, "Corvale - 10.0.0.1");
  EXPECT_TRUE(Ui->MessageBoxes.empty());
  EXPECT_FALSE(IniExists());

  // An error reply is a failed fetch too.
  f.EchoHost = Web->HostPort();
  fs::remove(Web->DocRoot() + "/GetMyIP.pl");
  f.StatusBar1->Panels[1].SetText("");
  f.GetMyIP(address);
  EXPECT_EQ(f.StatusBar1->Panels[1].GetText(), "10.0.0.1");
  EXPECT_TRUE(NewMails().empty());
}

// The echo page may hold 65536 bytes; one byte more fails the check, which
// then changes nothing and shows the stored address.
// The page's server offers to keep the connection; a check lets it go when
// it is done instead of holding it until the next check (which never reuses
// it), so the server sees the close at once.
TEST_F(Form1NetTest, ACheckLetsItsConnectionGoWhenItIsDone) {
  const std::string page = "BEGINIP10.0.0.1ENDIP";
  ScriptedTcpServer srv(ScriptedTcpServer::Script()
                            .ReadUntil("\r\n\r\n")
                            .Send("HTTP/1.1 200 OK\r\nContent-Length: " +
                                  std::to_string(page.size()) + "\r\n\r\n" + page)
                            .ReadToEnd());
  TForm1& f = Start("Ann", "ann@a.test", "10.0.0.1");
  f.EchoHost = srv.HostPort();
  f.GetMyIP();
  EXPECT_EQ(f.StatusBar1->Panels[1].GetText(), "10.0.0.1");
  EXPECT_TRUE(srv.WaitForFinished(1, std::chrono::milliseconds(3000))) << srv.Log();
}

TEST_F(Form1NetTest, EchoPageAtTheBodyCapAndOnePast) {
  TForm1& f = Start("Ann", "ann@a.test", "10.0.0.1");
  const std::string page = "BEGINIP10.0.0.9ENDIP";
  for (const size_t size : {65536u, 65537u}) {
    SCOPED_TRACE(size);
    const bool read = size == 65536u;
    const size_t mailsBefore = NewMails().size();
    f.LastIP = "10.0.0.1";
    f.StatusBar1->Panels[1].SetText("before");
    Echo(page + std::string(size - page.size(), 'x'));
    std::string address = "untouched";
    f.GetMyIP(address);
    EXPECT_EQ(address, read ? "10.0.0.9" : "untouched");
    EXPECT_EQ(f.LastIP, read ? "10.0.0.9" : "10.0.0.1");
    EXPECT_EQ(f.StatusBar1->Panels[1].GetText(), read ? "10.0.0.9" : "10.0.0.1");
    EXPECT_EQ(read ? NewMails(mailsBefore + 1).size() : NewMails().size(),
              mailsBefore + (read ? 1 : 0));
  }
}

TEST_F(Form1NetTest, EachRecipientGetsItsOwnMail) {
  TForm1& f = Start("Bo", "bo@a.test, cy@b.test", "10.0.0.1");
  f.SendNotifyMail("Bo", "bo@a.test, cy@b.test", "10.0.0.2", "10.0.0.1");
  auto mails = NewMails(2);
  ASSERT_EQ(mails.size(), 2u);
  EXPECT_EQ(mails[0].MailFrom, "bo@a.test");
  EXPECT_EQ(mails[0].RcptTo, std::vector<std::string>{"bo@a.test"});
  // The second address keeps its leading blank as sender and recipient.
  EXPECT_NE(mails[1].Data.find("To: \"Bo\" < cy@b.test>"), std::string::npos) << mails[1].Data;
}

TEST_F(Form1NetTest, ADomainWithoutExchangerStopsTheRest) {
  TForm1& f = Start("Bo", "", "");
  f.SendNotifyMail("Bo", "bo@nomx.test,cy@b.test", "1", "2");
  f.SendNotifyMail("Bo", "", "1", "2");  // an empty field: one empty entry, no mail
  EXPECT_TRUE(NewMails().empty());
}

TEST_F(Form1NetTest, AFailedDeliveryIsSkippedAndTheNextServed) {
  TForm1& f = Start("Bo", "", "");
  // refused.test's only exchanger has no server; alias.test's answer starts
  // with the alias, which names no exchanger, and goes on to a.test's.
  f.SendNotifyMail("Bo", "bo@refused.test,al@alias.test,cy@b.test", "1", "2");
  auto mails = NewMails(2);
  ASSERT_EQ(mails.size(), 2u);
  EXPECT_EQ(mails[0].MailFrom, "al@alias.test");
  EXPECT_EQ(mails[1].MailFrom, "cy@b.test");
  EXPECT_TRUE(Ui->MessageBoxes.empty());
}

// Each domain's exchangers are tried as a mail server tries them: lowest
// preference first; the next when one cannot be reached or answers 4xx at its
// greeting; a 5xx greeting is final for that recipient. A domain with an
// address and no exchanger takes its mail at that address. Here the one
// receiving server listens on 127.0.0.1; the others are 127.0.0.2 (nothing
// listens) and 127.0.0.6 (a scripted greeting) on the same port.
TEST_F(Form1NetTest, ExchangersAreTriedByPreferenceAndAvailability) {
  struct Case {
    const char* What;
    const char* Address;
    const char* Greeting;  // what 127.0.0.6 answers; null: nothing listens there
    bool Delivered;
  };
  const Case cases[] = {
      {"listed after a worse one", "ann@two.test", nullptr, true},
      {"the best one unreachable", "ann@down.test", nullptr, true},
      {"the best one busy (421)", "ann@busy.test", "421 4.3.2 busy\r\n", true},
      {"the best one closed for this client (554)", "ann@closed.test", "554 5.7.1 no\r\n", false},
      {"no exchanger, an address", "ann@aonly.test", nullptr, true},
      {"one busy exchanger listed twice: asked once", "ann@twice.test", "421 busy\r\n", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.What);
    std::unique_ptr<ScriptedTcpServer> other;
    if (c.Greeting)
      other = std::make_unique<ScriptedTcpServer>(
          ScriptedTcpServer::Script().Send(c.Greeting).ReadToEnd(), "127.0.0.6", Smtp->Port());
    TForm1& f = Start("Ann", "", "");
    const size_t before = NewMails().size();
    f.SendNotifyMail("Ann", c.Address, "1", "2");
    if (c.Delivered) {
      auto mails = NewMails(before + 1);
      ASSERT_EQ(mails.size(), before + 1);
      EXPECT_EQ(mails.back().RcptTo, std::vector<std::string>{c.Address});
    } else {
      EXPECT_EQ(NewMails().size(), before);
    }
    if (other) {
      EXPECT_TRUE(other->WaitForFinished(1));
      EXPECT_EQ(other->Connections(), 1u);
    }
    EXPECT_TRUE(Ui->MessageBoxes.empty());
    NewApplication();
  }
}

// A build that names no DNS server asks the system's, in the order its
// configuration lists them, within one receive time-out: a silent server
// hands on after its part of it, a refusing one at once. Here 127.0.0.2 is
// silent and 127.0.0.3 refuses every name it is asked (no data of its own).
TEST_F(Form1NetTest, TheSystemsDnsServersAreAskedInOrder) {
  if (testenv::kWindows)
    GTEST_SKIP() << "Windows asks the system for its servers, not a file a test can change";
  DnsmasqServer refusing;
  refusing.LocalDomain = "other";
  refusing.Pin("127.0.0.3", Dns->Port());
  refusing.Start();
  constexpr int kDnsMs = 1000;  // two servers: 500 ms each
  struct Case {
    const char* What;
    const char* Config;  // null: no file
    bool Delivered;
    bool Waited;  // the first server's part of the time-out ran out first
  };
  const Case cases[] = {
      {"one server", "nameserver 127.0.0.1\n", true, false},
      {"a silent first server", "nameserver 127.0.0.2\nnameserver 127.0.0.1\n", true, true},
      {"a refusing first server", "nameserver 127.0.0.3\nnameserver 127.0.0.1\n", true, false},
      {"only a silent server", "nameserver 127.0.0.2\n", false, true},
      {"no configuration", nullptr, false, false},
  };
  const std::string conf = Dir + "/resolv.conf";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.What);
    fs::remove(conf);
    if (c.Config) std::ofstream(conf) << c.Config;
    TForm1& f = Start("Ann", "", "");
    f.DNSServer.clear();
    f.ResolverConfig = conf;
    TForm1::TNetBounds bounds = f.GetNetBounds();
    bounds.DnsReceiveMs = kDnsMs;
    f.SetNetBounds(bounds);
    const size_t before = NewMails().size();
    const auto t0 = std::chrono::steady_clock::now();
    f.SendNotifyMail("Ann", "ann@a.test", "1", "2");
    const auto took = std::chrono::steady_clock::now() - t0;
    if (c.Delivered)
      EXPECT_EQ(NewMails(before + 1).size(), before + 1);
    else
      EXPECT_EQ(NewMails().size(), before);
    if (c.Waited)
      EXPECT_GE(took, std::chrono::milliseconds(kDnsMs / 2 - 20));
    else
      EXPECT_LT(took, std::chrono::milliseconds(kDnsMs / 2 - 20));
    NewApplication();
  }
}

TEST_F(Form1NetTest, ExchangersAreListedInReplyOrder) {
  TForm1& f = Start("", "", "");
  TStringList two;
  TStringList alias;
  TStringList none;
  f.GetMxList(two, "two.test");
  EXPECT_EQ(two.Lines, (std::vector<std::string>{"127.0.0.3=20", "127.0.0.1=10"}));
  f.GetMxList(alias, "alias.test");
  ASSERT_GE(alias.Count(), 2);
  EXPECT_EQ(alias.Strings(0), "=0");
  EXPECT_EQ(alias.Strings(1), "127.0.0.1=10");
  f.GetMxList(none, "nomx.test");
  f.GetMxList(none, "");
  EXPECT_EQ(none.Count(), 0);
}

TEST_F(Form1NetTest, SendEmailMailsTheStoredAddressAndChangesNothing) {
  TForm1& f = Start("", "ann@a.test", "");
  f.SendEmail2Click(nullptr);
  auto mails = NewMails(1);
  ASSERT_EQ(mails.size(), 1u);
  const std::string& d = mails[0].Data;
  EXPECT_NE(d.find("Subject: Your IP Address is\r\n"), std::string::npos) << d;
  EXPECT_NE(d.find(std::string(kBody1) + "<br>\r\n"), std::string::npos) << d;
  EXPECT_NE(d.find("Your Old IP Address is <br>\r\nYour New IP Address is <br>"),
            std::string::npos);
  EXPECT_FALSE(IniExists());
}

// Send Email cuts the name and the addresses to 255 bytes, as a change's mail
// does: the name in the body keeps 255 bytes, and a recipient that starts
// inside the cut is not served.
TEST_F(Form1NetTest, SendEmailCutsTheNameAndAddressesTo255Bytes) {
  // 28 recipients of 8 bytes and their commas: 251 bytes; the 29th ends at 260.
  std::string addresses = "a@a.test";
  for (int i = 1; i < 28; ++i) addresses += ",a@a.test";
  ASSERT_EQ(addresses.size(), 251u);
  addresses += ",b@b.test";
  TForm1& f = Start(std::string(300, 'n'), addresses, "10.0.0.1");
  f.SendEmail2Click(nullptr);
  auto mails = NewMails(28);
  ASSERT_EQ(mails.size(), 28u);
  for (const auto& m : mails) EXPECT_EQ(m.RcptTo, std::vector<std::string>{"a@a.test"});
  const std::string& d = mails[0].Data;
  EXPECT_NE(d.find(kBody1 + std::string(255, 'n') + "<br>"), std::string::npos) << d;
}

// A request to end the program that arrives while a check waits on a peer
// that never answers (an installer closing the program to replace it) ends
// the wait at once instead of after the 30 s read time-out. A fetch given up
// changes nothing; a delivery given up counts as failed and the check ends
// as after any failed delivery.
TEST_F(Form1NetTest, ACheckGivesWayToARequestToEnd) {
  struct Case {
    const char* What;
    bool EchoStalls;  // else the mail exchanger stalls
    std::string LastIP;
  };
  const Case cases[] = {
      {"the echo page never answers", true, "10.0.0.1"},
      {"the mail exchanger never greets", false, "10.5.5.5"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.What);
    ScriptedTcpServer silent(ScriptedTcpServer::Script().Hold());
    TForm1& f = Start("Ann", "ann@a.test", "10.0.0.1");
    if (c.EchoStalls)
      f.EchoHost = silent.HostPort();
    else
      f.SMTPPort = silent.Port();
    Echo("BEGINIP10.5.5.5ENDIP");
    Ui->QuitPending = false;
    std::thread quit([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      Ui->QuitPending = true;
    });
    const auto t0 = std::chrono::steady_clock::now();
    std::string address = "untouched";
    f.GetMyIP(address);
    const auto took = std::chrono::steady_clock::now() - t0;
    quit.join();
    EXPECT_LT(took, std::chrono::seconds(5));
    EXPECT_EQ(f.LastIP, c.LastIP);
    EXPECT_EQ(IniExists(), !c.EchoStalls);
    EXPECT_TRUE(Ui->MessageBoxes.empty());
    EXPECT_TRUE(NewMails().empty());
    NewApplication();
    fs::remove(Dir + "/Corvale.ini");
  }
}

// A check with a list of address services asks them in order and takes the
// first acceptable answer: a service that is down, answers 403 or 429, an
// HTML page, a private address or two addresses hands on to the next. A 403
// or 429 rests that service for an hour or its Retry-After (here 7200 s),
// on the application's clock. Where the build has TLS the answering services
// are https ones with the test authority's certificate, standing in for the
// public list a package asks through the same path.
TEST_F(Form1NetTest, AddressServicesAreAskedInOrderAndRestAfter403Or429) {
  NginxServer services;
  services.ServerDirectives =
      "location = /busy { add_header Retry-After 7200 always; return 429; }\n"
      "location = /forbidden { return 403; }\n"
      "location /slow { limit_rate 1; }\n";
  services.AddFile("portal", "<html><body>Sign in to the guest network</body></html>\n");
  services.AddFile("private", "192.168.1.20\n");
  services.AddFile("two", "203.0.113.7 198.51.100.9\n");
  services.AddFile("slow", "203.0.113.99\n");
  const std::string trace = "fl=1f1\nh=loopback\nip=198.51.100.9\nts=1.5\n";
  services.AddFile("trace", trace);
  services.AddFile("plain", "203.0.113.7\n");
  services.Start();
  NginxServer* answering = &services;
  std::unique_ptr<NginxTlsServer> secure;
  std::string traceUrl = services.Url("/trace");
  std::string plainUrl = services.Url("/plain");
  if (PlatformTLSAvailable()) {
    testtls::TrustTestAuthority();
    secure = std::make_unique<NginxTlsServer>(testtls::Make().Good);
    secure->AddFile("trace", trace);
    secure->AddFile("plain", "203.0.113.7\n");
    secure->Start();
    answering = secure.get();
    traceUrl = secure->HttpsUrl("/trace");
    plainUrl = secure->HttpsUrl("/plain");
  }
  const std::string downHost = "127.0.0.1:" + std::to_string(PeerServer::FreeTcpPort());
  const auto P = echo::TEchoFormat::Plain;
  TForm1& f = Start("Ann", "", "");
  f.Timer1->SetEnabled(false);  // only the test's checks run
  f.EchoHost.clear();
  f.EchoSources = {{P, "http://" + downHost + "/ip"},    {P, services.Url("/busy")},
                   {P, services.Url("/forbidden")},      {P, services.Url("/portal")},
                   {P, services.Url("/private")},        {P, services.Url("/two")},
                   {echo::TEchoFormat::Trace, traceUrl}, {P, plainUrl}};
  size_t seen = services.Requests().size();
  size_t traces = answering->Requests().size();
  const int64_t start = Ui->ElapsedMs();
  struct Step {
    int64_t AtSeconds;
    std::vector<std::string> Asked;  // of the refusing services, in order
  };
  const Step steps[] = {
      {0, {"busy", "forbidden", "portal", "private", "two"}},
      {3599, {"portal", "private", "two"}},
      {3600, {"forbidden", "portal", "private", "two"}},
      {7199, {"portal", "private", "two"}},
      {7200, {"busy", "forbidden", "portal", "private", "two"}},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.AtSeconds);
    Ui->Block(start + s.AtSeconds * 1000 - Ui->ElapsedMs());
    std::string address;
    f.GetMyIP(address);
    EXPECT_EQ(address, "198.51.100.9");
    EXPECT_EQ(f.EchoAnsweredBy, traceUrl);
    std::vector<std::string> expected;
    for (const std::string& path : s.Asked) expected.push_back("GET /" + path + " HTTP/1.1");
    if (!secure) expected.emplace_back("GET /trace HTTP/1.1");
    const auto all = services.WaitForRequests(seen + expected.size());
    std::vector<std::string> asked;
    for (size_t i = seen; i < all.size(); ++i) asked.push_back(all[i].RequestLine);
    EXPECT_EQ(asked, expected);
    seen = all.size();
    if (secure) {
      ++traces;
      EXPECT_EQ(answering->WaitForRequests(traces).size(), traces);
    }
  }
  EXPECT_EQ(f.LastIP, "198.51.100.9");

  // None answers: nothing changes but what the window says, with the last
  // reason.
  fs::remove(Dir + "/Corvale.ini");
  f.EchoSources = {{P, "http://" + downHost + "/ip"}, {P, services.Url("/portal")}};
  std::string address = "untouched";
  f.GetMyIP(address);
  EXPECT_EQ(address, "untouched");
  EXPECT_EQ(f.LastIP, "198.51.100.9");
  EXPECT_EQ(f.StatusBar1->Panels[1].GetText(),
            "No address service answered (" + services.HostPort() + ": an HTML page)");
  EXPECT_EQ(Ui->TrayTip, "Corvale - no address service answered (198.51.100.9)");
  EXPECT_FALSE(IniExists());
  // The 429 of 7200 s ago rests its service until 14400 s: nobody is asked.
  f.EchoSources = {{P, services.Url("/busy")}};
  f.GetMyIP(address);
  EXPECT_EQ(f.StatusBar1->Panels[1].GetText(),
            "No address service answered (every service is resting after a 403 or 429)");

  // One bound for the whole check: each service gets an equal part of what
  // is left, so two trickling ones (1 byte a second) take a third each and
  // the third service still answers; alone they end the check at the bound.
  constexpr int kBoundMs = 2000;
  TForm1::TNetBounds bounds = f.GetNetBounds();
  bounds.ExchangeMs = kBoundMs;
  f.SetNetBounds(bounds);
  struct Bounded {
    std::vector<echo::TEchoSource> Sources;
    std::string LastIP;
    std::string Status;
  };
  const Bounded bounded[] = {
      {{{P, services.Url("/slow")}, {P, services.Url("/slow?again")}, {P, services.Url("/plain")}},
       "203.0.113.7",
       "203.0.113.7"},
      {{{P, services.Url("/slow")}, {P, services.Url("/slow?again")}},
       "203.0.113.7",
       "No address service answered (" + services.HostPort() +
           ": Socket Error # 10060: Connection timed out.)"},
  };
  for (const Bounded& b : bounded) {
    SCOPED_TRACE(b.Status);
    f.EchoSources = b.Sources;
    const auto t0 = std::chrono::steady_clock::now();
    f.GetMyIP(address);
    const auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(took, std::chrono::milliseconds(kBoundMs * 2 / 3 - 50));
    EXPECT_LT(took, std::chrono::milliseconds(kBoundMs + 1000));
    EXPECT_EQ(f.LastIP, b.LastIP);
    EXPECT_EQ(f.StatusBar1->Panels[1].GetText(), b.Status);
  }

  // The settings file's list replaces the build's, and a save keeps it; an
  // echo page of one's own is a markers source like any other.
  Echo("<p>BEGINIP 198.51.100.77 ENDIP</p>");
  const std::string page = Web->Url("/GetMyIP.pl");
  f.ExtraSettings.SetAll(echo::kSourceKey, {"markers " + page, "trace " + traceUrl});
  f.UpdateInfo();
  EXPECT_NE(Ini().find("\r\nEcho Source   markers " + page + "\r\nEcho Source   trace " + traceUrl +
                       "\r\n"),
            std::string::npos)
      << Ini();
  f.ExtraSettings = {};
  f.UpdateForm();
  f.GetMyIP(address);
  EXPECT_EQ(f.LastIP, " 198.51.100.77 ");
  EXPECT_EQ(f.EchoAnsweredBy, page);
}

TEST(Form1Split, AddressListKeepsEveryPiece) {
  struct Case {
    std::string Text;
    std::vector<std::string> Pieces;
  } cases[] = {
      {"", {""}},
      {"a@b", {"a@b"}},
      {"a@b,c@d", {"a@b", "c@d"}},
      {"a@b, c@d", {"a@b", " c@d"}},
      {"a@b,,c@d,", {"a@b", "", "c@d", ""}},
  };
  for (const auto& c : cases) EXPECT_EQ(TForm1::SplitAddressList(c.Text)->Lines, c.Pieces);
}

}  // namespace
