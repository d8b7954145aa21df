// The SMTP client's TLS against aiosmtpd on loopback: STARTTLS (RFC 3207) in
// each mode and implicit TLS (RFC 8314), with the test authority's
// certificates; the same tests run on Windows over the system's TLS.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "net/mail/IdSMTP.h"
#include "net/transport/IdTLS.h"
#include "tests/support/AiosmtpdServer.h"
#include "tests/support/TestCertificates.h"

namespace {

// Bounds for the client: a broken server fails a test in seconds.
constexpr int kTestTimeoutMs = 10000;

using Mode = TIdSMTPUseTLS;
using SinkTls = AiosmtpdServer::TlsMode;

class IdSMTPTLSPeer : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!PlatformTLSAvailable()) GTEST_SKIP() << "this build has no TLS";
    testtls::TrustTestAuthority();
  }
};

void Configure(TIdSMTP& C, const AiosmtpdServer& S, Mode AMode) {
  C.Host = "127.0.0.1";
  C.Port = S.Port();
  C.ConnectTimeout = kTestTimeoutMs;
  C.ReadTimeout = kTestTimeoutMs;
  C.UseTLS = AMode;
}

void FillMessage(TIdMessage& M) {
  M.Clear();
  M.Subject = "Your IP Address is 203.0.113.7";
  M.From.Address = "ann@example.test";
  M.Recipients.Add();
  M.Recipients[0].Address = "ann@example.test";
  M.Body.Add("New IP: 203.0.113.7");
}

// The transcript's lines from the client and the TLS marks, in order, once
// the client's "Quit" is in it (the server notes it after the client left).
std::vector<std::string> Session(const AiosmtpdServer& S) {
  const auto deadline = std::chrono::steady_clock::now() + AiosmtpdServer::kMessageWait;
  std::string t = S.Transcript();
  while (t.find("C: Quit") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    t = S.Transcript();
  }
  std::vector<std::string> out;
  std::istringstream in(t);
  std::string line;
  while (std::getline(in, line))
    if (line.starts_with("C: ") || line == "== tls") out.push_back(line);
  return out;
}

// Every mode that encrypts delivers over TLS, with the commands of a plain
// session and the STARTTLS exchange (RFC 3207: EHLO again after the
// handshake) or none at all (implicit TLS, RFC 8314).
TEST_F(IdSMTPTLSPeer, EveryTLSModeDeliversEncrypted) {
  const testtls::Certificates& certs = testtls::Make();
  struct Case {
    Mode Client;
    SinkTls Server;
    testtls::KeyPair Cert;
    bool StartTls;
    // Lines added to the body: 1000 make about 50 KB, more than three
    // records of 16 KiB, each of which must arrive whole and in order.
    int PadLines;
  } cases[] = {
      // Opportunistic takes a certificate nobody vouches for (RFC 7435).
      {Mode::Opportunistic, SinkTls::StartTls, certs.SelfSigned, true, 0},
      {Mode::Opportunistic, SinkTls::StartTls, certs.Good, true, 0},
      {Mode::Required, SinkTls::StartTls, certs.Good, true, 1000},
      {Mode::Implicit, SinkTls::Implicit, certs.Good, false, 0},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(static_cast<int>(k.Client));
    AiosmtpdServer sink;
    sink.Tls = k.Server;
    sink.Certificate = k.Cert;
    sink.Start();
    TIdSMTP smtp;
    Configure(smtp, sink, k.Client);
    TIdMessage msg;
    FillMessage(msg);
    const auto pad = [](int i) { return "line " + std::to_string(i) + " of a long body"; };
    for (int i = 0; i < k.PadLines; ++i) msg.Body.Add(pad(i));
    smtp.OpenSession();
    EXPECT_TRUE(smtp.IsTLSActive());
    smtp.DeliverMessage(msg);
    smtp.CloseSession();
    const auto messages = sink.WaitForMessages(1);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(messages[0].Tls);
    EXPECT_EQ(messages[0].Helo, smtp.LocalName());
    size_t at = 0;
    for (int i = 0; i < k.PadLines && at != std::string::npos; ++i)
      at = messages[0].Data.find(pad(i) + "\r\n", at);
    EXPECT_NE(at, std::string::npos) << "a line of the body is missing or out of order";
    const std::string ehlo = "C: ehlo " + smtp.LocalName();
    std::vector<std::string> expected = {ehlo};
    if (k.StartTls) expected = {ehlo, "C: STARTTLS", "== tls", ehlo};
    for (const char* c :
         {"C: Rset", "C: Mail from:<ann@example.test>", "C: RCPT to:<ann@example.test>", "C: Data"})
      expected.emplace_back(c);
    const std::vector<std::string> got = Session(sink);
    ASSERT_GE(got.size(), expected.size()) << sink.Transcript();
    EXPECT_EQ(std::vector<std::string>(got.begin(), got.begin() + expected.size()), expected);
    EXPECT_EQ(got.back(), "C: Quit");
    EXPECT_EQ(got[got.size() - 2], "C: .");
  }
}

