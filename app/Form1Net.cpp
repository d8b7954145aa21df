// The address monitor's network part: the public-address check, the
// notification mail and the mail-exchanger lookup.
#include <algorithm>
#include <chrono>
#include <exception>
#include <utility>
#include <vector>

#include "app/EchoReply.h"
#include "app/EchoSources.h"
#include "app/Form1.h"
#include "platform/Text.h"
#include "ui/Application.h"

namespace {

constexpr uint16_t kQueryTypeA = 1;
constexpr uint16_t kQueryTypeMX = 15;
constexpr uint16_t kQueryClassIN = 1;
// Reply codes after which another server may still answer (RFC 1035 4.1.1).
constexpr int kRcodeServerFailure = 2;
constexpr int kRcodeRefused = 5;

using formtext::ExtractAddress;

// Text for the HTML body: &, <, > and " become entities, so a name or an
// address shows as written and cannot add markup or links to the mail.
std::string HtmlText(const std::string& S) {
  std::string out;
  out.reserve(S.size());
  for (char c : S) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
        break;
    }
  }
  return out;
}

// The notification's subject, body and names (the addresses are the
// caller's).
void ComposeNotifyMail(TIdMessage& Msg, const std::string& Name, const std::string& NewIP,
                       const std::string& OldIP) {
  Msg.Body.Clear();
  Msg.Subject = "Your IP Address is " + NewIP;
  Msg.Body.Add(R"(<div align="center"><p><font size="5"><strong>Hello )" + HtmlText(Name) + "<br>");
  Msg.Body.Add("Your Old IP Address is " + HtmlText(OldIP) + "<br>");
  Msg.Body.Add("Your New IP Address is " + HtmlText(NewIP) + "<br>");
  Msg.Body.Add("Thank you for using Corvale</strong></p></div>");
  if (Msg.Recipients.Count() == 0) Msg.Recipients.Add();
  Msg.Recipients[0].Name = Name;
  Msg.From.Name = Name;
}

// The addresses of a comma-separated list as a session through the account
// sends them: each trimmed (a blank inside the brackets of RCPT would make
// another address), empty pieces left out.
std::vector<std::string> AccountRecipients(const std::string& Addresses) {
  std::vector<std::string> out;
  // Held for the loop: the list a call returns is freed at the end of the
  // expression that names it, before the loop reads its lines.
  const std::unique_ptr<TStringList> list = TForm1::SplitAddressList(Addresses);
  for (const std::string& a : list->Lines) {
    std::string t = text::Trim(a);
    if (!t.empty()) out.push_back(std::move(t));
  }
  return out;
}

// Whether S is an e-mail address (text, "@", text, no blank or control
// character): a user name that is one is the account's own address, the only
// sender most providers accept from it.
bool IsMailAddress(const std::string& S) {
  const size_t at = S.find('@');
  if (at == std::string::npos || at == 0 || at + 1 == S.size() ||
      S.find('@', at + 1) != std::string::npos)
    return false;
  return std::none_of(S.begin(), S.end(),
                      [](char c) { return static_cast<unsigned char>(c) <= ' ' || c == 0x7f; });
}

}  // namespace

