// The SMTP client against real servers on loopback: aiosmtpd (recording every
// byte of the session) and Postfix (delivering into a mailbox file).
#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <thread>

#include "net/mail/IdSMTP.h"
#include "tests/support/AiosmtpdServer.h"
#include "tests/support/PostfixServer.h"
#include "tests/support/SmtpVariantServer.h"

namespace {

// Bounds for the client in these tests: a broken server fails a test in
// seconds instead of holding it.
constexpr int kTestTimeoutMs = 10000;

void Configure(TIdSMTP& C, const PeerServer& S) {
  C.Host = "127.0.0.1";
  C.Port = S.Port();
  C.ConnectTimeout = kTestTimeoutMs;
  C.ReadTimeout = kTestTimeoutMs;
  // The tests' texts are UTF-8 (the sources' encoding) whatever the system's
  // code page (a Windows build takes the ANSI code page's charset).
  C.TextCharset = "UTF-8";
}

// The notification message of the program: HTML body, one recipient who is
// the sender too.
void FillNotification(TIdMessage& M, const std::string& Address) {
  M.Clear();
  M.ContentType = "text/html";
  M.Subject = "Your IP Address is 203.0.113.7";
  M.From.Name = "Ann Example";
  M.From.Address = Address;
  M.Recipients.Add();
  M.Recipients[0].Name = "Ann Example";
  M.Recipients[0].Address = Address;
  M.Body.Add("<html><body>");
  M.Body.Add("Your IP Address has changed.<br>");
  M.Body.Add("Old IP: 198.51.100.1<br>New IP: 203.0.113.7<br>");
  M.Body.Add("</body></html>");
}

// The transcript once the client's "Quit" is in it: the server notes it after
// the client has already gone.
std::string TranscriptAfterQuit(const AiosmtpdServer& S) {
  const auto deadline = std::chrono::steady_clock::now() + AiosmtpdServer::kMessageWait;
  std::string t = S.Transcript();
  while (t.find("C: Quit") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    t = S.Transcript();
  }
  return t;
}

// The client lines of the last session in a transcript.
std::vector<std::string> ClientLines(const std::string& Transcript) {
  std::vector<std::string> out;
  size_t start = Transcript.rfind("== connection");
  std::istringstream in(Transcript.substr(start == std::string::npos ? 0 : start));
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.starts_with("C: ")) out.push_back(line.substr(3));
  }
  return out;
}

TEST(IdSMTPPeer, ProgramSessionTranscript) {
  AiosmtpdServer sink;
  sink.Start();
  TIdSMTP smtp;
  Configure(smtp, sink);
  TIdMessage msg;
  FillNotification(msg, "ann@example.test");
  smtp.OpenSession();
  EXPECT_TRUE(smtp.AuthSchemes.Lines.empty());
  smtp.DeliverMessage(msg);
  smtp.CloseSession();
  EXPECT_FALSE(smtp.IsConnected());

  auto messages = sink.WaitForMessages(1);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].MailFrom, "ann@example.test");
  EXPECT_EQ(messages[0].RcptTo, std::vector<std::string>{"ann@example.test"});
  EXPECT_EQ(messages[0].Helo, smtp.LocalName());

  std::vector<std::string> c = ClientLines(TranscriptAfterQuit(sink));
  ASSERT_GE(c.size(), 19u) << sink.Transcript();
  EXPECT_EQ(c[0], "ehlo " + smtp.LocalName());
  EXPECT_EQ(c[1], "Rset");
  EXPECT_EQ(c[2], "Mail from:<ann@example.test>");
  EXPECT_EQ(c[3], "RCPT to:<ann@example.test>");
  EXPECT_EQ(c[4], "Data");
  EXPECT_EQ(c[5], "From: \"Ann Example\" <ann@example.test>");
  EXPECT_EQ(c[6], "Subject: Your IP Address is 203.0.113.7");
  EXPECT_EQ(c[7], "To: \"Ann Example\" <ann@example.test>");
  EXPECT_EQ(c[8], "Content-Type: text/html;");
  EXPECT_TRUE(c[9].starts_with("Date: ")) << c[9];
  EXPECT_EQ(c[10], "X-Priority: 3");
  EXPECT_EQ(c[11], "X-Library: Corvale Net 1.0");
  EXPECT_EQ(c[12], "");
  EXPECT_EQ(c[13], "<html><body>");
  EXPECT_EQ(c[16], "</body></html>");
  EXPECT_EQ(c[17], ".");
  EXPECT_EQ(c[18], "Quit");
  EXPECT_EQ(c.size(), 19u);
}

