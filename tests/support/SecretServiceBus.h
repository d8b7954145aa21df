#pragma once
// A private D-Bus session bus (dbus-daemon with a configuration of its own:
// no service files, so nothing is started on demand) and, on it, the Secret
// Service of gnome-keyring-daemon with a fresh login keyring unlocked by a
// known password. For the credential store's tests; Linux only (under Wine
// the store is the Credential Manager).
//
//   SessionBus bus;
//   bus.Start();
//   testenv::ScopedVariable address("DBUS_SESSION_BUS_ADDRESS", bus.Address().c_str());
//   KeyringDaemon keyring(bus);
//   keyring.Start();  // ready once org.freedesktop.secrets has an owner
#ifndef _WIN32
#include <string>
#include <vector>

#include "tests/support/PeerServer.h"

class SessionBus : public PeerServer {
 public:
  SessionBus();
  // The bus's address for DBUS_SESSION_BUS_ADDRESS ("unix:path=<dir>/bus").
  std::string Address() const;
  // Whether the well-known Name has an owner on the bus (asked with dbus-send).
  bool HasOwner(const std::string& Name) const;

 protected:
  void WriteConfig() override;
  std::vector<std::string> Command() const override;
  bool IsReady() override;
};

class KeyringDaemon : public PeerServer {
 public:
  explicit KeyringDaemon(const SessionBus& Bus);
  // The login keyring's password, given on the daemon's standard input.
  static constexpr const char* kKeyringPassword = "corvale-test-keyring";

 protected:
  void WriteConfig() override {}
  std::vector<std::string> Command() const override;
  std::vector<std::string> Environment() const override;
  bool IsReady() override;

 private:
  const SessionBus& Bus_;
};
#endif  // !_WIN32
