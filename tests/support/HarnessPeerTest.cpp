// Self-tests of the peer harness: the real servers start, answer, record and
// stop by pid; the scripted server plays its steps and never hangs a test.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <thread>

#include "tests/support/AiosmtpdServer.h"
#include "tests/support/HostProcess.h"
#include "tests/support/NginxServer.h"
#include "tests/support/ScriptedTcpServer.h"
#include "tests/support/TestEnv.h"
#include "tests/support/TestSockets.h"

namespace {

using namespace std::chrono_literals;

// A blocking loopback client with a receive time-out, so a broken server fails
// the test instead of hanging it.
class Client {
 public:
  explicit Client(uint16_t port) : Fd_(testnet::Open(SOCK_STREAM)) {
    testnet::SetReceiveTimeout(Fd_.get(), 5000);
    sockaddr_in a = testnet::Loopback(port);
    Connected = ::connect(Fd_.get(), testnet::Addr(a), sizeof a) == 0;
  }
  void Send(const std::string& s) {
    ::send(Fd_.get(), s.data(), static_cast<int>(s.size()), testnet::kNoSignal);
  }
  // Reads until the text is in what was read, or end of stream / time-out.
  std::string ReadUntil(const std::string& text) {
    std::string got;
    char c;
    while (got.find(text) == std::string::npos && ::recv(Fd_.get(), &c, 1, 0) == 1) got += c;
    return got;
  }
  // Reads to end of stream; Reset tells a reset from a clean close.
  std::string ReadAll() {
    std::string got;
    char buf[512];
    int n;
    while ((n = static_cast<int>(::recv(Fd_.get(), buf, sizeof buf, 0))) > 0)
      got.append(buf, static_cast<size_t>(n));
    Failed = n < 0;
    Reset = Failed && testnet::IsReset(testnet::LastError());
    return got;
  }
  bool Connected = false;
  bool Failed = false;  // the last ReadAll ended with an error, not an end of stream
  bool Reset = false;   // that error was a reset by the peer

