#pragma once
// SMTP client (RFC 821, EHLO of RFC 1869, the LOGIN authentication exchange,
// AUTH PLAIN of RFC 4954 and RFC 4616, STARTTLS of RFC 3207, implicit TLS of
// RFC 8314, opportunistic TLS of RFC 7435): hands one composed message to one
// mail host.
#include <string>
#include <string_view>

#include "net/mail/IdMessage.h"
#include "net/mail/IdMessageClient.h"
#include "platform/StringList.h"

// atLogin and atPlain run their exchange when the server announces it and
// skip it otherwise. atAuto is the login to a submission server (RFC 6409):
// PLAIN when announced, else LOGIN, and a server announcing neither fails the
// transaction, since a mail sent without the login would be refused.
enum TAuthenticationType { atNone, atLogin, atPlain, atAuto };

namespace smtp {
// The well-known SMTP port (RFC 821).
constexpr int kDefaultPort = 25;
// The port of message submission over implicit TLS (RFC 8314 section 7.3).
constexpr int kImplicitTLSPort = 465;
}  // namespace smtp

// Whether and how a session is encrypted.
enum class TIdSMTPUseTLS {
  // Plain text throughout.
  None,
  // STARTTLS (RFC 3207) when the server announces it and the build has TLS,
  // with any certificate (RFC 7435): encrypted, the peer not authenticated;
  // plain text when it is not announced or is refused.
  Opportunistic,
  // STARTTLS must be announced and accepted, the certificate judged by
  // TLSOptions.
  Required,
  // TLS from the first byte (RFC 8314 section 3), the certificate judged by
  // TLSOptions.
  Implicit
};

// UseTLS is Required and the server's EHLO reply does not announce STARTTLS.
class EIdSMTPTLSNotOffered : public EIdException {
 public:
  explicit EIdSMTPTLSNotOffered(const std::string& AHost)
      : EIdException(AHost + " does not offer STARTTLS.") {}
};

// AuthenticationType is atAuto and the server announces neither PLAIN nor
// LOGIN (none at all, or only mechanisms this client does not speak).
class EIdSMTPAuthNotOffered : public EIdException {
 public:
  explicit EIdSMTPAuthNotOffered(const std::string& AHost, const std::string& AAnnounced)
      : EIdException(AHost + " offers no login this program can use (PLAIN or LOGIN)" +
                     (AAnnounced.empty() ? std::string(": it announces none.")
                                         : "; it announces " + AAnnounced + ".")) {}
};

// atPlain or atAuto would send the password on a session without TLS and
// PlainTextAuth does not allow it.
class EIdSMTPAuthNeedsTLS : public EIdException {
 public:
  explicit EIdSMTPAuthNeedsTLS(const std::string& AHost)
      : EIdException("The password for " + AHost +
                     " is sent only over TLS, and this session is not encrypted.") {}
};

class TIdSMTP : public TIdMessageClient {
 public:
  explicit TIdSMTP(TComponent* AOwner = nullptr);

  // Copies AuthenticationType, Host, MailAgent, Password, Port and UserId.
  void Assign(const TIdSMTP& ASource);

  // Connects to Host:Port, reads the 220 greeting and says EHLO (HELO when
  // EHLO is not answered with 250), noting the announced AUTH mechanisms. On
  // any failure closes the session and raises the failure. Raises EIdException
  // before connecting when the local host name holds CR, LF or NUL.
  // With UseTLS Implicit the TLS handshake comes first, right after the
  // connect. With Opportunistic or Required and STARTTLS announced, sends
  // "STARTTLS", on 220 runs the handshake and says EHLO again, forgetting
  // what the first reply announced. Raises EIdTLSPlaintextBeforeHandshake
  // when the server sent anything after that 220 (injected commands would
  // run inside the secure session, CVE-2011-0411), the EIdTLSError family
  // when the handshake fails (TLSHandshakeFailed then tells so),
  // EIdSMTPTLSNotOffered when Required finds no STARTTLS, and
  // EIdTLSNotAvailable for Required or Implicit in a build without TLS.
  void OpenSession();
  // Sends "Quit" (reading no reply) when connected and closes the connection;
  // a failure to write is raised after the connection is closed. After a
  // time-out or a socket error on the connection (its Fault), and when the
  // exchange deadline runs out at the "Quit", the connection is closed
  // without it and nothing is raised.
  void CloseSession();
  void OpenConnection() override { OpenSession(); }
  void CloseConnection() override { CloseSession(); }

  // atLogin: the server announced LOGIN; atPlain: PLAIN; atAuto: either.
  virtual bool SupportsAuthScheme(TAuthenticationType AType) const;
  // Runs the exchange for AuthenticationType (atAuto: PLAIN when announced,
  // else LOGIN); true when one ran. Raises EIdProtocolReplyError with the
  // server's reply line when it refuses the login ("535 5.7.8 ..."). atPlain
  // and atAuto raise EIdSMTPAuthNeedsTLS before sending anything on a session
  // without TLS unless PlainTextAuth, and EIdException when UserId or
  // Password holds a NUL (PLAIN separates them with it).
  virtual bool Authenticate();
  // One mail transaction: RSET, the login when asked and not yet done, MAIL,
  // RCPT for every recipient (To, Cc, Bcc), DATA, the message and ".". Raises
  // EIdProtocolReplyError on the first unexpected reply (the session stays
  // open), EIdException before writing anything when an address holds CR, LF
  // or NUL, and for atAuto EIdSMTPAuthNotOffered after RSET when the server
  // announced no mechanism it can use.
  virtual void DeliverMessage(TIdMessage& AMsg);

  TAuthenticationType AuthenticationType = atNone;
  std::string MailAgent;  // "X-Mailer" value; empty writes none
  std::string Password;
  std::string UserId;

  // How the session is encrypted; None (plain text) by default.
  TIdSMTPUseTLS UseTLS = TIdSMTPUseTLS::None;
  // Whether atPlain and atAuto may send the password on a session without
  // TLS: only for a relay on the machine itself, which nobody can overhear.
  bool PlainTextAuth = false;

  TStringList AuthSchemes;  // mechanisms announced after EHLO, upper case, each once
  bool Authenticated = false;
  // Whether the last OpenSession failed in the TLS handshake itself (not in
  // bytes sent before it, not in the connect or a reply): the case where
  // opportunistic TLS may try again in plain text on a new connection.
  bool TLSHandshakeFailed = false;

 private:
  // EHLO (HELO when EHLO is not answered with 250) with the announced
  // mechanisms; returns whether the EHLO reply announced STARTTLS.
  bool Greet(const std::string& AName);
  // The handshake on the open connection, judged as UseTLS asks.
  void Handshake();
  void ReadAuthSchemes();
  // The PLAIN exchange (RFC 4616) with its initial response (RFC 4954).
  void AuthPlain();
  // The LOGIN exchange.
  void AuthLogin();
  // Raises when AValue would end or split the command line it goes into.
  static void CheckArgument(std::string_view AWhat, std::string_view AValue);
};
