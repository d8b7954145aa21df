// The TCP connection's reads, writes, replies and bounds, driven through one
// end of a connected socket pair while the test plays the peer on the other.
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <utility>

#include "gtest/gtest.h"
#include "net/transport/IdException.h"
#include "net/transport/IdTCPClient.h"
#include "tests/support/TestEnv.h"
#include "tests/support/TestSockets.h"

namespace {

using namespace std::chrono_literals;

class TCPConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testnet::Socket ours;
    ASSERT_TRUE(testnet::StreamPair(ours, PeerSocket));
    Conn.SocketHandle->SocketId = static_cast<TIdStackSocketHandle>(ours.release());
    Conn.SocketHandle->IsOpen = true;
    Peer = PeerSocket.get();
  }
  void TearDown() override { ClosePeer(); }

  void Send(const std::string& s) {
    ASSERT_EQ(::send(Peer, s.data(), static_cast<int>(s.size()), testnet::kNoSignal),
              static_cast<int>(s.size()));
  }
  void ClosePeer() {
    PeerSocket.reset();
    Peer = testnet::kNoSocket;
  }
  // Everything the connection has written so far (without waiting).
  std::string Written() {
    std::string all;
    char buf[4096];
    testnet::SetNonBlocking(Peer, true);
    for (;;) {
      const auto n = ::recv(Peer, buf, sizeof buf, 0);
      if (n <= 0) break;
      all.append(buf, static_cast<size_t>(n));
    }
    testnet::SetNonBlocking(Peer, false);
    return all;
  }

  TIdTCPConnection Conn;
  testnet::Socket PeerSocket;
  testnet::Handle Peer = testnet::kNoSocket;
};

TEST_F(TCPConnectionTest, LineTerminators) {
  struct Case {
    std::string Bytes, Terminator, Line;
  } cases[] = {
      {"250 OK\r\n", "", "250 OK"},
      {"250 OK\n", "", "250 OK"},
      {"250 OK\r\n", "\r\n", "250 OK"},
      {"250 OK\r\n", "\n", "250 OK\r"},  // an explicit terminator removes nothing else
      {"abc\r\r\n", "", "abc\r"},        // only one CR is dropped
      {"a:b:c", ":", "a"},
  };
  for (const auto& c : cases) {
    Send(c.Bytes);
    EXPECT_EQ(Conn.ReadLine(c.Terminator), c.Line) << c.Bytes;
    Conn.InputBuffer.Clear();
  }
}

TEST_F(TCPConnectionTest, TwoLinesInOneReceiveNeedNoSecondReceive) {
  Send("first\r\nsecond\r\n");
  EXPECT_EQ(Conn.ReadLine(), "first");
  ClosePeer();  // a further receive would now see the close
  EXPECT_EQ(Conn.ReadLine(), "second");
  EXPECT_THROW(Conn.ReadLine(), EIdConnClosedGracefully);
}

TEST_F(TCPConnectionTest, TerminatorSplitAcrossReceives) {
  std::thread t([this] {
    Send("abc\r");
    std::this_thread::sleep_for(30ms);
    Send("\ndef");
    std::this_thread::sleep_for(30ms);
    Send("--END--rest\n");
  });
  EXPECT_EQ(Conn.ReadLine(), "abc");
  EXPECT_EQ(Conn.ReadLine("--END--"), "def");
  EXPECT_EQ(Conn.ReadLine(), "rest");
  t.join();
}

