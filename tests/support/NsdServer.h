#pragma once
// NSD (/usr/sbin/nsd), an authoritative-only server, on a free loopback port
// (UDP and TCP), serving its zones from zone files in its private directory.
// It never recurses or forwards.
//
//   NsdServer nsd;
//   nsd.Zones = {{"corvale.test", "$TTL 3600\n@ IN SOA ns hostmaster 1 7200 900 1209600
//   300\n..."}}; nsd.Start();
#include <string>
#include <vector>

#include "tests/support/PeerServer.h"

class NsdServer : public PeerServer {
 public:
  NsdServer();

  // One zone served: its origin and its master-file text (RFC 1035 5).
  struct ZoneFile {
    std::string Name;
    std::string Text;
  };
  // The zones served. Set before Start().
  std::vector<ZoneFile> Zones;

 protected:
  void WriteConfig() override;
  std::vector<std::string> Command() const override;
};
