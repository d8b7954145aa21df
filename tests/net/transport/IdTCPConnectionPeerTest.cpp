// The TCP client against real servers on loopback (aiosmtpd, nginx) and
// against a scripted server for the faults real servers do not produce.
#include <chrono>
#include <string>

#include "gtest/gtest.h"
#include "net/transport/IdException.h"
#include "net/transport/IdTCPClient.h"
#include "tests/support/AiosmtpdServer.h"
#include "tests/support/NginxServer.h"
#include "tests/support/ScriptedTcpServer.h"

namespace {

using namespace std::chrono_literals;
using Script = ScriptedTcpServer::Script;

TEST(TCPPeer, CommandReplyExchangeWithAnSmtpServer) {
  AiosmtpdServer smtp;
  smtp.Start();
  TIdTCPClient c;
  c.Host = "127.0.0.1";
  c.Port = smtp.Port();
  c.OpenConnection();
  EXPECT_EQ(c.SendCommand(TIdTCPConnection::NoOutputCommand, 220), 220);
  EXPECT_EQ(c.SendCommand("EHLO corvale.test", 250), 250);
  // A multi-line EHLO reply: "250-" lines, then the last "250 " line.
  ASSERT_GE(c.ReplyLines.Count(), 2);
  EXPECT_EQ(c.ReplyLines.Strings(0).substr(0, 4), "250-");
  EXPECT_EQ(c.LastReplyLine().substr(0, 4), "250 ");
  try {
    c.SendCommand("RCPT TO:<a@b.test>", 250);  // out of sequence: no MAIL yet
    FAIL();
  } catch (const EIdProtocolReplyError& e) {
    EXPECT_EQ(e.ReplyCode, 503);
    EXPECT_EQ(e.Message, c.LastReplyLine());
  }
  EXPECT_EQ(c.SendCommand("QUIT", 221), 221);
  EXPECT_THROW(c.ReadLine(), EIdConnClosedGracefully);
  EXPECT_FALSE(c.IsConnected());
  EXPECT_NE(smtp.Transcript().find("C: EHLO corvale.test"), std::string::npos);
}

TEST(TCPPeer, RawGetReadWithReadLineAndReadToStream) {
  NginxServer web;
  std::string body(100000, 'b');
  web.AddFile("big.txt", body);
  web.Start();
  TIdTCPClient c;
  c.Host = "localhost";
  c.Port = web.Port();
  c.OpenConnection();
  c.WriteLine("GET /big.txt HTTP/1.1");
  c.WriteLine("Host: 127.0.0.1");
  c.WriteLine("Connection: close");
  c.WriteLine();
  EXPECT_EQ(c.ReadLine(), "HTTP/1.1 200 OK");
  int64_t length = -1;
  for (std::string h = c.ReadLine(); !h.empty(); h = c.ReadLine())
    if (h.rfind("Content-Length: ", 0) == 0) length = std::stoll(h.substr(16));
  ASSERT_EQ(length, static_cast<int64_t>(body.size()));
  TMemoryStream s;
  int64_t read = 0;
  c.OnWork = [&](TIdComponent*, TWorkMode, int64_t n) { read = n; };
  c.ReadToStream(&s, length, false);
  EXPECT_EQ(s.Data, body);
  EXPECT_GT(read, 0);
  c.CloseConnection();
  EXPECT_EQ(web.WaitForRequests(1).at(0).RequestLine, "GET /big.txt HTTP/1.1");
}

TEST(TCPPeer, ServerClosesInTheMiddleOfALine) {
  ScriptedTcpServer srv(Script().Send("250-first\r\n250-sec").CloseNow());
  TIdTCPClient c;
  c.Host = "127.0.0.1";
  c.Port = srv.Port();
  c.OpenConnection();
  EXPECT_THROW(c.ReadReply(-1), EIdConnClosedGracefully);
  EXPECT_EQ(c.ReplyLines.Count(), 1);
  EXPECT_FALSE(c.IsConnected());
}

TEST(TCPPeer, TricklingReplyIsStillRead) {
  ScriptedTcpServer srv(Script().Trickle("220 slow but fine\r\n", 2ms).Hold());
  TIdTCPClient c;
  c.Host = "127.0.0.1";
  c.Port = srv.Port();
  c.ReadTimeout = 2000;
  c.OpenConnection();
  EXPECT_EQ(c.ReadReply(220), 220);
  EXPECT_EQ(c.LastReplyLine(), "220 slow but fine");
}

TEST(TCPPeer, DeadlineEndsAnEndlessTrickle) {
  ScriptedTcpServer srv(Script().Trickle(std::string(1000, 'x'), 20ms));
  TIdTCPClient c;
  c.Host = "127.0.0.1";
  c.Port = srv.Port();
  c.ReadTimeout = 500;
  c.ExchangeTimeout = 600;
  c.OpenConnection();
  auto t0 = std::chrono::steady_clock::now();
  try {
    c.ReadLine();
    FAIL();
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.ErrorCode, 10060);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 3s);
  c.CloseConnection();
}

TEST(TCPPeer, SilentServerAgainstReadTimeout) {
  ScriptedTcpServer srv(Script().Hold());
  TIdTCPClient c;
  c.Host = "127.0.0.1";
  c.Port = srv.Port();
  c.ReadTimeout = 200;
  c.OpenConnection();
  EXPECT_THROW(c.SendCommand("HELO x", 250), EIdSocketError);
  c.CloseConnection();
  ASSERT_TRUE(srv.WaitForConnections(1));
}

TEST(TCPPeer, LinePastTheCap) {
  ScriptedTcpServer srv(Script().Send(std::string(70000, 'y')).Hold());
  TIdTCPClient c;
  c.Host = "127.0.0.1";
  c.Port = srv.Port();
  c.MaxLineLength = 65536;
  c.OpenConnection();
  EXPECT_THROW(c.ReadLine(), EIdReadLineMaxLineLengthExceeded);
  EXPECT_NO_THROW(c.CloseConnection());
}

TEST(TCPPeer, ConnectAndReadAll) {
  ScriptedTcpServer srv(Script().Send("all of it\r\nand more").CloseNow());
  TIdTCPClient c;
  c.Host = "127.0.0.1";
  c.Port = srv.Port();
  EXPECT_EQ(c.ConnectAndReadAll(), "all of it\r\nand more");
  EXPECT_FALSE(c.IsConnected());
}

}  // namespace