void TForm1::CreateNetworkComponents() {
  IdHTTP1 = TComponent::Create<TIdHTTP>(*this);
  IdHTTP1->Name = "IdHTTP1";
  IdHTTP1->Request.Accept = "text/html, */*";
  IdHTTP1->Request.ContentType = "text/html";
  IdHTTP1->Request.UserAgent = "Mozilla/3.0 (compatible; Corvale Net Library)";
  IdHTTP1->Request.ContentLength = -1;
  IdHTTP1->Request.ProxyPort = 0;
  IdHTTP1->MaxBodySize = kEchoBodyCap;
  // https:// echo pages go over the library's own TLS, the certificate
  // checked against the system's trusted authorities and the host's name.
  IdHTTP1->BuiltInTLS = true;
  // The address services the build names ("" when it names its echo page).
  EchoSources = echo::BuildSources(CORVALE_ECHO_SOURCES);

  IdSMTP1 = TComponent::Create<TIdSMTP>(*this);
  IdSMTP1->Name = "IdSMTP1";
  SetNetBounds(FNetBounds);
  // The message goes out line by line; with Nagle's algorithm each small write
  // after the first waits for the peer's delayed acknowledgement (about 40 ms).
  IdSMTP1->UseNagle = false;

  IdMessage1 = TComponent::Create<TIdMessage>(*this);
  IdMessage1->Name = "IdMessage1";
  IdMessage1->ContentType = "text/html";
  IdMessage1->Recipients.Add();

  IdDNSResolver1 = TComponent::Create<TIdDNSResolver>(*this);
  IdDNSResolver1->Name = "IdDNSResolver1";

  // A check can wait on the network for minutes (a fetch, then a lookup and a
  // delivery per recipient). A request to end the program that arrives
  // meanwhile (the user logging off, an installer closing the program to
  // replace it) ends the waits at once: each fails like any network error, so
  // the check finishes quickly and consistently and the request is then
  // handled by the message loop.
  GlobalStack->AbandonWaits = [] { return Application != nullptr && Application->QuitRequested(); };
}

void TForm1::SetNetBounds(const TNetBounds& Bounds) {
  FNetBounds = Bounds;
  IdHTTP1->ConnectTimeout = Bounds.ConnectMs;
  IdHTTP1->ReadTimeout = Bounds.ReadMs;
  IdHTTP1->ExchangeTimeout = Bounds.ExchangeMs;
  IdSMTP1->ConnectTimeout = Bounds.ConnectMs;
  IdSMTP1->ReadTimeout = Bounds.ReadMs;
  IdSMTP1->ExchangeTimeout = Bounds.ExchangeMs;
}

std::string TForm1::EchoUrl() const {
  // A full address names its own scheme, path and query (an https page of
  // one's own); a bare host keeps meaning the page on that host over http.
  if (text::StartsText("http://", EchoHost) || text::StartsText("https://", EchoHost))
    return EchoHost;
  return "http://" + EchoHost + "/GetMyIP.pl";
}

void TForm1::GetMyIP() {
  std::string address;
  GetMyIP(address);
  // The next check is minutes away and names its address without a port,
  // which never reuses a kept connection: the connection, and the TLS session
  // on it, are let go now rather than held until then.
  try {
    if (IdHTTP1->IsConnected()) IdHTTP1->CloseConnection();
  } catch (const std::exception&) {
    // A connection that fails to close is gone all the same.
  }
}

std::vector<echo::TEchoSource> TForm1::CheckSources() const {
  std::vector<echo::TEchoSource> sources;
  for (const std::string& line : ExtraSettings.GetAll(echo::kSourceKey)) {
    echo::TEchoSource s;
    if (echo::ParseSource(line, s)) sources.push_back(s);
  }
  return sources.empty() ? EchoSources : sources;
}

