// TLS on the TCP connection (StartTLS) against nginx with test certificates
// (one made per kind, trusted through the test authority only) and against
// scripted servers that stall, trickle or answer with something other than a
// handshake. Skipped where the build has no TLS.
#include <chrono>
#include <map>
#include <memory>
#include <string>

#include "gtest/gtest.h"
#include "net/transport/IdException.h"
#include "net/transport/IdTCPClient.h"
#include "net/transport/IdTLS.h"
#include "tests/support/NginxTlsServer.h"
#include "tests/support/ScriptedTcpServer.h"
#include "tests/support/TestCertificates.h"
#include "tests/support/TlsPeerServer.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Script = ScriptedTcpServer::Script;
using Pair = testtls::KeyPair testtls::Certificates::*;

// Bound of the waits in the tests that expect an answer.
constexpr int kReadTimeoutMs = 10000;
// The short bound of the stall tests, and the slack a loaded machine gets
// beyond it before the wait counts as unbounded.
constexpr int kShortMs = 300;
constexpr auto kSlack = 3000ms;

// nginx per certificate, started once for the suite.
class TLSPeer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!PlatformTLSAvailable()) return;
    testtls::TrustTestAuthority();
    const auto& c = testtls::Make();
    for (Pair p : {&testtls::Certificates::Good, &testtls::Certificates::Expired,
                   &testtls::Certificates::NotYetValid, &testtls::Certificates::WrongName,
                   &testtls::Certificates::SelfSigned, &testtls::Certificates::UntrustedIssuer}) {
      auto web = std::make_unique<NginxTlsServer>(c.*p);
      web->AddFile("hello.txt", "hello over TLS");
      web->Start();
      Servers()[&(c.*p)] = std::move(web);
    }
  }
  static void TearDownTestSuite() { Servers().clear(); }
  // Keyed by the certificate the server presents.
  static std::map<const testtls::KeyPair*, std::unique_ptr<NginxTlsServer>>& Servers() {
    static std::map<const testtls::KeyPair*, std::unique_ptr<NginxTlsServer>> servers;
    return servers;
  }
  static NginxTlsServer& Server(Pair p) { return *Servers().at(&(testtls::Make().*p)); }
  void SetUp() override {
    if (!PlatformTLSAvailable()) GTEST_SKIP() << "this build has no TLS";
  }

  static void Connect(TIdTCPClient& c, const std::string& host, int port) {
    c.Host = host;
    c.Port = port;
    c.ReadTimeout = kReadTimeoutMs;
    c.OpenConnection();
  }
};

struct CertCase {
  const char* Name;
  Pair Cert;
  const char* Host;
  bool Verify;
  // The message expected, empty for a handshake that succeeds.
  const char* Error;
};

TEST_F(TLSPeer, CertificatesAreJudgedAndRefusalsNameTheHost) {
  using C = testtls::Certificates;
  const CertCase cases[] = {
      {"good, by name", &C::Good, "localhost", true, ""},
      {"good, by address (IP entry)", &C::Good, "127.0.0.1", true, ""},
      {"expired", &C::Expired, "localhost", true,
       "The certificate of localhost has expired or is not yet valid."},
      {"not yet valid", &C::NotYetValid, "localhost", true,
       "The certificate of localhost has expired or is not yet valid."},
      {"other name", &C::WrongName, "localhost", true,
       "The certificate of localhost was issued for another name."},
      {"other name, by address", &C::WrongName, "127.0.0.1", true,
       "The certificate of 127.0.0.1 was issued for another name."},
      {"self-signed", &C::SelfSigned, "localhost", true,
       "The certificate of localhost is not issued by a trusted authority."},
      {"untrusted issuer", &C::UntrustedIssuer, "localhost", true,
       "The certificate of localhost is not issued by a trusted authority."},
      // Without verification every one of them carries the exchange.
      {"other name, unverified", &C::WrongName, "localhost", false, ""},
      {"self-signed, unverified", &C::SelfSigned, "localhost", false, ""},
      {"expired, unverified", &C::Expired, "localhost", false, ""},
  };
  for (const CertCase& k : cases) {
    SCOPED_TRACE(k.Name);
    TIdTCPClient c;
    Connect(c, k.Host, Server(k.Cert).Port());
    c.TLSOptions.VerifyPeer = k.Verify;
    if (*k.Error != '\0') {
      try {
        c.StartTLS(k.Host);
        ADD_FAILURE() << "the handshake succeeded";
      } catch (const EIdTLSError& e) {
        EXPECT_STREQ(e.what(), k.Error);
      }
      EXPECT_FALSE(c.IsConnected());
      EXPECT_FALSE(c.IsTLSActive());
      continue;
    }
    c.StartTLS(k.Host);
    EXPECT_TRUE(c.IsTLSActive());
    c.WriteText("GET /hello.txt HTTP/1.0\r\nHost: localhost\r\n\r\n");
    const std::string all = c.ReadAllText();
    EXPECT_EQ(all.substr(0, 15), "HTTP/1.1 200 OK");
    EXPECT_EQ(all.substr(all.size() - 14), "hello over TLS");
    // nginx ends its stream with close_notify.
    EXPECT_FALSE(c.TLSTruncated());
  }
}

