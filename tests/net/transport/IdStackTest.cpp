// The socket stack, socket handles and the network component base against the
// real loopback interface. The test sockets are made with the stack itself, so
// the same tests run over every platform's stack.
#include <chrono>
#include <memory>
#include <vector>

#include "gtest/gtest.h"
#include "net/transport/IdComponent.h"
#include "net/transport/IdException.h"
#include "net/transport/IdSocketHandle.h"
#include "net/transport/IdStack.h"
#include "platform/Exception.h"
#include "tests/support/ScriptedTcpServer.h"

namespace {

// Keeps GlobalStack alive for a test.
struct StackTest : ::testing::Test {
  TIdComponent Keeper;
};

// A loopback TCP socket listening on a free port, made with GlobalStack
// (closed with the test).
struct Listener {
  TIdSocketHandle H;
  int Port = 0;
  explicit Listener(int BackLog = 8) {
    H.OpenSocket();
    H.IP = "127.0.0.1";
    H.Bind();
    GlobalStack->CheckSocketResult(GlobalStack->SockListen(H.SocketId, BackLog));
    Port = H.Port;
  }
};

TEST(StackTexts, ErrorMessagesCarryNumberLineBreakAndText) {
  EXPECT_EQ(TIdStack::SocketErrorMessage(10061), "Socket Error # 10061\r\nConnection refused.");
  EXPECT_EQ(TIdStack::SocketErrorMessage(10060), "Socket Error # 10060\r\nConnection timed out.");
  // The library's own text keeps its trailing blank.
  EXPECT_EQ(TIdStack::SocketErrorMessage(10035), "Socket Error # 10035\r\nOperation would block. ");
  EXPECT_EQ(TIdStack::SocketErrorMessage(11001), "Socket Error # 11001\r\n");
  EXPECT_EQ(TIdStack::SocketErrorMessage(0), "Socket Error # 0\r\n");
}

TEST(StackTexts, DottedQuads) {
  struct Case {
    const char* Text;
    bool Quad;
  } cases[] = {{"0.0.0.0", true},    {"127.0.0.1", true}, {"255.255.255.255", true},
               {"256.1.1.1", false}, {"a.b.c.d", false},  {"1.2.3", false},
               {"1.2.3.4.5", false}, {"1..3.4", false},   {"", false},
               {"-1.2.3.4", false}};
  for (const auto& c : cases) EXPECT_EQ(TIdStack::IsDottedQuad(c.Text), c.Quad) << c.Text;
}

TEST(StackTexts, DottedToInAddrKeepsLowBitsAndRejectsNonNumbers) {
  uint8_t a[4];
  TIdStack::DottedToInAddr("300.1.2.3", a);
  EXPECT_EQ(a[0], 44);
  EXPECT_EQ(a[3], 3);
  EXPECT_EQ(TIdStack::InAddrToDotted(a), "44.1.2.3");
  EXPECT_THROW(TIdStack::DottedToInAddr("x.1.2.3", a), EConvertError);
}

TEST_F(StackTest, ResolveAddress) {
  EXPECT_EQ(GlobalStack->ResolveAddress("LocalHost"), "127.0.0.1");
  EXPECT_EQ(GlobalStack->ResolveAddress("10.0.0.1"), "10.0.0.1");
  // Not a dotted quad, so it goes to the platform's lookup, which reads the
  // classic short form as 1.2.0.3 without asking any server.
  EXPECT_EQ(GlobalStack->ResolveAddress("1.2.3"), "1.2.0.3");
}

TEST_F(StackTest, SelectRefusesMoreThan64Sockets) {
  std::vector<int> list(65, 0);
  EXPECT_THROW(GlobalStack->SockSelect(&list, nullptr, nullptr, 0), EIdStackSetSizeExceeded);
  try {
    GlobalStack->SockSelect(nullptr, &list, nullptr, 0);
  } catch (const EIdStackSetSizeExceeded& e) {
    EXPECT_STREQ(e.what(), "Set Size Exceeded.");
  }
}

TEST_F(StackTest, HandleLifeCycle) {
  TIdSocketHandle h;
  h.Close(true);  // never opened: nothing happens
  EXPECT_FALSE(h.IsOpen);
  EXPECT_THROW(h.WaitReadable(0), EIdConnClosedGracefully);

  h.OpenSocket();
  int first = h.SocketId;
  h.SetRemote("127.0.0.1", 9);
  h.OpenSocket();  // closes the old socket first and forgets the peer
  EXPECT_TRUE(h.IsOpen);
  EXPECT_EQ(h.RemoteIP, "");
  EXPECT_EQ(h.RemotePort, 0);
  (void)first;

  h.Close(true);
  h.OpenSocket(Id_SOCK_DGRAM);  // nothing can arrive on a fresh datagram socket
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(h.WaitReadable(0));  // polls without waiting
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(200));
  h.Close(true);
  EXPECT_EQ(h.SocketId, Id_INVALID_SOCKET);
}

