// The HTTP client over its own TLS (BuiltInTLS) against nginx with test
// certificates: a fetch, the body cap at its limit and one byte past it,
// redirects into, within and out of https. Skipped where the build has no TLS.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "net/http/IdHTTP.h"
#include "net/transport/IdTLS.h"
#include "tests/support/NginxTlsServer.h"
#include "tests/support/ScriptedTcpServer.h"
#include "tests/support/TestCertificates.h"
#include "tests/support/TlsPeerServer.h"

namespace {

// Bound for every wait of the client in these tests.
constexpr int kTestReadTimeoutMs = 10000;
// The short bound of the time-out test, and the safety net behind it: far
// enough apart for a loaded machine.
constexpr int kShortMs = 300;
constexpr int kSafetyNetMs = 5000;
// The program's cap on the echo page's body.
constexpr int64_t kBodyCap = int64_t{64} * 1024;

class HTTPSPeer : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!PlatformTLSAvailable()) GTEST_SKIP() << "this build has no TLS";
    testtls::TrustTestAuthority();
    http.BuiltInTLS = true;
    http.ReadTimeout = kTestReadTimeoutMs;
    http.HandleRedirects = true;
  }
  TIdHTTP http;
};

TEST_F(HTTPSPeer, FetchesAnEchoPageTwiceOnOneSecureConnection) {
  NginxTlsServer web(testtls::Make().Good);
  web.AddFile("GetMyIP.pl", "BEGINIP127.0.0.1ENDIP");
  web.Start();
  EXPECT_EQ(http.GetText(web.HttpsUrl("/GetMyIP.pl")), "BEGINIP127.0.0.1ENDIP");
  EXPECT_TRUE(http.IsTLSActive());
  // The kept connection carries the second request.
  EXPECT_EQ(http.GetText(web.HttpsUrl("/GetMyIP.pl")), "BEGINIP127.0.0.1ENDIP");
  const auto reqs = web.WaitForRequests(2);
  ASSERT_EQ(reqs.size(), 2U);
  EXPECT_EQ(reqs[1].RequestLine, "GET /GetMyIP.pl HTTP/1.1");
  EXPECT_EQ(reqs[1].Host, "localhost");
}

TEST_F(HTTPSPeer, BodyAtTheCapIsReadAndOneByteMoreIsRefused) {
  NginxTlsServer web(testtls::Make().Good);
  web.AddFile("at.txt", std::string(kBodyCap, 'a'));
  web.AddFile("over.txt", std::string(kBodyCap + 1, 'o'));
  web.Start();
  http.MaxBodySize = kBodyCap;
  EXPECT_EQ(http.GetText(web.HttpsUrl("/at.txt")).size(), static_cast<size_t>(kBodyCap));
  try {
    http.GetText(web.HttpsUrl("/over.txt"));
    FAIL() << "the body was taken";
  } catch (const EIdHTTPBodyTooLarge& e) {
    EXPECT_STREQ(e.what(), "Response body exceeds the limit of 65536 bytes.");
  }
}

TEST_F(HTTPSPeer, RedirectsIntoAndWithinHttpsAreFollowedOutOfItRefused) {
  ScriptedTcpServer plainSink(ScriptedTcpServer::Script().Hold());
  NginxTlsServer web(testtls::Make().Good);
  web.AddFile("hello.txt", "hello");
  const std::string toPlain = "http://127.0.0.1:" + std::to_string(plainSink.Port()) + "/hello.txt";
  web.ServerDirectives =
      "location = /moved { return 302 /hello.txt; }\n"
      "location = /to-plain { return 302 " +
      toPlain + "; }\n";
  web.Start();
  NginxServer plain;
  plain.ServerDirectives = "location = /up { return 301 " + web.HttpsUrl("/hello.txt") + "; }\n";
  plain.Start();

  EXPECT_EQ(http.GetText(web.HttpsUrl("/moved")), "hello");
  EXPECT_EQ(http.GetText(plain.Url("/up")), "hello");
  EXPECT_TRUE(http.IsTLSActive());
  try {
    http.GetText(web.HttpsUrl("/to-plain"));
    FAIL() << "the redirect was followed";
  } catch (const EIdHTTPInsecureRedirect& e) {
    EXPECT_EQ(std::string(e.what()),
              "The redirect from " + web.HttpsUrl("/to-plain") + " to " + toPlain +
                  " would leave the secure connection; it was not followed.");
  }
  EXPECT_EQ(plainSink.Connections(), 0U);
}

