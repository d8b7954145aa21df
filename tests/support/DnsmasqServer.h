#pragma once
// dnsmasq (/usr/sbin/dnsmasq) on a free loopback port (UDP and TCP), answering
// only from its own configuration: no upstream servers, no /etc/hosts, no
// /etc/resolv.conf, nothing forwarded. Names below LocalDomain that it does
// not know are answered NXDOMAIN.
//
//   DnsmasqServer dns;
//   dns.Options = {"mx-host=example.test,mail.example.test,10"};
//   dns.Start();
//   ... ask 127.0.0.1:dns.Port() ...
#include <string>
#include <vector>

#include "tests/support/PeerServer.h"

class DnsmasqServer : public PeerServer {
 public:
  DnsmasqServer();

  // dnsmasq.conf lines ("mx-host=...", "cname=...", "host-record=...").
  // Set before Start(). Records are listed in replies in reverse order of
  // their lines.
  std::vector<std::string> Options;
  // Domain answered authoritatively (unknown names: NXDOMAIN); other names
  // are refused, since there is nowhere to forward them.
  std::string LocalDomain = "test";
  // TTL of the records it serves.
  int LocalTtl = 3600;

 protected:
  void WriteConfig() override;
  std::vector<std::string> Command() const override;
};
