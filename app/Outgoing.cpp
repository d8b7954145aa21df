// The outgoing mail server's settings: their keys in the settings file's
// extra lines, and the checks a value must pass before it is saved or used.
#include "app/Outgoing.h"

#include <algorithm>
#include <array>

#include "platform/Text.h"

namespace outgoing {

namespace {

constexpr std::array<TSecurity, 3> kSecurities = {TSecurity::StartTLS, TSecurity::TLS,
                                                  TSecurity::None};
// A host name has at most 253 characters in its text form (RFC 1035 2.3.4:
// 255 octets on the wire).
constexpr size_t kMaxHostName = 253;
// The loopback network (RFC 1122 3.2.1.3): 127.0.0.0/8.
constexpr int kLoopbackNet = 127;
constexpr int kMaxOctet = 255;
constexpr int kOctets = 4;

// What a host, user name or password may not hold: a control character would
// end a command line or make the name something other than it shows.
bool HasControl(const std::string& S) {
  return std::ranges::any_of(
      S, [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

}  // namespace

const char* SecurityName(TSecurity S) {
  switch (S) {
    case TSecurity::StartTLS:
      return "STARTTLS";
    case TSecurity::TLS:
      return "TLS";
    case TSecurity::None:
      return "None";
  }
  return "STARTTLS";
}

bool ParsePort(const std::string& Text, uint16_t& Port) {
  const std::string t = text::Trim(Text);
  // At most five digits: a longer run could only be out of range, and is not
  // summed past what an int holds.
  constexpr size_t kMaxDigits = 5;
  if (t.empty() || t.size() > kMaxDigits) return false;
  long value = 0;
  for (char c : t) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value < kMinPort || value > kMaxPort) return false;
  Port = static_cast<uint16_t>(value);
  return true;
}

bool IsLoopbackAddress(const std::string& Host) {
  // Only a dotted IPv4 address of 127.0.0.0/8: a name could be made to
  // resolve anywhere, and a password in clear text must stay on this machine.
  std::array<int, kOctets> octets{};
  size_t i = 0;
  size_t digits = 0;
  for (char c : Host) {
    if (c == '.') {
      if (digits == 0 || ++i == kOctets) return false;
      digits = 0;
    } else if (c >= '0' && c <= '9' && digits < 3) {
      octets[i] = octets[i] * 10 + (c - '0');
      ++digits;
      if (octets[i] > kMaxOctet) return false;
    } else {
      return false;
    }
  }
  return i == kOctets - 1 && digits > 0 && octets[0] == kLoopbackNet;
}

TOutgoingServer Read(const formtext::TExtraSettings& Extra) {
  TOutgoingServer s;
  s.Enabled = Extra.Get(kKeyServer) == "1";
  s.Host = text::Trim(Extra.Get(kKeyHost));
  uint16_t port = kDefaultPort;
  if (ParsePort(Extra.Get(kKeyPort), port)) s.Port = port;
  const std::string security = text::Trim(Extra.Get(kKeySecurity));
  for (TSecurity k : kSecurities)
    if (text::SameText(security, SecurityName(k))) s.Security = k;
  s.User = text::Trim(Extra.Get(kKeyUser));
  s.PasswordInFile = Extra.Get(kKeyPasswordInFile) == "1";
  return s;
}

void Write(formtext::TExtraSettings& Extra, const TOutgoingServer& Server) {
  // A user who never set a server gets no new lines: the file stays as an
  // older build wrote it.
  if (Server == TOutgoingServer{}) {
    for (const char* key :
         {kKeyServer, kKeyHost, kKeyPort, kKeySecurity, kKeyUser, kKeyPasswordInFile})
      Extra.Remove(key);
  } else {
    Extra.Set(kKeyServer, Server.Enabled ? "1" : "0");
    Extra.Set(kKeyHost, Server.Host);
    Extra.Set(kKeyPort, std::to_string(Server.Port));
    Extra.Set(kKeySecurity, SecurityName(Server.Security));
    Extra.Set(kKeyUser, Server.User);
    Extra.Set(kKeyPasswordInFile, Server.PasswordInFile ? "1" : "0");
  }
  // Without the user's choice to keep it there, no password stays in the
  // file, also one an earlier save wrote.
  if (!Server.PasswordInFile) Extra.Remove(kKeyPassword);
}

std::string Validate(const TOutgoingServer& Server) {
  const std::string host = text::Trim(Server.Host);
  if (host.empty()) return "Please enter the outgoing mail server's name.";
  if (host.size() > kMaxHostName || HasControl(host) || host.find(' ') != std::string::npos)
    return "The outgoing mail server's name \"" + host + "\" is not a host name.";
  if (Server.Port < kMinPort)
    return "The outgoing mail server's port must be a number from 1 to 65535.";
  if (Server.Security == TSecurity::None && !IsLoopbackAddress(host))
    return "Security \"None\" would send the password in clear text: it is allowed only for a "
           "server on this machine (an address such as 127.0.0.1). Choose STARTTLS or TLS.";
  if (text::Trim(Server.User).empty()) return "Please enter the user name of the mail account.";
  if (HasControl(Server.User)) return "The user name holds a control character.";
  return "";
}

}  // namespace outgoing
