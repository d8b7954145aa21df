#pragma once
// The certificates of the TLS tests, made at test time with the openssl
// command (EC P-256 keys: quick to make and to use), once per test process,
// in a private folder removed when the process ends:
//
//   const testtls::Certificates& c = testtls::Make();
//   testtls::TrustTestAuthority();   // before the process's first TLS session
//   server.UseCertificate(c.Good);
//
// The tests trust their own authority through OpenSSL's SSL_CERT_FILE and
// SSL_CERT_DIR, set for this process only; on Windows (under Wine) through
// the current user's Root store of the build's own Wine prefix, for as long
// as the process runs. What an installed program trusts is never touched.
#include <string>

namespace testtls {

// A server's certificate and key (PEM files).
struct KeyPair {
  std::string Cert;
  std::string Key;
};

struct Certificates {
  std::string Dir;
  // The authority the tests trust (PEM).
  std::string Authority;
  // For "localhost" and 127.0.0.1 from the trusted authority, valid now.
  KeyPair Good;
  // The same names and authority, but its validity ended a day ago.
  KeyPair Expired;
  // The same names and authority, valid only in 2099.
  KeyPair NotYetValid;
  // From the trusted authority, valid, for another name only (other.invalid).
  KeyPair WrongName;
  // For "localhost" and 127.0.0.1, signed by itself.
  KeyPair SelfSigned;
  // For "localhost" and 127.0.0.1 from an authority nobody trusts.
  KeyPair UntrustedIssuer;
};

// Makes the certificates on the first call and returns them after; raises
// PeerServerError (with openssl's output) when one cannot be made.
const Certificates& Make();

// Makes the test authority the only one OpenSSL trusts in this process; on
// Windows adds it to the current user's Root store until the process ends.
void TrustTestAuthority();

}  // namespace testtls
