// TLS on Windows: not yet in this build. The system's own TLS (Schannel
// through SSPI) will take this place; until then every attempt to start TLS
// fails with a clear error instead of sending anything in clear.
#include "net/transport/IdTLS.h"

std::unique_ptr<TIdTLSSession> CreatePlatformTLSSession(const std::string&, const TIdTLSOptions&) {
  throw EIdTLSNotAvailable();
}

bool PlatformTLSAvailable() {
  return false;
}
