#pragma once
// SMTP client (RFC 821, EHLO of RFC 1869, the LOGIN authentication exchange):
// hands one composed message to one mail host.
#include <string>
#include <string_view>

#include "net/mail/IdMessage.h"
#include "net/mail/IdMessageClient.h"
#include "platform/StringList.h"

enum TAuthenticationType { atNone, atLogin };

namespace smtp {
// The well-known SMTP port (RFC 821).
constexpr int kDefaultPort = 25;
}  // namespace smtp

class TIdSMTP : public TIdMessageClient {
 public:
  explicit TIdSMTP(TComponent* AOwner = nullptr);

  // Copies AuthenticationType, Host, MailAgent, Password, Port and UserId.
  void Assign(const TIdSMTP& ASource);

  // Connects to Host:Port, reads the 220 greeting and says EHLO (HELO when
  // EHLO is not answered with 250), noting the announced AUTH mechanisms. On
  // any failure closes the session and raises the failure. Raises EIdException
  // before connecting when the local host name holds CR, LF or NUL.
  void OpenSession();
  // Sends "Quit" (reading no reply) when connected and closes the connection;
  // a failure to write is raised after the connection is closed. After a
  // time-out or a socket error on the connection (its Fault), and when the
  // exchange deadline runs out at the "Quit", the connection is closed
  // without it and nothing is raised.
  void CloseSession();
  void OpenConnection() override { OpenSession(); }
  void CloseConnection() override { CloseSession(); }

  // True only for atLogin when the server announced LOGIN.
  virtual bool SupportsAuthScheme(TAuthenticationType AType) const;
  // Runs the exchange for AuthenticationType; true when one ran.
  virtual bool Authenticate();
  // One mail transaction: RSET, LOGIN when asked and not yet done, MAIL, RCPT
  // for every recipient (To, Cc, Bcc), DATA, the message and ".". Raises
  // EIdProtocolReplyError on the first unexpected reply (the session stays
  // open), and EIdException before writing anything when an address holds
  // CR, LF or NUL.
  virtual void DeliverMessage(TIdMessage& AMsg);

  TAuthenticationType AuthenticationType = atNone;
  std::string MailAgent;  // "X-Mailer" value; empty writes none
  std::string Password;
  std::string UserId;

  TStringList AuthSchemes;  // mechanisms announced after EHLO, upper case, each once
  bool Authenticated = false;

 private:
  void ReadAuthSchemes();
  // Raises when AValue would end or split the command line it goes into.
  static void CheckArgument(std::string_view AWhat, std::string_view AValue);
};
