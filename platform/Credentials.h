#pragma once
// The system's credential store, where the password of the user's mail
// account is kept instead of the settings file. Linux: the desktop's Secret
// Service over D-Bus (GNOME Keyring, KWallet, KeePassXC), through libsecret,
// as an item of the program's schema with the attributes "server" and
// "user". Windows: the Credential Manager, as a generic credential named
// "Corvale:" + user + "@" + server.
#include <cstddef>
#include <string>

namespace credentials {

// How a call to the store ended.
enum class TStatus {
  Ok,           // done (read: the password was found)
  NotFound,     // read or delete: the store holds no password for this account
  Unavailable,  // no credential store answers (no session bus, no secret
                // service, a service that does not answer in time)
  Failed,       // the store answered with an error (a locked keyring whose
                // unlock was refused, a password it cannot take)
};

struct TOutcome {
  TStatus Status = TStatus::Ok;
  // Empty for Ok; otherwise what went wrong, for the user.
  std::string Message;
  bool Ok() const { return Status == TStatus::Ok; }
};

// The longest password kept: the Credential Manager's limit for a
// credential's secret (five 512-byte pages), applied on every system so that
// a settings move between them keeps the same rule.
inline constexpr size_t kMaxPasswordBytes = 2560;
// Longest wait for the store: every D-Bus exchange of one call (connect,
// authenticate, open a session, unlock, store) together. A service that
// holds its answer (a prompt nobody sees) ends as Unavailable.
inline constexpr int kStoreTimeoutMs = 5000;

// The name of the store, for messages ("the Secret Service", "the Windows
// Credential Manager").
const char* StoreName();

// Keeps Password for the account (Server, User), replacing one kept before.
// A password longer than kMaxPasswordBytes fails (Failed) and keeps nothing.
TOutcome StorePassword(const std::string& Server, const std::string& User,
                       const std::string& Password);
// The password kept for (Server, User) into Password (left empty unless Ok).
TOutcome ReadPassword(const std::string& Server, const std::string& User, std::string& Password);
// Forgets the password of (Server, User); NotFound when none was kept.
TOutcome DeletePassword(const std::string& Server, const std::string& User);

}  // namespace credentials
