// The HTTP client against real web servers on loopback: nginx (HTTP/1.1,
// keep-alive, status answers, a large file) and Python's http.server (HTTP/1.0
// replies and a chunked body).
#include <gtest/gtest.h>

#include "net/http/IdHTTP.h"
#include "tests/support/NginxServer.h"
#include "tests/support/PythonHttpServer.h"

namespace {

constexpr const char* kUserAgent = "Mozilla/3.0 (compatible; Corvale Net Library)";
// Bound for every wait of the client in these tests.
constexpr int kTestReadTimeoutMs = 10000;

std::unique_ptr<TIdHTTP> ProgramClient() {
  auto http = std::make_unique<TIdHTTP>();
  http->Request.ContentType = "text/html";
  http->Request.ContentLength = -1;
  http->ReadTimeout = kTestReadTimeoutMs;
  return http;
}

int ReplyCodeOf(TIdHTTP& http, const std::string& url, std::string* message = nullptr) {
  try {
    http.GetText(url);
  } catch (const EIdProtocolReplyError& e) {
    if (message) *message = e.what();
    return e.ReplyCode;
  }
  return 0;
}

class NginxHTTPTest : public ::testing::Test {
 protected:
  void SetUp() override {
    web.AddFile("GetMyIP.pl", "BEGINIP127.0.0.1ENDIP");
    web.ServerDirectives =
        "location = /moved { return 302 /GetMyIP.pl; }\n"
        "location = /created { add_header Location /new always; return 201 'made'; }\n"
        "location = /same { return 304; }\n"
        "location = /closing { keepalive_timeout 0; return 200 'bye'; }\n";
    web.Start();
  }
  NginxServer web;
};

TEST_F(NginxHTTPTest, ProgramFetchAndItsRequestAsNginxSawIt) {
  auto http = ProgramClient();
  EXPECT_EQ(http->GetText(web.Url("/GetMyIP.pl")), "BEGINIP127.0.0.1ENDIP");
  EXPECT_EQ(http->StatusCode, 200);
  EXPECT_EQ(http->ResponseInfo.ContentLength, 21);
  EXPECT_GT(http->ResponseInfo.Date, 0.0);
  EXPECT_GT(http->ResponseInfo.LastModified, 0.0);
  auto reqs = web.WaitForRequests(1);
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(reqs[0].RequestLine, "GET /GetMyIP.pl HTTP/1.1");
  EXPECT_EQ(reqs[0].Host, "127.0.0.1");
  EXPECT_EQ(reqs[0].Accept, "text/html, */*");
  EXPECT_EQ(reqs[0].UserAgent, kUserAgent);
  EXPECT_EQ(reqs[0].ContentType, "text/html");
  // Nothing else: no length, no Connection, no Accept-Encoding, no Range.
  EXPECT_EQ(reqs[0].ContentLength, "-");
  EXPECT_EQ(reqs[0].Connection, "-");
  EXPECT_EQ(reqs[0].AcceptEncoding, "-");
  EXPECT_EQ(reqs[0].Range, "-");
  EXPECT_EQ(reqs[0].Authorization, "-");
  EXPECT_EQ(reqs[0].Cookie, "-");
}

TEST_F(NginxHTTPTest, StatusAnswersRaise) {
  auto http = ProgramClient();
  std::string message;
  EXPECT_EQ(ReplyCodeOf(*http, web.Url("/missing"), &message), 404);
  EXPECT_EQ(message, "404 Not Found");
  EXPECT_EQ(ReplyCodeOf(*http, web.Url("/moved"), &message), 302);
  EXPECT_EQ(message, "302 Moved Temporarily");
  EXPECT_EQ(http->ResponseInfo.Location, web.Url("/GetMyIP.pl"));
  EXPECT_EQ(ReplyCodeOf(*http, web.Url("/created")), 201);
  EXPECT_EQ(http->ResponseInfo.Location, "/new");
  EXPECT_EQ(ReplyCodeOf(*http, web.Url("/same")), 304);
  // Each answer left the connection in step: the next request still works.
  EXPECT_EQ(http->GetText(web.Url("/GetMyIP.pl")), "BEGINIP127.0.0.1ENDIP");
}

TEST_F(NginxHTTPTest, FollowsARedirectWhenAsked) {
  auto http = ProgramClient();
  http->HandleRedirects = true;
  EXPECT_EQ(http->GetText(web.Url("/moved")), "BEGINIP127.0.0.1ENDIP");
  auto reqs = web.WaitForRequests(2);
  ASSERT_EQ(reqs.size(), 2u);
  EXPECT_EQ(reqs[1].RequestLine, "GET /GetMyIP.pl HTTP/1.1");
}

TEST_F(NginxHTTPTest, KeepAliveWithAnExplicitPortAndCloseOnRequest) {
  auto http = ProgramClient();
  EXPECT_EQ(http->GetText(web.Url("/GetMyIP.pl")), "BEGINIP127.0.0.1ENDIP");
  ASSERT_TRUE(http->IsConnected());
  const int localPort = http->SocketHandle->Port;
  EXPECT_EQ(http->GetText(web.Url("/GetMyIP.pl")), "BEGINIP127.0.0.1ENDIP");
  ASSERT_TRUE(http->IsConnected());
  EXPECT_EQ(http->SocketHandle->Port, localPort);  // the same connection
  // nginx answers "Connection: close" here and closes.
  EXPECT_EQ(http->GetText(web.Url("/closing")), "bye");
  EXPECT_EQ(http->ResponseInfo.Connection, "close");
  EXPECT_FALSE(http->IsConnected());
  EXPECT_EQ(http->GetText(web.Url("/GetMyIP.pl")), "BEGINIP127.0.0.1ENDIP");
  EXPECT_EQ(web.WaitForRequests(4).size(), 4u);
}

TEST_F(NginxHTTPTest, LargeStaticFileToStream) {
  // 8 MiB of a repeating, position-dependent pattern.
  std::string big(8 << 20, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 131 + i / 4093) & 0xFF);
  web.AddFile("big.bin", big);
  auto http = ProgramClient();
  TMemoryStream body;
  http->GetToStream(web.Url("/big.bin"), &body);
  EXPECT_EQ(body.Size(), static_cast<int64_t>(big.size()));
  EXPECT_TRUE(body.Data == big);
  EXPECT_EQ(http->ResponseInfo.ContentLength, static_cast<int64_t>(big.size()));
}

