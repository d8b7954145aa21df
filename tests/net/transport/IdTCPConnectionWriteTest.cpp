// A large write to a peer that never reads: the connection's bounds hold for
// the send itself, not only for the wait before it.
#include <chrono>
#include <future>
#include <string>

#include "gtest/gtest.h"
#include "net/transport/IdException.h"
#include "net/transport/IdTCPClient.h"
#include "tests/support/TestSockets.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Far more than the socket buffers of both ends hold.
constexpr size_t kLargeWrite = size_t{16} * 1024 * 1024;
// How long a write that ignores its bounds may block before the test gives
// up on it (by closing the peer, which ends the send).
constexpr auto kGiveUp = 8s;

TEST(TCPConnectionWrite, ALargeWriteToAPeerThatNeverReadsMeetsItsBounds) {
  struct Case {
    const char* What;
    int ReadMs;      // -1: no read time-out
    int ExchangeMs;  // -1: no exchange deadline
    std::chrono::milliseconds AtLeast;
  };
  const Case cases[] = {
      {"read time-out alone", 300, -1, 300ms},
      {"exchange deadline alone", -1, 500, 490ms},
      {"read time-out nearer than the deadline", 300, 20000, 300ms},
      {"deadline nearer than the read time-out", 20000, 500, 490ms},
  };
  const std::string data(kLargeWrite, 'x');
  for (const Case& c : cases) {
    SCOPED_TRACE(c.What);
    testnet::Socket ours;
    testnet::Socket peer;
    ASSERT_TRUE(testnet::StreamPair(ours, peer));
    TIdTCPConnection conn;
    conn.SocketHandle->SocketId = static_cast<TIdStackSocketHandle>(ours.release());
    conn.SocketHandle->IsOpen = true;
    conn.ReadTimeout = c.ReadMs;
    conn.ExchangeTimeout = c.ExchangeMs;
    conn.StartExchange();
    const auto t0 = Clock::now();
    auto write = std::async(std::launch::async, [&]() -> int {
      try {
        conn.WriteBytes(data.data(), static_cast<int64_t>(data.size()), false);
        return 0;
      } catch (const EIdSocketError& e) {
        return e.ErrorCode;
      }
    });
    if (write.wait_for(kGiveUp) != std::future_status::ready) {
      ADD_FAILURE() << "the write was still blocked after " << kGiveUp.count() << " s";
      peer.reset();
    }
    const int error = write.get();
    const auto took = Clock::now() - t0;
    EXPECT_EQ(error, 10060);
    EXPECT_GE(took, c.AtLeast);
    EXPECT_LT(took, 4s);
  }
}

}  // namespace