TEST(IdSMTPPeer, HeloWhenEhloIsRefused) {
  SmtpVariantServer sink;
  sink.RefuseEhlo = true;
  sink.Start();
  TIdSMTP smtp;
  Configure(smtp, sink);
  TIdMessage msg;
  FillNotification(msg, "bob@example.test");
  smtp.OpenSession();
  smtp.DeliverMessage(msg);
  smtp.CloseSession();
  ASSERT_EQ(sink.WaitForMessages(1).size(), 1u);
  std::vector<std::string> c = ClientLines(TranscriptAfterQuit(sink));
  ASSERT_GE(c.size(), 3u);
  EXPECT_EQ(c[0], "ehlo " + smtp.LocalName());
  EXPECT_EQ(c[1], "Helo " + smtp.LocalName());
  EXPECT_EQ(c[2], "Rset");
}

TEST(IdSMTPPeer, AuthLoginOncePerSessionAcrossTwoDeliveries) {
  SmtpVariantServer sink;
  sink.AuthUser = "ann";
  sink.AuthPassword = "s3cret!";
  sink.Start();
  TIdSMTP smtp;
  Configure(smtp, sink);
  smtp.AuthenticationType = atLogin;
  smtp.UserId = "ann";
  smtp.Password = "s3cret!";
  smtp.MailAgent = "Corvale test";
  TIdMessage msg;
  FillNotification(msg, "ann@example.test");
  smtp.OpenSession();
  EXPECT_TRUE(smtp.SupportsAuthScheme(atLogin));
  EXPECT_GE(smtp.AuthSchemes.IndexOf("LOGIN"), 0);
  smtp.DeliverMessage(msg);
  EXPECT_TRUE(smtp.Authenticated);
  msg.Subject = "second";
  smtp.MailAgent.clear();
  smtp.DeliverMessage(msg);
  smtp.CloseSession();
  EXPECT_FALSE(smtp.Authenticated);

  auto messages = sink.WaitForMessages(2);
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_NE(sink.ReadFile("mail/msg-1.meta").find("auth ann"), std::string::npos);
  EXPECT_NE(messages[0].Data.find("X-Mailer: Corvale test\r\n"), std::string::npos);
  EXPECT_EQ(messages[1].Data.find("X-Mailer"), std::string::npos);
  EXPECT_NE(messages[1].Data.find("Subject: second\r\n"), std::string::npos);

  std::vector<std::string> c = ClientLines(TranscriptAfterQuit(sink));
  int auths = 0;
  int rsets = 0;
  for (const auto& l : c) {
    auths += l == "auth LOGIN";
    rsets += l == "Rset";
  }
  EXPECT_EQ(auths, 1);
  EXPECT_EQ(rsets, 2);
  // The command and the two answers after it.
  const auto at = static_cast<size_t>(std::find(c.begin(), c.end(), "auth LOGIN") - c.begin());
  ASSERT_LT(at + 2, c.size());
  EXPECT_EQ(c[at + 1], "YW5u");          // "ann"
  EXPECT_EQ(c[at + 2], "czNjcmV0IQ==");  // "s3cret!"
}

TEST(IdSMTPPeer, WrongPasswordIsAProtocolError) {
  SmtpVariantServer sink;
  sink.AuthUser = "ann";
  sink.AuthPassword = "right";
  sink.Start();
  TIdSMTP smtp;
  Configure(smtp, sink);
  smtp.AuthenticationType = atLogin;
  smtp.UserId = "ann";
  smtp.Password = "wrong";
  TIdMessage msg;
  FillNotification(msg, "ann@example.test");
  smtp.OpenSession();
  try {
    smtp.DeliverMessage(msg);
    FAIL();
  } catch (const EIdProtocolReplyError& e) {
    EXPECT_EQ(e.ReplyCode, 535);
  }
  smtp.CloseSession();
  EXPECT_TRUE(sink.Messages().empty());
}

TEST(IdSMTPPeer, Reply251ToRcptIsNotAccepted) {
  SmtpVariantServer sink;
  sink.Forward251.emplace_back("far@example.test");
  sink.Start();
  TIdSMTP smtp;
  Configure(smtp, sink);
  TIdMessage msg;
  FillNotification(msg, "far@example.test");
  smtp.OpenSession();
  try {
    smtp.DeliverMessage(msg);
    FAIL();
  } catch (const EIdProtocolReplyError& e) {
    EXPECT_EQ(e.ReplyCode, 251);
    EXPECT_STREQ(e.what(), "251 2.1.5 User not local; will forward");
  }
  EXPECT_TRUE(smtp.IsConnected());
  smtp.CloseSession();
}

