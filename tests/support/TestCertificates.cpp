#include "tests/support/TestCertificates.h"

#ifdef _WIN32
#include <windows.h>
// After windows.h, which it needs.
#include <wincrypt.h>
#endif

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

#include "tests/support/HostProcess.h"
#include "tests/support/PeerServer.h"

namespace testtls {
namespace {

constexpr const char* kOpenSSL = "/usr/bin/openssl";
// The common name of the authority the tests trust.
constexpr const char* kAuthorityName = "Corvale Test Authority";
// Validity of the certificates that are meant to be valid: longer than any
// test run, short enough to be obviously a test's.
constexpr const char* kValidDays = "2";
// "-days -1" puts the end of the validity a day before its start (now): the
// certificate has expired.
constexpr const char* kExpiredDays = "-1";
// The validity of the certificate that is not valid yet: "openssl x509" can
// only start a validity now, "openssl ca" at any date.
constexpr const char* kFutureStart = "20990101000000Z";
constexpr const char* kFutureEnd = "20991231000000Z";
// The smallest configuration "openssl ca" accepts: its record of issued
// certificates and serial numbers in dir (paths in it are taken from the
// current folder, so they are written whole), any subject with a name.
std::string CaConfig(const std::string& dir) {
  return "[ca]\ndefault_ca = test\n[test]\ndatabase = " + dir +
         "/index.txt\nnew_certs_dir = " + dir + "\nserial = " + dir +
         "/serial.txt\ndefault_md = sha256\npolicy = any\n" + "[any]\ncommonName = supplied\n";
}

void Run(const std::vector<std::string>& argv) {
  const host::RunResult r = host::Run(argv, std::string());
  if (!host::ExitedCleanly(r.Status))
    throw PeerServerError("test certificates: " + argv[1] + " failed:\n" + r.Output);
}

// A new EC P-256 key and a certificate request for it.
std::vector<std::string> NewRequest(const std::string& key, const std::string& out,
                                    const std::string& subject) {
  return {kOpenSSL, "req",     "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
          "-nodes", "-keyout", key,    "-out",    out,  "-subj",    subject};
}

// A self-signed authority with its key.
void MakeAuthority(const std::string& dir, const std::string& name, const std::string& cn) {
  auto argv = NewRequest(dir + "/" + name + ".key", dir + "/" + name + ".pem", "/CN=" + cn);
  argv.insert(argv.end(),
              {"-x509", "-days", kValidDays, "-addext", "basicConstraints=critical,CA:TRUE",
               "-addext", "keyUsage=critical,keyCertSign,cRLSign"});
  Run(argv);
}

// A server certificate for the names in ext (an extension file), issued by
// the authority named issuer, or by itself when issuer is empty.
KeyPair MakeServer(const std::string& dir, const std::string& name, const std::string& issuer,
                   const std::string& ext, const char* days) {
  KeyPair p{dir + "/" + name + ".pem", dir + "/" + name + ".key"};
  const std::string csr = dir + "/" + name + ".csr";
  Run(NewRequest(p.Key, csr, "/CN=" + name));
  std::vector<std::string> sign{kOpenSSL, "x509",  "-req", "-in",      csr, "-out",
                                p.Cert,   "-days", days,   "-extfile", ext};
  if (issuer.empty()) {
    sign.insert(sign.end(), {"-key", p.Key});
  } else {
    sign.insert(sign.end(), {"-CA", dir + "/" + issuer + ".pem", "-CAkey",
                             dir + "/" + issuer + ".key", "-CAcreateserial"});
  }
  Run(sign);
  return p;
}

// The folder and its files live as long as the process.
struct Holder {
  Certificates Made;
  ~Holder() {
    if (!Made.Dir.empty()) host::RemoveTree(Made.Dir);
  }
};

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
  if (!out.flush()) throw PeerServerError("test certificates: cannot write " + path);
}

void Generate(Holder& h) {
  Certificates& c = h.Made;
  c.Dir = host::MakeTempDir("corvale-certs-");
  const std::string local = c.Dir + "/local.ext";
  const std::string other = c.Dir + "/other.ext";
  WriteText(local, "subjectAltName=DNS:localhost,IP:127.0.0.1\n");
  WriteText(other, "subjectAltName=DNS:other.invalid\n");
  MakeAuthority(c.Dir, "ca", kAuthorityName);
  MakeAuthority(c.Dir, "stranger", "Corvale Untrusted Authority");
  c.Authority = c.Dir + "/ca.pem";
  c.Good = MakeServer(c.Dir, "good", "ca", local, kValidDays);
  c.Expired = MakeServer(c.Dir, "expired", "ca", local, kExpiredDays);
  c.WrongName = MakeServer(c.Dir, "wrongname", "ca", other, kValidDays);
  c.SelfSigned = MakeServer(c.Dir, "selfsigned", "", local, kValidDays);
  c.UntrustedIssuer = MakeServer(c.Dir, "untrusted", "stranger", local, kValidDays);
  c.NotYetValid = {c.Dir + "/future.pem", c.Dir + "/future.key"};
  WriteText(c.Dir + "/ca.cnf", CaConfig(c.Dir));
  WriteText(c.Dir + "/index.txt", "");
  WriteText(c.Dir + "/serial.txt", "01\n");
  Run(NewRequest(c.NotYetValid.Key, c.Dir + "/future.csr", "/CN=future"));
  Run({kOpenSSL,     "ca",
       "-batch",     "-notext",
       "-config",    c.Dir + "/ca.cnf",
       "-cert",      c.Authority,
       "-keyfile",   c.Dir + "/ca.key",
       "-in",        c.Dir + "/future.csr",
       "-out",       c.NotYetValid.Cert,
       "-startdate", kFutureStart,
       "-enddate",   kFutureEnd,
       "-extfile",   local});
}

void SetEnvironment(const char* name, const std::string& value) {
#ifdef _WIN32
  _putenv_s(name, value.c_str());
#else
  // Called from the test thread before any TLS session reads it.
  setenv(name, value.c_str(), 1);  // NOLINT(concurrency-mt-unsafe)
#endif
}

#ifdef _WIN32
// The test authority in the current user's "Root" store, taken out again
// when the process ends. Windows trusts what that store holds; Schannel and
// the chain engine read no file a test could name. Under Wine the store is
// the build's own prefix (scripts/wine-run), never the user's, and the system
// roots Wine imports from the host's /etc/ssl/certs stay in the machine's
// store beside it. (On a real Windows desktop the system would ask the user
// to confirm the addition.)
class TrustedRoot {
 public:
  explicit TrustedRoot(const std::string& pemPath) {
    std::ifstream in(pemPath, std::ios::binary);
    std::ostringstream pem;
    pem << in.rdbuf();
    const std::string text = pem.str();
    DWORD size = 0;
    if (text.empty() ||
        !CryptStringToBinaryA(text.c_str(), static_cast<DWORD>(text.size()),
                              CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr))
      throw PeerServerError("test certificates: cannot read " + pemPath);
    std::vector<BYTE> der(size);
    CryptStringToBinaryA(text.c_str(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64HEADER,
                         der.data(), &size, nullptr, nullptr);
    Store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"Root");
    if (Store) RemoveExpiredAuthorities();
    if (!Store || !CertAddEncodedCertificateToStore(Store, X509_ASN_ENCODING, der.data(), size,
                                                    CERT_STORE_ADD_REPLACE_EXISTING, &Added)) {
      if (Store) CertCloseStore(Store, 0);
      throw PeerServerError("test certificates: cannot add the test authority to the Root store (" +
                            std::to_string(GetLastError()) + ")");
    }
    // Wine writes a store to the registry, where the chain engine reads it,
    // only when told to or when the store is closed.
    CertControlStore(Store, 0, CERT_STORE_CTRL_COMMIT, nullptr);
  }
  ~TrustedRoot() {
    // CertDeleteCertificateFromStore frees the context it is given.
    CertDeleteCertificateFromStore(Added);
    CertControlStore(Store, 0, CERT_STORE_CTRL_COMMIT, nullptr);
    CertCloseStore(Store, 0);
  }
  TrustedRoot(const TrustedRoot&) = delete;
  TrustedRoot& operator=(const TrustedRoot&) = delete;

