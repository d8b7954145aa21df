#include "tests/support/DnsmasqServer.h"

#include <sstream>

#include "tests/support/HostProcess.h"

namespace {
constexpr const char* kDnsmasq = "/usr/sbin/dnsmasq";
}  // namespace

DnsmasqServer::DnsmasqServer() : PeerServer("dnsmasq", Ports::SameTcpUdp) {}

void DnsmasqServer::WriteConfig() {
  std::ostringstream c;
  c << "local=/" << LocalDomain << "/\n"
    << "local-ttl=" << LocalTtl << "\n";
  for (const auto& o : Options) c << o << "\n";
  WriteFile("dnsmasq.conf", c.str());
}

std::vector<std::string> DnsmasqServer::Command() const {
  std::vector<std::string> argv = {kDnsmasq,
                                   "--keep-in-foreground",
                                   "--no-resolv",
                                   "--no-hosts",
                                   "--no-poll",
                                   "--port=" + std::to_string(Port()),
                                   "--listen-address=" + Address(),
                                   "--bind-interfaces",
                                   "--pid-file=" + Path("dnsmasq.pid"),
                                   "--conf-file=" + Path("dnsmasq.conf"),
                                   "--log-facility=-",
                                   "--log-queries"};
  // Run as root, dnsmasq would switch to the user "nobody"; stay root so the
  // private directory remains readable.
  if (host::EffectiveUid() == 0) argv.emplace_back("--user=root");
  return argv;
}