TEST_F(TLSPeer, ServerOfferingOnlyTls10And11IsRefused) {
  // TLS 1.0 and 1.1 need the legacy signatures of security level 0 on the server.
  NginxTlsServer old(testtls::Make().Good, "TLSv1 TLSv1.1", "DEFAULT:@SECLEVEL=0");
  old.Start();
  TIdTCPClient c;
  Connect(c, "localhost", old.Port());
  try {
    c.StartTLS("localhost");
    FAIL() << "the handshake succeeded";
  } catch (const EIdTLSProtocolVersion& e) {
    EXPECT_STREQ(e.what(), "localhost does not offer TLS 1.2 or later.");
  }
  EXPECT_FALSE(c.IsConnected());
}

TEST_F(TLSPeer, ManyRecordsBothWaysInSmallAndLargeReads) {
  // 200 000 bytes span many records; ReadBytes in 1-byte and 7-byte steps
  // must not lose what a record holds beyond the step.
  const std::string body = [] {
    std::string s;
    for (int i = 0; s.size() < 200000; ++i) s += std::to_string(i) + ",";
    return s;
  }();
  auto& web = Server(&testtls::Certificates::Good);
  web.AddFile("big.txt", body);
  TIdTCPClient c;
  Connect(c, "localhost", web.Port());
  c.StartTLS("localhost");
  c.WriteText("GET /big.txt HTTP/1.0\r\nHost: localhost\r\n\r\n");
  for (std::string h = c.ReadLine(); !h.empty(); h = c.ReadLine()) {
  }
  std::string got(1, '\0');
  c.ReadBytes(got.data(), 1);
  std::string seven(7, '\0');
  c.ReadBytes(seven.data(), 7);
  got += seven;
  got += c.ReadAllText();
  EXPECT_EQ(got.size(), body.size());
  EXPECT_TRUE(got == body);
}

TEST_F(TLSPeer, SniCarriesTheHostNameButNeverAnAddress) {
  // The server records the ClientHello and never answers; the handshake
  // times out, and the hello shows what was sent in clear (RFC 6066 section 3).
  for (const char* host : {"localhost", "127.0.0.1"}) {
    SCOPED_TRACE(host);
    ScriptedTcpServer srv(Script().Hold());
    TIdTCPClient c;
    c.Host = host;
    c.Port = srv.Port();
    c.ReadTimeout = kShortMs;
    c.OpenConnection();
    EXPECT_THROW(c.StartTLS(host), EIdSocketError);
    ASSERT_TRUE(srv.WaitForFinished(1));
    const std::string hello = srv.Received(0);
    ASSERT_GE(hello.size(), 6U);
    EXPECT_EQ(hello[0], '\x16');  // a handshake record
    EXPECT_EQ(hello[5], '\x01');  // ClientHello
    EXPECT_EQ(hello.find("localhost") != std::string::npos, std::string(host) == "localhost");
    EXPECT_EQ(hello.find("127.0.0.1"), std::string::npos);
  }
}

// A peer that is not a TLS server: what it does, and the error or time-out
// the handshake must meet within its bound.
struct StallCase {
  const char* Name;
  Script Peer;
  int ReadTimeout;
  int ExchangeTimeout;
  int HandshakeTimeout;
  // Expected: 10060 when Message is empty, else the exact message or, when
  // it ends with ": ", a message starting with it (the library's reason follows).
  const char* Message;
};

