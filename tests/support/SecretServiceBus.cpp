#ifndef _WIN32
#include "tests/support/SecretServiceBus.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "tests/support/HostProcess.h"

namespace {
constexpr const char* kDbusDaemon = "/usr/bin/dbus-daemon";
constexpr const char* kDbusSend = "/usr/bin/dbus-send";
constexpr const char* kKeyringDaemon = "/usr/bin/gnome-keyring-daemon";
constexpr const char* kSecretsName = "org.freedesktop.secrets";
}  // namespace

SessionBus::SessionBus() : PeerServer("dbus", Ports::None) {}

std::string SessionBus::Address() const {
  return "unix:path=" + Path("bus");
}

void SessionBus::WriteConfig() {
  // A session bus like the desktop's, minus its service directories: a name
  // nobody owns stays unowned instead of starting the system's keyring.
  WriteFile("bus.conf",
            "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
            " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
            "<busconfig>\n"
            "  <type>session</type>\n"
            "  <listen>unix:path=" +
                Path("bus") +
                "</listen>\n"
                "  <auth>EXTERNAL</auth>\n"
                "  <policy context=\"default\">\n"
                "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                "    <allow eavesdrop=\"true\"/>\n"
                "    <allow own=\"*\"/>\n"
                "  </policy>\n"
                "</busconfig>\n");
}

std::vector<std::string> SessionBus::Command() const {
  return {kDbusDaemon, "--config-file=" + Path("bus.conf"), "--nofork", "--nopidfile"};
}

bool SessionBus::IsReady() {
  // Ready when its socket takes a connection.
  const std::string path = Path("bus");
  const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
  if (s < 0) return false;
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
  const bool ok = ::connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
  ::close(s);
  return ok;
}

bool SessionBus::HasOwner(const std::string& Name) const {
  const host::RunResult r =
      host::Run({kDbusSend, "--bus=" + Address(), "--print-reply", "--dest=org.freedesktop.DBus",
                 "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner", "string:" + Name},
                "");
  return host::ExitedCleanly(r.Status) && r.Output.find("boolean true") != std::string::npos;
}

KeyringDaemon::KeyringDaemon(const SessionBus& Bus)
    : PeerServer("keyring", Ports::None), Bus_(Bus) {}

std::vector<std::string> KeyringDaemon::Command() const {
  // --unlock reads the login keyring's password from standard input, which
  // the harness gives every server as /dev/null: a shell pipes it in.
  return {"/bin/sh", "-c",
          std::string("printf %s '") + kKeyringPassword + "' | exec " + kKeyringDaemon +
              " --foreground --unlock --components=secrets"};
}

std::vector<std::string> KeyringDaemon::Environment() const {
  // Its keyrings and control socket in the private folder, on the private bus.
  return {"DBUS_SESSION_BUS_ADDRESS=" + Bus_.Address(), "HOME=" + Dir(),
          "XDG_DATA_HOME=" + Path("data"), "XDG_RUNTIME_DIR=" + Dir()};
}

bool KeyringDaemon::IsReady() {
  return Bus_.HasOwner(kSecretsName);
}
#endif  // !_WIN32
