#include "net/dns/IdUDPClient.h"

TIdUDPClient::TIdUDPClient(TComponent* AOwner) : TIdUDPBase(AOwner) {}

void TIdUDPClient::Send(const std::string& AData) {
  SendText(Host, Port, AData);
}