TEST_F(TLSPeer, StalledClosedOrGarbagePeerFailsWithinTheBounds) {
  // A TLS 1.2 handshake record header announcing 64 bytes, of which none
  // (or a trickle) come.
  const std::string header("\x16\x03\x03\x00\x40", 5);
  const int none = TimeoutInfinite;
  const StallCase cases[] = {
      {"silent after the ClientHello: ReadTimeout", Script().Hold(), kShortMs, none, none, ""},
      {"silent: the handshake's own bound", Script().Hold(), none, none, kShortMs, ""},
      {"silent: the exchange deadline", Script().Hold(), none, kShortMs, none, ""},
      {"half a record, then silence", Script().Send(header + std::string("\x02\x00", 2)).Hold(),
       kShortMs, none, none, ""},
      {"a record trickled past the exchange deadline",
       Script().Send(header).Trickle(std::string(64, '\x02'), 50ms), kShortMs, 2 * kShortMs, none,
       ""},
      {"a mail greeting instead of a handshake",
       Script().Send("220 mail.example ESMTP ready\r\n").Hold(), kShortMs, none, none,
       "The secure connection to localhost failed: "},
      {"an HTTP answer instead of a handshake",
       Script().Send("HTTP/1.1 400 Bad Request\r\n\r\n").Hold(), kShortMs, none, none,
       "The secure connection to localhost failed: "},
      {"a close after the ClientHello", Script().Pause(50ms).CloseNow(), kShortMs, none, none,
       "The secure connection to localhost failed: the server closed the connection."},
  };
  for (const StallCase& k : cases) {
    SCOPED_TRACE(k.Name);
    ScriptedTcpServer srv(k.Peer);
    TIdTCPClient c;
    c.Host = "localhost";
    c.Port = srv.Port();
    c.ReadTimeout = k.ReadTimeout;
    c.ExchangeTimeout = k.ExchangeTimeout;
    c.OpenConnection();
    const auto start = Clock::now();
    std::string message;
    int code = 0;
    try {
      c.StartTLS("localhost", k.HandshakeTimeout);
      ADD_FAILURE() << "the handshake succeeded";
    } catch (const EIdSocketError& e) {
      code = e.ErrorCode;
    } catch (const EIdTLSError& e) {
      message = e.what();
    }
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2 * kShortMs) + kSlack);
    const std::string want = k.Message;
    if (want.empty()) {
      EXPECT_EQ(code, Id_WSAETIMEDOUT) << message;
      EXPECT_EQ(c.Fault, TIdConnectionFault::TimedOut);
    } else if (want.size() > 2 && want.substr(want.size() - 2) == ": ") {
      EXPECT_EQ(message.substr(0, want.size()), want);
      EXPECT_GT(message.size(), want.size() + 1) << "no reason given";
    } else {
      EXPECT_EQ(message, want);
    }
    EXPECT_FALSE(c.IsConnected());
  }
}

TEST_F(TLSPeer, BytesReceivedBeforeTheHandshakeRefuseIt) {
  // The second line arrives with the first: it came in clear, before TLS, and
  // must not pass as part of the secure stream.
  ScriptedTcpServer srv(Script().Send("220 ready\r\n250 injected\r\n").Hold());
  TIdTCPClient c;
  Connect(c, "localhost", srv.Port());
  EXPECT_EQ(c.ReadLine(), "220 ready");
  ASSERT_GT(c.BufferedByteCount(), 0);
  try {
    c.StartTLS("localhost");
    FAIL() << "the handshake began";
  } catch (const EIdTLSPlaintextBeforeHandshake& e) {
    EXPECT_STREQ(e.what(), "localhost sent data before the secure connection began.");
  }
  EXPECT_FALSE(c.IsConnected());
  // Nothing of a handshake was sent.
  ASSERT_TRUE(srv.WaitForFinished(1));
  EXPECT_EQ(srv.Received(0), "");
}

TEST_F(TLSPeer, CloseSendsCloseNotifyUnlessTheStreamIsAtAnUnknownPoint) {
  // A sound session says goodbye; after a time-out the stream may be in the
  // middle of a record, and the connection just goes.
  for (const bool timedOut : {false, true}) {
    SCOPED_TRACE(timedOut ? "after a time-out" : "after the reply");
    TlsPeerServer peer(testtls::Make().Good, TlsPeerServer::End::Notify, "done\r\n");
    peer.Start();
    TIdTCPClient c;
    Connect(c, "localhost", peer.Port());
    c.StartTLS("localhost");
    if (timedOut) {
      // The server answers only after a blank line, which never comes.
      c.ReadTimeout = kShortMs;
      c.WriteText("no blank line\r\n");
      EXPECT_THROW(c.ReadLine(), EIdSocketError);
    } else {
      // One write of many records (a record holds 16 KiB): the server
      // answers only once all of it has come through whole, up to the blank line.
      c.WriteText("request " + std::string(100000, 'x') + "\r\n\r\n");
      EXPECT_EQ(c.ReadLine(), "done");
    }
    c.CloseConnection();
    EXPECT_EQ(peer.ClientEnds(1), std::vector<std::string>{timedOut ? "cut" : "notify"});
  }
}

TEST(TLSUnavailable, BuildWithoutTlsSaysSo) {
  if (PlatformTLSAvailable()) GTEST_SKIP() << "this build has TLS";
  ScriptedTcpServer srv(Script().Hold());
  TIdTCPClient c;
  c.Host = "127.0.0.1";
  c.Port = srv.Port();
  c.OpenConnection();
  try {
    c.StartTLS("localhost");
    FAIL() << "TLS started";
  } catch (const EIdTLSNotAvailable& e) {
    EXPECT_STREQ(e.what(), "TLS is not available in this build.");
  }
  EXPECT_FALSE(c.IsConnected());
}

}  // namespace
