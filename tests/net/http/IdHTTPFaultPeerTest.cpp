// The HTTP client against an in-process scripted server: exact request bytes,
// framing of bodies and the faults real servers do not produce (early closes,
// lying lengths, broken chunks, silence).
#include <gtest/gtest.h>

#include <chrono>

#include "net/http/IdHTTP.h"
#include "net/transport/IdStack.h"
#include "platform/Exception.h"
#include "tests/support/ScriptedTcpServer.h"

namespace {

using Script = ScriptedTcpServer::Script;
using namespace std::chrono_literals;

// The request the program's GET of "/GetMyIP.pl" sends, line by line.
constexpr const char* kProgramRequest =
    "GET /GetMyIP.pl HTTP/1.1\r\n"
    "Host: 127.0.0.1\r\n"
    "Accept: text/html, */*\r\n"
    "User-Agent: Mozilla/3.0 (compatible; Corvale Net Library)\r\n"
    "Content-Type: text/html\r\n"
    "\r\n";

// Bounds for the tests, so that a client that waits wrongly fails in seconds.
constexpr int kTestReadTimeoutMs = 5000;

// A client set up as the program's main window sets up its component.
std::unique_ptr<TIdHTTP> ProgramClient() {
  auto http = std::make_unique<TIdHTTP>();
  http->Request.ContentType = "text/html";
  http->Request.ContentLength = -1;
  http->ReadTimeout = kTestReadTimeoutMs;
  return http;
}

std::string Url(const ScriptedTcpServer& srv, const std::string& path = "/GetMyIP.pl") {
  return "http://" + srv.HostPort() + path;
}

// Reads the request, then answers with AReply and closes.
Script Answer(std::string AReply) {
  return std::move(Script().ReadUntil("\r\n\r\n").Send(std::move(AReply)));
}

// A memory stream that remembers the largest size it was ever given, so a
// test can see that no announced length was reserved in advance.
class WatchedStream : public TMemoryStream {
 public:
  int64_t Write(const void* Buffer, int64_t Count) override {
    int64_t n = TMemoryStream::Write(Buffer, Count);
    Largest = std::max<int64_t>(Largest, Size());
    return n;
  }
  void SetSize(int64_t NewSize) override {
    Largest = std::max<int64_t>(Largest, NewSize);
    TMemoryStream::SetSize(NewSize);
  }
  int64_t Largest = 0;
};

TEST(HTTPFaultTest, ProgramRequestIsExactAndBodyIsReturned) {
  ScriptedTcpServer srv(std::move(
      Answer("HTTP/1.1 200 OK\r\nContent-Length: 12\r\n\r\nBEGINIP1ENDIPextra bytes\n").Hold()));
  auto http = ProgramClient();
  EXPECT_EQ(http->GetText(Url(srv)), "BEGINIP1ENDI");
  ASSERT_TRUE(srv.WaitForConnections(1));
  EXPECT_EQ(srv.Received(0), kProgramRequest);
  EXPECT_EQ(http->StatusCode, 200);
  EXPECT_EQ(http->ResponseLine, "200 OK");
  EXPECT_EQ(http->RedirectDepth, 0);
  // Bytes after the declared length stay unread.
  EXPECT_EQ(http->ReadLine(), "Pextra bytes");
}

TEST(HTTPFaultTest, BookmarkIsDroppedAndQueryKept) {
  ScriptedTcpServer srv(Answer("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"));
  auto http = ProgramClient();
  http->ProtocolVersion = TIdHTTPProtocolVersion::pv1_0;
  EXPECT_EQ(http->GetText(Url(srv, "/a/b.pl?x=1#top")), "");
  ASSERT_TRUE(srv.WaitForConnections(1));
  EXPECT_EQ(srv.Received(0).substr(0, srv.Received(0).find("\r\n")), "GET /a/b.pl?x=1 HTTP/1.0");
  EXPECT_FALSE(http->IsConnected());
}

// How a response ends, and what the client must make of it.
struct BodyCase {
  const char* Name;
  const char* Reply;    // sent after the request, then the server closes
  const char* Body;     // expected text, when Closed is false
  bool ConnectionOpen;  // whether the client keeps the connection afterwards
};

class BodyFramingTest : public ::testing::TestWithParam<BodyCase> {};

TEST_P(BodyFramingTest, ReadsTheWholeBody) {
  const BodyCase& c = GetParam();
  // The server holds the connection after the reply unless the body ends at
  // the close; a keep-alive connection must then stay open.
  Script s = Answer(c.Reply);
  if (c.ConnectionOpen) s.Hold();
  ScriptedTcpServer srv(std::move(s));
  auto http = ProgramClient();
  EXPECT_EQ(http->GetText(Url(srv)), c.Body);
  EXPECT_EQ(http->IsConnected(), c.ConnectionOpen);
}

INSTANTIATE_TEST_SUITE_P(
    Bodies, BodyFramingTest,
    ::testing::Values(
        BodyCase{"UntilClose", "HTTP/1.1 200 OK\r\nServer: x\r\n\r\nall of it", "all of it", false},
        BodyCase{"Chunked",
                 "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                 "1a\r\nabcdefghijklmnopqrstuvwxyz\r\n5\r\n01234\r\n0\r\n\r\n",
                 "abcdefghijklmnopqrstuvwxyz01234", true},
        BodyCase{"ChunkExtensions",
                 "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                 "1A;name=value\r\nabcdefghijklmnopqrstuvwxyz\r\n5 ; x\r\n01234\r\n"
                 "0;last\r\nX-Trailer: 1\r\nX-Other: 2\r\n\r\n",
                 "abcdefghijklmnopqrstuvwxyz01234", true},
        BodyCase{"ChunkedCapitalIsReadUpToTheClose",
                 "HTTP/1.1 200 OK\r\nTransfer-Encoding: Chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n",
                 "3\r\nabc\r\n0\r\n\r\n", false},
        BodyCase{"DeclaredZero", "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", "", true},
        BodyCase{"NoContent", "HTTP/1.1 204 No Content\r\n\r\n", "", true},
        BodyCase{"ConnectionClose",
                 "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection:  CLOSE \r\n\r\nok", "ok",
                 false},
        BodyCase{"Http10", "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok", "ok", false}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(HTTPFaultTest, FoldedHeaderIsOneValue) {
  ScriptedTcpServer srv(
      Answer("HTTP/1.1 200 OK\r\nContent-Length: 1\r\nX-Folded: first\r\n\tsecond\r\n"
             "WWW-Authenticate: Basic\r\nServer: one\r\nServer: two\r\n\r\nz"));
  auto http = ProgramClient();
  EXPECT_EQ(http->GetText(Url(srv)), "z");
  EXPECT_EQ(http->ResponseInfo.ExtraHeaders.ValueOf("X-Folded"), "first second");
  EXPECT_EQ(http->ResponseInfo.WWWAuthenticate, "Basic");
  EXPECT_EQ(http->ResponseInfo.Server, "one");
  EXPECT_EQ(http->ResponseInfo.ExtraHeaders.ValueOf("Server"), "two");
}

TEST(HTTPFaultTest, EarlyClosesRaise) {
  const char* replies[] = {
      "",                                                  // before the status line
      "HTTP/1.1 200 O",                                    // in the status line
      "HTTP/1.1 200 OK\r\n",                               // after the status line
      "HTTP/1.1 200 OK\r\nServer: x\r\n",                  // after a complete header line
      "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc",  // in a declared body
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nab",         // in a chunk
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nabcde",      // before its line end
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nabcde\r\n",  // before the next
  };
  for (const char* r : replies) {
    ScriptedTcpServer srv(Answer(r));
    auto http = ProgramClient();
    EXPECT_THROW(http->GetText(Url(srv)), EIdConnClosedGracefully) << r;
    EXPECT_FALSE(http->IsConnected()) << r;
  }
}

// A header line "X-Pad: aaa..." of ALength bytes, with its CR LF.
std::string PadLine(size_t ALength) {
  std::string line = "X-Pad: ";
  line.resize(ALength, 'a');
  return line + "\r\n";
}

// The caps of a response head, each at the cap and one past it: a status or
// header line of at most 16384 bytes, a header section of at most 262144
// bytes counting each line with its CR LF, at most 1000 header lines. Past a
// cap the request raises at once
// (the server below never closes), keeps none of the head, and the client's
// next request works on a fresh connection.
TEST(HTTPFaultTest, ResponseHeadCaps) {
  const size_t kLine = 16384;
  const size_t kSection = 262144;
  const std::string length = "Content-Length: 2\r\n";
  std::string wide;  // 15 lines at the line cap and the length
  for (int i = 0; i < 15; ++i) wide += PadLine(kLine);
  wide += length;
  // The line that brings the section to exactly its cap.
  const size_t rest = kSection - wide.size() - 2;
  std::string many;  // 1000 lines, 261757 bytes
  for (int i = 0; i < 999; ++i) many += PadLine(260);
  many += length;
  std::string tooMany;  // 1001 short lines
  for (int i = 0; i < 1000; ++i) tooMany += PadLine(20);
  tooMany += length;

  struct Case {
    const char* What;
    std::string Head;   // the status line and the header lines
    const char* Error;  // null: accepted
    int Extra;          // header lines left in ExtraHeaders when accepted
  };
  const Case cases[] = {
      {"every line at the line cap, the section at its cap",
       "HTTP/1.1 200 OK\r\n" + wide + PadLine(rest), nullptr, 16},
      {"1000 lines", "HTTP/1.1 200 OK\r\n" + many, nullptr, 999},
      {"1001 lines", "HTTP/1.1 200 OK\r\n" + tooMany,
       "The response has more than 1000 header lines.", 0},
      {"status line at the line cap",
       "HTTP/1.1 200 " + std::string(kLine - 13, 'O') + "\r\n" + length, nullptr, 0},
      {"a header line one byte over", "HTTP/1.1 200 OK\r\n" + PadLine(kLine + 1) + length,
       "A header line of the response is longer than 16384 bytes.", 0},
      {"the section one byte over", "HTTP/1.1 200 OK\r\n" + wide + PadLine(rest + 1),
       "The header section of the response is longer than 262144 bytes.", 0},
      {"status line one byte over",
       "HTTP/1.1 200 " + std::string(kLine - 12, 'O') + "\r\n" + length,
       "The status line of the response is longer than 16384 bytes.", 0},
      // Without its end the line must not be waited for (a wait would end in
      // the read time-out instead).
      {"a header line that never ends", "HTTP/1.1 200 OK\r\nX-Pad: " + std::string(kLine, 'a'),
       "A header line of the response is longer than 16384 bytes.", 0},
  };
  for (const Case& c : cases) {
    ScriptedTcpServer srv(std::vector<Script>{
        std::move(Answer(c.Head + (c.Head.back() == '\n' ? "\r\nok" : "")).Hold()),
        std::move(Answer("HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nnext").Hold())});
    auto http = ProgramClient();
    if (!c.Error) {
      EXPECT_EQ(http->GetText(Url(srv)), "ok") << c.What;
      EXPECT_EQ(http->ResponseInfo.ExtraHeaders.Count(), c.Extra) << c.What;
      continue;
    }
    try {
      http->GetText(Url(srv));
      ADD_FAILURE() << "no exception: " << c.What;
    } catch (const EIdHTTPProtocolError& e) {
      EXPECT_STREQ(e.what(), c.Error) << c.What;
    }
    EXPECT_FALSE(http->IsConnected()) << c.What;
    EXPECT_EQ(http->RawHeaders.Count(), 0) << c.What;
    EXPECT_EQ(http->ResponseInfo.ExtraHeaders.Count(), 0) << c.What;
    EXPECT_EQ(http->GetText(Url(srv)), "next") << c.What;
    EXPECT_EQ(srv.Connections(), 2u) << c.What;
  }
}

// A request that fails part-way through a response keeps none of its header
// lines (nor those of the response before it); one that fails on a complete
// non-2xx response keeps them in ResponseInfo, which describes that response.
TEST(HTTPFaultTest, FailedRequestHoldsNoHeaderLines) {
  ScriptedTcpServer srv(std::vector<Script>{
      std::move(
          Answer("HTTP/1.1 200 OK\r\nX-One: 1\r\nContent-Length: 1\r\n\r\na")
              .ReadUntil("\r\n\r\n")
              .Send("HTTP/1.1 200 OK\r\nX-Two: 2\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nab")
              .CloseNow()),
      std::move(
          Answer("HTTP/1.1 404 Not Found\r\nX-Three: 3\r\nContent-Length: 0\r\n\r\n").Hold())});
  auto http = ProgramClient();
  EXPECT_EQ(http->GetText(Url(srv)), "a");
  EXPECT_EQ(http->ResponseInfo.ExtraHeaders.ValueOf("X-One"), "1");
  EXPECT_THROW(http->GetText(Url(srv)), EIdConnClosedGracefully);
  EXPECT_EQ(http->RawHeaders.Count(), 0);
  EXPECT_EQ(http->ResponseInfo.ExtraHeaders.Count(), 0);
  EXPECT_THROW(http->GetText(Url(srv)), EIdProtocolReplyError);
  EXPECT_EQ(http->RawHeaders.Count(), 0);
  EXPECT_EQ(http->ResponseInfo.ExtraHeaders.Lines, std::vector<std::string>{"X-Three: 3"});
}

TEST(HTTPFaultTest, BodyCutWhileTheClientReadsRaises) {
  // The close comes after the client has started on the body, not together
  // with the header block.
  ScriptedTcpServer srv(std::move(Script()
                                      .ReadUntil("\r\n\r\n")
                                      .Send("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nab")
                                      .Pause(200ms)
                                      .Send("cd")
                                      .Pause(200ms)
                                      .CloseNow()));
  auto http = ProgramClient();
  EXPECT_THROW(http->GetText(Url(srv)), EIdConnClosedGracefully);
}

TEST(HTTPFaultTest, LyingLengthCostsOnlyTheBytesSent) {
  ScriptedTcpServer srv(
      Answer("HTTP/1.1 200 OK\r\nContent-Length: 2147483648000\r\n\r\n0123456789"));
  auto http = ProgramClient();
  WatchedStream body;
  EXPECT_THROW(http->GetToStream(Url(srv), &body), EIdConnClosedGracefully);
  EXPECT_EQ(body.Data, "0123456789");
  EXPECT_LE(body.Largest, 10);
}

TEST(HTTPFaultTest, HugeChunkSizeIsNotReserved) {
  ScriptedTcpServer srv(Answer(
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n7fffffffffffffff\r\n0123456789"));
  auto http = ProgramClient();
  WatchedStream body;
  EXPECT_THROW(http->GetToStream(Url(srv), &body), EIdConnClosedGracefully);
  EXPECT_LE(body.Largest, 10);
}

TEST(HTTPFaultTest, MalformedFramingIsAProtocolError) {
  const char* replies[] = {
      "HTTP/1.1 200 OK\r\nContent-Length: -1\r\n\r\nabc",
      "HTTP/1.1 200 OK\r\nContent-Length: 12x\r\n\r\nabc",
      "HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999\r\n\r\nabc",
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n10000000000000000\r\nabc",
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\nabc",
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n-5\r\nabc",
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n;ext\r\nabc",
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nabc\r\n0\r\n\r\n",
  };
  for (const char* r : replies) {
    ScriptedTcpServer srv(std::move(Answer(r).Hold()));
    auto http = ProgramClient();
    EXPECT_THROW(http->GetText(Url(srv)), EIdHTTPProtocolError) << r;
    // The framing is lost: the connection cannot carry another request.
    EXPECT_FALSE(http->IsConnected()) << r;
  }
}

TEST(HTTPFaultTest, StatusThatIsNotANumber) {
  ScriptedTcpServer srv(Answer("HTTP/1.1 abc OK\r\n\r\n"));
  auto http = ProgramClient();
  try {
    http->GetText(Url(srv));
    FAIL() << "no exception";
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "'abc' is not a valid integer value");
  }
}

TEST(HTTPFaultTest, ErrorStatusRaisesWithItsLineAfterTheBody) {
  struct Case {
    const char* Reply;
    int Code;
    const char* Message;
  } cases[] = {
      {"HTTP/1.1 404 Not Found\r\nContent-Length: 4\r\n\r\ngone", 404, "404 Not Found"},
      {"HTTP/1.1 302 Found\r\nLocation: /x\r\nContent-Length: 0\r\n\r\n", 302, "302 Found"},
      {"HTTP/1.1 201 Created\r\nLocation: /new\r\nContent-Length: 0\r\n\r\n", 201, "201 Created"},
      {"HTTP/1.1 304 Not Modified\r\n\r\n", 304, "304 Not Modified"},
      {"HTTP/1.0 304 Not Modified\r\n\r\n", 304, "304 Not Modified"},
      {"HTTP/1.1 100 Continue\r\n\r\n", 100, "100 Continue"},
      {"HTTP/1.1 500 Server Error\r\n\r\nup to the close", 500, "500 Server Error"},
  };
  for (const auto& c : cases) {
    ScriptedTcpServer srv(Answer(c.Reply));
    auto http = ProgramClient();
    try {
      http->GetText(Url(srv));
      ADD_FAILURE() << "no exception for " << c.Reply;
    } catch (const EIdProtocolReplyError& e) {
      EXPECT_EQ(e.ReplyCode, c.Code);
      EXPECT_STREQ(e.what(), c.Message);
    }
    EXPECT_EQ(http->RedirectDepth, 0);
  }
}

TEST(HTTPFaultTest, KeepAliveCarriesTwoRequestsAndTrailers) {
  ScriptedTcpServer srv(std::move(Script()
                                      .ReadUntil("\r\n\r\n")
                                      .Send("HTTP/1.1 200 OK\r\nTransfer-Encoding: "
                                            "chunked\r\n\r\n2\r\nab\r\n0\r\nA: 1\r\nB: 2\r\n\r\n")
                                      .ReadUntil("\r\n\r\n")
                                      .Send("HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\ncde")
                                      .Hold()));
  auto http = ProgramClient();
  EXPECT_EQ(http->GetText(Url(srv, "/one")), "ab");
  EXPECT_EQ(http->GetText(Url(srv, "/two")), "cde");
  EXPECT_EQ(srv.Connections(), 1u);
}

TEST(HTTPFaultTest, AddressWithoutPortStartsAFreshConnection) {
  ScriptedTcpServer srv(std::move(Answer("HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\na").Hold()));
  auto http = ProgramClient();
  EXPECT_EQ(http->GetText(Url(srv)), "a");
  ASSERT_TRUE(http->IsConnected());
  // The same host named without a port never matches the open connection.
  http->SelectServer("http", "127.0.0.1", -1);
  EXPECT_FALSE(http->IsConnected());
  EXPECT_EQ(http->Port, 80);
}

TEST(HTTPFaultTest, KeptConnectionIsGivenUpWhenTheServerClosedItOrSentTooMuch) {
  // Connection 0 answers and closes without saying so (an idle close);
  // connection 1 sends bytes beyond its declared length; connection 2 answers.
  ScriptedTcpServer srv(std::vector<Script>{
      Answer("HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\na"),
      std::move(Answer("HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nbSURPLUS").Hold()),
      std::move(Answer("HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nc").Hold())});
  auto http = ProgramClient();
  EXPECT_EQ(http->GetText(Url(srv)), "a");
  ASSERT_TRUE(srv.WaitForFinished(1));
  EXPECT_EQ(http->GetText(Url(srv)), "b");
  EXPECT_EQ(http->GetText(Url(srv)), "c");
  EXPECT_EQ(srv.Connections(), 3u);
}

TEST(HTTPFaultTest, SilentServerHitsTheReadTimeoutInEveryPhase) {
  const char* before[] = {
      "",                                                       // status line
      "HTTP/1.1 200 OK\r\n",                                    // header block
      "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nab",         // body by length
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n",  // chunk size
      "HTTP/1.1 200 OK\r\n\r\nab",                              // body up to the close
  };
  for (const char* b : before) {
    ScriptedTcpServer srv(std::move(Script().ReadUntil("\r\n\r\n").Send(b).Hold()));
    auto http = ProgramClient();
    http->ReadTimeout = 300;
    const auto start = std::chrono::steady_clock::now();
    try {
      http->GetText(Url(srv));
      ADD_FAILURE() << "no exception after " << b;
    } catch (const EIdSocketError& e) {
      EXPECT_EQ(e.ErrorCode, Id_WSAETIMEDOUT) << b;
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s) << b;
    EXPECT_FALSE(http->IsConnected()) << b;
  }
}

TEST(HTTPFaultTest, TrickleHitsTheExchangeDeadlineInTheBody) {
  ScriptedTcpServer srv(std::move(Script()
                                      .ReadUntil("\r\n\r\n")
                                      .Send("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n")
                                      .Trickle(std::string(100, 'x'), 50ms)));
  auto http = ProgramClient();
  http->ReadTimeout = 1000;
  http->ExchangeTimeout = 600;
  try {
    http->GetText(Url(srv));
    FAIL() << "no exception";
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.ErrorCode, Id_WSAETIMEDOUT);
  }
}

// A body of MaxBodySize bytes is read whole; one byte more raises, whether
// the body is framed by its length, by chunks or by the close.
TEST(HTTPFaultTest, BodyCap) {
  const char* over = "Response body exceeds the limit of 10 bytes.";
  struct Case {
    const char* Reply;
    const char* Error;  // null: the ten bytes are read
  } cases[] = {
      {"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n0123456789", nullptr},
      {"HTTP/1.1 200 OK\r\nContent-Length: 11\r\n\r\n0123456789A", over},
      {"HTTP/1.1 200 OK\r\n\r\n0123456789", nullptr},
      {"HTTP/1.1 200 OK\r\n\r\n0123456789A", over},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\n01234\r\n5\r\n56789\r\n0\r\n\r\n",
       nullptr},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: "
       "chunked\r\n\r\n5\r\n01234\r\n6\r\n56789A\r\n0\r\n\r\n",
       over},
  };
  for (const Case& c : cases) {
    ScriptedTcpServer srv(Answer(c.Reply));
    auto http = ProgramClient();
    http->MaxBodySize = 10;
    try {
      EXPECT_EQ(http->GetText(Url(srv)), "0123456789") << c.Reply;
      EXPECT_EQ(c.Error, nullptr) << "no exception for " << c.Reply;
    } catch (const EIdHTTPBodyTooLarge& e) {
      EXPECT_STREQ(e.what(), c.Error) << c.Reply;
    }
  }
}

// At most 100 trailer lines follow the last chunk; the 101st raises.
TEST(HTTPFaultTest, TrailerCap) {
  for (const int lines : {100, 101}) {
    std::string reply = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nok\r\n0\r\n";
    for (int i = 0; i < lines; ++i) reply += "X-Trailer: " + std::to_string(i) + "\r\n";
    // The server never closes: only the cap can end a refused response.
    ScriptedTcpServer srv(std::move(Answer(reply + "\r\n").Hold()));
    auto http = ProgramClient();
    if (lines == 100) {
      EXPECT_EQ(http->GetText(Url(srv)), "ok");
      continue;
    }
    try {
      http->GetText(Url(srv));
      ADD_FAILURE() << "no exception for " << lines << " trailer lines";
    } catch (const EIdHTTPProtocolError& e) {
      EXPECT_STREQ(e.what(), "The response has more than 100 trailer lines.");
    }
    EXPECT_FALSE(http->IsConnected());
  }
}

TEST(HTTPFaultTest, RedirectsFollowedWhenAsked) {
  // Connection 0 redirects twice on one connection, then the final answer.
  ScriptedTcpServer srv(
      std::move(Script()
                    .ReadUntil("\r\n\r\n")
                    .Send("HTTP/1.1 302 Found\r\nLocation: /b\r\nContent-Length: 5\r\n\r\nfirst")
                    .ReadUntil("\r\n\r\n")
                    .Send("HTTP/1.1 301 Moved\r\nLocation: /c#frag\r\nContent-Length: 0\r\n\r\n")
                    .ReadUntil("\r\n\r\n")
                    .Send("HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nend")
                    .Hold()));
  auto http = ProgramClient();
  http->HandleRedirects = true;
  std::vector<std::pair<std::string, int>> seen;
  http->OnRedirect = [&seen](TIdHTTP*, std::string& dest, int depth, bool& handled) {
    seen.emplace_back(dest, depth);
    EXPECT_TRUE(handled);
  };
  EXPECT_EQ(http->GetText(Url(srv, "/a")), "end");
  EXPECT_EQ(http->RedirectDepth, 0);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0], (std::pair<std::string, int>("/b", 1)));
  EXPECT_EQ(seen[1], (std::pair<std::string, int>("/c#frag", 2)));
  const std::string got = srv.Received(0);
  EXPECT_NE(got.find("GET /b HTTP/1.1\r\n"), std::string::npos);
  EXPECT_NE(got.find("GET /c HTTP/1.1\r\n"), std::string::npos);
}