bool TForm1::AskEchoSources(const std::vector<echo::TEchoSource>& Sources, std::string& Value,
                            std::string& Reason) {
  const TDateTime now = Now();
  std::vector<const echo::TEchoSource*> awake;
  for (const echo::TEchoSource& s : Sources)
    if (!echo::Resting(EchoRests, s.Url, now)) awake.push_back(&s);
  Reason = "every service is resting after a 403 or 429";
  // The whole check keeps to one exchange bound: each service gets an equal
  // part of what is left, so a silent or trickling one leaves time for the
  // next, and one that fails at once hands its part on.
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(FNetBounds.ExchangeMs);
  struct TRestoreBound {
    TIdHTTP& Http;
    int Ms;
    ~TRestoreBound() { Http.ExchangeTimeout = Ms; }
  } restore{*IdHTTP1, FNetBounds.ExchangeMs};
  for (size_t i = 0; i < awake.size(); ++i) {
    // A request to end the program ends the check (each wait would give way).
    if (Application != nullptr && Application->QuitRequested()) break;
    const long long left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) break;
    IdHTTP1->ExchangeTimeout =
        static_cast<int>(std::max<long long>(1, left / static_cast<long long>(awake.size() - i)));
    const echo::TEchoSource& source = *awake[i];
    const std::string host = echo::UrlHost(source.Url);
    std::string body;
    try {
      body = IdHTTP1->GetText(source.Url);
    } catch (const EIdProtocolReplyError& e) {
      // 403 and 429 mean "not you, not now": the service rests, measured on
      // the application's clock.
      const TDateTime date = IdHTTP1->ResponseInfo.Date;
      const int64_t rest =
          echo::RestSeconds(e.ReplyCode, IdHTTP1->ResponseInfo.ExtraHeaders.ValueOf("Retry-After"),
                            date != 0 ? date : now);
      if (rest > 0) EchoRests[source.Url] = now + static_cast<double>(rest) / 86400.0;
      Reason = host + ": " + echo::OneLine(e.what());
      continue;
    } catch (const std::exception& e) {
      Reason = host + ": " + echo::OneLine(e.what());
      continue;
    }
    if (IdHTTP1->StatusCode != 200) {
      Reason = host + ": status " + std::to_string(IdHTTP1->StatusCode);
      continue;
    }
    const echo::TEchoAnswer answer = echo::ReadReply(source.Format, body);
    // An address that would be stored as blanks alone (cut to kMaxText) is
    // no address either.
    if (!answer.Accepted || text::Trim(text::CutUtf8(answer.Address, kMaxText)).empty()) {
      Reason = host + ": " + (answer.Accepted ? "no address" : answer.Reason);
      continue;
    }
    Value = answer.Address;
    EchoAnsweredBy = source.Url;
    return true;
  }
  return false;
}

void TForm1::GetMyIP(std::string& Address) {
  std::string value;
  const std::vector<echo::TEchoSource> sources = CheckSources();
  if (sources.empty()) {
    // The echo page alone, asked and read exactly as it always was.
    std::string reply;
    try {
      reply = IdHTTP1->GetText(EchoUrl());
    } catch (const std::exception&) {
      // The check failed: show what is stored and carry on; nothing else changes.
      StatusBar1->Panels[1].SetText(LastIP);
      UpdateTrayTip();
      return;
    }
    if (!ExtractAddress(reply, value)) return;
    EchoAnsweredBy = EchoUrl();
  } else {
    std::string reason;
    if (!AskEchoSources(sources, value, reason)) {
      // Nothing changes but what the window says: no service gave an
      // address, and why the last one did not.
      StatusBar1->Panels[1].SetText("No address service answered (" + reason + ")");
      const std::string stored = text::Trim(LastIP);
      SetTip(Application->Title + " - no address service answered" +
             (stored.empty() ? "" : " (" + stored + ")"));
      Shell_NotifyIconA(NIM_MODIFY, &TrayIconData);
      return;
    }
  }
  // Compared as it would be stored: LastIP holds at most kMaxText bytes, and a
  // longer value compared whole would differ from it at every check.
  const std::string newIP = text::CutUtf8(value, kMaxText);
  // Whether there is an address at all is decided on that stored form too: a
  // long run of blanks before the address leaves only blanks after the cut,
  // which would be mailed and stored as the new address. Such a reply is
  // ignored like one without an address between its markers.
  if (text::Trim(newIP).empty()) return;
  if (text::Trim(newIP) != text::Trim(LastIP)) {
    const std::string name = text::CutUtf8(Edit1->GetText(), kMaxText);
    const std::string addresses = text::CutUtf8(Edit2->GetText(), kMaxText);
    // The mail goes out before the new address is stored: an error escaping
    // it leaves LastIP as it was, so the next check mails again.
    ShowAddressNotice(newIP, LastIP);
    SendNotifyMail(name, addresses, newIP, LastIP);
    LastIP = newIP;
    UpdateInfo();
    RecordAddress(newIP, EchoAnsweredBy);
  }
  StatusBar1->Panels[1].SetText(value);
  Application->ProcessMessages();
  UpdateTrayTip();
  Address = value;
}

void TForm1::SendEmailNow() {
  // The same cut as for a change's mail and for the stored values.
  SendNotifyMail(text::CutUtf8(Edit1->GetText(), kMaxText),
                 text::CutUtf8(Edit2->GetText(), kMaxText), LastIP, LastIP);
}