TEST_F(StackTest, BindToBusyPortRaisesCouldNotBind) {
  Listener l;
  TIdSocketHandle h;
  h.OpenSocket();
  h.IP = "127.0.0.1";
  h.Port = l.Port;
  try {
    h.Bind();
    FAIL() << "bind succeeded";
  } catch (const EIdCouldNotBindSocket& e) {
    EXPECT_STREQ(e.what(), "Could not bind socket. Address and port are already in use.");
  }
  EXPECT_TRUE(h.IsOpen);  // left open and unbound

  h.Port = 0;
  h.Bind();
  EXPECT_EQ(h.IP, "127.0.0.1");
  EXPECT_GT(h.Port, 0);
}

TEST_F(StackTest, RefusedConnectRaisesWinsockNumberAndText) {
  int port;
  {
    Listener l;  // a port that was free a moment ago and now has no listener
    port = l.Port;
  }
  TIdSocketHandle h;
  h.OpenSocket();
  h.SetRemote("127.0.0.1", port);
  int r = h.Connect();
  EXPECT_EQ(r, -1);
  try {
    GlobalStack->CheckSocketResult(r);
    FAIL();
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.ErrorCode, 10061);
    EXPECT_EQ(e.Message, "Socket Error # 10061\r\nConnection refused.");
  }
}

TEST_F(StackTest, ConnectReadsBothEndpointsBack) {
  Listener l;
  TIdSocketHandle h;
  h.OpenSocket();
  h.SetRemote("127.0.0.1", l.Port);
  ASSERT_EQ(h.Connect(), 0);
  EXPECT_EQ(h.RemotePort, l.Port);
  EXPECT_EQ(h.IP, "127.0.0.1");
  EXPECT_GT(h.Port, 0);
}

TEST_F(StackTest, DatagramTooLongForTransport) {
  TIdSocketHandle h;
  h.OpenSocket(Id_SOCK_DGRAM);
  std::vector<char> big(70000, 'x');
  EXPECT_THROW(h.SendDatagram("127.0.0.1", 9, big.data(), static_cast<int>(big.size())),
               EIdPackageSizeTooBig);
  EXPECT_TRUE(h.IsOpen);
}

TEST_F(StackTest, OversizedDatagramIsReportedNotCut) {
  TIdSocketHandle rx;
  TIdSocketHandle tx;
  rx.OpenSocket(Id_SOCK_DGRAM);
  rx.IP = "127.0.0.1";
  rx.Bind();
  tx.OpenSocket(Id_SOCK_DGRAM);
  std::string msg(100, 'y');
  tx.SendDatagram("127.0.0.1", rx.Port, msg.data(), static_cast<int>(msg.size()));
  char buf[50];
  std::string ip;
  int port;
  EXPECT_EQ(rx.RecvDatagram(buf, sizeof buf, 0, ip, port), -1);
  EXPECT_EQ(GlobalStack->SockLastError(), 10040);
}

TEST_F(StackTest, SelectTakes64SocketsAndKeepsOnlyTheReadyOne) {
  // The largest set there is: 64 datagram sockets, then a datagram for the last.
  std::vector<std::unique_ptr<TIdSocketHandle>> sockets;
  std::vector<TIdStackSocketHandle> ids;
  for (size_t i = 0; i < IdMaxSelectSockets; ++i) {
    sockets.push_back(std::make_unique<TIdSocketHandle>());
    sockets.back()->OpenSocket(Id_SOCK_DGRAM);
    sockets.back()->IP = "127.0.0.1";
    sockets.back()->Bind();
    ids.push_back(sockets.back()->SocketId);
  }
  std::vector<TIdStackSocketHandle> read = ids;
  EXPECT_EQ(GlobalStack->SockSelect(&read, nullptr, nullptr, 0), 0);
  EXPECT_TRUE(read.empty());

  TIdSocketHandle tx;
  tx.OpenSocket(Id_SOCK_DGRAM);
  tx.SendDatagram("127.0.0.1", sockets.back()->Port, "x", 1);
  read = ids;
  EXPECT_EQ(GlobalStack->SockSelect(&read, nullptr, nullptr, TimeoutInfinite), 1);
  EXPECT_EQ(read, std::vector<TIdStackSocketHandle>{ids.back()});
}

TEST_F(StackTest, ConnectTimeOutIs10060) {
  // A listener that never accepts, with a queue of one connection that is
  // taken: further connection requests are dropped, so a connect waits.
  Listener l(0);
  TIdSocketHandle first;
  first.OpenSocket();
  first.SetRemote("127.0.0.1", l.Port);
  ASSERT_EQ(first.Connect(), 0);

  TIdSocketHandle h;
  h.OpenSocket();
  h.SetRemote("127.0.0.1", l.Port);
  const int r = h.Connect(Id_PF_INET, 300);
  if (r == 0) GTEST_SKIP() << "the listen queue took a second connection: nothing to time out";
  if (GlobalStack->SockLastError() == Id_WSAECONNREFUSED)
    GTEST_SKIP() << "this system refuses a connection to a full queue instead of dropping it";
  try {
    GlobalStack->CheckSocketResult(r);
    FAIL() << "no error";
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.ErrorCode, 10060);
    EXPECT_EQ(e.Message, "Socket Error # 10060\r\nConnection timed out.");
  }
}