// A chain holds at most RedirectMaximum requests (15 unless set): the
// redirect answers before the last request are followed, a redirect answer
// to the last one is returned as it is. The server would answer one more
// request, so following one redirect too many shows as that answer.
TEST(HTTPFaultTest, RedirectLimit) {
  struct Case {
    const char* What;
    int Maximum;  // 0: the library's
    int Redirects;
    int Requests;
    int Status;
    const char* Body;
  } cases[] = {
      {"14 redirects, then the answer", 0, 14, 15, 200, "end"},
      {"15 redirects", 0, 15, 15, 302, ""},
      {"2 redirects of 3, then the answer", 3, 2, 3, 200, "end"},
      {"3 redirects of 3", 3, 3, 3, 302, ""},
  };
  for (const Case& c : cases) {
    Script s;
    for (int i = 0; i < c.Redirects; ++i)
      s.ReadUntil("\r\n\r\n")
          .Send("HTTP/1.1 302 Found\r\nLocation: /again\r\nContent-Length: 0\r\n\r\n");
    s.ReadUntil("\r\n\r\n").Send("HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nend");
    ScriptedTcpServer srv(std::move(s.Hold()));
    auto http = ProgramClient();
    http->HandleRedirects = true;
    if (c.Maximum) http->RedirectMaximum = c.Maximum;
    EXPECT_EQ(http->GetText(Url(srv, "/a")), c.Body) << c.What;
    EXPECT_EQ(http->StatusCode, c.Status) << c.What;
    EXPECT_EQ(http->RedirectDepth, 0) << c.What;
    const std::string got = srv.Received(0);
    int requests = 0;
    for (size_t at = got.find("GET "); at != std::string::npos; at = got.find("GET ", at + 1))
      ++requests;
    EXPECT_EQ(requests, c.Requests) << c.What;
  }
}

