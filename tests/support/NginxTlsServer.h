#pragma once
// nginx serving TLS with a test certificate (tests/support/TestCertificates.h):
//
//   NginxTlsServer web(testtls::Make().Good);
//   web.AddFile("GetMyIP.pl", "BEGINIP127.0.0.1ENDIP");
//   web.Start();
//   ... fetch web.HttpsUrl("/GetMyIP.pl") ...
#include <string>

#include "tests/support/NginxServer.h"
#include "tests/support/TestCertificates.h"

class NginxTlsServer : public NginxServer {
 public:
  // protocols and ciphers: nginx's ssl_protocols and ssl_ciphers values.
  explicit NginxTlsServer(testtls::KeyPair cert, std::string protocols = "TLSv1.2 TLSv1.3",
                          std::string ciphers = "DEFAULT");

  // "https://localhost:<port>" + path (path starts with '/').
  std::string HttpsUrl(const std::string& path = "/") const;

 protected:
  void WriteConfig() override;

 private:
  testtls::KeyPair Cert_;
  std::string Protocols_;
  std::string Ciphers_;
};