TEST(Component, StackLivesWhileAnyComponentLives) {
  ASSERT_EQ(TIdComponent::InstanceCount(), 0);
  EXPECT_EQ(GlobalStack, nullptr);
  {
    TIdComponent a;
    TIdStack* first = GlobalStack.get();
    ASSERT_NE(first, nullptr);
    {
      TIdComponent b;
      EXPECT_EQ(GlobalStack.get(), first);
    }
    EXPECT_EQ(GlobalStack.get(), first);
  }
  EXPECT_EQ(GlobalStack, nullptr);
  TIdComponent again;
  EXPECT_NE(GlobalStack, nullptr);
}

TEST(Component, OwnerFreesNetworkComponents) {
  {
    TComponent owner;
    TComponent::Create<TIdComponent>(owner);
    TComponent::Create<TIdComponent>(owner);
    EXPECT_EQ(TIdComponent::InstanceCount(), 2);
    EXPECT_EQ(owner.ComponentCount(), 2);
  }
  EXPECT_EQ(TIdComponent::InstanceCount(), 0);
  EXPECT_EQ(GlobalStack, nullptr);
}

TEST(Component, WorkEventsNestByLevel) {
  TIdComponent c;
  std::vector<std::string> log;
  c.OnWorkBegin = [&](TIdComponent*, TWorkMode m, int64_t max) {
    log.push_back("begin " + std::to_string(m) + " " + std::to_string(max));
  };
  c.OnWork = [&](TIdComponent*, TWorkMode, int64_t n) {
    log.push_back("work " + std::to_string(n));
  };
  c.OnWorkEnd = [&](TIdComponent*, TWorkMode) { log.emplace_back("end"); };
  c.AddWork(WorkRead, 5);  // not started: nothing
  c.StartWork(WorkRead, 100);
  c.StartWork(WorkRead, 7);  // nested: only the level rises
  c.AddWork(WorkRead, 10);
  c.AddWork(WorkRead, 5);
  c.FinishWork(WorkRead);  // level 2: nothing
  EXPECT_EQ(log.size(), 3u);
  c.FinishWork(WorkRead);
  EXPECT_EQ(log, (std::vector<std::string>{"begin 0 100", "work 10", "work 15", "end"}));
  c.FinishWork(WorkRead);  // already finished: nothing
  EXPECT_EQ(log.size(), 4u);
}

TEST(Component, StatusTextsAreFormattedOnlyForAHandler) {
  TIdComponent c;
  c.SignalStatus(TIdStatus::Resolving, "h");  // no handler: nothing
  std::vector<std::string> texts;
  c.OnStatus = [&](TIdComponent*, TIdStatus, const std::string& t) { texts.push_back(t); };
  c.SignalStatus(TIdStatus::Resolving, "mail.example");
  c.SignalStatus(TIdStatus::Connecting, "127.0.0.1");
  c.SignalStatus(TIdStatus::Connected);
  c.SignalStatus(TIdStatus::Disconnecting, "127.0.0.1");
  c.SignalStatus(TIdStatus::Disconnected);
  c.SignalStatus(TIdStatus::StatusText, "free text");
  EXPECT_EQ(texts, (std::vector<std::string>{
                       "Resolving hostname mail.example.", "Connecting to 127.0.0.1.", "Connected.",
                       "Disconnecting from 127.0.0.1.", "Not connected.", "free text"}));
}

// A bounded connect and a send that must not wait may leave the socket in a
// mode where nothing waits; a call that may wait must wait all the same. Each
// call that may wait comes right after one that may not: a blocking send takes
// all of a write the peer is slow to read, and a receive waits for a reply
// that comes late, where in the wrong mode each would stop short.
TEST_F(StackTest, CallsThatMayWaitWaitAfterCallsThatMayNot) {
  constexpr size_t kBig = 4 << 20;  // far more than the socket's buffers hold
  ScriptedTcpServer srv(ScriptedTcpServer::Script()
                            .ReadBytes(4)
                            .Pause(std::chrono::milliseconds(200))
                            .ReadBytes(kBig + 4)
                            .Pause(std::chrono::milliseconds(200))
                            .Send("pong")
                            .Hold());
  TIdSocketHandle h;
  h.OpenSocket();
  h.SetRemote("127.0.0.1", srv.Port());
  ASSERT_EQ(h.Connect(Id_PF_INET, 5000), 0);
  ASSERT_EQ(h.SendNoWait("ping", 4), 4);
  const std::string big(kBig, 'b');
  EXPECT_EQ(h.Send(big.data(), static_cast<int>(big.size()), 0), static_cast<int>(kBig));
  ASSERT_EQ(h.SendNoWait("ping", 4), 4);
  char buf[4] = {};
  EXPECT_EQ(h.Recv(buf, 4, 0), 4) << "error " << GlobalStack->SockLastError();
  EXPECT_EQ(std::string(buf, 4), "pong");
}

}  // namespace
