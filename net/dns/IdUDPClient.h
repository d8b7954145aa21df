#pragma once
// A UDP component with a default destination (Host:Port).
#include <string>

#include "net/dns/IdUDPBase.h"

class TIdUDPClient : public TIdUDPBase {
 public:
  explicit TIdUDPClient(TComponent* AOwner = nullptr);

  // Sends one datagram to Host:Port (see SendBytes).
  void Send(const std::string& AData);

  std::string Host;  // host name or dotted IPv4 address
  int Port = 0;
};
