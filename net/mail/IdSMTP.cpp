// SMTP client: RFC 821 commands, RFC 1869 EHLO with HELO fallback, the AUTH
// keyword of RFC 2554 announced in the EHLO reply, LOGIN exchange.
#include "net/mail/IdSMTP.h"

#include <set>
#include <string_view>

#include "net/mail/IdCoder.h"
#include "platform/Text.h"

TIdSMTP::TIdSMTP(TComponent* AOwner) : TIdMessageClient(AOwner) {
  Port = smtp::kDefaultPort;
}

void TIdSMTP::Assign(const TIdSMTP& ASource) {
  AuthenticationType = ASource.AuthenticationType;
  Host = ASource.Host;
  MailAgent = ASource.MailAgent;
  Password = ASource.Password;
  Port = ASource.Port;
  UserId = ASource.UserId;
}

void TIdSMTP::CheckArgument(std::string_view AWhat, std::string_view AValue) {
  // A CR or LF would end the command and start another one (RFC 5321 2.3.8);
  // NUL is not allowed in a command line at all.
  if (AValue.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos)
    throw EIdException("SMTP " + std::string(AWhat) +
                       " holds a line break or NUL character and cannot be sent.");
}

void TIdSMTP::OpenSession() {
  const std::string name = LocalName();
  CheckArgument("host name", name);
  TIdTCPClient::OpenConnection();
  try {
    ReadReply(220);
    AuthSchemes.Clear();
    if (SendCommand("ehlo " + name, -1) == 250)
      ReadAuthSchemes();
    else
      SendCommand("Helo " + name, 250);
  } catch (...) {
    try {
      CloseSession();
    } catch (...) {
      // The first failure is the one to report.
    }
    throw;
  }
}

void TIdSMTP::ReadAuthSchemes() {
  // RFC 2554: "250-AUTH LOGIN PLAIN"; some servers also announce "AUTH=LOGIN".
  // The first line of the reply is the greeting and never examined.
  // A reply may carry a megabyte of names, so the names already listed are
  // looked up in an ordered set rather than by a search of the list per
  // name; a hash set would let a server choose colliding names and bring the
  // quadratic cost back.
  std::set<std::string, std::less<>> seen(AuthSchemes.Lines.begin(), AuthSchemes.Lines.end());
  for (int i = 1; i < ReplyLines.Count(); ++i) {
    std::string line = text::UpperCase(ReplyLines.Strings(i));
    if (line.size() < 9 || line.compare(4, 4, "AUTH") != 0 || (line[8] != ' ' && line[8] != '='))
      continue;
    std::string_view rest = std::string_view(line).substr(9);
    size_t p = 0;
    while (p < rest.size()) {
      // "=" separates names like a blank.
      size_t e = rest.find_first_of(" =", p);
      if (e == std::string_view::npos) e = rest.size();
      std::string_view entry = rest.substr(p, e - p);
      if (!entry.empty() && seen.find(entry) == seen.end()) {
        seen.emplace(entry);
        AuthSchemes.Add(std::string(entry));
      }
      p = e + 1;
    }
  }
}

void TIdSMTP::CloseSession() {
  // After a time-out or a failed socket call the stream is in an unknown
  // state and the deadline may be spent: "Quit" could only fail as well and
  // turn a skipped delivery into an error for the caller, so the connection
  // is closed without it.
  if (IsConnected() && Fault == TIdConnectionFault::None) {
    try {
      WriteLine("Quit");
    } catch (...) {
      TIdTCPClient::CloseConnection();
      Authenticated = false;
      // The exchange deadline running out at the "Quit" itself is such a
      // time-out too: the session was over, only its farewell is missing.
      // Any other failure of the write is the caller's to hear about.
      if (Fault != TIdConnectionFault::TimedOut) throw;
      return;
    }
  }
  TIdTCPClient::CloseConnection();
  Authenticated = false;
}

bool TIdSMTP::SupportsAuthScheme(TAuthenticationType AType) const {
  return AType == atLogin && AuthSchemes.IndexOf("LOGIN") >= 0;
}

bool TIdSMTP::Authenticate() {
  bool ran = false;
  if (AuthenticationType == atLogin) {
    // The 334 challenges are not read: LOGIN always asks for the user name
    // and then the password.
    SendCommand("auth LOGIN", 334);
    SendCommand(EncodeBase64Text(UserId), 334);
    SendCommand(EncodeBase64Text(Password), 235);
    ran = true;
  }
  Authenticated = true;
  return ran;
}

void TIdSMTP::DeliverMessage(TIdMessage& AMsg) {
  // Every command argument is checked before the first command goes out.
  CheckArgument("sender address", AMsg.From.Address);
  for (const TIdEMailAddressList* list : {&AMsg.Recipients, &AMsg.CCList, &AMsg.BccList})
    for (int i = 0; i < list->Count(); ++i)
      CheckArgument("recipient address", list->Item(i).Address);

  SendCommand("Rset", -1);
  if (AuthenticationType != atNone && SupportsAuthScheme(AuthenticationType) && !Authenticated)
    Authenticate();
  SendCommand("Mail from:<" + AMsg.From.Address + ">", 250);
  for (const TIdEMailAddressList* list : {&AMsg.Recipients, &AMsg.CCList, &AMsg.BccList})
    for (int i = 0; i < list->Count(); ++i)
      SendCommand("RCPT to:<" + list->Item(i).Address + ">", 250);
  SendCommand("Data", 354);
  // A line break in the agent's name would give the header list a line of
  // its own: a new header field.
  std::string agent = MailAgent;
  for (char& c : agent)
    if (c == '\r' || c == '\n') c = ' ';
  AMsg.ExtraHeaders.SetValueOf("X-Mailer", agent);
  WriteMessage(AMsg);
  SendCommand(".", 250);
}
