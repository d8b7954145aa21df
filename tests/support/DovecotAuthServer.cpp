#include "tests/support/DovecotAuthServer.h"

#include "tests/support/HostProcess.h"

namespace {

constexpr const char* kDovecot = "/usr/sbin/dovecot";

}  // namespace

DovecotAuthServer::DovecotAuthServer() : PeerServer("dovecot", Ports::None) {
  AddLogFile("dovecot.log");
}

void DovecotAuthServer::WriteConfig() {
  // Postfix's smtpd runs as the "postfix" user and must reach the socket.
  host::ChangeMode(Dir(), 0755);
  std::string passwd;
  for (const auto& [user, password] : Accounts) {
    passwd += user;
    passwd += ":{PLAIN}";
    passwd += password;
    passwd += "\n";
  }
  WriteFile("passwd", passwd);
  // The auth process runs as Dovecot's own user.
  host::ChangeMode(Path("passwd"), 0644);
  WriteFile("dovecot.conf", "base_dir = " + Path("run") +
                                "\n"
                                "state_dir = " +
                                Path("state") +
                                "\n"
                                // Its processes are told apart from any other instance's.
                                "instance_name = " +
                                Dir().substr(Dir().rfind('/') + 1) +
                                "\n"
                                "protocols =\n"
                                "log_path = " +
                                Path("dovecot.log") +
                                "\n"
                                "ssl = no\n"
                                // The mail server beside it has checked TLS before it asks.
                                "disable_plaintext_auth = no\n"
                                "auth_mechanisms = plain login\n"
                                // A wrong password is answered at once, not after 2 s.
                                "auth_failure_delay = 0\n"
                                "passdb {\n"
                                "  driver = passwd-file\n"
                                "  args = scheme=PLAIN " +
                                Path("passwd") +
                                "\n"
                                "}\n"
                                "userdb {\n"
                                "  driver = static\n"
                                "  args = uid=nobody gid=nogroup home=" +
                                Dir() +
                                "\n"
                                "}\n"
                                "service auth {\n"
                                "  unix_listener auth-client {\n"
                                "    mode = 0666\n"
                                "  }\n"
                                "}\n");
}

std::vector<std::string> DovecotAuthServer::Command() const {
  // -F: stay in the foreground, so the harness owns the master process.
  return {kDovecot, "-F", "-c", Path("dovecot.conf")};
}

bool DovecotAuthServer::IsReady() {
  return ReadFile("dovecot.log").find("starting up") != std::string::npos;
}
