// The resolver's exchange against an in-process scripted UDP server: exact
// query bytes, the identifier check, time-outs, spoofed and oversize
// datagrams, and every malformed reply of the decoder's table sent for real.
#include "net/dns/IdDNSResolver.h"

#include <gtest/gtest.h>

#include <chrono>

#include "tests/net/dns/DnsBytes.h"
#include "tests/net/dns/DnsMalformed.h"
#include "tests/support/ScriptedUdpServer.h"

namespace {

using dnstest::kReplyFlags;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using Reply = ScriptedUdpServer::Reply;
using Replies = std::vector<Reply>;

long long MsSince(Clock::time_point t) {
  return std::chrono::duration_cast<milliseconds>(Clock::now() - t).count();
}

// The reply to an MX question for example.org (question at offset 12) with
// two exchangers, preference 20 then 10; the id is the query's.
std::string MxReply(const std::string& query) {
  return ScriptedUdpServer::WithIdOf(query, Msg()
                                                .Header(0, kReplyFlags, 1, 2, 0, 0)
                                                .Name("example.org")
                                                .U16(15)
                                                .U16(1)
                                                .Ptr(12)
                                                .U16(15)
                                                .U16(1)
                                                .U32(60)
                                                .U16(9)
                                                .U16(20)
                                                .Labels("mail")
                                                .Ptr(12)
                                                .Ptr(12)
                                                .U16(15)
                                                .U16(1)
                                                .U32(60)
                                                .U16(9)
                                                .U16(10)
                                                .Labels("back")
                                                .Ptr(12));
}

// A resolver set up as the program does for one MX lookup.
void PrepareMx(TIdDNSResolver& r, uint16_t port, const std::string& domain = "example.org",
               int timeoutMs = 3000) {
  r.Host = "127.0.0.1";
  r.Port = port;
  r.ReceiveTimeout = timeoutMs;
  r.ClearResults();
  r.Header.SetQR(false);
  r.Header.SetOpcode(0);
  r.Header.SetRD(true);
  r.Header.QDCount = 1;
  r.Questions.Clear();
  TQuestionItem* q = r.Questions.Add();
  q->QName = domain;
  q->QType = 15;
  q->QClass = 1;
}

std::string ResolveError(TIdDNSResolver& r) {
  try {
    r.Resolve();
  } catch (const EIdDnsResolverError& e) {
    return e.Message;
  } catch (const std::exception& e) {
    return std::string("other: ") + e.what();
  }
  return "(no error)";
}

TEST(DNSResolver, MxExchangeOverUdp) {
  ScriptedUdpServer srv([](const std::string& q) { return Replies{{MxReply(q)}}; });
  TIdDNSResolver r;
  EXPECT_EQ(r.Port, 53);
  EXPECT_EQ(r.ReceiveTimeout, 4000);
  PrepareMx(r, srv.Port());
  r.Resolve();
  ASSERT_TRUE(srv.WaitForQueries(1));
  const std::string sent = srv.Queries()[0];
  EXPECT_EQ(sent, r.QueryPacket);
  EXPECT_EQ(sent, std::string(Msg()
                                  .U16(r.Header.ID)  // the query's id, echoed in the reply
                                  .U16(0x0100)       // RD
                                  .U16(1)            // one question
                                  .U16(0)
                                  .U16(0)
                                  .U16(0)
                                  .Name("example.org")
                                  .U16(0x000F)     // MX
                                  .U16(0x0001)));  // IN
  EXPECT_EQ(r.QueryLength, 12 + 13 + 4);
  ASSERT_EQ(r.Answers.Count(), 2);
  EXPECT_EQ(r.Answers[0].RData.MX.Preference, 20);
  EXPECT_EQ(r.Answers[0].RData.MX.Exchange, "mail.example.org");
  EXPECT_EQ(r.Answers[1].RData.MX.Preference, 10);
  EXPECT_EQ(r.Answers[1].RData.MX.Exchange, "back.example.org");
  EXPECT_EQ(r.ReplyLength, static_cast<int>(r.ReplyPacket.size()) + 1);
  // Questions now hold the reply's question section.
  ASSERT_EQ(r.Questions.Count(), 1);
  EXPECT_EQ(r.Questions[0].QName, "example.org");

  // The socket stays open on the same local port; the next query gets a new id.
  int local = r.SocketHandle().Port;
  uint16_t firstId = r.Header.ID;
  int differentIds = 0;
  for (int i = 0; i < 5; ++i) {
    PrepareMx(r, srv.Port());
    r.Resolve();
    differentIds += r.Header.ID != firstId;
  }
  EXPECT_GE(differentIds, 4);
  EXPECT_EQ(r.SocketHandle().Port, local);
}

TEST(DNSResolver, NoReplyRaisesTooSmallAfterTheTimeOut) {
  ScriptedUdpServer silent([](const std::string&) { return Replies{}; });
  TIdDNSResolver r;
  PrepareMx(r, silent.Port(), "example.org", 400);
  auto t = Clock::now();
  EXPECT_EQ(ResolveError(r), "Received Packet is too small. Less than 4 bytes 28");
  EXPECT_GE(MsSince(t), 390);
  EXPECT_EQ(r.Questions.Count() + r.Answers.Count() + r.Authority.Count(), 0);
  EXPECT_EQ(r.ReplyPacket, "");
}

TEST(DNSResolver, DatagramsFromAnotherPortAreDropped) {
  // A forged reply (right id, right question, other answers) from another port
  // of the server's address arrives first; only the server's own reply counts.
  ScriptedUdpServer srv([](const std::string& q) {
    std::string forged = MxReply(q);
    forged[forged.size() - 3] = 'X';  // "back" -> "bacX"
    return Replies{{forged, true},
                   {"", true},                      // empty
                   {std::string(9000, 'x'), true},  // oversize
                   {MxReply(q), false, milliseconds(100)}};
  });
  TIdDNSResolver r;
  PrepareMx(r, srv.Port());
  r.Resolve();
  ASSERT_EQ(r.Answers.Count(), 2);
  EXPECT_EQ(r.Answers[1].RData.MX.Exchange, "back.example.org");

  // Only forged replies: the resolver waits out its time-out and decodes none.
  ScriptedUdpServer spoofOnly([](const std::string& q) { return Replies{{MxReply(q), true}}; });
  TIdDNSResolver s;
  PrepareMx(s, spoofOnly.Port(), "example.org", 500);
  auto t = Clock::now();
  EXPECT_EQ(ResolveError(s), "Received Packet is too small. Less than 4 bytes 28");
  EXPECT_GE(MsSince(t), 490);
  EXPECT_EQ(s.Answers.Count(), 0);
}

TEST(DNSResolver, WrongIdentifierNamesTheExpectedOne) {
  ScriptedUdpServer srv([](const std::string& q) {
    std::string reply = MxReply(q);
    reply[1] = static_cast<char>(reply[1] ^ 1);
    return Replies{{reply}};
  });
  TIdDNSResolver r;
  PrepareMx(r, srv.Port());
  std::string error = ResolveError(r);
  EXPECT_EQ(error, "Invalid Header Id " + std::to_string(r.Header.ID));
  EXPECT_EQ(r.Answers.Count(), 0);
}

TEST(DNSResolver, RcodeNameErrorKeepsFlags) {
  ScriptedUdpServer srv([](const std::string& q) {
    return Replies{{ScriptedUdpServer::WithIdOf(
        q, Msg().Header(0, 0x8183, 1, 0, 0, 0).Name("example.org").U16(15).U16(1))}};
  });
  TIdDNSResolver r;
  PrepareMx(r, srv.Port());
  EXPECT_EQ(ResolveError(r), "DNS Server Reports Query Name Error");
  EXPECT_EQ(r.Header.Flags, 0x8183);
  EXPECT_EQ(r.Questions.Count() + r.Answers.Count(), 0);
}

TEST(DNSResolver, RepliesOf8192BytesAreDecodedLongerOnesAreNot) {
  // An A answer whose RDATA pads the datagram to the wanted size.
  auto padded = [](const std::string& q, size_t size) {
    Msg m;
    m.Header(0, kReplyFlags, 1, 1, 0, 0)
        .Name("example.org")
        .U16(15)
        .U16(1)
        .Ptr(12)
        .U16(10)
        .U16(1)
        .U32(1);
    size_t rdlength = size - m.Size() - 2;
    m.U16(static_cast<uint16_t>(rdlength)).Raw(std::string(rdlength, 'p'));
    return ScriptedUdpServer::WithIdOf(q, m);
  };
  ScriptedUdpServer srv([&](const std::string& q) {
    static int n = 0;
    return Replies{{padded(q, n++ == 0 ? 8192 : 8193)}};
  });
  TIdDNSResolver r;
  PrepareMx(r, srv.Port());
  r.Resolve();
  EXPECT_EQ(r.ReplyPacket.size(), 8192u);
  ASSERT_EQ(r.Answers.Count(), 1);
  EXPECT_EQ(r.Answers[0].RawData.size(), 8192u - 41u);
  // The 8193-byte datagram fails the receive (10040); the previous reply is
  // then decoded again and its old id is what Resolve reports.
  PrepareMx(r, srv.Port());
  std::string error = ResolveError(r);
  EXPECT_EQ(error, "Invalid Header Id " + std::to_string(r.Header.ID));
  EXPECT_EQ(r.ReplyPacket.size(), 8192u);
}

TEST(DNSResolver, FailedSendDecodesThePreviousReply) {
  TIdDNSResolver r;
  PrepareMx(r, 9);
  r.Port = 0;  // sendto refuses port 0
  // First exchange: nothing to decode, so the "too small" error leaves.
  EXPECT_EQ(ResolveError(r), "Received Packet is too small. Less than 4 bytes 28");
  // An empty question list raises only after the (empty) reply is decoded.
  r.ClearResults();
  EXPECT_EQ(ResolveError(r), "Received Packet is too small. Less than 4 bytes 28");
}

TEST(DNSResolver, EveryMalformedReplyOverUdp) {
  // The empty question name makes the query 17 bytes long; replies shorter
  // than that fail the length check (30) unless an earlier check strikes.
  for (const auto& c : dnstest::MalformedTable()) {
    const bool otherId = std::string(c.What) == "other id";
    ScriptedUdpServer srv([&](const std::string& q) {
      return Replies{{otherId ? c.Reply : ScriptedUdpServer::WithIdOf(q, c.Reply)}};
    });
    TIdDNSResolver r;
    PrepareMx(r, srv.Port(), "");
    std::string error = ResolveError(r);
    std::string expected = c.Error;
    if (otherId) {
      expected = "Invalid Header Id " + std::to_string(r.Header.ID);
    } else if (c.Reply.size() < 17 && c.Reply.size() >= 12 &&
               c.Error.find("Less than") == std::string::npos &&
               c.Error.find("DNS Server") == std::string::npos &&
               c.Error.find("Server Returned") == std::string::npos) {
      expected = "Received Packet is too small. Less than 12 bytes 30";
    }
    EXPECT_EQ(error, expected) << c.What;
  }
}

}  // namespace
