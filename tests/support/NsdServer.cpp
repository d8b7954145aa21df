#include "tests/support/NsdServer.h"

#include <sstream>

namespace {
constexpr const char* kNsd = "/usr/sbin/nsd";
}  // namespace

NsdServer::NsdServer() : PeerServer("nsd", Ports::SameTcpUdp) {
  AddLogFile("nsd.log");
}

void NsdServer::WriteConfig() {
  const std::string d = Dir();
  std::ostringstream c;
  // Everything NSD writes stays in the private directory; no chroot and no
  // change of user, so it can read the files the harness wrote.
  c << "server:\n"
    << "  ip-address: 127.0.0.1@" << Port() << "\n"
    << "  port: " << Port() << "\n"
    << "  do-ip6: no\n"
    << "  username: \"\"\n"
    << "  chroot: \"\"\n"
    << "  zonesdir: \"" << d << "\"\n"
    << "  database: \"\"\n"
    << "  zonelistfile: \"" << d << "/zone.list\"\n"
    << "  pidfile: \"" << d << "/nsd.pid\"\n"
    << "  xfrdfile: \"" << d << "/xfrd.state\"\n"
    << "  xfrdir: \"" << d << "\"\n"
    << "  logfile: \"" << d << "/nsd.log\"\n"
    << "  server-count: 1\n"
    << "  verbosity: 1\n"
    << "remote-control:\n"
    << "  control-enable: no\n";
  for (size_t i = 0; i < Zones.size(); ++i) {
    const std::string file = "zone" + std::to_string(i) + ".db";
    WriteFile(file, "$ORIGIN " + Zones[i].Name + ".\n" + Zones[i].Text);
    c << "zone:\n"
      << "  name: \"" << Zones[i].Name << "\"\n"
      << "  zonefile: \"" << d << "/" << file << "\"\n";
  }
  WriteFile("nsd.conf", c.str());
}

std::vector<std::string> NsdServer::Command() const {
  return {kNsd, "-d", "-c", Path("nsd.conf")};
}
