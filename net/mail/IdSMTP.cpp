// SMTP client: RFC 821 commands, RFC 1869 EHLO with HELO fallback, the AUTH
// keyword of RFC 2554 announced in the EHLO reply, LOGIN exchange, PLAIN
// (RFC 4616) with an initial response (RFC 4954), STARTTLS (RFC 3207),
// implicit TLS (RFC 8314) and opportunistic TLS (RFC 7435).
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

namespace {

// The reply to STARTTLS that lets the handshake begin (RFC 3207 section 4).
constexpr int kReadyToStartTLS = 220;
// A poll of the socket that does not wait.
constexpr int kNoWait = 0;

// Whether an EHLO reply announces the STARTTLS keyword (RFC 3207 section 4);
// its first line is the greeting and never a keyword.
bool AnnouncesStartTLS(const TStringList& AReply) {
  for (int i = 1; i < AReply.Count(); ++i) {
    const std::string line = text::UpperCase(text::TrimRight(AReply.Strings(i)));
    if (line.size() == 12 && line.compare(4, 8, "STARTTLS") == 0) return true;
  }
  return false;
}

}  // namespace

bool TIdSMTP::Greet(const std::string& AName) {
  AuthSchemes.Clear();
  if (SendCommand("ehlo " + AName, -1) != 250) {
    SendCommand("Helo " + AName, 250);
    return false;
  }
  ReadAuthSchemes();
  return AnnouncesStartTLS(ReplyLines);
}

void TIdSMTP::Handshake() {
  // Opportunistic TLS takes any certificate (RFC 7435 section 3): the
  // alternative is plain text, which authenticates nobody either.
  const TIdTLSOptions asked = TLSOptions;
  if (UseTLS == TIdSMTPUseTLS::Opportunistic) TLSOptions.VerifyPeer = false;
  try {
    // The handshake shares the connect's bound, as a connect of its own.
    StartTLS(Host, ConnectTimeout);
  } catch (const EIdTLSError& e) {
    TLSOptions = asked;
    // Bytes sent in clear before the handshake are an attack, and a build
    // without TLS never began one: neither is a failed handshake.
    TLSHandshakeFailed = dynamic_cast<const EIdTLSPlaintextBeforeHandshake*>(&e) == nullptr &&
                         dynamic_cast<const EIdTLSNotAvailable*>(&e) == nullptr;
    throw;
  } catch (...) {
    TLSOptions = asked;
    throw;
  }
  TLSOptions = asked;
}

void TIdSMTP::OpenSession() {
  const std::string name = LocalName();
  CheckArgument("host name", name);
  TLSHandshakeFailed = false;
  TIdTCPClient::OpenConnection();
  try {
    if (UseTLS == TIdSMTPUseTLS::Implicit) Handshake();
    ReadReply(220);
    const bool offered = Greet(name);
    // Opportunistic TLS in a build without TLS is plain text, as today.
    const bool wanted = UseTLS == TIdSMTPUseTLS::Required ||
                        (UseTLS == TIdSMTPUseTLS::Opportunistic && PlatformTLSAvailable());
    if (UseTLS == TIdSMTPUseTLS::Required && !offered) throw EIdSMTPTLSNotOffered(Host);
    // A server that refuses STARTTLS (454, RFC 3207 section 4) leaves the
    // session as it was: opportunistic TLS carries on in plain text.
    if (wanted && offered &&
        SendCommand("STARTTLS", UseTLS == TIdSMTPUseTLS::Required ? kReadyToStartTLS : -1) ==
            kReadyToStartTLS) {
      // Nothing may follow the 220 before the handshake (RFC 3207 section
      // 4.2): bytes that came in the same packet are already held, and a
      // poll that does not wait collects any that arrived since; StartTLS
      // refuses the session when it finds any.
      ReceiveFromSocket(false, kNoWait, true, nullptr);
      Handshake();
      // Everything learned in plain text is forgotten and asked again
      // (RFC 3207 section 4.2).
      Authenticated = false;
      Greet(name);
    }
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
  const bool login = AuthSchemes.IndexOf("LOGIN") >= 0;
  const bool plain = AuthSchemes.IndexOf("PLAIN") >= 0;
  switch (AType) {
    case atLogin:
      return login;
    case atPlain:
      return plain;
    case atAuto:
      return login || plain;
    case atNone:
      break;
  }
  return false;
}

void TIdSMTP::AuthLogin() {
  // The 334 challenges are not read: LOGIN always asks for the user name
  // and then the password.
  SendCommand("auth LOGIN", 334);
  SendCommand(EncodeBase64Text(UserId), 334);
  SendCommand(EncodeBase64Text(Password), 235);
}

void TIdSMTP::AuthPlain() {
  // RFC 4616 section 2: [authzid] NUL authcid NUL passwd, none of which may
  // hold a NUL itself; the authorization identity is left empty, so the
  // server takes the login's own.
  constexpr char kNul = '\0';
  if (UserId.find(kNul) != std::string::npos || Password.find(kNul) != std::string::npos)
    throw EIdException("The user name or password holds a NUL character and cannot be sent.");
  std::string message;
  message.reserve(UserId.size() + Password.size() + 2);
  message += kNul;
  message += UserId;
  message += kNul;
  message += Password;
  // The initial response rides on the AUTH command (RFC 4954 section 4),
  // saving a round trip; every submission server takes it.
  SendCommand("AUTH PLAIN " + EncodeBase64Text(message), 235);
}

bool TIdSMTP::Authenticate() {
  bool ran = false;
  const bool plain = AuthenticationType == atPlain ||
                     (AuthenticationType == atAuto && SupportsAuthScheme(atPlain));
  if (plain || AuthenticationType == atAuto) {
    // Both exchanges carry the password as base64, readable by anyone on the
    // path (RFC 4954 section 4, RFC 4616 section 6).
    if (!IsTLSActive() && !PlainTextAuth) throw EIdSMTPAuthNeedsTLS(Host);
    if (plain)
      AuthPlain();
    else
      AuthLogin();
    ran = true;
  } else if (AuthenticationType == atLogin) {
    AuthLogin();
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
  // A submission server takes no mail without the login (RFC 6409 section
  // 4.3): going on without it would only end in a refusal that hides why.
  if (AuthenticationType == atAuto && !Authenticated && !SupportsAuthScheme(atAuto)) {
    std::string announced;
    for (const std::string& name : AuthSchemes.Lines)
      announced += (announced.empty() ? "" : " ") + name;
    throw EIdSMTPAuthNotOffered(Host, announced);
  }
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
