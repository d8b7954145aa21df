#pragma once
// The recording aiosmtpd sink (see AiosmtpdServer) with server behaviours an
// SMTP client has to cope with, run by tests/support/smtp_variants.py: EHLO
// refused with 500, AUTH LOGIN with one account, 251 answers to RCPT. Set the
// fields before Start(); messages and transcript read as for AiosmtpdServer
// (an authenticated session adds "auth <login>" to the message's record).
#include <string>
#include <vector>

#include "tests/support/AiosmtpdServer.h"

class SmtpVariantServer : public AiosmtpdServer {
 public:
  // EHLO is answered "500 5.5.1 Command unrecognized: EHLO".
  bool RefuseEhlo = false;
  // When not empty, AUTH LOGIN (and PLAIN) are announced and these
  // credentials accepted.
  std::string AuthUser;
  std::string AuthPassword;
  // RCPT TO for these addresses is answered "251 2.1.5 User not local; will
  // forward".
  std::vector<std::string> Forward251;

 protected:
  std::vector<std::string> Command() const override;
};