TEST_F(TCPConnectionTest, ReplyCodes) {
  struct Case {
    std::string Bytes;
    int Code;
    int Lines;
    std::string Last;
  } cases[] = {
      {"250-first\r\n250-second\r\n250 last\r\n", 250, 3, "250 last"},
      {"250-first\r\n251 other\r\n250 end\r\n", 250, 3, "250 end"},
      {"220-hi\r\nOK\r\n", 0, 2, "OK"},  // a line shorter than 4 ends the reply
      {"+OK ready\r\n", 1, 1, "+OK ready"},
      {"-ERR no\r\n", 0, 1, "-ERR no"},
      {"xyz\r\n", 0, 1, "xyz"},
      {"\r\n  \r\n250 ok  \r\n", 250, 1, "250 ok"},  // blank lines skipped, trimmed
      {"250-a\r\n250 B\r\n", 250, 2, "250 B"},
  };
  for (const auto& c : cases) {
    Send(c.Bytes);
    EXPECT_EQ(Conn.ReadReply(-1), c.Code) << c.Bytes;
    EXPECT_EQ(Conn.ReplyLines.Count(), c.Lines) << c.Bytes;
    EXPECT_EQ(Conn.LastReplyLine(), c.Last);
  }
}

TEST_F(TCPConnectionTest, SendCommandChecksTheReplyCode) {
  Send("550 denied\r\n");
  try {
    Conn.SendCommand("RCPT to:<a@b>", 250);
    FAIL();
  } catch (const EIdProtocolReplyError& e) {
    EXPECT_EQ(e.ReplyCode, 550);
    EXPECT_EQ(e.Message, "550 denied");
  }
  EXPECT_EQ(Written(), "RCPT to:<a@b>\r\n");
  EXPECT_TRUE(Conn.IsConnected());  // the connection stays open

  Send("\r\n\r\n250 ok\r\n");
  EXPECT_EQ(Conn.SendCommand("NOOP", 250), 250);
  Send("599 whatever\r\n");
  EXPECT_EQ(Conn.SendCommand("X", -1), 599);
  Send("251 fine\r\n");
  EXPECT_EQ(Conn.SendCommand("Y", TIdReplyCodes{250, 251}), 251);
  Written();

  Send("220 greeting\r\n");
  EXPECT_EQ(Conn.SendCommand(TIdTCPConnection::NoOutputCommand, 220), 220);
  EXPECT_EQ(Written(), "");
}

TEST_F(TCPConnectionTest, PeerCloseWithNothingBuffered) {
  ClosePeer();
  EXPECT_THROW(Conn.ReadLine(), EIdConnClosedGracefully);
  EXPECT_FALSE(Conn.IsConnected());
  EXPECT_THROW(Conn.WriteLine("x"), EIdConnClosedGracefully);
}

TEST_F(TCPConnectionTest, PeerCloseAfterPartialLine) {
  Send("partial");
  ClosePeer();
  EXPECT_EQ(Conn.ReadLine(), "");
  EXPECT_TRUE(Conn.LineTimedOut);
  EXPECT_THROW(Conn.ReadLine(), EIdConnClosedGracefully);
  // What was received before the close can still be taken.
  EXPECT_EQ(Conn.TakeBytes(Conn.BufferedByteCount()), "partial");
}

TEST_F(TCPConnectionTest, ExplicitTimeoutReturnsEmptyLine) {
  Send("no end yet");
  EXPECT_EQ(Conn.ReadLine("", 50), "");
  EXPECT_TRUE(Conn.LineTimedOut);
  Send("\n");
  EXPECT_EQ(Conn.ReadLine(), "no end yet");
  EXPECT_FALSE(Conn.LineTimedOut);
}

TEST_F(TCPConnectionTest, ReadToStreamForms) {
  TMemoryStream s;
  s.WriteString("keep");
  Conn.ReadToStream(&s, 0, false);  // nothing read, position kept
  EXPECT_EQ(s.Data, "keep");
  EXPECT_EQ(s.Position(), 4);

  Send("hello world");
  TMemoryStream exact;
  Conn.ReadToStream(&exact, 5, false);
  EXPECT_EQ(exact.Data, "hello");  // the rest stays for the next read

  std::string lenPrefixed("\0\0\0\3abc", 7);
  Send(lenPrefixed);
  TMemoryStream viaPrefix;
  Conn.ReadToStream(&viaPrefix, 6, false);  // " world" first
  Conn.ReadToStream(&viaPrefix, -1, false);
  EXPECT_EQ(viaPrefix.Data, " worldabc");

  Send("up to the close");
  ClosePeer();
  TMemoryStream all;
  EXPECT_NO_THROW(Conn.ReadToStream(&all, -1, true));
  EXPECT_EQ(all.Data, "up to the close");
  EXPECT_FALSE(Conn.IsConnected());
}