TEST(HTTPFaultTest, HandlerCanRefuseARedirect) {
  ScriptedTcpServer srv(Answer("HTTP/1.1 302 Found\r\nLocation: /x\r\nContent-Length: 0\r\n\r\n"));
  auto http = ProgramClient();
  http->OnRedirect = [](TIdHTTP*, std::string&, int, bool& handled) { handled = false; };
  EXPECT_THROW(http->GetText(Url(srv)), EIdProtocolReplyError);
}

TEST(HTTPFaultTest, PostSendsListAndStream) {
  ScriptedTcpServer srv(std::move(Script()
                                      .ReadUntil("\r\n\r\n")
                                      .ReadBytes(8)
                                      .Send("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok")
                                      .ReadUntil("\r\n\r\n")
                                      .ReadBytes(3)
                                      .Send("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nOK")
                                      .Hold()));
  auto http = ProgramClient();
  http->Request.ContentType = "text/plain";
  TStringList lines;
  lines.Add("a=1");
  lines.Add("b");
  TMemoryStream reply;
  http->Post(Url(srv, "/form"), lines, &reply);
  EXPECT_EQ(reply.Data, "ok");
  TMemoryStream source;
  source.WriteString("xyz");
  TMemoryStream reply2;
  http->Post(Url(srv, "/form"), source, &reply2);
  EXPECT_EQ(reply2.Data, "OK");
  EXPECT_EQ(srv.Received(0),
            "POST /form HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: text/html, */*\r\n"
            "User-Agent: Mozilla/3.0 (compatible; Corvale Net Library)\r\n"
            "Content-Type: text/plain\r\nContent-Length: 8\r\n\r\na=1\r\nb\r\n"
            "POST /form HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: text/html, */*\r\n"
            "User-Agent: Mozilla/3.0 (compatible; Corvale Net Library)\r\n"
            "Content-Type: text/plain\r\nContent-Length: 3\r\n\r\nxyz");
}

}  // namespace
