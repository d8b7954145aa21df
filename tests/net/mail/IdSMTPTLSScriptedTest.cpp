// The SMTP client's STARTTLS (RFC 3207) against scripted servers: what real
// servers do not do on demand (bytes after the 220, a broken or stalled
// handshake, a refused STARTTLS). The tests that reach the TLS layer skip
// where the build has no TLS.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "net/mail/IdSMTP.h"
#include "net/transport/IdTLS.h"
#include "tests/support/ScriptedTcpServer.h"

namespace {

using Script = ScriptedTcpServer::Script;
using Clock = std::chrono::steady_clock;

// Bounds for the client: a script that stops answering fails the test fast.
constexpr int kTestTimeoutMs = 5000;
// The read time-out of the stall test, and the most the whole failed session
// may take with it (the connect, the greeting, one silent wait, the close).
constexpr int kStallReadTimeoutMs = 300;
constexpr auto kStallBound = std::chrono::milliseconds(2000);
// A TLS record header (RFC 8446 section 5.1): the ClientHello has begun.
constexpr size_t kRecordHeader = 5;
// The socket error of a bound that struck.
constexpr int kTimedOut = 10060;

void Configure(TIdSMTP& C, const ScriptedTcpServer& S, TIdSMTPUseTLS AMode) {
  C.Host = "127.0.0.1";
  C.Port = S.Port();
  C.ConnectTimeout = kTestTimeoutMs;
  C.ReadTimeout = kTestTimeoutMs;
  C.UseTLS = AMode;
}

// Greeting and an EHLO reply that announces STARTTLS, up to the STARTTLS
// command itself.
Script UpToStartTls() {
  return Script()
      .Send("220 hi\r\n")
      .ReadLine()
      .Send("250-hi\r\n250-AUTH LOGIN\r\n250 STARTTLS\r\n")
      .ExpectLine("STARTTLS");
}

// Why a test that needs a handshake does not run (GTEST_SKIP ends only the
// function it is written in, so each test says it itself).
constexpr const char* kNoTLS = "this build has no TLS";

// Anything after the 220 and before the handshake came in clear and would be
// taken as the server's first secure reply (CVE-2011-0411): the session is
// refused, no handshake byte and no further command goes out, and it is
// not a failed handshake (no plain retry may follow).
TEST(IdSMTPTLSScripted, BytesAfterTheReadyReplyRefuseTheSession) {
  if (!PlatformTLSAvailable()) GTEST_SKIP() << kNoTLS;
  const std::string injected[] = {
      "RSET\r\n",                      // a command
      "250-hi\r\n250 AUTH LOGIN\r\n",  // a forged EHLO reply
      "\x16",                          // one byte that starts a TLS record
      "\r\n",                          // a blank line
  };
  for (TIdSMTPUseTLS mode : {TIdSMTPUseTLS::Opportunistic, TIdSMTPUseTLS::Required}) {
    for (const std::string& bytes : injected) {
      SCOPED_TRACE(bytes);
      // The 220 and the injected bytes go out in one write: one packet.
      ScriptedTcpServer srv(UpToStartTls().Send("220 go ahead\r\n" + bytes).ReadToEnd());
      TIdSMTP smtp;
      Configure(smtp, srv, mode);
      EXPECT_THROW(smtp.OpenSession(), EIdTLSPlaintextBeforeHandshake);
      EXPECT_FALSE(smtp.TLSHandshakeFailed);
      EXPECT_FALSE(smtp.IsConnected());
      ASSERT_TRUE(srv.WaitForFinished(1));
      EXPECT_EQ(srv.Received(0), "ehlo " + smtp.LocalName() + "\r\nSTARTTLS\r\n");
    }
  }
}

// A handshake that fails is told apart from every other failure, so that
// opportunistic TLS can try once more in plain text.
TEST(IdSMTPTLSScripted, AFailedHandshakeIsReported) {
  if (!PlatformTLSAvailable()) GTEST_SKIP() << kNoTLS;
  struct Case {
    const char* Name;
    Script Peer;
  } cases[] = {
      {"a plain-text answer to the ClientHello", UpToStartTls()
                                                     .Send("220 go ahead\r\n")
                                                     .ReadBytes(kRecordHeader)
                                                     .Send("500 5.5.1 what is this\r\n")
                                                     .CloseNow()},
      // A fatal handshake_failure alert (RFC 8446 sections 5.1 and 6): type
      // 21, version 3.3, length 2, level 2 (fatal), description 40.
      {"an alert in answer to the ClientHello",
       UpToStartTls()
           .Send("220 go ahead\r\n")
           .ReadBytes(kRecordHeader)
           .Send(std::string("\x15\x03\x03\x00\x02\x02\x28", 7))
           .CloseNow()},
  };
  for (Case& k : cases) {
    SCOPED_TRACE(k.Name);
    ScriptedTcpServer srv(k.Peer);
    TIdSMTP smtp;
    Configure(smtp, srv, TIdSMTPUseTLS::Opportunistic);
    EXPECT_THROW(smtp.OpenSession(), EIdTLSError);
    EXPECT_TRUE(smtp.TLSHandshakeFailed);
    EXPECT_FALSE(smtp.IsConnected());
    EXPECT_FALSE(smtp.IsTLSActive());
  }
}

// A server that stops in the middle of the handshake meets the read
// time-out; that is a silent peer, not a failed handshake.
TEST(IdSMTPTLSScripted, AStallInTheHandshakeIsBounded) {
  if (!PlatformTLSAvailable()) GTEST_SKIP() << kNoTLS;
  ScriptedTcpServer srv(UpToStartTls().Send("220 go ahead\r\n").ReadBytes(kRecordHeader).Hold());
  TIdSMTP smtp;
  Configure(smtp, srv, TIdSMTPUseTLS::Opportunistic);
  smtp.ReadTimeout = kStallReadTimeoutMs;
  const auto start = Clock::now();
  try {
    smtp.OpenSession();
    ADD_FAILURE() << "the session opened";
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.ErrorCode, kTimedOut);
  }
  EXPECT_LT(Clock::now() - start, kStallBound);
  EXPECT_FALSE(smtp.TLSHandshakeFailed);
  EXPECT_FALSE(smtp.IsConnected());
}