TEST_F(TCPConnectionTest, ReadToStreamRaisesWhenTheBodyIsCutShort) {
  Send("12345");
  std::thread t([this] {
    std::this_thread::sleep_for(30ms);
    ClosePeer();
  });
  TMemoryStream s;
  EXPECT_THROW(Conn.ReadToStream(&s, 10, false), EIdConnClosedGracefully);
  t.join();
  EXPECT_EQ(s.Data, "12345");
}

TEST_F(TCPConnectionTest, AnnouncedLengthCostsOnlyWhatArrives) {
  Send("ten bytes!");
  ClosePeer();
  TMemoryStream s;
  EXPECT_THROW(Conn.ReadToStream(&s, int64_t{2} << 30, false), EIdConnClosedGracefully);
  EXPECT_EQ(s.Data, "ten bytes!");
  EXPECT_LT(s.Data.capacity(), 1u << 20);
}

TEST_F(TCPConnectionTest, ReadLinesUntilUnstuffsDots) {
  Send("one\r\n..two\r\n.three\r\n.\r\nafter\r\n");
  TStringList lines;
  Conn.ReadLinesUntil(&lines);
  EXPECT_EQ(lines.Lines, (std::vector<std::string>{"one", ".two", ".three"}));
  EXPECT_EQ(Conn.ReadLine(), "after");
}

TEST_F(TCPConnectionTest, WritesReachThePeerWhole) {
  Conn.WriteText("");  // nothing at all
  Conn.WriteLine("Helo me");
  Conn.WriteLine();
  TStringList l;
  l.Add("a");
  l.Add("b");
  Conn.WriteLines(l);
  EXPECT_EQ(Written(), "Helo me\r\n\r\na\r\nb\r\n");

  std::string big(300000, 'z');
  std::thread reader([this, &big] {
    std::string got;
    char buf[65536];
    while (got.size() < big.size()) {
      const auto n = ::recv(Peer, buf, sizeof buf, 0);
      if (n <= 0) break;
      got.append(buf, static_cast<size_t>(n));
    }
    EXPECT_EQ(got, big);
  });
  TMemoryStream src;
  src.WriteString(big);
  Conn.SendBufferSize = 1000;
  Conn.WriteFromStream(&src, true, false);
  reader.join();
}

TEST_F(TCPConnectionTest, WritingToAGonePeerRaisesInsteadOfKillingTheProcess) {
  if (testenv::kWindows)
    GTEST_SKIP() << "no SIGPIPE on Windows, and over the loopback TCP pair that stands in for "
                    "socketpair the first write after the close still succeeds";
  ClosePeer();
  try {
    Conn.WriteBytes("data", 4);
    FAIL();
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.ErrorCode, 10058);
  }
  EXPECT_FALSE(Conn.IsConnected());
}

TEST_F(TCPConnectionTest, ReadTimeoutCutsOffASilentPeer) {
  Conn.ReadTimeout = 100;
  auto t0 = std::chrono::steady_clock::now();
  try {
    Conn.ReadLine();
    FAIL();
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.ErrorCode, 10060);
    EXPECT_EQ(e.Message, "Socket Error # 10060\r\nConnection timed out.");
  }
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);
  EXPECT_NO_THROW(Conn.CloseConnection());
  EXPECT_FALSE(Conn.IsConnected());
}

TEST_F(TCPConnectionTest, ExchangeDeadlineCutsOffATricklingPeer) {
  Conn.ReadTimeout = 200;
  Conn.ExchangeTimeout = 400;
  Conn.StartExchange();
  std::atomic<bool> stop{false};
  std::thread trickle([this, &stop] {
    while (!stop) {
      if (::send(Peer, "x", 1, testnet::kNoSignal) != 1) break;
      std::this_thread::sleep_for(20ms);
    }
  });
  auto t0 = std::chrono::steady_clock::now();
  try {
    Conn.ReadLine();
    FAIL();
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.ErrorCode, 10060);
  }
  auto took = std::chrono::steady_clock::now() - t0;
  stop = true;
  trickle.join();
  EXPECT_GE(took, 300ms);
  EXPECT_LT(took, 3s);
}

