#pragma once
// The user's own outgoing mail server (submission through a mail account), as
// the settings file keeps it after its first five lines. None set means
// today's direct delivery to each recipient's exchangers.
#include <cstdint>
#include <string>

#include "app/SettingsText.h"

namespace outgoing {

// How the session with the outgoing server is protected.
enum class TSecurity {
  StartTLS,  // "STARTTLS": plain connect, then STARTTLS before anything else (port 587)
  TLS,       // "TLS": TLS from the first byte (port 465)
  None,      // "None": no TLS; allowed only for a server on a loopback address
};

constexpr uint16_t kDefaultPort = 587;
// The ports a server may have (TCP has no port 0 to connect to).
constexpr int kMinPort = 1;
constexpr int kMaxPort = 65535;

struct TOutgoingServer {
  bool Enabled = false;  // false: direct delivery, the other fields are kept but unused
  std::string Host;
  uint16_t Port = kDefaultPort;
  TSecurity Security = TSecurity::StartTLS;
  std::string User;
  // The user chose to keep the password in the settings file (only offered
  // when no credential store answers); the password itself is then in the
  // file too.
  bool PasswordInFile = false;

  bool operator==(const TOutgoingServer&) const = default;
};

// The settings keys (each at most 13 characters, so the key column keeps a
// blank before the value).
inline constexpr const char* kKeyServer = "Mail Server";      // "1" on, "0" off
inline constexpr const char* kKeyHost = "Mail Host";          // host name or IPv4 address
inline constexpr const char* kKeyPort = "Mail Port";          // decimal 1..65535
inline constexpr const char* kKeySecurity = "Mail Security";  // "STARTTLS", "TLS" or "None"
inline constexpr const char* kKeyUser = "Mail User";          // the login name
inline constexpr const char* kKeyPasswordInFile =
    "Mail Keep Pw";                                           // "1": the password is in the file
inline constexpr const char* kKeyPassword = "Mail Password";  // only when kKeyPasswordInFile is "1"

// The names shown and stored for each security choice.
const char* SecurityName(TSecurity S);

// Port from its decimal text (blanks around it allowed): true and Port set
// for kMinPort..kMaxPort, false (Port untouched) for anything else.
bool ParsePort(const std::string& Text, uint16_t& Port);

// Whether Host is a dotted IPv4 address of the loopback network 127.0.0.0/8
// (never a name, which could be made to resolve elsewhere): where security
// "None" may send a password.
bool IsLoopbackAddress(const std::string& Host);

// The outgoing server the settings' extra lines name; a file of an older build
// (no such lines) reads as not enabled. Unreadable values (a port that is not
// a number, an unknown security name) read as their defaults.
TOutgoingServer Read(const formtext::TExtraSettings& Extra);
// Writes Server's keys into Extra (replacing earlier ones), leaving other keys
// as they are; a server left at its defaults (never set) writes none and
// removes any. The password key is written by the caller, only with
// PasswordInFile; without PasswordInFile it is removed here.
void Write(formtext::TExtraSettings& Extra, const TOutgoingServer& Server);

// "" when Server can be saved, else the message that says what is wrong (a
// missing host, a port out of range, "None" for a host that is not a loopback
// address, a missing user name).
std::string Validate(const TOutgoingServer& Server);

}  // namespace outgoing
