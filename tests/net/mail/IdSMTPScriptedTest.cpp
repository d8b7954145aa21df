// The SMTP client against scripted servers: replies real servers do not give
// on demand.
#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "net/mail/IdSMTP.h"
#include "net/transport/IdSocketHandle.h"
#include "net/transport/IdStack.h"
#include "tests/support/ScriptedTcpServer.h"

namespace {

using Script = ScriptedTcpServer::Script;

// Bounds for the client: a script that stops answering fails the test fast.
constexpr int kTestTimeoutMs = 5000;

void Configure(TIdSMTP& C, const ScriptedTcpServer& S) {
  C.Host = "127.0.0.1";
  C.Port = S.Port();
  C.ConnectTimeout = kTestTimeoutMs;
  C.ReadTimeout = kTestTimeoutMs;
}

TEST(IdSMTPScripted, AuthSchemesFromTheEhloReply) {
  struct Case {
    std::string Reply;
    std::vector<std::string> Schemes;
  } cases[] = {
      // The first line is the greeting line of the reply, never a keyword.
      {"250-AUTH LOGIN\r\n250-AUTH=PLAIN\r\n250 OK\r\n", {"PLAIN"}},
      {"250-Hello\r\n250-AUTH LOGIN PLAIN\r\n250-AUTH=LOGIN\r\n250 SIZE 1000\r\n",
       {"LOGIN", "PLAIN"}},
      {"250-Hello\r\n250-auth cram-md5 login\r\n250 AUTH\r\n", {"CRAM-MD5", "LOGIN"}},
      {"250-Hello\r\n250-AUTHX LOGIN\r\n250 8BITMIME\r\n", {}},
  };
  for (const Case& k : cases) {
    ScriptedTcpServer srv(
        Script().Send("220 hi\r\n").ReadLine().Send(k.Reply).ExpectLine("Quit").CloseNow());
    TIdSMTP smtp;
    Configure(smtp, srv);
    smtp.OpenSession();
    EXPECT_EQ(smtp.AuthSchemes.Lines, k.Schemes) << k.Reply;
    EXPECT_EQ(smtp.SupportsAuthScheme(atLogin),
              std::find(k.Schemes.begin(), k.Schemes.end(), "LOGIN") != k.Schemes.end());
    EXPECT_FALSE(smtp.SupportsAuthScheme(atNone));
    smtp.CloseSession();
    ASSERT_TRUE(srv.WaitForFinished(1, std::chrono::milliseconds(kTestTimeoutMs)));
    EXPECT_EQ(srv.Received(0), "ehlo " + smtp.LocalName() + "\r\nQuit\r\n");
  }
}

// 200,000 distinct four-letter names fill one EHLO line of about a megabyte;
// a search of the list per name took most of a minute of CPU here.
TEST(IdSMTPScripted, AMegabyteOfAuthNamesIsCollectedInOrderOnce) {
  constexpr int kNames = 200000;
  std::vector<std::string> names;
  std::string line = "250-AUTH";
  for (int i = 0; i < kNames; ++i) {
    std::string name(4, 'A');
    for (int k = 3, v = i; k >= 0; --k, v /= 26) name[k] = static_cast<char>('A' + v % 26);
    names.push_back(name);
    line += " " + name;
  }
  // Names seen before, in other letter case or after "=", are not listed again.
  const std::string reply = "250-hi\r\n" + line + "\r\n250-AUTH=aaab=AAAA baaa\r\n250 OK\r\n";
  ASSERT_LT(reply.size(), 1048576u);
  ScriptedTcpServer srv(
      Script().Send("220 hi\r\n").ReadLine().Send(reply).ExpectLine("Quit").CloseNow());
  TIdSMTP smtp;
  Configure(smtp, srv);
  smtp.OpenSession();
  EXPECT_EQ(smtp.AuthSchemes.Lines, names);
  smtp.CloseSession();
  EXPECT_TRUE(srv.WaitForFinished(1, std::chrono::milliseconds(kTestTimeoutMs)));
}

// A reply that runs past the line or the byte cap ends the session: the
// connection is closed without "Quit" (the peer is still sending).
TEST(IdSMTPScripted, EndlessGreetingIsRefused) {
  std::string manyLines;
  for (int i = 0; i < 5000; ++i) manyLines += "220-still greeting\r\n";
  const std::string bigLine = "220-" + std::string(size_t{600} * 1024, 'g') + "\r\n";
  struct Case {
    std::string Greeting;
    std::string Error;
  } cases[] = {
      {manyLines, "Reply too long: more than 1000 lines."},
      {bigLine + bigLine, "Reply too long: more than 1048576 bytes."},
  };
  for (const Case& c : cases) {
    ScriptedTcpServer srv(Script().Send(c.Greeting).Hold());
    TIdSMTP smtp;
    Configure(smtp, srv);
    try {
      smtp.OpenSession();
      ADD_FAILURE() << "no error";
    } catch (const EIdReplyTooLong& e) {
      EXPECT_EQ(e.Message, c.Error);
    }
    EXPECT_FALSE(smtp.IsConnected());
    ASSERT_TRUE(srv.WaitForFinished(1, std::chrono::milliseconds(kTestTimeoutMs)));
    EXPECT_EQ(srv.Received(0), "");
  }
}

TEST(IdSMTPScripted, BadGreetingClosesWithQuitAndRaises) {
  ScriptedTcpServer srv(Script().Send("554 no service\r\n").ReadToEnd());
  TIdSMTP smtp;
  Configure(smtp, srv);
  try {
    smtp.OpenSession();
    FAIL();
  } catch (const EIdProtocolReplyError& e) {
    EXPECT_EQ(e.ReplyCode, 554);
    EXPECT_STREQ(e.what(), "554 no service");
  }
  EXPECT_FALSE(smtp.IsConnected());
  ASSERT_TRUE(srv.WaitForFinished(1, std::chrono::milliseconds(kTestTimeoutMs)));
  EXPECT_EQ(srv.Received(0), "Quit\r\n");
}

TEST(IdSMTPScripted, HeloRefusedToo) {
  ScriptedTcpServer srv(Script()
                            .Send("220 hi\r\n")
                            .ReadLine()
                            .Send("502 no\r\n")
                            .ReadLine()
                            .Send("501 go away\r\n")
                            .ReadToEnd());
  TIdSMTP smtp;
  Configure(smtp, srv);
  EXPECT_THROW(smtp.OpenSession(), EIdProtocolReplyError);
  ASSERT_TRUE(srv.WaitForFinished(1, std::chrono::milliseconds(kTestTimeoutMs)));
  EXPECT_EQ(srv.Received(0),
            "ehlo " + smtp.LocalName() + "\r\nHelo " + smtp.LocalName() + "\r\nQuit\r\n");
}

TEST(IdSMTPScripted, RsetReplyIgnoredNoAuthWithoutTheSchemeQuitNotAwaited) {
  ScriptedTcpServer srv(Script()
                            .Send("220 hi\r\n")
                            .ReadLine()
                            .Send("250-mx\r\n250 8BITMIME\r\n")
                            .ExpectLine("Rset")
                            .Send("502 not implemented\r\n")
                            .ExpectLine("Mail from:<a@x.test>")
                            .Send("250 ok\r\n")
                            .ExpectLine("RCPT to:<a@x.test>")
                            .Send("250 ok\r\n")
                            .ExpectLine("RCPT to:<bcc@x.test>")
                            .Send("250 ok\r\n")
                            .ExpectLine("Data")
                            .Send("354 go\r\n")
                            .ReadUntil("\r\n.\r\n")
                            .Send("250 queued\r\n")
                            .ExpectLine("Quit")
                            .Hold());  // never answers 221
  TIdSMTP smtp;
  Configure(smtp, srv);
  smtp.AuthenticationType = atLogin;
  smtp.UserId = "u";
  smtp.Password = "p";
  TIdMessage msg;
  msg.From.Address = "a@x.test";
  msg.Recipients.Add().Address = "a@x.test";
  msg.BccList.Add().Address = "bcc@x.test";
  msg.Body.Add("hello");
  smtp.OpenSession();
  smtp.DeliverMessage(msg);
  auto t0 = std::chrono::steady_clock::now();
  smtp.CloseSession();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
  EXPECT_FALSE(smtp.IsConnected());
  EXPECT_FALSE(smtp.Authenticated);
  // A closed session writes nothing more.
  smtp.CloseSession();
  // Quit is written without waiting for an answer, so the server may still be
  // reading it: wait until it has seen the connection end.
  ASSERT_TRUE(srv.WaitForFinished(1, std::chrono::milliseconds(kTestTimeoutMs)));
  const std::string got = srv.Received(0);
  EXPECT_EQ(got.find("auth"), std::string::npos);
  EXPECT_EQ(got.find("Bcc"), std::string::npos);  // Bcc gets RCPT only
  EXPECT_TRUE(got.ends_with("\r\nhello\r\n.\r\nQuit\r\n")) << got;
}

// Every reply of a delivery can refuse it, the one to the message's final dot
// too (a server that refuses the message after reading it): DeliverMessage
// raises EIdProtocolReplyError with the server's code and last reply line,
// sends nothing more, and the session stays in step, so closing it says
// "Quit".
TEST(IdSMTPScripted, EveryReplyOfADeliveryCanRefuseIt) {
  TIdMessage msg;
  msg.From.Address = "a@x.test";
  msg.Recipients.Add().Address = "a@x.test";
  msg.Body.Add("hello");
  struct Case {
    const char* Step;  // the command whose reply refuses
    std::string Reply;
    int Code;
    std::string Message;
    std::string Last;  // what the client wrote last before "Quit"
  } cases[] = {
      {"MAIL", "550 5.7.1 sender refused\r\n", 550, "550 5.7.1 sender refused",
       "Mail from:<a@x.test>\r\n"},
      {"RCPT", "550 5.1.1 no such user\r\n", 550, "550 5.1.1 no such user",
       "RCPT to:<a@x.test>\r\n"},
      {"DATA", "554 5.5.1 no valid recipients\r\n", 554, "554 5.5.1 no valid recipients",
       "Data\r\n"},
      {".", "554 5.7.1 message refused\r\n", 554, "554 5.7.1 message refused",
       "\r\nhello\r\n.\r\n"},
      {".", "452 4.3.1 insufficient system storage\r\n", 452,
       "452 4.3.1 insufficient system storage", "\r\nhello\r\n.\r\n"},
      {".", "554-5.7.1 message refused\r\n554 5.7.1 see the policy\r\n", 554,
       "554 5.7.1 see the policy", "\r\nhello\r\n.\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.Step) + " refused with " + c.Message);
    Script s = Script()
                   .Send("220 hi\r\n")
                   .ReadLine()
                   .Send("250 hi\r\n")
                   .ExpectLine("Rset")
                   .Send("250 ok\r\n");
    const std::pair<std::string, const char*> steps[] = {{"MAIL", "250 ok\r\n"},
                                                         {"RCPT", "250 ok\r\n"},
                                                         {"DATA", "354 go\r\n"},
                                                         {".", "250 queued\r\n"}};
    for (const auto& [step, ok] : steps) {
      if (step == ".")
        s.ReadUntil("\r\n.\r\n");
      else
        s.ReadLine();
      if (step == c.Step) {
        s.Send(c.Reply);
        break;
      }
      s.Send(ok);
    }
    ScriptedTcpServer srv(std::move(s.ExpectLine("Quit").CloseNow()));
    TIdSMTP smtp;
    Configure(smtp, srv);
    // Each command would otherwise wait for the server's delayed acknowledgement.
    smtp.UseNagle = false;
    smtp.OpenSession();
    try {
      smtp.DeliverMessage(msg);
      ADD_FAILURE() << "delivered";
    } catch (const EIdProtocolReplyError& e) {
      EXPECT_EQ(e.ReplyCode, c.Code);
      EXPECT_EQ(e.Message, c.Message);
    }
    EXPECT_TRUE(smtp.IsConnected());
    EXPECT_NO_THROW(smtp.CloseSession());
    ASSERT_TRUE(srv.WaitForFinished(1, std::chrono::milliseconds(kTestTimeoutMs)));
    EXPECT_TRUE(srv.Received(0).ends_with(c.Last + "Quit\r\n")) << srv.Received(0);
  }
}

// After a time-out or a socket error the session is closed without "Quit"
// and nothing is raised, so a caller closing after a failed delivery is not
// handed a second error; a "Quit" that fails on a connection without a fault
// still raises.
TEST(IdSMTPScripted, ClosingAfterAFault) {
  TIdMessage msg;
  msg.From.Address = "a@x.test";
  msg.Recipients.Add().Address = "a@x.test";
  const Script upToMail = Script()
                              .Send("220 hi\r\n")
                              .ReadLine()
                              .Send("250 hi\r\n")
                              .ExpectLine("Rset")
                              .Send("250 ok\r\n")
                              .ExpectLine("Mail from:<a@x.test>");
  struct Case {
    const char* Name;
    Script Peer;
    std::function<void(TIdSMTP&)> Fail;
    bool CloseRaises;
  } cases[] = {
      {"read time-out", Script(upToMail).Hold(),
       [&](TIdSMTP& s) {
         s.ReadTimeout = 200;
         EXPECT_THROW(s.DeliverMessage(msg), EIdSocketError);
       },
       false},
      {"reset", Script(upToMail).Reset(),
       [&](TIdSMTP& s) { EXPECT_THROW(s.DeliverMessage(msg), EIdSocketError); }, false},
      // Nothing failed yet, but the exchange deadline is spent when "Quit"
      // is due.
      {"deadline spent", Script().Send("220 hi\r\n").ReadLine().Send("250 hi\r\n").ReadToEnd(),
       [](TIdSMTP& s) { s.ExchangeTimeout = 0; }, false},
      // A refusal, then a reset that the client has not read: "Quit" meets it.
      {"healthy", Script(upToMail).Send("550 no\r\n").Reset(),
       [&](TIdSMTP& s) {
         EXPECT_THROW(s.DeliverMessage(msg), EIdProtocolReplyError);
         ASSERT_TRUE(s.SocketHandle->WaitReadable(kTestTimeoutMs));
       },
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    ScriptedTcpServer srv(c.Peer);
    TIdSMTP smtp;
    Configure(smtp, srv);
    smtp.OpenSession();
    c.Fail(smtp);
    if (c.CloseRaises)
      EXPECT_THROW(smtp.CloseSession(), EIdSocketError);
    else
      EXPECT_NO_THROW(smtp.CloseSession());
    EXPECT_FALSE(smtp.IsConnected());
    ASSERT_TRUE(srv.WaitForFinished(1, std::chrono::milliseconds(kTestTimeoutMs)));
    EXPECT_EQ(srv.Received(0).find("Quit"), std::string::npos) << srv.Received(0);
  }
}

TEST(IdSMTPScripted, ConnectionRefusedRaisesSocketError) {
  uint16_t port;
  {
    ScriptedTcpServer srv(Script().CloseNow());
    port = srv.Port();
  }
  TIdSMTP smtp;
  smtp.Host = "127.0.0.1";
  smtp.Port = port;
  smtp.ConnectTimeout = kTestTimeoutMs;
  EXPECT_THROW(smtp.OpenSession(), EIdSocketError);
  EXPECT_FALSE(smtp.IsConnected());
}

TEST(IdSMTPScripted, AConnectThatTimedOutIsNotWaitedOnAgain) {
  // A listener that never accepts, its queue of one taken: the client's
  // connection request is dropped and its connect times out half open.
  TIdSMTP smtp;  // keeps the stack alive for the sockets below
  TIdSocketHandle listener;
  listener.OpenSocket();
  listener.IP = "127.0.0.1";
  listener.Bind();
  GlobalStack->CheckSocketResult(GlobalStack->SockListen(listener.SocketId, 0));
  TIdSocketHandle first;
  first.OpenSocket();
  first.SetRemote("127.0.0.1", listener.Port);
  ASSERT_EQ(first.Connect(), 0);

  smtp.Host = "127.0.0.1";
  smtp.Port = listener.Port;
  smtp.ConnectTimeout = 200;
  // Only the exchange deadline bounds a wait after the connect: a "Quit"
  // written on the half-open socket would wait for all of it.
  smtp.ReadTimeout = TimeoutInfinite;
  smtp.ExchangeTimeout = 60000;
  const auto start = std::chrono::steady_clock::now();
  try {
    smtp.OpenSession();
    GTEST_SKIP() << "the listen queue took the connection: nothing timed out";
  } catch (const EIdSocketError& e) {
    if (e.ErrorCode == Id_WSAECONNREFUSED)
      GTEST_SKIP() << "this system refuses a connection to a full queue instead of dropping it";
    EXPECT_EQ(e.ErrorCode, Id_WSAETIMEDOUT);
  }
  EXPECT_FALSE(smtp.IsConnected());
  // Far below the deadline the old close waited out: the bound is generous
  // for a loaded machine and still tells a hang from a close.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
}

// The login to a submission server (atAuto): PLAIN (RFC 4616) when
// announced, else LOGIN; a server announcing neither, a refused login, a
// refusal after it, and a session that would carry the password in clear
// all fail with a message that says why, the server's own line when it
// answered. The user "ann" with the password "pw": PLAIN sends base64 of
// NUL "ann" NUL "pw" (00 61 6E 6E 00 70 77 -> "AGFubgBwdw=="), LOGIN base64
// of "ann" ("YW5u") and of "pw" ("cHc=").
TEST(IdSMTPScripted, LoginToASubmissionServer) {
  using Dialogue = std::vector<std::pair<std::string, std::string>>;
  const Dialogue plainOk = {{"AUTH PLAIN AGFubgBwdw==", "235 2.7.0 ok\r\n"}};
  struct Case {
    const char* Name;
    std::string Ehlo;
    bool PlainTextAuth;
    Dialogue Steps;     // after "Rset": each line the client must send, and the reply
    std::string Error;  // empty: the mail goes on to be delivered
    std::string Password = "pw";
  } cases[] = {
      {"PLAIN only", "250-hi\r\n250 AUTH PLAIN\r\n", true, plainOk, ""},
      {"PLAIN preferred", "250-hi\r\n250 AUTH LOGIN PLAIN\r\n", true, plainOk, ""},
      {"LOGIN only",
       "250-hi\r\n250 AUTH=LOGIN\r\n",
       true,
       {{"auth LOGIN", "334 VXNlcm5hbWU6\r\n"},
        {"YW5u", "334 UGFzc3dvcmQ6\r\n"},
        {"cHc=", "235 2.7.0 ok\r\n"}},
       ""},
      {"neither",
       "250-hi\r\n250 AUTH CRAM-MD5 XOAUTH2\r\n",
       true,
       {},
       "127.0.0.1 offers no login this program can use (PLAIN or LOGIN); it announces CRAM-MD5 "
       "XOAUTH2."},
      {"no AUTH at all",
       "250-hi\r\n250 8BITMIME\r\n",
       true,
       {},
       "127.0.0.1 offers no login this program can use (PLAIN or LOGIN): it announces none."},
      {"wrong password",
       "250-hi\r\n250 AUTH PLAIN\r\n",
       true,
       {{"AUTH PLAIN AGFubgBwdw==", "535 5.7.8 Username and Password not accepted\r\n"}},
       "535 5.7.8 Username and Password not accepted"},
      {"530 after MAIL",
       "250-hi\r\n250 AUTH PLAIN\r\n",
       true,
       {plainOk[0], {"Mail from:<a@x.test>", "530 5.7.0 Must issue a STARTTLS command first\r\n"}},
       "530 5.7.0 Must issue a STARTTLS command first"},
      // Offered in clear, the password is still not sent without TLS.
      {"AUTH before TLS",
       "250-hi\r\n250 AUTH PLAIN LOGIN\r\n",
       false,
       {},
       "The password for 127.0.0.1 is sent only over TLS, and this session is not encrypted."},
      // PLAIN separates user and password with NUL: one inside would send
      // another login than the one typed.
      {"NUL in the password",
       "250-hi\r\n250 AUTH PLAIN\r\n",
       true,
       {},
       "The user name or password holds a NUL character and cannot be sent.",
       std::string("p\0w", 3)},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.Name);
    Script s =
        Script().Send("220 hi\r\n").ReadLine().Send(k.Ehlo).ExpectLine("Rset").Send("250 ok\r\n");
    for (const auto& [line, reply] : k.Steps) s.ExpectLine(line).Send(reply);
    if (k.Error.empty())
      s.ExpectLine("Mail from:<a@x.test>")
          .Send("250 ok\r\n")
          .ExpectLine("RCPT to:<a@x.test>")
          .Send("250 ok\r\n")
          .ExpectLine("Data")
          .Send("354 go\r\n")
          .ReadUntil("\r\n.\r\n")
          .Send("250 queued\r\n");
    ScriptedTcpServer srv(std::move(s.ExpectLine("Quit").CloseNow()));
    TIdSMTP smtp;
    Configure(smtp, srv);
    smtp.UseNagle = false;
    smtp.AuthenticationType = atAuto;
    smtp.PlainTextAuth = k.PlainTextAuth;
    smtp.UserId = "ann";
    smtp.Password = k.Password;
    TIdMessage msg;
    msg.From.Address = "a@x.test";
    msg.Recipients.Add().Address = "a@x.test";
    msg.Body.Add("hello");
    smtp.OpenSession();
    try {
      smtp.DeliverMessage(msg);
      EXPECT_EQ(k.Error, "") << "delivered";
      EXPECT_TRUE(smtp.Authenticated);
    } catch (const EIdException& e) {
      EXPECT_EQ(e.Message, k.Error);
    }
    smtp.CloseSession();
    ASSERT_TRUE(srv.WaitForFinished(1, std::chrono::milliseconds(kTestTimeoutMs)));
    // Nothing beyond the dialogue: no login line where none belongs.
    if (k.Steps.empty()) {
      EXPECT_TRUE(srv.Received(0).ends_with("\r\nRset\r\nQuit\r\n")) << srv.Received(0);
    }
  }
}

TEST(IdSMTP, DefaultsAndCopy) {
  TIdSMTP a;
  EXPECT_EQ(a.Port, 25);
  EXPECT_EQ(a.AuthenticationType, atNone);
  a.AuthenticationType = atLogin;
  a.Host = "mx.example.test";
  a.MailAgent = "agent";
  a.Password = "pw";
  a.UserId = "me";
  a.Port = 2525;
  TIdSMTP b;
  b.Assign(a);
  EXPECT_EQ(b.AuthenticationType, atLogin);
  EXPECT_EQ(b.Host, "mx.example.test");
  EXPECT_EQ(b.MailAgent, "agent");
  EXPECT_EQ(b.Password, "pw");
  EXPECT_EQ(b.UserId, "me");
  EXPECT_EQ(b.Port, 2525);
}

}  // namespace