// What the EHLO in clear announced is forgotten once TLS is up (RFC 3207
// section 4.2): the sink announces "AUTH CRAM-MD5" only before STARTTLS and
// its own "AUTH LOGIN PLAIN" only after it, so the mechanisms known in the
// secure session are exactly the second EHLO's.
TEST_F(IdSMTPTLSPeer, WhatTheEhloInClearAnnouncedIsForgottenAfterTheHandshake) {
  AiosmtpdServer sink;
  sink.Tls = SinkTls::StartTls;
  sink.Certificate = testtls::Make().Good;
  sink.PlainOnlyExtension = "AUTH CRAM-MD5";
  sink.Start();
  TIdSMTP smtp;
  Configure(smtp, sink, Mode::Required);
  smtp.OpenSession();
  EXPECT_TRUE(smtp.IsTLSActive());
  EXPECT_EQ(smtp.AuthSchemes.Lines, (std::vector<std::string>{"LOGIN", "PLAIN"}));
  smtp.CloseSession();
  // The sink did announce the mechanism in clear.
  EXPECT_NE(sink.Transcript().find("S: 250-AUTH CRAM-MD5"), std::string::npos) << sink.Transcript();
}

// Opportunistic TLS with a server that does not announce STARTTLS is the
// plain session of today; Required refuses it before any mail command.
TEST_F(IdSMTPTLSPeer, NoStartTlsAnnounced) {
  for (Mode m : {Mode::Opportunistic, Mode::Required}) {
    AiosmtpdServer sink;
    sink.Start();
    TIdSMTP smtp;
    Configure(smtp, sink, m);
    TIdMessage msg;
    FillMessage(msg);
    if (m == Mode::Required) {
      EXPECT_THROW(smtp.OpenSession(), EIdSMTPTLSNotOffered);
      EXPECT_FALSE(smtp.IsConnected());
      EXPECT_FALSE(smtp.TLSHandshakeFailed);
      EXPECT_EQ(Session(sink),
                (std::vector<std::string>{"C: ehlo " + smtp.LocalName(), "C: Quit"}));
      continue;
    }
    smtp.OpenSession();
    EXPECT_FALSE(smtp.IsTLSActive());
    smtp.DeliverMessage(msg);
    smtp.CloseSession();
    const auto messages = sink.WaitForMessages(1);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_FALSE(messages[0].Tls);
    const std::vector<std::string> got = Session(sink);
    ASSERT_GE(got.size(), 2u);
    EXPECT_EQ(got[1], "C: Rset");
  }
}

// Required and implicit TLS judge the certificate: one nobody vouches for
// fails the handshake, and no mail command is sent.
TEST_F(IdSMTPTLSPeer, VerifiedModesRefuseAnUntrustedCertificate) {
  for (Mode m : {Mode::Required, Mode::Implicit}) {
    SCOPED_TRACE(static_cast<int>(m));
    AiosmtpdServer sink;
    sink.Tls = m == Mode::Required ? SinkTls::StartTls : SinkTls::Implicit;
    sink.Certificate = testtls::Make().SelfSigned;
    sink.Start();
    TIdSMTP smtp;
    Configure(smtp, sink, m);
    EXPECT_THROW(smtp.OpenSession(), EIdTLSCertificateNotTrusted);
    EXPECT_TRUE(smtp.TLSHandshakeFailed);
    EXPECT_FALSE(smtp.IsConnected());
    // Verification is restored for the next session after the refusal.
    EXPECT_TRUE(smtp.TLSOptions.VerifyPeer);
    EXPECT_TRUE(sink.Messages().empty());
    EXPECT_EQ(sink.Transcript().find("C: Rset"), std::string::npos) << sink.Transcript();
  }
}

}  // namespace