TEST_F(TCPConnectionTest, LineCapStopsAnEndlessLine) {
  Conn.MaxLineLength = 1000;
  Send(std::string(5000, 'a'));
  EXPECT_THROW(Conn.ReadLine(), EIdReadLineMaxLineLengthExceeded);
  EXPECT_THROW(Conn.ReadLine(), EIdTCPConnectionError);
  EXPECT_NO_THROW(Conn.CloseConnection());
}

TEST_F(TCPConnectionTest, DiscardingBeyondTheBufferRaises) {
  Send("abc\n");
  EXPECT_EQ(Conn.ReadLine(), "abc");
  EXPECT_THROW(Conn.TakeBytes(1), EIdNotEnoughDataInBuffer);
  TIdBuffer b;
  b.Append("xyz", 3);
  EXPECT_THROW(b.DiscardFront(4), EIdNotEnoughDataInBuffer);
  b.DiscardFront(3);
  EXPECT_TRUE(b.Empty());
}

TEST_F(TCPConnectionTest, ReadLineSeesTerminatorsAfterOtherReads) {
  // A timed-out ReadLine scans ahead; a byte read taken from the front
  // afterwards must not make the next ReadLine skip a terminator.
  Send("0123456789");
  EXPECT_EQ(Conn.ReadLine("", 20), "");
  char four[4];
  Conn.ReadBytes(four, 4);
  Send("\nnext\n");
  EXPECT_EQ(Conn.ReadLine(), "456789");
  EXPECT_EQ(Conn.ReadLine(), "next");
}

// A connection reading through one end of a socket pair whose other end the
// test writes into.
struct PairedConnection {
  PairedConnection() {
    testnet::Socket ours;
    EXPECT_TRUE(testnet::StreamPair(ours, Peer));
    Conn.SocketHandle->SocketId = static_cast<TIdStackSocketHandle>(ours.release());
    Conn.SocketHandle->IsOpen = true;
  }
  TIdTCPConnection Conn;
  testnet::Socket Peer;
};

// Writes Rest to the peer once the connection has received After bytes, so
// that Rest arrives in a later receive than every byte before it.
class SendRestAfter : public TIdConnectionIntercept {
 public:
  SendRestAfter(testnet::Handle APeer, std::string ARest, size_t AAfter)
      : TIdConnectionIntercept(nullptr), Peer(APeer), Rest(std::move(ARest)), After(AAfter) {}
  void NotifyReceived(const char*, int Count) override {
    Received += static_cast<size_t>(Count);
    if (Rest.empty() || Received < After) return;
    EXPECT_EQ(::send(Peer, Rest.data(), static_cast<int>(Rest.size()), testnet::kNoSignal),
              static_cast<int>(Rest.size()));
    Rest.clear();
  }

 private:
  testnet::Handle Peer;
  std::string Rest;
  size_t After;
  size_t Received = 0;
};

// What ReadLine(ATerminator) makes of Bytes when the first ASplit of them
// arrive first and the rest only after the connection has received those:
// the line, or the refusal's message.
std::string ReadSplitLine(const std::string& Bytes, size_t ASplit, int ACap,
                          const std::string& ATerminator = std::string()) {
  PairedConnection p;
  SendRestAfter rest(p.Peer.get(), Bytes.substr(ASplit), ASplit);
  p.Conn.Intercept = &rest;
  p.Conn.SetInterceptEnabled(true);
  p.Conn.MaxLineLength = ACap;
  // A byte that never comes fails the case instead of holding the test.
  p.Conn.ReadTimeout = 5000;
  // The first part may be larger than the socket pair holds.
  std::thread first([&] {
    for (size_t sent = 0; sent < ASplit;) {
      const auto n = ::send(p.Peer.get(), Bytes.data() + sent, static_cast<int>(ASplit - sent),
                            testnet::kNoSignal);
      if (n <= 0) break;  // the connection gave up reading
      sent += static_cast<size_t>(n);
    }
  });
  std::string result;
  try {
    result = "line: " + p.Conn.ReadLine(ATerminator);
  } catch (const EIdReadLineMaxLineLengthExceeded& e) {
    result = e.Message;
  } catch (const std::exception& e) {
    result = std::string("unexpected: ") + e.what();
  }
  p.Conn.CloseConnection();
  first.join();
  p.Conn.Intercept = nullptr;
  return result;
}