TEST(IdSMTPPeer, InjectionArrivesAsHarmlessContent) {
  AiosmtpdServer sink;
  sink.Start();
  TIdSMTP smtp;
  Configure(smtp, sink);
  TIdMessage msg;
  FillNotification(msg, "ann@example.test");
  // The subject comes from a web reply; a body line may carry anything.
  msg.Subject = "203.0.113.7\r\n.\r\nRCPT to:<evil@example.test>\r\nData";
  msg.Body.Add("line\r\n.\r\nRCPT to:<evil@example.test>\r\n.");
  msg.Body.Add(".\n");
  smtp.OpenSession();
  smtp.DeliverMessage(msg);
  smtp.CloseSession();

  auto messages = sink.WaitForMessages(1);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].RcptTo, std::vector<std::string>{"ann@example.test"});
  const std::string& d = messages[0].Data;
  EXPECT_NE(d.find("\r\nline\r\n.\r\nRCPT to:<evil@example.test>\r\n.\r\n.\r\n\r\n"),
            std::string::npos)
      << d;
  // The subject stays one header (folded, its breaks encoded): every line
  // up to "To:" continues it.
  size_t from = d.find("\r\nSubject:");
  size_t to = d.find("\r\nTo: ");
  ASSERT_LT(from, to);
  std::string subject = d.substr(from + 2, to - from - 2);
  for (size_t p = subject.find("\r\n"); p != std::string::npos; p = subject.find("\r\n", p + 2))
    EXPECT_EQ(subject[p + 2], ' ') << subject;
  EXPECT_NE(subject.find("=?UTF-8?Q?"), std::string::npos);
  // One message, one session, and the session ended with Quit.
  EXPECT_EQ(ClientLines(TranscriptAfterQuit(sink)).back(), "Quit");
}

TEST(IdSMTPPeer, ArgumentsWithLineBreaksAreRefusedBeforeWriting) {
  AiosmtpdServer sink;
  sink.Start();
  TIdSMTP smtp;
  Configure(smtp, sink);
  TIdMessage msg;
  FillNotification(msg, "ann@example.test");
  smtp.OpenSession();
  for (const std::string& bad :
       {std::string("a@x>\r\nRCPT to:<evil@x"), std::string("a@x\n"), std::string("a\0b@x", 5)}) {
    msg.Recipients[0].Address = bad;
    EXPECT_THROW(smtp.DeliverMessage(msg), EIdException);
  }
  msg.Recipients[0].Address = "ann@example.test";
  msg.From.Address = "ann@example.test\r\nRSET";
  EXPECT_THROW(smtp.DeliverMessage(msg), EIdException);
  smtp.CloseSession();
  std::vector<std::string> c = ClientLines(TranscriptAfterQuit(sink));
  EXPECT_EQ(c, (std::vector<std::string>{"ehlo " + smtp.LocalName(), "Quit"}));
}

TEST(IdSMTPPeer, PostfixDeliversTheNotificationIntact) {
  if (!PostfixServer::RunsAsRoot()) GTEST_SKIP() << "Postfix needs root";
  PostfixServer mx;
  mx.Start();
  TIdSMTP smtp;
  Configure(smtp, mx);
  TIdMessage msg;
  const std::string addr = std::string("ann@") + PostfixServer::kDomain;
  FillNotification(msg, addr);
  msg.Body.Add(".leading dot");
  msg.Body.Add("From the start of a line");
  smtp.OpenSession();
  smtp.DeliverMessage(msg);
  smtp.CloseSession();

  auto delivered = mx.WaitForDelivery(1);
  ASSERT_EQ(delivered.size(), 1u) << mx.LogText();
  const std::string& d = delivered[0];
  EXPECT_NE(d.find("\nFrom: \"Ann Example\" <" + addr + ">\n"), std::string::npos) << d;
  EXPECT_NE(d.find("\nTo: \"Ann Example\" <" + addr + ">\n"), std::string::npos);
  EXPECT_NE(d.find("\nSubject: Your IP Address is 203.0.113.7\n"), std::string::npos);
  EXPECT_NE(d.find("\nContent-Type: text/html;\n"), std::string::npos);
  EXPECT_NE(d.find("\nX-Library: Corvale Net 1.0\n"), std::string::npos);
  std::string body = d.substr(d.find("\n\n") + 2);
  EXPECT_EQ(body,
            "<html><body>\nYour IP Address has changed.<br>\n"
            "Old IP: 198.51.100.1<br>New IP: 203.0.113.7<br>\n</body></html>\n"
            ".leading dot\nFrom the start of a line\n");
}

TEST(IdSMTPPeer, PostfixRefusesAnotherDomainAndTheSessionGoesOn) {
  if (!PostfixServer::RunsAsRoot()) GTEST_SKIP() << "Postfix needs root";
  PostfixServer mx;
  mx.Start();
  TIdSMTP smtp;
  Configure(smtp, mx);
  TIdMessage msg;
  FillNotification(msg, "someone@elsewhere.test");
  smtp.OpenSession();
  try {
    smtp.DeliverMessage(msg);
    FAIL();
  } catch (const EIdProtocolReplyError& e) {
    EXPECT_EQ(e.ReplyCode / 100, 5) << e.what();
    EXPECT_NE(std::string(e.what()).find("elsewhere.test"), std::string::npos) << e.what();
  }
  FillNotification(msg, std::string("bob@") + PostfixServer::kDomain);
  smtp.DeliverMessage(msg);  // starts again with RSET
  smtp.CloseSession();
  EXPECT_EQ(mx.WaitForDelivery(1).size(), 1u);
}

}  // namespace
