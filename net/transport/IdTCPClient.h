#pragma once
// A TCP connection that connects out to Host:Port.
#include <functional>
#include <string>

#include "net/transport/IdTCPConnection.h"

enum class TSocksVersion { svNoSocks, svSocks4, svSocks4A, svSocks5 };
enum class TSocksAuthentication { saNoAuthentication, saUsernamePassword };

// SOCKS proxy settings. The library connects directly; a version other than
// svNoSocks makes OpenConnection fail with EIdSocksError.
struct TSocksInfo {
  TSocksAuthentication Authentication = TSocksAuthentication::saNoAuthentication;
  std::string Host;
  std::string Password;
  int Port = 0;
  std::string UserID;
  TSocksVersion Version = TSocksVersion::svNoSocks;
};

class TIdTCPClient : public TIdTCPConnection {
 public:
  explicit TIdTCPClient(TComponent* AOwner = nullptr);

  // Connects to Host:Port. Raises EIdAlreadyConnected when a socket is open (it
  // is left as it is); any failure of bind, resolve or connect closes the
  // connection again and raises EIdSocketError (10060 when ConnectTimeout
  // strikes).
  virtual void OpenConnection();
  // OpenConnection, everything up to the peer's close, CloseConnection.
  virtual std::string ConnectAndReadAll();
  virtual void FireConnected();

  std::string BoundIP;
  std::string Host;
  std::function<void(TIdTCPClient*)> OnConnected;
  int Port = 0;
  TSocksInfo SocksInfo;
  bool UseNagle = true;
  // Longest wait for the connect, in milliseconds (TimeoutInfinite: none).
  int ConnectTimeout = TimeoutInfinite;
};