// A line may hold MaxLineLength bytes before its terminator (with the default
// LF terminator a CR before it is one of them); one byte more is refused. The
// outcome is the same whether the line arrives whole or split at any offset,
// the rest (the terminator at least) coming in a later receive.
TEST(TCPConnectionLineCap, AtTheCapReadOnePastRefusedHoweverTheLineIsSplit) {
  constexpr int kCap = 16;
  const std::string cap(kCap, 'a');
  const std::string refused =
      "Max line length exceeded (16 bytes) while waiting for the end of a line.";
  struct Case {
    const char* What;
    std::string Bytes;
    std::string Terminator;
    std::string Result;
  } cases[] = {
      {"16 bytes and LF", cap + "\n", "", "line: " + cap},
      {"15 bytes and CR LF", cap.substr(1) + "\r\n", "", "line: " + cap.substr(1)},
      {"17 bytes and LF", cap + "b\n", "", refused},
      {"16 bytes and CR LF", cap + "\r\n", "", refused},
      // A terminator of two bytes: its CR may arrive before the last byte of
      // the line is known to be the last.
      {"16 bytes, CR LF terminator", cap + "\r\n", "\r\n", "line: " + cap},
      {"17 bytes, CR LF terminator", cap + "b\r\n", "\r\n", refused},
  };
  for (const Case& c : cases)
    for (size_t split = 1; split <= c.Bytes.size(); ++split)  // the whole line last
      EXPECT_EQ(ReadSplitLine(c.Bytes, split, kCap, c.Terminator), c.Result)
          << c.What << ", split after " << split << " bytes";

  // The library's own cap, 1048576 bytes, with the LF alone in a later receive.
  const std::string big(1048576, 'c');
  EXPECT_EQ(ReadSplitLine(big + "\n", big.size(), IdTCPDefaults::MaxLineLength), "line: " + big);
  EXPECT_EQ(ReadSplitLine(big + "d\n", big.size() + 1, IdTCPDefaults::MaxLineLength),
            "Max line length exceeded (1048576 bytes) while waiting for the end of a line.");
}

// A silent peer meets whichever bound is nearer, the read time-out or the
// exchange deadline: 10060 after about the shorter one and long before the
// longer one (the ranges allow for a loaded machine under a sanitizer or Wine).
TEST(TCPConnectionBounds, ASilentPeerMeetsTheNearerOfTheTwoBounds) {
  using std::chrono::milliseconds;
  struct Case {
    const char* What;
    int Read, Exchange;
  } cases[] = {
      {"read time-out 300 ms, deadline 10 s", 300, 10000},
      {"read time-out 10 s, deadline 300 ms", 10000, 300},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.What);
    PairedConnection p;
    p.Conn.ReadTimeout = c.Read;
    p.Conn.ExchangeTimeout = c.Exchange;
    p.Conn.StartExchange();
    const auto t0 = std::chrono::steady_clock::now();
    try {
      p.Conn.ReadLine();
      ADD_FAILURE() << "no time-out";
    } catch (const EIdSocketError& e) {
      EXPECT_EQ(e.ErrorCode, 10060);
    }
    const auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(took, milliseconds(250));
    EXPECT_LT(took, milliseconds(5000));
    EXPECT_EQ(p.Conn.Fault, TIdConnectionFault::TimedOut);
  }
}

