// How the stack reads the end of a peer's stream: an orderly close is a
// receive of zero bytes, a reset is socket error 10054 (Winsock's number,
// which the POSIX stack gives too). Wine answers a reset with zero bytes, like
// a close, and the Winsock stack must still tell the two apart. The peer is a
// raw socket, so only the stack under test reads.
#include <string>

#include "gtest/gtest.h"
#include "net/transport/IdComponent.h"
#include "net/transport/IdSocketHandle.h"
#include "net/transport/IdStack.h"
#include "tests/support/TestSockets.h"

namespace {

// Longest a test waits for the peer's end to arrive.
constexpr int kWaitMs = 10000;

struct StackPeerEnd : ::testing::Test {
  TIdComponent Keeper;  // keeps GlobalStack alive
};

TEST_F(StackPeerEnd, OrderlyCloseReadsAsZeroBytesAndResetAs10054) {
  struct Case {
    const char* Name;
    bool Reset;  // the peer aborts (SO_LINGER of 0) instead of closing
    int Result;  // what the receive returns
    int Error;   // the stack's last error after it (when it failed)
  } cases[] = {
      {"orderly close", false, 0, 0},
      {"reset", true, Id_SOCKET_ERROR, 10054},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    testnet::Socket listener = testnet::Open(SOCK_STREAM);
    sockaddr_in a = testnet::Loopback(0);
    ASSERT_EQ(::bind(listener.get(), testnet::Addr(a), sizeof a), 0);
    ASSERT_EQ(::listen(listener.get(), 1), 0);
    TIdSocketHandle ours;
    ours.OpenSocket();
    ours.SetRemote("127.0.0.1", testnet::LocalPort(listener.get()));
    ASSERT_EQ(ours.Connect(), 0);
    // The connect has completed, so the connection waits in the queue.
    testnet::Socket peer = testnet::Accept(listener.get());
    ASSERT_TRUE(peer.valid());
    if (c.Reset) {
      linger abort{1, 0};
      ASSERT_EQ(::setsockopt(peer.get(), SOL_SOCKET, SO_LINGER,
                             reinterpret_cast<const char*>(&abort), sizeof abort),
                0);
    }
    peer.reset();
    ASSERT_TRUE(ours.WaitReadable(kWaitMs));
    char buf[16];
    EXPECT_EQ(ours.Recv(buf, sizeof buf, 0), c.Result);
    if (c.Result == Id_SOCKET_ERROR) {
      EXPECT_EQ(GlobalStack->SockLastError(), c.Error);
    }
  }
}

// Zero bytes on a datagram socket are an empty datagram, not an end: the
// receive reports them as they are and sends nothing back to find out more.
TEST_F(StackPeerEnd, EmptyDatagramIsNoEnd) {
  testnet::Socket peer = testnet::Open(SOCK_DGRAM);
  sockaddr_in p = testnet::Loopback(0);
  ASSERT_EQ(::bind(peer.get(), testnet::Addr(p), sizeof p), 0);
  TIdSocketHandle ours;
  ours.OpenSocket(Id_SOCK_DGRAM);
  ours.IP = "127.0.0.1";
  ours.Bind();
  ours.SetRemote("127.0.0.1", testnet::LocalPort(peer.get()));
  ASSERT_EQ(ours.Connect(), 0);
  sockaddr_in to = testnet::Loopback(static_cast<uint16_t>(ours.Port));
  char none = 0;
  ASSERT_EQ(::sendto(peer.get(), &none, 0, 0, testnet::Addr(to), sizeof to), 0);
  ASSERT_TRUE(ours.WaitReadable(kWaitMs));
  char buf[16];
  EXPECT_EQ(ours.Recv(buf, sizeof buf, 0), 0);
  // Over loopback datagrams arrive in the order sent: the first one the peer
  // gets is this marker unless the receive sent one of its own before it.
  ASSERT_EQ(ours.Send("m", 1, 0), 1);
  ASSERT_TRUE(testnet::SetReceiveTimeout(peer.get(), kWaitMs));
  char got[4] = {};
  EXPECT_EQ(::recv(peer.get(), got, sizeof got, 0), 1);
  EXPECT_EQ(got[0], 'm');
}

}  // namespace
