#pragma once
// An SMTP sink on a free loopback port: Debian's aiosmtpd (under
// /usr/bin/python3) driven by tests/support/smtp_sink.py, which accepts every
// message and records each one (envelope and data bytes) and the whole SMTP
// transcript into the server's directory.
//
//   AiosmtpdServer smtp;
//   smtp.Start();
//   ... send mail to 127.0.0.1:smtp.Port() ...
//   auto msgs = smtp.WaitForMessages(1);
//   EXPECT_EQ(msgs[0].MailFrom, "me@example.org");
#include <string>
#include <vector>

#include "tests/support/PeerServer.h"
#include "tests/support/TestCertificates.h"

class AiosmtpdServer : public PeerServer {
 public:
  // One accepted message. The sink answers "250" to the end of data only after
  // these are on disk, so a client that saw its 250 can read them at once.
  struct Message {
    std::string Helo;                      // name given in HELO/EHLO
    std::string MailFrom;                  // reverse path without <>
    std::vector<std::string> MailOptions;  // MAIL FROM parameters ("SIZE=30")
    std::vector<std::string> RcptTo;       // accepted recipients, in order
    std::string Data;  // bytes after DATA, dot-stuffing removed, up to (not incl.) "."
    bool Tls = false;  // whether the message came over TLS
  };
  // How the sink offers TLS: not at all, STARTTLS (RFC 3207) or from the
  // first byte (RFC 8314).
  enum class TlsMode { None, StartTls, Implicit };

  AiosmtpdServer();

  // RCPT TO for these addresses (case-insensitive) is answered
  // "550 5.1.1 <addr>: Recipient address rejected". Set before Start().
  std::vector<std::string> RejectRecipients;
  // TLS with this certificate (testtls::Make()). Set before Start().
  TlsMode Tls = TlsMode::None;
  testtls::KeyPair Certificate;
  // An EHLO keyword line ("AUTH CRAM-MD5") announced only before STARTTLS.
  // Set before Start().
  std::string PlainOnlyExtension;

  std::vector<Message> Messages() const;
  // Waits up to kMessageWait for at least count messages; returns what is there.
  std::vector<Message> WaitForMessages(size_t count) const;
  // The session as seen by the server: "== connection N", then "C: " lines
  // (client bytes) and "S: " lines (replies) in order, line ends removed;
  // "== tls" where a STARTTLS handshake completed.
  std::string Transcript() const { return ReadFile("mail/transcript.log"); }

  // Bound on waiting for a message a client is still sending.
  static constexpr std::chrono::milliseconds kMessageWait{5000};

 protected:
  void WriteConfig() override;
  std::vector<std::string> Command() const override;
  std::vector<std::string> Environment() const override;
  // Ready when the sink says it listens: a probe connection would show up as
  // a session of its own in the transcript.
  bool IsReady() override;
};