// A reply may take MaxReplyLines lines and MaxReplyBytes bytes from the
// stream (line ends and skipped blank lines counted); one line or one byte
// more raises, and the connection is dropped as the rest may never end.
TEST(TCPConnectionReply, CapsOnLinesAndBytes) {
  std::string lines1000;
  std::string lines1001;
  for (int i = 0; i < 999; ++i) lines1000 += "250-x\r\n";
  lines1001 = lines1000 + "250-x\r\n250 end\r\n";
  lines1000 += "250 end\r\n";
  // 15 lines of 4 + 65530 + 2 = 65536 bytes, then a last line of the same
  // size: 16 * 65536 = 1048576 bytes in all; one 'b' more is one byte over.
  std::string bytesAtCap;
  std::string bytesOver;
  for (int i = 0; i < 15; ++i) bytesAtCap += "250-" + std::string(65530, 'a') + "\r\n";
  bytesOver = bytesAtCap + "250 " + std::string(65531, 'b') + "\r\n";
  bytesAtCap += "250 " + std::string(65530, 'b') + "\r\n";
  // 1100 blank lines of 1000 bytes come before the reply's only line.
  std::string blanks;
  for (int i = 0; i < 1100; ++i) blanks += std::string(998, ' ') + "\r\n";
  blanks += "250 ok\r\n";
  struct Case {
    const char* Name;
    const std::string& Bytes;
    int Lines;          // kept in ReplyLines
    std::string Error;  // empty: accepted
  } cases[] = {
      {"1000 lines", lines1000, 1000, ""},
      {"1001 lines", lines1001, 0, "Reply too long: more than 1000 lines."},
      {"1048576 bytes", bytesAtCap, 16, ""},
      {"1048577 bytes", bytesOver, 0, "Reply too long: more than 1048576 bytes."},
      {"blank lines", blanks, 0, "Reply too long: more than 1048576 bytes."},
  };
  for (const Case& c : cases) {
    testnet::Socket ours;
    testnet::Socket theirs;
    ASSERT_TRUE(testnet::StreamPair(ours, theirs));
    TIdTCPConnection conn;
    conn.SocketHandle->SocketId = static_cast<TIdStackSocketHandle>(ours.release());
    conn.SocketHandle->IsOpen = true;
    // The peer stays open: only the caps can end a refused reply.
    std::thread peer([&] {
      for (size_t sent = 0; sent < c.Bytes.size();) {
        const auto n = ::send(theirs.get(), c.Bytes.data() + sent,
                              static_cast<int>(c.Bytes.size() - sent), testnet::kNoSignal);
        if (n <= 0) break;  // the connection dropped the rest
        sent += static_cast<size_t>(n);
      }
    });
    std::string error;
    try {
      conn.ReadReply(250);
    } catch (const EIdReplyTooLong& e) {
      error = e.Message;
    } catch (const std::exception& e) {
      error = std::string("unexpected: ") + e.what();
    }
    EXPECT_EQ(error, c.Error) << c.Name;
    EXPECT_EQ(conn.ReplyLines.Count(), c.Lines) << c.Name;
    EXPECT_EQ(conn.IsConnected(), c.Error.empty()) << c.Name;
    peer.join();
  }
}

TEST(TCPClient, OpenTwiceKeepsTheFirstConnection) {
  testnet::Socket lfd = testnet::Open(SOCK_STREAM);
  sockaddr_in a = testnet::Loopback(0);
  ASSERT_EQ(::bind(lfd.get(), testnet::Addr(a), sizeof a), 0);
  ASSERT_EQ(::listen(lfd.get(), 4), 0);
  a.sin_port = htons(testnet::LocalPort(lfd.get()));

  TIdTCPClient c;
  c.Host = "localhost";
  c.Port = ntohs(a.sin_port);
  std::vector<std::string> statuses;
  c.OnStatus = [&](TIdComponent*, TIdStatus, const std::string& t) { statuses.push_back(t); };
  c.OpenConnection();
  testnet::Socket server(::accept(lfd.get(), nullptr, nullptr));
  EXPECT_THROW(c.OpenConnection(), EIdAlreadyConnected);
  ::send(server.get(), "hi\r\n", 4, 0);
  EXPECT_EQ(c.ReadLine(), "hi");
  c.CloseConnection();
  EXPECT_EQ(statuses, (std::vector<std::string>{
                          "Resolving hostname localhost.", "Connecting to 127.0.0.1.", "Connected.",
                          "Disconnecting from 127.0.0.1.", "Not connected."}));
}