TEST_F(NginxHTTPTest, HeadReadsNoBody) {
  auto http = ProgramClient();
  http->Head(web.Url("/GetMyIP.pl"));
  EXPECT_EQ(http->StatusCode, 200);
  EXPECT_EQ(http->ResponseInfo.ContentLength, 21);
  EXPECT_EQ(http->GetText(web.Url("/GetMyIP.pl")), "BEGINIP127.0.0.1ENDIP");
}

class PythonHTTPTest : public ::testing::Test {
 protected:
  void SetUp() override {
    py.AddFile("a.txt", "abcdefghijklmnopqrstuvwxyz01234");
    py.Start();
  }
  PythonHttpServer py;
};

TEST_F(PythonHTTPTest, Http10ReplyClosesTheConnection) {
  auto http = ProgramClient();
  EXPECT_EQ(http->GetText(py.Url("/a.txt")), "abcdefghijklmnopqrstuvwxyz01234");
  EXPECT_EQ(http->ResponseInfo.ContentLength, 31);
  EXPECT_FALSE(http->IsConnected());
  EXPECT_NE(http->ResponseInfo.Server.find("Python"), std::string::npos);
  EXPECT_EQ(ReplyCodeOf(*http, py.Url("/none.txt")), 404);
  EXPECT_FALSE(http->IsConnected());
  // The server saw exactly the program's header lines.
  const std::string log = py.RequestsLog();
  EXPECT_EQ(log.substr(0, log.find("\n\n") + 2),
            "GET /a.txt HTTP/1.1\nHost: 127.0.0.1\nAccept: text/html, */*\n"
            "User-Agent: Mozilla/3.0 (compatible; Corvale Net Library)\n"
            "Content-Type: text/html\n\n");
}

TEST_F(PythonHTTPTest, BodyUpToTheClose) {
  auto http = ProgramClient();
  EXPECT_EQ(http->GetText(py.Url("/noclen/a.txt")), "abcdefghijklmnopqrstuvwxyz01234");
  EXPECT_FALSE(http->ResponseInfo.HasContentLength);
  EXPECT_FALSE(http->IsConnected());
}

TEST_F(PythonHTTPTest, ChunkedBody) {
  auto http = ProgramClient();
  EXPECT_EQ(http->GetText(py.Url("/chunked/a.txt?sizes=26,5")), "abcdefghijklmnopqrstuvwxyz01234");
  EXPECT_EQ(http->ResponseInfo.ExtraHeaders.ValueOf("Transfer-Encoding"), "chunked");
  EXPECT_EQ(http->GetText(py.Url("/chunked/a.txt?sizes=1,1,1")), "abcdefghijklmnopqrstuvwxyz01234");
}

}  // namespace