TEST_F(HTTPSPeer, RefusedCertificateReachesTheCallerNamingTheHost) {
  NginxTlsServer web(testtls::Make().WrongName);
  web.Start();
  try {
    http.GetText(web.HttpsUrl("/"));
    FAIL() << "the certificate was taken";
  } catch (const EIdTLSCertificateWrongName& e) {
    EXPECT_STREQ(e.what(), "The certificate of localhost was issued for another name.");
  }
  EXPECT_FALSE(http.IsConnected());
}

TEST_F(HTTPSPeer, HandshakeIsBoundedByTheConnectTimeout) {
  // A server that takes the connection and never answers the ClientHello:
  // with no read time-out, the connect time-out still ends the handshake.
  ScriptedTcpServer silent(ScriptedTcpServer::Script().Hold());
  http.ReadTimeout = TimeoutInfinite;
  http.ConnectTimeout = kShortMs;
  // Only a safety net: a handshake that ignored the connect time-out fails
  // the time check below instead of hanging the test.
  http.ExchangeTimeout = kSafetyNetMs;
  const auto start = std::chrono::steady_clock::now();
  try {
    http.GetText("https://localhost:" + std::to_string(silent.Port()) + "/");
    FAIL() << "an answer came";
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.ErrorCode, Id_WSAETIMEDOUT);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(kSafetyNetMs));
  EXPECT_FALSE(http.IsConnected());
}

TEST_F(HTTPSPeer, BodyEndingAtTheCloseNeedsCloseNotify) {
  // An HTTP/1.0 answer without Content-Length: only the close ends the body,
  // and only close_notify shows that nobody cut it (RFC 9112 section 9.8).
  // The client answers the server's end with its own close_notify.
  struct Case {
    TlsPeerServer::End End;
    const char* Error;  // empty: the body is read
  };
  const Case cases[] = {
      {TlsPeerServer::End::Notify, ""},
      {TlsPeerServer::End::Cut,
       "The secure connection to localhost ended without its closing message."},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(*k.Error ? "cut" : "close_notify");
    TlsPeerServer peer(testtls::Make().Good, k.End, "HTTP/1.0 200 OK\r\n\r\nhello");
    peer.Start();
    const std::string url = "https://localhost:" + std::to_string(peer.Port()) + "/";
    if (*k.Error == '\0') {
      EXPECT_EQ(http.GetText(url), "hello");
    } else {
      try {
        http.GetText(url);
        ADD_FAILURE() << "the cut body was taken";
      } catch (const EIdTLSTruncated& e) {
        EXPECT_STREQ(e.what(), k.Error);
      }
    }
    EXPECT_FALSE(http.IsConnected());
    if (*k.Error == '\0') {
      EXPECT_EQ(peer.ClientEnds(1), std::vector<std::string>{"notify"});
    }
  }
}

// Without the network: which server an https address selects.
TEST(HTTPSAddress, DefaultPortIs443AndTheBuiltInTLSIsOptIn) {
  TIdHTTP http;
  // Off (the default), an https address needs a secure intercept, as before.
  EXPECT_THROW(http.SelectServer("https", "localhost", -1), EIdInterceptPropInvalid);
  http.BuiltInTLS = true;
  http.SelectServer("https", "localhost", -1);
  EXPECT_EQ(http.Port, 443);
  http.SelectServer("HTTPS", "localhost", 8443);
  EXPECT_EQ(http.Port, 8443);
  http.SelectServer("http", "localhost", -1);
  EXPECT_EQ(http.Port, 80);
  EXPECT_FALSE(http.GetInterceptEnabled());
}

}  // namespace