// The local end after a connect: the bound address when one is given, else
// the one the connect chose, read back either way.
TEST(TCPClient, ConnectsFromItsBoundAddressOrTheOneTheConnectChose) {
  testnet::Socket lfd = testnet::Open(SOCK_STREAM);
  sockaddr_in a = testnet::Loopback(0);
  ASSERT_EQ(::bind(lfd.get(), testnet::Addr(a), sizeof a), 0);
  ASSERT_EQ(::listen(lfd.get(), 4), 0);
  a.sin_port = htons(testnet::LocalPort(lfd.get()));
  for (const auto& [bound, local] :
       {std::pair<std::string, std::string>{"", "127.0.0.1"}, {"127.0.0.2", "127.0.0.2"}}) {
    SCOPED_TRACE(bound);
    TIdTCPClient c;
    c.Host = "127.0.0.1";
    c.Port = ntohs(a.sin_port);
    c.BoundIP = bound;
    c.OpenConnection();
    testnet::Socket server(::accept(lfd.get(), nullptr, nullptr));
    EXPECT_EQ(c.SocketHandle->IP, local);
    EXPECT_GT(c.SocketHandle->Port, 0);
    c.CloseConnection();
  }
}

TEST(TCPClient, RefusedConnectLeavesTheClientClosedAndReusable) {
  testnet::Socket lfd = testnet::Open(SOCK_STREAM);
  sockaddr_in a = testnet::Loopback(0);
  ASSERT_EQ(::bind(lfd.get(), testnet::Addr(a), sizeof a), 0);
  a.sin_port = htons(testnet::LocalPort(lfd.get()));
  lfd.reset();  // nobody listens there now

  TIdTCPClient c;
  c.Host = "127.0.0.1";
  c.Port = ntohs(a.sin_port);
  try {
    c.OpenConnection();
    FAIL();
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.Message, "Socket Error # 10061\r\nConnection refused.");
  }
  EXPECT_FALSE(c.IsConnected());
  EXPECT_THROW(c.OpenConnection(), EIdSocketError);  // not "Already connected."
}

TEST(TCPClient, ConnectTimeoutAgainstAFullListenQueue) {
  // A listener that never accepts and whose queue is full drops further
  // connection attempts, so a connect would wait for the kernel's retries.
  testnet::Socket lfd = testnet::Open(SOCK_STREAM);
  sockaddr_in a = testnet::Loopback(0);
  ASSERT_EQ(::bind(lfd.get(), testnet::Addr(a), sizeof a), 0);
  ASSERT_EQ(::listen(lfd.get(), 0), 0);
  a.sin_port = htons(testnet::LocalPort(lfd.get()));
  std::vector<testnet::Socket> fillers;
  for (int i = 0; i < 4; ++i) {
    testnet::Socket f = testnet::Open(SOCK_STREAM);
    testnet::SetNonBlocking(f.get(), true);
    // Under way or dropped, each attempt takes a place in the queue or finds
    // it full: either is what the test needs, so the result is not read.
    static_cast<void>(::connect(f.get(), testnet::Addr(a), sizeof a));
    fillers.push_back(std::move(f));
  }
  std::this_thread::sleep_for(50ms);

  TIdTCPClient c;
  c.Host = "127.0.0.1";
  c.Port = ntohs(a.sin_port);
  c.ConnectTimeout = 300;
  auto t0 = std::chrono::steady_clock::now();
  try {
    c.OpenConnection();
    // Some kernels accept into a larger queue than asked; then there is nothing
    // to time out and the test has no subject.
    c.CloseConnection();
    GTEST_SKIP() << "the listen queue did not fill";
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.ErrorCode, 10060);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 3s);
  EXPECT_FALSE(c.IsConnected());
}

}  // namespace
