// The resolver's exchange against an in-process scripted UDP server: exact
// query bytes, the identifier check, time-outs, late, spoofed and oversize
// datagrams, and every malformed reply of the decoder's table sent for real.
#include "net/dns/IdDNSResolver.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <vector>

#include "tests/net/dns/DnsBytes.h"
#include "tests/net/dns/DnsMalformed.h"
#include "tests/support/ScriptedUdpServer.h"
#include "tests/support/StepWatchdog.h"

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

// The same reply with another id (the query's with its low bit flipped).
std::string WithOtherId(std::string reply) {
  reply[1] = static_cast<char>(reply[1] ^ 1);
  return reply;
}

// The reply to any MX query: its id and question section copied, then one MX
// answer whose exchange is "mx." and the question name, so a lookup shows
// which query its answer belongs to.
std::string MxReplyTo(const std::string& query) {
  return Msg()
      .Raw(query.substr(0, 2))  // the query's id
      .U16(kReplyFlags)
      .U16(1)  // one question
      .U16(1)  // one answer
      .U16(0)
      .U16(0)
      .Raw(query.substr(12))  // the question, as asked
      .Ptr(12)                // owner: the question name
      .U16(15)                // MX
      .U16(1)                 // IN
      .U32(60)                // TTL
      .U16(7)                 // RDLENGTH: 2 + 3 + 2
      .U16(10)                // preference
      .Labels("mx")
      .Ptr(12);  // exchange: mx.<question name>
}

// The exchanges of MX answers, in order, separated by blanks.
std::string Exchanges(const TIdDNSResourceList& answers) {
  std::string out;
  for (int i = 0; i < answers.Count(); ++i) out += (i ? " " : "") + answers[i].RData.MX.Exchange;
  return out;
}

const char* const kNoReply = "Received Packet is too small. Less than 4 bytes 28";

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

TEST(DNSResolver, AFloodCannotStretchTheTimeOut) {
  // Datagrams that keep arriving faster than they are read (three senders, one
  // reader), none of them the reply: the lookup still ends at its time-out,
  // whatever is still queued.
  // The flood lasts ten times as long as the time-out; a loop that read the
  // queue dry after the deadline would last about as long as the flood.
  constexpr int kTimeoutMs = 300;
  constexpr milliseconds kFlood{3000};
  struct Case {
    const char* What;
    bool FromOtherPort;
  };
  for (const Case c : {Case{"another id from the server's port", false},
                       Case{"the reply from another port", true}}) {
    SCOPED_TRACE(c.What);
    ScriptedUdpServer srv([&](const std::string& q) {
      Reply flood{c.FromOtherPort ? MxReply(q) : WithOtherId(MxReply(q)), c.FromOtherPort};
      flood.Flood = kFlood;
      flood.FloodThreads = 3;
      return Replies{flood};
    });
    TIdDNSResolver r;
    PrepareMx(r, srv.Port(), "example.org", kTimeoutMs);
    const auto t = Clock::now();
    EXPECT_EQ(ResolveError(r), "Received Packet is too small. Less than 4 bytes 28");
    const long long took = MsSince(t);
    EXPECT_GE(took, kTimeoutMs - 10);
    EXPECT_LT(took, kFlood.count() / 2);
    EXPECT_EQ(r.Answers.Count(), 0);
  }
}

TEST(DNSResolver, OnlyADatagramWithTheQuerysIdIsItsReply) {
  // What the server's own address and port send before (or instead of) the
  // reply. A datagram that cannot carry the query's id is dropped and the wait
  // goes on; one that carries it is the reply, and its faults are raised.
  struct Case {
    const char* What;
    std::function<Replies(const std::string& q)> Send;
    std::string Error = {};  // empty: the reply is decoded
    // Where nothing will be accepted, the outcome is the time-out whatever
    // arrives when, so a short one will do.
    int TimeoutMs = 3000;
  };
  const std::vector<Case> cases = {
      {"another id, then the reply",
       [](const std::string& q) {
         return Replies{{WithOtherId(MxReply(q))}, {MxReply(q)}};
       }},
      {"an empty datagram, then the reply",
       [](const std::string& q) {
         return Replies{{""}, {MxReply(q)}};
       }},
      {"the id's first byte alone, then the reply",
       [](const std::string& q) {
         return Replies{{q.substr(0, 1)}, {MxReply(q)}};
       }},
      {"three bytes with another id, then the reply",
       [](const std::string& q) {
         return Replies{{WithOtherId(q.substr(0, 2) + "\x81")}, {MxReply(q)}};
       }},
      {"another id only, twice",
       [](const std::string& q) {
         return Replies{{WithOtherId(MxReply(q))}, {WithOtherId(MxReply(q))}};
       },
       kNoReply, 300},
      {"three bytes with the id",
       [](const std::string& q) {
         return Replies{{q.substr(0, 2) + "\x81"}, {MxReply(q)}};
       },
       kNoReply},
      {"eleven bytes with the id",
       [](const std::string& q) {
         return Replies{
             {ScriptedUdpServer::WithIdOf(q, Msg().U16(0).U16(kReplyFlags).U32(0).U16(0).U8(0))},
             {MxReply(q)}};
       },
       "Received Packet is too small. Less than 12 bytes 29"},
      {"server failure with the id",
       [](const std::string& q) {
         return Replies{{ScriptedUdpServer::WithIdOf(q, Msg().Header(0, 0x8182, 0, 0, 0, 0))},
                        {MxReply(q)}};
       },
       "DNS Server Reports Query Server Error"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.What);
    ScriptedUdpServer srv(c.Send);
    TIdDNSResolver r;
    PrepareMx(r, srv.Port(), "example.org", c.TimeoutMs);
    std::string error = ResolveError(r);
    if (c.Error.empty()) {
      EXPECT_EQ(error, "(no error)");
      EXPECT_EQ(Exchanges(r.Answers), "mail.example.org back.example.org");
    } else {
      EXPECT_EQ(error, c.Error);
      EXPECT_EQ(r.Answers.Count(), 0);
    }
  }
}

