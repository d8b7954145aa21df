// The UDP component against in-process loopback peers.
#include <gtest/gtest.h>

#include <chrono>

#include "net/dns/IdUDPClient.h"
#include "tests/support/ScriptedUdpServer.h"
#include "tests/support/TestSockets.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using Reply = ScriptedUdpServer::Reply;

long long MsSince(Clock::time_point t) {
  return std::chrono::duration_cast<milliseconds>(Clock::now() - t).count();
}

TEST(UDPClient, TimeOutGivesEmptyTextAndSender) {
  ScriptedUdpServer silent([](const std::string&) { return std::vector<Reply>{}; });
  TIdUDPClient c;
  c.Host = "127.0.0.1";
  c.Port = silent.Port();
  c.ReceiveTimeout = 300;
  c.Send("ping");
  std::string ip = "x";
  int port = 7;
  auto t = Clock::now();
  EXPECT_EQ(c.ReceiveText(ip, port), "");
  EXPECT_GE(MsSince(t), 290);
  EXPECT_EQ(ip, "");
  EXPECT_EQ(port, 0);
  // An explicit time-out of 0 polls.
  t = Clock::now();
  char b[4];
  EXPECT_EQ(c.ReceiveBytes(b, sizeof b, ip, port, 0), 0);
  EXPECT_LT(MsSince(t), 100);
  EXPECT_TRUE(c.GetActive());
}

TEST(UDPClient, DatagramOfBufferSizeIsWholeLongerOneIs10040) {
  ScriptedUdpServer srv(
      [](const std::string& q) { return std::vector<Reply>{{std::string(std::stoul(q), 'd')}}; });
  TIdUDPClient c;
  c.Host = "LocalHost";  // any case: 127.0.0.1 without a lookup
  c.Port = srv.Port();
  c.ReceiveTimeout = 5000;
  c.Send("8192");
  std::string ip;
  int port = 0;
  EXPECT_EQ(c.ReceiveText(ip, port).size(), 8192u);
  EXPECT_EQ(ip, "127.0.0.1");
  EXPECT_EQ(port, srv.Port());
  int local = c.SocketHandle().Port;
  c.Send("8193");
  try {
    c.ReceiveText();
    ADD_FAILURE() << "an 8193-byte datagram was accepted";
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.ErrorCode, 10040);
    EXPECT_EQ(e.Message, "Socket Error # 10040\r\nMessage too long.");
  }
  // The socket stays open, on the same port, for the next exchange.
  c.Send("5");
  EXPECT_EQ(c.ReceiveText(), "ddddd");
  EXPECT_EQ(c.SocketHandle().Port, local);
}

TEST(UDPClient, ZeroLengthDatagramRaises) {
  ScriptedUdpServer srv([](const std::string&) { return std::vector<Reply>{{""}}; });
  TIdUDPClient c;
  c.Host = "127.0.0.1";
  c.Port = srv.Port();
  c.ReceiveTimeout = 5000;
  c.Send("x");
  try {
    c.ReceiveText();
    ADD_FAILURE();
  } catch (const EIdUDPReceiveErrorZeroBytes& e) {
    EXPECT_EQ(e.Message, "UDP Receive Error = 0.");
  }
}

TEST(UDPClient, AnySenderIsAcceptedAtThisLevel) {
  ScriptedUdpServer srv([](const std::string&) { return std::vector<Reply>{{"spoof", true}}; });
  TIdUDPClient c;
  c.Host = "127.0.0.1";
  c.Port = srv.Port();
  c.ReceiveTimeout = 5000;
  c.Send("x");
  std::string ip;
  int port = 0;
  EXPECT_EQ(c.ReceiveText(ip, port), "spoof");
  EXPECT_EQ(port, srv.OtherPort());
}

int Broadcast(TIdUDPBase& c) {
  int v = 0;
  socklen_t len = sizeof v;
  getsockopt(static_cast<testnet::Handle>(c.SocketHandle().SocketId), SOL_SOCKET, SO_BROADCAST,
             reinterpret_cast<char*>(&v), &len);
  return v;
}

TEST(UDPClient, ActiveAndBroadcast) {
  TIdUDPClient c;
  EXPECT_FALSE(c.GetActive());
  c.SetBroadcastEnabled(true);  // stored: no socket is opened for it
  EXPECT_FALSE(c.GetActive());
  c.SetActive(true);
  EXPECT_TRUE(c.GetActive());
  EXPECT_NE(Broadcast(c), 0);
  c.SetBroadcastEnabled(false);  // applied at once on an open socket
  EXPECT_EQ(Broadcast(c), 0);
  c.SetActive(false);
  EXPECT_FALSE(c.GetActive());
  c.SetBroadcastEnabled(true);
  EXPECT_NE(Broadcast(c), 0);  // reopened by SocketHandle() with the setting
}

}  // namespace