std::unique_ptr<TStringList> TForm1::SplitAddressList(const std::string& Addresses) {
  auto list = std::make_unique<TStringList>();
  std::string rest = Addresses;
  size_t comma;
  while ((comma = rest.find(',')) != std::string::npos) {
    list->Add(rest.substr(0, comma));
    rest.erase(0, comma + 1);
  }
  list->Add(rest);
  return list;
}

void TForm1::SendNotifyMail(const std::string& Name, const std::string& Addresses,
                            const std::string& NewIP, const std::string& OldIP) {
  std::unique_ptr<TStringList> list = SplitAddressList(Addresses);
  ComposeNotifyMail(*IdMessage1, Name, NewIP, OldIP);
  if (Outgoing.Enabled) {
    // Through the user's own mail account: one session for every recipient.
    const std::vector<std::string> to = AccountRecipients(Addresses);
    // An empty e-mail field sends nothing, as with direct delivery.
    if (to.empty()) return;
    TIdMessage msg;
    msg.ContentType = IdMessage1->ContentType;
    ComposeNotifyMail(msg, Name, NewIP, OldIP);
    try {
      SendThroughAccount(msg, to, Outgoing, OutgoingPassword);
    } catch (const std::exception& e) {
      // Not retried, and the address is stored as after any failed
      // delivery. What the server said (a wrong password, a sender it
      // refuses) is the user's to fix, so it must reach them: as a desktop
      // notice like any failed delivery, or in a message box where the
      // desktop takes none (notices turned off, no notification area).
      if (!ShowDesktopNotice(kMailNoticeTitle, e.what(), true) && Application != nullptr)
        Application->HandleException(e);
    }
    return;
  }

  for (const std::string& a : list->Lines) {
    size_t at = a.find('@');
    std::string domain = text::TrimRight(at == std::string::npos ? a : a.substr(at + 1));
    const std::vector<std::string> hosts = MailHosts(domain);
    // A domain without a mail host ends the whole notification.
    if (hosts.empty()) {
      MailNotDelivered(a, "no mail server was found for its domain.");
      return;
    }
    // Each mail goes from the recipient's own address to itself.
    IdMessage1->From.Address = a;
    IdMessage1->Recipients[0].Address = a;
    DeliverToFirstAvailable(hosts);
  }
}

void TForm1::DeliverToFirstAvailable(const std::vector<std::string>& Hosts) {
  // The hosts are tried in order as a mail server tries a domain's exchangers
  // (RFC 5321 5.1): one that cannot be reached, or that turns the client away
  // with a 4xx reply before the mail (busy, shutting down), passes the mail
  // on to the next. Once a host has taken the session, its answer is final
  // for this recipient: a failed delivery is skipped, as is a 5xx refusal at
  // the door.
  //
  // Each session is encrypted when the exchanger announces STARTTLS, with
  // any certificate, as mail servers deliver to each other (opportunistic
  // TLS, RFC 7435): exchangers' certificates rarely name the host asked for,
  // and the alternative is plain text. When the handshake itself fails, the
  // same host gets one more session in plain text on a new connection; a
  // session refused for bytes sent before the handshake, a silent peer, or
  // any failure after a completed handshake never falls back. A build
  // without TLS stays in plain text.
  std::string lastError;  // why the last host tried did not take the session
  for (const std::string& host : Hosts) {
    IdSMTP1->Host = host;
    IdSMTP1->Port = SMTPPort;
    IdSMTP1->UseTLS = TIdSMTPUseTLS::Opportunistic;
    try {
      try {
        IdSMTP1->OpenSession();
      } catch (const EIdTLSError&) {
        if (!IdSMTP1->TLSHandshakeFailed) throw;
        IdSMTP1->UseTLS = TIdSMTPUseTLS::None;
        IdSMTP1->OpenSession();
      }
    } catch (const EIdProtocolReplyError& e) {
      IdSMTP1->CloseSession();
      lastError = e.what();
      if (e.ReplyCode / 100 == 4) continue;
      MailNotDelivered(IdMessage1->Recipients[0].Address, lastError);
      return;
    } catch (const std::exception& e) {
      IdSMTP1->CloseSession();
      lastError = e.what();
      continue;
    }
    try {
      IdSMTP1->DeliverMessage(*IdMessage1);
      IdSMTP1->CloseSession();
    } catch (const std::exception& e) {
      // A failed delivery is skipped (the user is told on the desktop); an
      // error of this closing reaches the caller.
      const std::string reason = e.what();
      IdSMTP1->CloseSession();
      MailNotDelivered(IdMessage1->Recipients[0].Address, reason);
    }
    return;
  }
  // No host took the session.
  if (!Hosts.empty()) MailNotDelivered(IdMessage1->Recipients[0].Address, lastError);
}