TEST(DNSResolver, LateReplyLeavesLaterLookupsInStep) {
  // The first query is answered only after the resolver has given up on it;
  // three lookups follow on the same resolver, and so the same socket, and
  // each must get its own answer.
  struct Case {
    const char* What;
    bool QueuedBeforeNextQuery;  // else it comes while the second one waits
    bool LongerThanBuffer;
  };
  const Case cases[] = {
      {"late reply waiting on the socket", true, false},
      {"late reply longer than the buffer waiting on the socket", true, true},
      {"late reply arriving while the next query waits", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.What);
    auto lateReplyTo = [&c](const std::string& query) {
      return c.LongerThanBuffer ? ScriptedUdpServer::WithIdOf(query, std::string(9000, 'x'))
                                : MxReplyTo(query);
    };
    // Called on the server's thread only, one datagram at a time.
    ScriptedUdpServer srv(
        [&c, &lateReplyTo, n = 0, first = std::string()](const std::string& q) mutable {
          if (++n == 1) {
            first = q;
            return Replies{};
          }
          Replies replies;
          if (n == 2 && !c.QueuedBeforeNextQuery) replies.push_back({lateReplyTo(first)});
          replies.push_back({MxReplyTo(q)});
          return replies;
        });
    TIdDNSResolver r;
    PrepareMx(r, srv.Port(), "first.test", 200);
    EXPECT_EQ(ResolveError(r), kNoReply);
    if (c.QueuedBeforeNextQuery) {
      srv.SendToLastClient(lateReplyTo(srv.Queries().at(0)));
      ASSERT_TRUE(r.SocketHandle().WaitReadable(5000)) << "the late reply did not arrive";
    }
    for (std::string domain : {"second.test", "third.test", "fourth.test"}) {
      PrepareMx(r, srv.Port(), domain);
      EXPECT_EQ(ResolveError(r), "(no error)") << domain;
      EXPECT_EQ(Exchanges(r.Answers), "mx." + domain);
    }
  }
}

TEST(DNSResolver, DatagramsWithAnotherIdDoNotProlongTheWait) {
  // One datagram with another id every 50 ms, far longer than the time-out of
  // 300 ms: only a wait bounded from the start ends before the stream does.
  constexpr int kStream = 1000;
  ScriptedUdpServer srv([](const std::string& q) {
    return Replies(kStream, Reply{WithOtherId(MxReply(q)), false, milliseconds(50)});
  });
  TIdDNSResolver r;
  PrepareMx(r, srv.Port(), "example.org", 300);
  EXPECT_EQ(ResolveError(r), kNoReply);
  EXPECT_LT(srv.RepliesSent(), static_cast<size_t>(kStream));
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
  // The count lives in the script, so a repeated run starts again at 8192.
  ScriptedUdpServer srv([&padded, n = 0](const std::string& q) mutable {
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
  // A decoder caught in a loop ends the run naming its case; the longest
  // honest step waits out a 3 s time-out.
  testsupport::StepWatchdog dog(std::chrono::seconds(10));
  for (const auto& c : dnstest::MalformedTable()) {
    dog.Step(c.What);
    const bool otherId = std::string(c.What) == "other id";
    // A datagram with another id, or none (the empty one), is not the reply:
    // it is dropped and the time-out ends the wait, so a short one will do.
    const bool dropped = otherId || std::string(c.What) == "empty";
    ScriptedUdpServer srv([&](const std::string& q) {
      return Replies{{otherId ? c.Reply : ScriptedUdpServer::WithIdOf(q, c.Reply)}};
    });
    TIdDNSResolver r;
    PrepareMx(r, srv.Port(), "", dropped ? 300 : 3000);
    std::string error = ResolveError(r);
    std::string expected = c.Error;
    if (dropped) {
      expected = kNoReply;
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
