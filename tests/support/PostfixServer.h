#pragma once
// A production mail server on a free loopback port: Postfix run from a private
// configuration directory (main.cf, master.cf, queue, data and mailbox all
// under Dir()). It accepts mail for one domain (kDomain, any local part) and
// delivers it with its virtual(8) agent into the mbox file Dir()/mail/inbox;
// everything else is refused at RCPT, and its transports for other
// destinations are the error transport, so it relays nowhere.
//
// Postfix needs root (it drops to its own "postfix" user); a test should skip
// when RunsAsRoot() is false.
//
//   PostfixServer mx;
//   mx.Start();
//   ... send mail for "ann@corvale.test" to 127.0.0.1:mx.Port() ...
//   std::string mbox = mx.WaitForDelivery(1);
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/DovecotAuthServer.h"
#include "tests/support/PeerServer.h"
#include "tests/support/TestCertificates.h"

class PostfixServer : public PeerServer {
 public:
  PostfixServer();

  // The domain the server delivers for.
  static constexpr const char* kDomain = "corvale.test";
  // The name it gives itself in its greeting.
  static constexpr const char* kHostName = "mx.corvale.test";

  static bool RunsAsRoot();

  // When set before Start(), the server offers STARTTLS with this certificate
  // to every client without requiring it (smtpd_tls_security_level = may)
  // and logs each TLS session it establishes.
  testtls::KeyPair Certificate;

  // A submission server (RFC 6409) for one account, set before Start()
  // together with Certificate: Port() offers STARTTLS and, only after it,
  // AUTH PLAIN and LOGIN (smtpd_tls_auth_only); ImplicitTlsPort() is the same
  // server with TLS from the first byte (smtpd_tls_wrappermode, RFC 8314).
  // The login is checked by a private Dovecot (DovecotAuthServer) started
  // with the server. Mail is taken only after the login
  // (permit_sasl_authenticated) and only from the account's own address
  // (reject_sender_login_mismatch), as providers do.
  struct Account {
    std::string User;  // an address of kDomain
    std::string Password;
  };
  Account Submission;
  bool IsSubmission() const { return !Submission.User.empty(); }
  // The implicit-TLS port of a submission server (0 otherwise).
  uint16_t ImplicitTlsPort() const { return ImplicitTlsPort_; }

  // The mailbox file as it is now (mbox format; empty when nothing arrived).
  std::string Mailbox() const { return ReadFile("mail/inbox"); }
  // The messages of the mailbox, each without its "From " separator line and
  // with the lines ">From " unquoted back to "From "; line ends are LF.
  std::vector<std::string> Messages() const;
  // Waits up to kDeliveryWait until count messages are in the mailbox; returns
  // what is there then.
  std::vector<std::string> WaitForDelivery(size_t count) const;

  // Bound on waiting for the queue manager to deliver an accepted message.
  static constexpr std::chrono::milliseconds kDeliveryWait{15000};

 protected:
  void WriteConfig() override;
  std::vector<std::string> Command() const override;

 private:
  // The submission server's settings of main.cf.
  std::string SubmissionConfig();
  std::unique_ptr<DovecotAuthServer> Auth_;
  uint16_t ImplicitTlsPort_ = 0;
};