bool TForm1::Lookup(const std::string& Domain, uint16_t QType) {
  std::vector<std::string> servers{DNSServer};
  if (DNSServer.empty()) {
    try {
      servers = netconfig::SystemNameServers(ResolverConfig);
    } catch (const std::exception&) {
      // Without a server to ask, the lookup fails like one nobody answered.
      return false;
    }
  }
  // The servers share the one receive time-out: each gets an equal part of
  // what is left, so a silent first server leaves time for the others, and a
  // quick refusal hands its part on.
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(FNetBounds.DnsReceiveMs);
  for (size_t i = 0; i < servers.size(); ++i) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (i > 0 && left.count() <= 0) break;
    IdDNSResolver1->Host = servers[i];
    IdDNSResolver1->Port = DNSPort;
    const long long share = (i == 0 ? FNetBounds.DnsReceiveMs : left.count()) /
                            static_cast<long long>(servers.size() - i);
    IdDNSResolver1->ReceiveTimeout = std::max(1, static_cast<int>(share));
    IdDNSResolver1->ClearResults();
    IdDNSResolver1->Header.SetQR(false);
    IdDNSResolver1->Header.SetOpcode(0);
    IdDNSResolver1->Header.SetRD(true);
    IdDNSResolver1->Header.QDCount = 1;
    IdDNSResolver1->Questions.Clear();
    TQuestionItem* q = IdDNSResolver1->Questions.Add();
    q->QName = Domain;
    q->QType = QType;
    q->QClass = kQueryClassIN;
    IdDNSResolver1->ReplyPacket.clear();
    try {
      IdDNSResolver1->Resolve();
      return true;
    } catch (const std::exception&) {
      // Silence, a server failure or a refusal is that server's trouble and
      // the next may answer; any other answer (the name does not exist, a
      // malformed reply) is the lookup's result.
      const bool silent = IdDNSResolver1->ReplyPacket.empty();
      const int rcode = IdDNSResolver1->Header.Rcode();
      if (!silent && rcode != kRcodeServerFailure && rcode != kRcodeRefused) return false;
    }
  }
  return false;
}

std::vector<std::string> TForm1::MailHosts(const std::string& Domain) {
  std::vector<std::string> hosts;
  if (!Lookup(Domain, kQueryTypeMX)) return hosts;
  // Only MX records name exchangers: an alias (CNAME) that leads to them
  // comes first in the answer and names none.
  std::vector<std::pair<uint16_t, std::string>> exchangers;
  for (int i = 0; i < IdDNSResolver1->Answers.Count(); ++i) {
    const TIdDNSResourceItem& rr = IdDNSResolver1->Answers[i];
    if (rr.RRType == kQueryTypeMX && !rr.RData.MX.Exchange.empty())
      exchangers.emplace_back(rr.RData.MX.Preference, rr.RData.MX.Exchange);
  }
  // Lowest preference first; equal ones keep the server's order.
  std::stable_sort(exchangers.begin(), exchangers.end(),
                   [](const auto& x, const auto& y) { return x.first < y.first; });
  // An exchanger listed twice is tried once, at its best preference.
  for (auto& e : exchangers)
    if (std::find(hosts.begin(), hosts.end(), e.second) == hosts.end())
      hosts.push_back(std::move(e.second));
  if (!hosts.empty()) return hosts;
  // The domain exists but names no exchanger: its own addresses receive its
  // mail (the implicit MX of RFC 5321 5.1). A domain that does not exist
  // answers with an error and gets no second query.
  if (!Lookup(Domain, kQueryTypeA)) return hosts;
  for (int i = 0; i < IdDNSResolver1->Answers.Count(); ++i) {
    const TIdDNSResourceItem& rr = IdDNSResolver1->Answers[i];
    if (rr.RRType == kQueryTypeA && !rr.RData.HostAddress.empty())
      hosts.push_back(rr.RData.HostAddress);
  }
  return hosts;
}

