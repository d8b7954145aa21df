// The chaos peers' draws depend on the seed and on what the client asked for,
// never on the order or the timing of the asking: that is what lets a printed
// seed replay a failed run.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <string>
#include <thread>

#include "tests/support/ChaosPeers.h"

namespace {

using namespace std::chrono_literals;

// Queries per run: enough that two seeds cannot draw alike by chance.
constexpr int kQueries = 40;
// A silent draw sends nothing back; the event says what was drawn.
constexpr auto kReplyWait = 50ms;
// Longest wait for the peers to log the draws of the queries sent.
constexpr auto kEventWait = 10s;
constexpr auto kEventPoll = 5ms;

// An MX query for Domain (RFC 1035 4.1): header, then the question.
std::string MxQuery(const std::string& Domain) {
  std::string q("\x12\x34\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00", 12);
  size_t from = 0;
  while (from <= Domain.size()) {
    size_t dot = Domain.find('.', from);
    if (dot == std::string::npos) dot = Domain.size();
    q += static_cast<char>(dot - from);
    q += Domain.substr(from, dot - from);
    from = dot + 1;
  }
  q += std::string("\x00\x00\x0f\x00\x01", 5);
  return q;
}

// The behaviour each queried domain drew, asked in order or in reverse.
std::map<std::string, std::string> Draws(uint64_t Seed, bool Reversed) {
  ChaosPeers peers(Seed);
  peers.Start();
  for (int k = 0; k < kQueries; ++k) {
    const int n = Reversed ? kQueries - 1 - k : k;
    PeerServer::UdpExchange(peers.DnsPort(), MxQuery("n" + std::to_string(n) + "r0.test"),
                            kReplyWait);
  }
  std::map<std::string, std::string> drawn;
  const auto deadline = std::chrono::steady_clock::now() + kEventWait;
  while (drawn.size() < static_cast<size_t>(kQueries) &&
         std::chrono::steady_clock::now() < deadline) {
    for (const auto& e : peers.NewEvents())
      if (e.size() >= 3 && e[0] == "dns") drawn[e[1]] = e[2];
    std::this_thread::sleep_for(kEventPoll);
  }
  return drawn;
}

TEST(ChaosPeersTest, ASeedReplaysTheSameDrawsInAnyOrder) {
  const auto first = Draws(7, false);
  ASSERT_EQ(first.size(), static_cast<size_t>(kQueries));
  EXPECT_EQ(Draws(7, true), first);
  EXPECT_NE(Draws(8, false), first);
}

TEST(ChaosPeersTest, FieldsArePercentDecoded) {
  const struct {
    const char* Logged;
    std::string Decoded;
  } cases[] = {
      {"plain", "plain"},
      {"%20%2010.0.0.1%20", "  10.0.0.1 "},
      {"a%0D%0Ab%25", "a\r\nb%"},
      {"%00%7f%FF", std::string("\0\x7f\xff", 3)},
      {"50%", "50%"},    // a "%" without two digits stays
      {"%zz1", "%zz1"},  // as do digits that are not hexadecimal
  };
  for (const auto& c : cases) EXPECT_EQ(ChaosPeers::DecodeField(c.Logged), c.Decoded) << c.Logged;
}

}  // namespace
