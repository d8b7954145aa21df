#include "tests/support/NginxTlsServer.h"

#include <utility>

NginxTlsServer::NginxTlsServer(testtls::KeyPair cert, std::string protocols, std::string ciphers)
    : Cert_(std::move(cert)), Protocols_(std::move(protocols)), Ciphers_(std::move(ciphers)) {
  ListenParameters = " ssl";
}

std::string NginxTlsServer::HttpsUrl(const std::string& path) const {
  return "https://localhost:" + std::to_string(Port()) + path;
}

void NginxTlsServer::WriteConfig() {
  // The TLS lines go before the test's own directives, for this write only:
  // a start on fresh ports writes the configuration again.
  const std::string own = ServerDirectives;
  ServerDirectives = "    ssl_certificate " + Cert_.Cert + ";\n    ssl_certificate_key " +
                     Cert_.Key + ";\n    ssl_protocols " + Protocols_ + ";\n    ssl_ciphers \"" +
                     Ciphers_ + "\";\n" + own;
  try {
    NginxServer::WriteConfig();
  } catch (...) {
    ServerDirectives = own;
    throw;
  }
  ServerDirectives = own;
}