std::string TForm1::SendTestMail(const outgoing::TOutgoingServer& Server,
                                 const std::string& Password) {
  const std::vector<std::string> to = AccountRecipients(text::CutUtf8(Edit2->GetText(), kMaxText));
  if (to.empty()) return "Please enter the e-mail address to send the test mail to.";
  TIdMessage msg;
  msg.ContentType = IdMessage1->ContentType;
  ComposeNotifyMail(msg, text::CutUtf8(Edit1->GetText(), kMaxText), LastIP, LastIP);
  try {
    SendThroughAccount(msg, to, Server, Password);
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

void TForm1::SendThroughAccount(TIdMessage& Msg, const std::vector<std::string>& To,
                                const outgoing::TOutgoingServer& Server,
                                const std::string& Password) {
  // The settings are checked again here: the file may have been edited by
  // hand, and "None" must never carry a password off this machine.
  const std::string invalid = outgoing::Validate(Server);
  if (!invalid.empty()) throw Exception(invalid);
  const std::string host = text::Trim(Server.Host);
  const std::string where = host + ":" + std::to_string(Server.Port);
  if (Password.empty())
    throw Exception("There is no password for " + text::Trim(Server.User) + " at " + where +
                    ": enter it in Options... (the mail was not sent).");

  const std::string user = text::Trim(Server.User);
  const std::string sender = IsMailAddress(user) ? user : To.front();
  Msg.From.Address = sender;
  Msg.Recipients.Clear();
  for (const std::string& a : To) Msg.Recipients.Add().Address = a;
  Msg.Recipients[0].Name = Msg.From.Name;

  // The login and the component's security are this session's only: direct
  // delivery, which shares the component, never logs in.
  struct TRestore {
    TIdSMTP& Smtp;
    ~TRestore() {
      Smtp.AuthenticationType = atNone;
      Smtp.PlainTextAuth = false;
      Smtp.UserId.clear();
      Smtp.Password.clear();
    }
  } restore{*IdSMTP1};
  IdSMTP1->Host = host;
  IdSMTP1->Port = Server.Port;
  switch (Server.Security) {
    case outgoing::TSecurity::StartTLS:
      IdSMTP1->UseTLS = TIdSMTPUseTLS::Required;
      break;
    case outgoing::TSecurity::TLS:
      IdSMTP1->UseTLS = TIdSMTPUseTLS::Implicit;
      break;
    case outgoing::TSecurity::None:
      // Validate allowed it only for a loopback address.
      IdSMTP1->UseTLS = TIdSMTPUseTLS::None;
      IdSMTP1->PlainTextAuth = true;
      break;
  }
  IdSMTP1->AuthenticationType = atAuto;
  IdSMTP1->UserId = user;
  IdSMTP1->Password = Password;
  try {
    IdSMTP1->OpenSession();
    IdSMTP1->DeliverMessage(Msg);
  } catch (const std::exception& e) {
    const std::string reason = e.what();
    try {
      IdSMTP1->CloseSession();
    } catch (const std::exception&) {
      // The first failure is the one that says what to fix.
    }
    throw Exception("The mail could not be sent through " + where + ": " + reason);
  }
  try {
    IdSMTP1->CloseSession();
  } catch (const std::exception&) {
    // The server has taken the mail (its 250 after the final dot): a
    // farewell that cannot be written does not make it a failure.
  }
}

void TForm1::GetMxList(TStringList& List, const std::string& Domain) {
  if (!Lookup(Domain, kQueryTypeMX)) return;
  for (int i = 0; i < IdDNSResolver1->Answers.Count(); ++i) {
    const auto& mx = IdDNSResolver1->Answers[i].RData.MX;
    List.Add(mx.Exchange + "=" + std::to_string(mx.Preference));
  }
}
