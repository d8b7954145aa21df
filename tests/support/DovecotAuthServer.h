#pragma once
// A login service for a mail server: Dovecot (Debian's dovecot-core) run as a
// private instance from its own configuration, base_dir and state_dir under
// Dir(), serving no mail protocol at all, only its SASL authentication on the
// unix socket ClientSocket(), checked against a password file of the accounts
// given. Postfix asks it (smtpd_sasl_type = dovecot) to check AUTH PLAIN and
// LOGIN.
//
// Dovecot's master needs root (it drops to its own "dovecot" user); a test
// should skip when PostfixServer::RunsAsRoot() is false.
#include <string>
#include <utility>
#include <vector>

#include "tests/support/PeerServer.h"

class DovecotAuthServer : public PeerServer {
 public:
  DovecotAuthServer();

  // The accounts (user name, password in clear) the service knows. Set
  // before Start().
  std::vector<std::pair<std::string, std::string>> Accounts;

  // The socket a client of the authentication protocol connects to.
  std::string ClientSocket() const { return Path("run/auth-client"); }

 protected:
  void WriteConfig() override;
  std::vector<std::string> Command() const override;
  // Ready when the master says it has started: its listening sockets exist
  // by then, and the auth process is started on the first connection.
  bool IsReady() override;
};