// Opportunistic TLS carries on in plain text on the same session when the
// server refuses STARTTLS (RFC 3207 section 4: 454); Required does not.
TEST(IdSMTPTLSScripted, ARefusedStartTls) {
  if (!PlatformTLSAvailable()) GTEST_SKIP() << kNoTLS;
  {
    ScriptedTcpServer srv(
        UpToStartTls().Send("454 4.7.0 TLS not available\r\n").ExpectLine("Quit").CloseNow());
    TIdSMTP smtp;
    Configure(smtp, srv, TIdSMTPUseTLS::Opportunistic);
    smtp.OpenSession();
    EXPECT_FALSE(smtp.IsTLSActive());
    // What the plain EHLO announced still holds.
    EXPECT_EQ(smtp.AuthSchemes.Lines, std::vector<std::string>{"LOGIN"});
    smtp.CloseSession();
    EXPECT_TRUE(srv.WaitForFinished(1));
  }
  {
    ScriptedTcpServer srv(
        UpToStartTls().Send("454 4.7.0 TLS not available\r\n").ExpectLine("Quit").CloseNow());
    TIdSMTP smtp;
    Configure(smtp, srv, TIdSMTPUseTLS::Required);
    EXPECT_THROW(smtp.OpenSession(), EIdProtocolReplyError);
    EXPECT_FALSE(smtp.TLSHandshakeFailed);
    EXPECT_TRUE(srv.WaitForFinished(1));
  }
}

// None (the default) never sends STARTTLS, whatever the server announces: the
// plain session of today.
TEST(IdSMTPTLSScripted, NoneIgnoresTheAnnouncement) {
  ScriptedTcpServer srv(Script()
                            .Send("220 hi\r\n")
                            .ReadLine()
                            .Send("250-hi\r\n250 STARTTLS\r\n")
                            .ExpectLine("Quit")
                            .CloseNow());
  TIdSMTP smtp;
  EXPECT_EQ(smtp.UseTLS, TIdSMTPUseTLS::None);
  Configure(smtp, srv, TIdSMTPUseTLS::None);
  smtp.OpenSession();
  EXPECT_FALSE(smtp.IsTLSActive());
  smtp.CloseSession();
  ASSERT_TRUE(srv.WaitForFinished(1));
  EXPECT_EQ(srv.Received(0), "ehlo " + smtp.LocalName() + "\r\nQuit\r\n");
}

}  // namespace