 private:
  testnet::Socket Fd_;
};

// ---- nginx ----

TEST(NginxServerPeer, ServesFileLogsHeadersAndStopsByPid) {
  auto web = std::make_unique<NginxServer>();
  web->AddFile("GetMyIP.pl", "BEGINIP127.0.0.1ENDIP");
  web->ServerDirectives = "location = /gone { return 404; }";
  web->Start();
  const pid_t pid = web->Pid();
  const uint16_t port = web->Port();
  const std::string dir = web->Dir();
  ASSERT_GT(pid, 0);

  Client c(port);
  ASSERT_TRUE(c.Connected);
  c.Send(
      "GET /GetMyIP.pl HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: text/html\r\n"
      "User-Agent: harness\r\nConnection: close\r\n\r\n");
  const std::string reply = c.ReadAll();
  EXPECT_EQ(reply.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << reply;
  EXPECT_NE(reply.find("\r\n\r\nBEGINIP127.0.0.1ENDIP"), std::string::npos) << reply;

  const auto log = web->WaitForRequests(1);
  ASSERT_EQ(log.size(), 1u) << web->AccessLogText();
  EXPECT_EQ(log[0].RequestLine, "GET /GetMyIP.pl HTTP/1.1");
  EXPECT_EQ(log[0].Status, 200);
  EXPECT_EQ(log[0].Host, "127.0.0.1");
  EXPECT_EQ(log[0].Accept, "text/html");
  EXPECT_EQ(log[0].UserAgent, "harness");
  EXPECT_EQ(log[0].Connection, "close");
  EXPECT_EQ(log[0].ContentType, "-");  // not sent

  web.reset();
  EXPECT_FALSE(host::ProcessExists(pid));
  EXPECT_FALSE(PeerServer::TcpConnects(port, 200ms));
  EXPECT_FALSE(std::filesystem::exists(dir));
}

TEST(NginxServerPeer, BadConfigurationRaisesWithTheLog) {
  NginxServer web;
  web.ServerDirectives = "no_such_directive on;";
  try {
    web.Start();
    FAIL() << "nginx started with a broken configuration";
  } catch (const PeerServerError& e) {
    EXPECT_NE(std::string(e.what()).find("no_such_directive"), std::string::npos) << e.what();
  }
  EXPECT_FALSE(web.Running());
}

TEST(NginxServerPeer, RestartKeepsThePortAndAliveSeesADeath) {
  NginxServer web;
  web.Start();
  const uint16_t port = web.Port();
  const pid_t first = web.Pid();
  web.Restart();
  EXPECT_EQ(web.Port(), port);
  EXPECT_NE(web.Pid(), first);
  EXPECT_TRUE(PeerServer::TcpConnects(port, 1000ms));
  EXPECT_TRUE(web.Alive());
  host::Signal(web.Pid(), host::kSigKill, false);
  // Spelled out: cppcheck 2.10 cannot read the literal 3s in this sum.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  while (web.Alive() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(10ms);
  EXPECT_FALSE(web.Alive());
  EXPECT_FALSE(web.Running());
}

// Takes the first port the harness picks (bound, not listening, so the probe
// cannot mistake it for nginx): the start must move on to another port.
class PortThiefNginx : public NginxServer {
 public:
  testnet::Socket Thief;
  uint16_t StolenPort = 0;

 protected:
  void WriteConfig() override {
    if (!Thief.valid()) {
      Thief = testnet::Open(SOCK_STREAM);
      testnet::ExclusiveAddress(Thief.get());
      sockaddr_in a = testnet::Loopback(Port());
      if (::bind(Thief.get(), testnet::Addr(a), sizeof a) != 0)
        ADD_FAILURE() << "the thief could not take port " << Port() << ": "
                      << testnet::ErrorText(testnet::LastError());
      StolenPort = Port();
    }
    NginxServer::WriteConfig();
  }
};

TEST(NginxServerPeer, LostPortRaceStartsAgainOnAnotherPort) {
  if (testenv::kWindows)
    GTEST_SKIP() << "under Wine a Winsock socket cannot keep a Linux server off its port, so "
                    "the thief steals nothing";
  PortThiefNginx web;
  web.Start();
  EXPECT_NE(web.Port(), web.StolenPort);
  EXPECT_TRUE(PeerServer::TcpConnects(web.Port(), 1000ms));
  EXPECT_NE(web.LogText().find("lost its port"), std::string::npos) << web.LogText();
}

TEST(PeerServerProbe, UdpExchangeReturnsTheReplyOrNothing) {
  testnet::Socket echo = testnet::Open(SOCK_DGRAM);
  sockaddr_in a = testnet::Loopback(0);
  ASSERT_EQ(::bind(echo.get(), testnet::Addr(a), sizeof a), 0);
  const uint16_t port = testnet::LocalPort(echo.get());
  std::thread t([&] {
    char buf[64];
    sockaddr_in from{};
    socklen_t flen = sizeof from;
    const int n = static_cast<int>(
        ::recvfrom(echo.get(), buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &flen));
    if (n > 0) ::sendto(echo.get(), buf, n, 0, reinterpret_cast<sockaddr*>(&from), flen);
  });
  EXPECT_EQ(PeerServer::UdpExchange(port, "ping", 2000ms), "ping");
  t.join();
  echo.reset();
  // Nobody there now: no reply, no hang.
  EXPECT_EQ(PeerServer::UdpExchange(port, "ping", 200ms), "");
}

// ---- aiosmtpd ----

TEST(AiosmtpdServerPeer, RecordsEnvelopeDataAndTranscript) {
  AiosmtpdServer smtp;
  smtp.RejectRecipients = {"nobody@example.org"};
  smtp.Start();

  Client c(smtp.Port());
  ASSERT_TRUE(c.Connected);
  EXPECT_EQ(c.ReadUntil("\r\n").substr(0, 4), "220 ");
  const auto say = [&](const std::string& line, const std::string& code) {
    c.Send(line + "\r\n");
    std::string reply = c.ReadUntil("\r\n");
    while (reply.size() >= 4 && reply[3] == '-') reply = c.ReadUntil("\r\n");
    EXPECT_EQ(reply.substr(0, 3), code) << line << " -> " << reply;
  };
  say("EHLO client.test", "250");
  say("MAIL FROM:<me@example.org>", "250");
  say("RCPT TO:<you@example.org>", "250");
  say("RCPT TO:<nobody@example.org>", "550");
  say("RCPT TO:<two@example.org>", "250");
  say("DATA", "354");
  say("Subject: hi\r\n\r\n..leading dot\r\nlast line\r\n.", "250");
  say("QUIT", "221");

  const auto msgs = smtp.Messages();  // on disk before the 250 was sent
  ASSERT_EQ(msgs.size(), 1u) << smtp.LogText();
  EXPECT_EQ(msgs[0].Helo, "client.test");
  EXPECT_EQ(msgs[0].MailFrom, "me@example.org");
  EXPECT_EQ(msgs[0].RcptTo, (std::vector<std::string>{"you@example.org", "two@example.org"}));
  EXPECT_EQ(msgs[0].Data, "Subject: hi\r\n\r\n.leading dot\r\nlast line\r\n");
  const std::string t = smtp.Transcript();
  EXPECT_NE(t.find("C: EHLO client.test\n"), std::string::npos) << t;
  EXPECT_NE(t.find("C: ..leading dot\n"), std::string::npos) << t;
  EXPECT_NE(t.find("S: 221"), std::string::npos) << t;
}

// ---- scripted server ----

TEST(ScriptedTcpServerPeer, PlaysStepsAndRecordsWhatTheClientSent) {
  using S = ScriptedTcpServer::Script;
  ScriptedTcpServer srv(S().Send("220 hello\r\n")
                            .ExpectLine("EHLO me")
                            .Trickle("250 ok\r\n", 2ms)
                            .ReadUntil("END")
                            .SendFrom([](const std::string& got) {
                              return std::to_string(got.size()) + " bytes\r\n";
                            })
                            .Send("partial li")
                            .CloseNow());
  Client c(srv.Port());
  EXPECT_EQ(c.ReadUntil("\r\n"), "220 hello\r\n");
  c.Send("EHLO me\r\n");
  EXPECT_EQ(c.ReadUntil("\r\n"), "250 ok\r\n");
  c.Send("abcEND");
  EXPECT_EQ(c.ReadAll(), "15 bytes\r\npartial li");
  EXPECT_FALSE(c.Failed);  // a clean end of stream, not a reset
  EXPECT_EQ(srv.Received(0), "EHLO me\r\nabcEND");
}

TEST(ScriptedTcpServerPeer, ScriptPerConnectionThenClosed) {
  using S = ScriptedTcpServer::Script;
  ScriptedTcpServer srv({S().Send("first\r\n"), S().ReadLine().Reset()});
  {
    Client a(srv.Port());
    EXPECT_EQ(a.ReadAll(), "first\r\n");
  }
  {
    Client b(srv.Port());
    b.Send("x\r\n");
    EXPECT_EQ(b.ReadAll(), "");
    EXPECT_TRUE(b.Reset);
  }
  {
    Client extra(srv.Port());
    EXPECT_EQ(extra.ReadAll(), "");
  }
  EXPECT_TRUE(srv.WaitForFinished(3));
  EXPECT_EQ(srv.Received(1), "x\r\n");
}

TEST(ScriptedTcpServerPeer, ShutdownWriteStillReadsTheClient) {
  using S = ScriptedTcpServer::Script;
  ScriptedTcpServer srv(S().Pause(50ms).Send("bye").ShutdownWrite().ExpectLine("late"));
  Client c(srv.Port());
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(c.ReadAll(), "bye");  // end of stream after the pause and the bytes
  EXPECT_GE(std::chrono::steady_clock::now() - start, 40ms);
  c.Send("late\r\n");
  EXPECT_TRUE(srv.WaitForFinished(1));
  EXPECT_EQ(srv.Received(0), "late\r\n");
}

TEST(ScriptedTcpServerPeer, DestructorCutsOffHeldConnection) {
  auto srv = std::make_unique<ScriptedTcpServer>(ScriptedTcpServer::Script().Hold());
  Client c(srv->Port());
  c.Send("anyone there?");
  ASSERT_TRUE(srv->WaitForConnections(1));
  const auto start = std::chrono::steady_clock::now();
  srv.reset();
  // A destructor that waited for the held connection would wait as long as the
  // client keeps it, here for ever; the bound is far above any loaded machine's
  // delay.
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  EXPECT_EQ(c.ReadAll(), "");  // closed, nothing was ever answered
}

}  // namespace