 private:
  // A run that ended without its destructors (a crash) left its authority
  // behind: once expired (two days) it is removed. A running test's own is
  // valid and never touched.
  void RemoveExpiredAuthorities() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    // Found first and deleted after: Wine's search never ends when the
    // certificate it stands on is deleted under it.
    std::vector<PCCERT_CONTEXT> expired;
    PCCERT_CONTEXT c = nullptr;
    while ((c = CertFindCertificateInStore(Store, X509_ASN_ENCODING, 0, CERT_FIND_SUBJECT_STR_A,
                                           kAuthorityName, c)))
      if (CompareFileTime(&c->pCertInfo->NotAfter, &now) < 0)
        expired.push_back(CertDuplicateCertificateContext(c));
    for (PCCERT_CONTEXT e : expired) CertDeleteCertificateFromStore(e);
  }

  HCERTSTORE Store = nullptr;
  PCCERT_CONTEXT Added = nullptr;
};
#endif

}  // namespace

const Certificates& Make() {
  static Holder holder;
  static const bool made = (Generate(holder), true);
  (void)made;
  return holder.Made;
}

void TrustTestAuthority() {
  const Certificates& c = Make();
#ifdef _WIN32
  static const TrustedRoot root(c.Authority);
#endif
  SetEnvironment("SSL_CERT_FILE", c.Authority);
  // A folder without hashed certificates: the system's store is not looked in.
  SetEnvironment("SSL_CERT_DIR", c.Dir);
}

}  // namespace testtls
