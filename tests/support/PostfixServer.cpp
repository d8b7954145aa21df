#include "tests/support/PostfixServer.h"

#include <filesystem>
#include <thread>

#include "tests/support/HostProcess.h"

namespace {

constexpr const char* kPostfix = "/usr/sbin/postfix";
constexpr const char* kMaster = "/usr/lib/postfix/sbin/master";
// Postfix's own account (Debian's package makes it); its daemons and the
// mailbox run as this user.
constexpr const char* kMailOwner = "postfix";

}  // namespace

PostfixServer::PostfixServer() : PeerServer("postfix", Ports::Tcp) {
  AddLogFile("postfix.log");
}

bool PostfixServer::RunsAsRoot() {
  return host::EffectiveUid() == 0;
}

void PostfixServer::WriteConfig() {
  const std::optional<host::Account> pw = host::FindAccount(kMailOwner);
  if (!pw) throw PeerServerError("postfix: the user \"postfix\" does not exist");
  // The daemons run as the mail owner and must reach the queue below Dir().
  host::ChangeMode(Dir(), 0755);
  for (const char* d : {"queue", "data", "mail"}) std::filesystem::create_directories(Path(d));
  if (!host::ChangeOwner(Path("data"), *pw) || !host::ChangeOwner(Path("mail"), *pw))
    throw PeerServerError("postfix: cannot hand the data and mail folders to postfix");

  const std::string uid = std::to_string(pw->Uid);
  const std::string gid = std::to_string(pw->Gid);
  WriteFile(
      "main.cf",
      "compatibility_level = 3.6\n"
      "config_directory = " +
          Dir() +
          "\n"
          "queue_directory = " +
          Path("queue") +
          "\n"
          "data_directory = " +
          Path("data") +
          "\n"
          "maillog_file = " +
          Path("postfix.log") +
          "\n"
          "maillog_file_prefixes = " +
          Dir() +
          "\n"
          "mail_owner = " +
          kMailOwner +
          "\n"
          "setgid_group = postdrop\n"
          "myhostname = " +
          kHostName +
          "\n"
          "mydomain = " +
          kDomain +
          "\n"
          "myorigin = " +
          kDomain +
          "\n"
          // Nothing is delivered locally; the one domain goes to the
          // virtual mailbox, every other destination to the error transport.
          "mydestination =\n"
          "local_transport = error:no local delivery here\n"
          "default_transport = error:this server relays nowhere\n"
          "relay_transport = error:this server relays nowhere\n"
          "relayhost =\n"
          "alias_maps =\n"
          "alias_database =\n"
          "local_recipient_maps =\n"
          "virtual_mailbox_domains = " +
          kDomain +
          "\n"
          "virtual_mailbox_base = " +
          Path("mail") +
          "\n"
          "virtual_mailbox_maps = static:inbox\n"
          "virtual_uid_maps = static:" +
          uid +
          "\n"
          "virtual_gid_maps = static:" +
          gid +
          "\n"
          "virtual_minimum_uid = 1\n"
          "inet_interfaces = 127.0.0.1\n"
          "inet_protocols = ipv4\n"
          "mynetworks = 127.0.0.0/8\n" +
          // Only the one domain is accepted, whoever the client is (a
          // submission server has its own rule below).
          std::string(IsSubmission() ? ""
                                     : "smtpd_relay_restrictions = reject_unauth_destination\n") +
          "smtpd_peername_lookup = no\n"
          "smtputf8_enable = no\n"
          "biff = no\n"
          "disable_dns_lookups = yes\n"
          "smtp_dns_support_level = disabled\n" +
          SubmissionConfig() +
          (Certificate.Cert.empty() ? std::string()
                                    : "smtpd_tls_security_level = may\n"
                                      "smtpd_tls_cert_file = " +
                                          Certificate.Cert +
                                          "\n"
                                          "smtpd_tls_key_file = " +
                                          Certificate.Key +
                                          "\n"
                                          // One line per TLS session established.
                                          "smtpd_tls_loglevel = 1\n"));
  // No chroot: the daemons find everything under Dir().
  WriteFile("master.cf",
            "127.0.0.1:" + std::to_string(Port()) + " inet n - n - - smtpd\n" +
                (IsSubmission() ? "127.0.0.1:" + std::to_string(ImplicitTlsPort_) +
                                      " inet n - n - - smtpd -o smtpd_tls_wrappermode=yes\n"
                                : std::string()) +
                "pickup    unix  n - n 60 1 pickup\n"
                "cleanup   unix  n - n - 0 cleanup\n"
                "qmgr      unix  n - n 300 1 qmgr\n"
                "rewrite   unix  - - n - - trivial-rewrite\n"
                "bounce    unix  - - n - 0 bounce\n"
                "defer     unix  - - n - 0 bounce\n"
                "trace     unix  - - n - 0 bounce\n"
                "verify    unix  - - n - 1 verify\n"
                "flush     unix  n - n 1000? 0 flush\n"
                "proxymap  unix  - - n - - proxymap\n"
                "showq     unix  n - n - - showq\n"
                "error     unix  - - n - - error\n"
                "retry     unix  - - n - - error\n"
                "discard   unix  - - n - - discard\n"
                "virtual   unix  - n n - - virtual\n"
                "anvil     unix  - - n - 1 anvil\n"
                "scache    unix  - - n - 1 scache\n"
                "postlog   unix-dgram n - n - 1 postlogd\n" +
                // TLS sessions' cache and random seed.
                (Certificate.Cert.empty() ? std::string()
                                          : std::string("tlsmgr    unix  - - n 1000? 1 tlsmgr\n")));
  // "postfix check" makes the queue folders with their owners and modes.
  const host::RunResult check = host::Run({kPostfix, "-c", Dir(), "check"}, "");
  if (!host::ExitedCleanly(check.Status))
    throw PeerServerError("postfix: \"postfix check\" failed:\n" + check.Output +
                          ReadFile("postfix.log"));
}

std::string PostfixServer::SubmissionConfig() {
  if (!IsSubmission()) return "";
  if (Certificate.Cert.empty())
    throw PeerServerError("postfix: a submission server needs a Certificate");
  if (!Auth_) {
    Auth_ = std::make_unique<DovecotAuthServer>();
    Auth_->Accounts = {{Submission.User, Submission.Password}};
    Auth_->Start();
  }
  // A second free port for the implicit-TLS listener, picked again with
  // every start attempt like Port().
  ImplicitTlsPort_ = FreeTcpPort();
  // STARTTLS stays offered, not required (smtpd_tls_security_level = may),
  // so that a client can be seen to get no AUTH before it.
  return "smtpd_sasl_auth_enable = yes\n"
         "smtpd_sasl_type = dovecot\n"
         "smtpd_sasl_path = " +
         Auth_->ClientSocket() +
         "\n"
         // AUTH only inside TLS (RFC 4954 section 4: no password in clear).
         "smtpd_tls_auth_only = yes\n"
         "smtpd_relay_restrictions = permit_sasl_authenticated, reject\n"
         "smtpd_sender_login_maps = inline:{ " +
         Submission.User + "=" + Submission.User +
         " }\n"
         "smtpd_sender_restrictions = reject_sender_login_mismatch\n";
}

std::vector<std::string> PostfixServer::Command() const {
  // -d: stay in the foreground, so the harness owns the master process.
  return {kMaster, "-c", Dir(), "-d"};
}

std::vector<std::string> PostfixServer::Messages() const {
  std::vector<std::string> out;
  std::string box = Mailbox();
  size_t p = 0;
  while (p < box.size()) {
    size_t next = box.find("\nFrom ", p);
    size_t end = next == std::string::npos ? box.size() : next + 1;
    std::string msg = box.substr(p, end - p);
    msg.erase(0, msg.find('\n') + 1);  // the "From " separator line
    // mbox quoting (">From " for "From ") undone; the blank line that
    // separates messages dropped.
    for (size_t q = 0; (q = msg.find("\n>From ", q)) != std::string::npos;) msg.erase(q + 1, 1);
    if (msg.ends_with("\n\n")) msg.pop_back();
    out.push_back(msg);
    p = end;
  }
  return out;
}

std::vector<std::string> PostfixServer::WaitForDelivery(size_t count) const {
  const auto deadline = std::chrono::steady_clock::now() + kDeliveryWait;
  for (;;) {
    auto m = Messages();
    if (m.size() >= count || std::chrono::steady_clock::now() >= deadline) return m;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}
