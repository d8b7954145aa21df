// TLS sessions over the system's own TLS on Windows: Schannel through SSPI.
// Like the OpenSSL session, it never touches the socket: ciphertext from the
// peer is kept here and handed to InitializeSecurityContext (the handshake)
// or DecryptMessage (the records after it) one whole record at a time, and
// what they and EncryptMessage produce collects in Pending for the connection
// to send.
//
// secur32.dll (SSPI) and crypt32.dll (certificates) are loaded when the first
// session is made, as the socket library is: a program that never speaks TLS
// never maps them. The program carries no TLS code of its own, trusts what
// the Windows certificate store trusts and gets the system's updates.
//
// The certificate is judged here, after the handshake, and not by Schannel
// (SCH_CRED_MANUAL_CRED_VALIDATION): the chain is built against the store
// and the SSL policy checks it with the host name
// (CertGetCertificateChain, CertVerifyCertificateChainPolicy), which tells an
// expired certificate from one of another name or an untrusted one in the
// same words the OpenSSL session uses. Schannel is told to leave the
// certificate alone only because this session checks chain and name itself
// (Verify below); the check is left out only without VerifyPeer, which only
// opportunistic STARTTLS to a mail exchanger asks for.
//
// Record headers are read here before Schannel sees them (RFC 5246 section
// 6.2.1): bytes that cannot begin a record fail at once, a record larger than
// TLS allows is never waited for, and a fatal alert the server sends in clear
// during the handshake is named (protocol_version is a refused version).
#define SECURITY_WIN32
// SCH_CREDENTIALS and TLS_PARAMETERS (the credentials that name refused
// versions) are declared only with this.
#define SCHANNEL_USE_BLACKLISTS
#include <windows.h>
// After windows.h, which they need.
#include <wincrypt.h>
// Before schannel.h: the UNICODE_STRING of its newer credentials.
#include <subauth.h>
// After subauth.h.
#include <schannel.h>
#include <security.h>

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>

#include "net/transport/IdStack.h"
#include "net/transport/IdTLS.h"
#include "platform/SharedLibrary.h"

namespace {

// The record layer (RFC 5246 section 6.2, RFC 8446 section 5.1).
constexpr int kRecordHeader = 5;
// Content types: the first (20) and last (23, application data) a record may
// carry here; 21 is an alert.
constexpr unsigned char kFirstContentType = 20;
constexpr unsigned char kAlert = 21;
constexpr unsigned char kApplicationData = 23;
constexpr unsigned char kAlertFatal = 2;
constexpr unsigned char kAlertProtocolVersion = 70;
constexpr size_t kMaxRecordBody = IdTLSDefaults::MaxRecordBytes - kRecordHeader;

// SECURITY_FLAG_IGNORE_CERT_CN_INVALID of wininet.h, which the SSL policy
// takes in its checks to leave the name alone: given only when the host is an
// address, which Verify then matches against the certificate's address
// entries itself.
constexpr DWORD kIgnoreName = 0x00001000;

// What every context asks of Schannel: a TLS stream, its buffers allocated
// by SSPI, and the reason of a failure as an alert to the peer.
constexpr ULONG kContextRequest = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                                  ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY |
                                  ISC_REQ_STREAM | ISC_REQ_EXTENDED_ERROR |
                                  ISC_REQ_MANUAL_CRED_VALIDATION;

// The crypt32 functions this file calls.
struct TCrypt32 {
  decltype(&::CertGetCertificateChain) CertGetCertificateChain = nullptr;
  decltype(&::CertVerifyCertificateChainPolicy) CertVerifyCertificateChainPolicy = nullptr;
  decltype(&::CertFreeCertificateChain) CertFreeCertificateChain = nullptr;
  decltype(&::CertFreeCertificateContext) CertFreeCertificateContext = nullptr;
  decltype(&::CertFindExtension) CertFindExtension = nullptr;
  decltype(&::CryptDecodeObjectEx) CryptDecodeObjectEx = nullptr;
};

[[noreturn]] void RaiseNotLoaded(const char* AWhat) {
  throw EIdTLSError(std::string("TLS could not be initialised: ") + AWhat + ".");
}

struct TLoaded {
  // SSPI's own table of its functions (InitSecurityInterfaceW).
  const SecurityFunctionTableW* Sspi = nullptr;
  TCrypt32 Crypt;
  // The client credentials every session uses. Kept until the process ends,
  // like the OpenSSL session's context.
  CredHandle Credentials{};
};

// TLS 1.2 is the oldest version offered (RFC 8996 retires 1.0 and 1.1), 1.3
// where the system has it. SCH_CREDENTIALS names the versions refused, so a
// later version stays on; systems that do not know it (before Windows 10
// 1809) get SCHANNEL_CRED, which names those allowed: 1.2 only, as 1.3 there
// would make the credentials fail.
void AcquireCredentials(const SecurityFunctionTableW& AApi, CredHandle& ACredentials) {
  constexpr DWORD flags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
  TimeStamp expiry;
  TLS_PARAMETERS parameters{};
  parameters.grbitDisabledProtocols =
      SP_PROT_SSL2_CLIENT | SP_PROT_SSL3_CLIENT | SP_PROT_TLS1_0_CLIENT | SP_PROT_TLS1_1_CLIENT;
  SCH_CREDENTIALS current{};
  current.dwVersion = SCH_CREDENTIALS_VERSION;
  current.dwFlags = flags;
  current.cTlsParameters = 1;
  current.pTlsParameters = &parameters;
  wchar_t package[] = UNISP_NAME_W;
  if (AApi.AcquireCredentialsHandleW(nullptr, package, SECPKG_CRED_OUTBOUND, nullptr, &current,
                                     nullptr, nullptr, &ACredentials, &expiry) == SEC_E_OK)
    return;
  SCHANNEL_CRED older{};
  older.dwVersion = SCHANNEL_CRED_VERSION;
  older.dwFlags = flags;
  older.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
  const SECURITY_STATUS s =
      AApi.AcquireCredentialsHandleW(nullptr, package, SECPKG_CRED_OUTBOUND, nullptr, &older,
                                     nullptr, nullptr, &ACredentials, &expiry);
  if (s != SEC_E_OK) {
    char code[16];
    (void)std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(s));
    RaiseNotLoaded((std::string("Schannel refused the client credentials (") + code + ")").c_str());
  }
}

const TLoaded& Loaded() {
  static std::once_flag once;
  static TLoaded loaded;
  std::call_once(once, [] {
    // The libraries stay mapped after these objects are gone (TSharedLibrary).
    const std::unique_ptr<TSharedLibrary> secur32 = TSharedLibrary::Load("secur32.dll");
    if (!secur32) RaiseNotLoaded("secur32.dll could not be loaded");
    const auto init =
        reinterpret_cast<INIT_SECURITY_INTERFACE_W>(secur32->Symbol("InitSecurityInterfaceW"));
    const SecurityFunctionTableW* sspi = init ? init() : nullptr;
    if (!sspi || !sspi->AcquireCredentialsHandleW || !sspi->InitializeSecurityContextW ||
        !sspi->DeleteSecurityContext || !sspi->ApplyControlToken ||
        !sspi->QueryContextAttributesW || !sspi->FreeContextBuffer || !sspi->EncryptMessage ||
        !sspi->DecryptMessage)
      RaiseNotLoaded("secur32.dll lacks a function this program needs");
    const std::unique_ptr<TSharedLibrary> crypt32 = TSharedLibrary::Load("crypt32.dll");
    if (!crypt32) RaiseNotLoaded("crypt32.dll could not be loaded");
    TCrypt32 c;
    if (!Bind(c.CertGetCertificateChain, *crypt32, "CertGetCertificateChain") ||
        !Bind(c.CertVerifyCertificateChainPolicy, *crypt32, "CertVerifyCertificateChainPolicy") ||
        !Bind(c.CertFreeCertificateChain, *crypt32, "CertFreeCertificateChain") ||
        !Bind(c.CertFreeCertificateContext, *crypt32, "CertFreeCertificateContext") ||
        !Bind(c.CertFindExtension, *crypt32, "CertFindExtension") ||
        !Bind(c.CryptDecodeObjectEx, *crypt32, "CryptDecodeObjectEx"))
      RaiseNotLoaded("crypt32.dll lacks a function this program needs");
    AcquireCredentials(*sspi, loaded.Credentials);
    loaded.Sspi = sspi;
    loaded.Crypt = c;
  });
  return loaded;
}

// The host name as the wide calls take it (UTF-8 to UTF-16).
std::wstring Wide(const std::string& AText) {
  if (AText.empty()) return std::wstring();
  const int n =
      MultiByteToWideChar(CP_UTF8, 0, AText.data(), static_cast<int>(AText.size()), nullptr, 0);
  std::wstring w(static_cast<size_t>(std::max(n, 0)), L'\0');
  if (n > 0)
    MultiByteToWideChar(CP_UTF8, 0, AText.data(), static_cast<int>(AText.size()), w.data(), n);
  return w;
}

// A status of SSPI in words, with its code.
std::string StatusText(SECURITY_STATUS AStatus) {
  const char* text;
  switch (AStatus) {
    case SEC_E_ILLEGAL_MESSAGE:
      text = "the server sent a message that is not valid";
      break;
    case SEC_E_INVALID_TOKEN:
      text = "the server's answer is not valid TLS";
      break;
    case SEC_E_ALGORITHM_MISMATCH:
      text = "the server offers no cipher in common";
      break;
    case SEC_E_DECRYPT_FAILURE:
    case SEC_E_MESSAGE_ALTERED:
      text = "a record failed its integrity check";
      break;
    case SEC_E_INTERNAL_ERROR:
      text = "the system's TLS reported an internal error";
      break;
    case SEC_E_UNSUPPORTED_FUNCTION:
      text = "the system's TLS does not support what the server asks";
      break;
    default:
      text = "the system's TLS reported an error";
      break;
  }
  char code[16];
  (void)std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(AStatus));
  return std::string(text) + " (" + code + ")";
}

// The name of an alert (RFC 8446 section 6), or its number.
std::string AlertName(unsigned char ADescription) {
  switch (ADescription) {
    case 10:
      return "unexpected_message";
    case 20:
      return "bad_record_mac";
    case 40:
      return "handshake_failure";
    case 42:
      return "bad_certificate";
    case 47:
      return "illegal_parameter";
    case 50:
      return "decode_error";
    case 71:
      return "insufficient_security";
    case 80:
      return "internal_error";
    case 112:
      return "unrecognized_name";
    default:
      return std::to_string(ADescription);
  }
}

// A buffer SSPI allocated, freed with FreeContextBuffer.
class TContextBuffer {
 public:
  explicit TContextBuffer(const SecurityFunctionTableW& AApi, SecBuffer& ABuffer)
      : Api(AApi), Buffer(ABuffer) {}
  ~TContextBuffer() {
    if (Buffer.pvBuffer) Api.FreeContextBuffer(Buffer.pvBuffer);
  }
  TContextBuffer(const TContextBuffer&) = delete;
  TContextBuffer& operator=(const TContextBuffer&) = delete;

 private:
  const SecurityFunctionTableW& Api;
  SecBuffer& Buffer;
};

class TSchannelSession final : public TIdTLSSession {
 public:
  TSchannelSession(const std::string& AHost, const TIdTLSOptions& AOptions)
      : L(Loaded()), Api(*L.Sspi), Host(AHost), WideHost(Wide(AHost)), Options(AOptions) {
    // RFC 6066 section 3: SNI carries host names only, never an address;
    // without a target name Schannel sends none.
    if (!TIdStack::IsDottedQuad(AHost)) Target = WideHost;
  }

  ~TSchannelSession() override {
    if (HaveContext) Api.DeleteSecurityContext(&Context);
  }

  void PutReceived(const char* AData, size_t ALength) override {
    // What the records before have used up goes first, once it is most of
    // the buffer, so that a long stream does not move its bytes per record.
    if (InStart > 0 && InStart >= In.size() / 2) {
      In.erase(0, InStart);
      InStart = 0;
    }
    In.append(AData, ALength);
  }

  std::string_view ToSend() const override { return std::string_view(Pending).substr(PendingSent); }

  void Sent(size_t ACount) override {
    PendingSent += ACount;
    if (PendingSent >= Pending.size()) {
      Pending.clear();
      PendingSent = 0;
    }
  }

  bool Handshake() override {
    if (Established) return true;
    if (Failed) throw EIdTLSHandshakeFailed(Host, "the handshake has already failed");
    if (!HaveContext) {
      // The first call makes the context and the ClientHello.
      Step(nullptr, 0);
      return false;
    }
    for (;;) {
      const size_t whole = WholeRecords(true);
      if (whole == 0) return false;
      const size_t before = InStart;
      if (Step(In.data() + InStart, whole)) return true;
      // Nothing taken (Schannel wants more than the records here) or
      // nothing left: the next records must come first.
      if (InStart == before || InStart == In.size()) return false;
    }
  }

  int Read(char* ABuffer, int ALength) override {
    for (;;) {
      if (PlainStart < Plain.size()) {
        const size_t n = std::min(Plain.size() - PlainStart, static_cast<size_t>(ALength));
        std::memcpy(ABuffer, Plain.data() + PlainStart, n);
        PlainStart += n;
        if (PlainStart == Plain.size()) {
          Plain.clear();
          PlainStart = 0;
        }
        return static_cast<int>(n);
      }
      if (PeerClosed) return -1;
      if (!DecryptOne()) return 0;
    }
  }

  int Write(const char* AData, int ALength) override {
    const size_t n =
        std::min({static_cast<size_t>(ALength), static_cast<size_t>(IdTLSDefaults::MaxWriteChunk),
                  static_cast<size_t>(Sizes.cbMaximumMessage)});
    // The record is made in place at the end of Pending: header, data, trailer.
    const size_t at = Pending.size();
    Pending.resize(at + Sizes.cbHeader + n + Sizes.cbTrailer);
    char* record = Pending.data() + at;
    std::memcpy(record + Sizes.cbHeader, AData, n);
    SecBuffer b[4] = {{Sizes.cbHeader, SECBUFFER_STREAM_HEADER, record},
                      {static_cast<ULONG>(n), SECBUFFER_DATA, record + Sizes.cbHeader},
                      {Sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, record + Sizes.cbHeader + n},
                      {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc d{SECBUFFER_VERSION, 4, b};
    const SECURITY_STATUS s = Api.EncryptMessage(&Context, 0, &d, 0);
    if (s != SEC_E_OK) {
      Pending.resize(at);
      Failed = true;
      throw EIdTLSHandshakeFailed(Host, "a record could not be sent: " + StatusText(s));
    }
    // The parts may come out shorter than their room (a trailer usually
    // does): they are joined, each moved back over the gap before it.
    char* end = record;
    for (int i = 0; i < 3; ++i) {
      std::memmove(end, b[i].pvBuffer, b[i].cbBuffer);
      end += b[i].cbBuffer;
    }
    Pending.resize(static_cast<size_t>(end - Pending.data()));
    return static_cast<int>(n);
  }

  void Close() noexcept override {
    if (Closed || Failed || !Established) return;
    Closed = true;
    // RFC 8446 section 6.1: close_notify, made by the context once it is
    // told to shut down; the peer's answer is not waited for.
    DWORD shutdown = SCHANNEL_SHUTDOWN;
    SecBuffer control{sizeof shutdown, SECBUFFER_TOKEN, &shutdown};
    SecBufferDesc controlDesc{SECBUFFER_VERSION, 1, &control};
    if (Api.ApplyControlToken(&Context, &controlDesc) != SEC_E_OK) return;
    SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
    const TContextBuffer owned(Api, out);
    SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &out};
    ULONG attributes = 0;
    TimeStamp expiry;
    const SECURITY_STATUS s = Api.InitializeSecurityContextW(
        const_cast<CredHandle*>(&L.Credentials), &Context, TargetName(), kContextRequest, 0, 0,
        nullptr, 0, nullptr, &outDesc, &attributes, &expiry);
    if ((s == SEC_E_OK || s == SEC_I_CONTEXT_EXPIRED) && out.pvBuffer && out.cbBuffer > 0) {
      try {
        Pending.append(static_cast<const char*>(out.pvBuffer), out.cbBuffer);
      } catch (...) {
        // Out of memory while closing: the close goes without its notice.
      }
    }
  }

 private:
  wchar_t* TargetName() { return Target.empty() ? nullptr : Target.data(); }

  // How many bytes of In, from InStart, are whole records; raises when a
  // header cannot begin a record or announces more than TLS allows. In the
  // handshake a fatal alert in clear ends it with the alert's meaning.
  size_t WholeRecords(bool AInHandshake) {
    size_t at = InStart;
    while (at < In.size()) {
      const auto* h = reinterpret_cast<const unsigned char*>(In.data() + at);
      const size_t have = In.size() - at;
      if (h[0] < kFirstContentType || h[0] > kApplicationData || (have > 1 && h[1] != 3))
        Fail(AInHandshake ? "the server did not answer in TLS"
                          : "the server sent a record that is not TLS");
      if (have < kRecordHeader) break;
      const size_t body = (static_cast<size_t>(h[3]) << 8) | h[4];
      if (body > kMaxRecordBody) Fail("the server announced a record larger than TLS allows");
      if (have < kRecordHeader + body) break;
      // An alert in clear is two bytes (RFC 5246 section 7.2); one that
      // came encrypted is longer and is Schannel's to read.
      if (AInHandshake && h[0] == kAlert && body == 2 && h[5] == kAlertFatal) {
        Failed = true;
        if (h[6] == kAlertProtocolVersion) throw EIdTLSProtocolVersion(Host);
        throw EIdTLSHandshakeFailed(
            Host, "the server refused the handshake (alert " + AlertName(h[6]) + ")");
      }
      at += kRecordHeader + body;
      // After the handshake one record is decrypted at a time.
      if (!AInHandshake) break;
    }
    return at - InStart;
  }

  [[noreturn]] void Fail(const std::string& AReason) {
    Failed = true;
    throw EIdTLSHandshakeFailed(Host, AReason);
  }

  // One call of InitializeSecurityContext with the whole records at AInput
  // (none on the first call). True once the handshake is complete.
  bool Step(char* AInput, size_t ALength) {
    SecBuffer in[2] = {{static_cast<ULONG>(ALength), SECBUFFER_TOKEN, AInput},
                       {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc inDesc{SECBUFFER_VERSION, 2, in};
    SecBuffer out[2] = {{0, SECBUFFER_TOKEN, nullptr}, {0, SECBUFFER_ALERT, nullptr}};
    const TContextBuffer token(Api, out[0]);
    const TContextBuffer alert(Api, out[1]);
    SecBufferDesc outDesc{SECBUFFER_VERSION, 2, out};
    ULONG attributes = 0;
    TimeStamp expiry;
    const SECURITY_STATUS s = Api.InitializeSecurityContextW(
        const_cast<CredHandle*>(&L.Credentials), HaveContext ? &Context : nullptr, TargetName(),
        kContextRequest, 0, 0, AInput ? &inDesc : nullptr, 0, &Context, &outDesc, &attributes,
        &expiry);
    if (!HaveContext && (s == SEC_E_OK || s == SEC_I_CONTINUE_NEEDED)) HaveContext = true;
    if (s == SEC_E_INCOMPLETE_MESSAGE) {
      // Whole records were given: Schannel wants the next one too.
      return false;
    }
    if (s == SEC_I_INCOMPLETE_CREDENTIALS && !CredentialsDeclined) {
      // The server asks for a client certificate: the same input is given
      // again, and the handshake goes on without one (SCH_CRED_NO_DEFAULT_CREDS).
      CredentialsDeclined = true;
      return Step(AInput, ALength);
    }
    // What went to the peer, an alert on failure included.
    for (const SecBuffer& b : out)
      if (b.pvBuffer && b.cbBuffer > 0)
        Pending.append(static_cast<const char*>(b.pvBuffer), b.cbBuffer);
    // The bytes Schannel did not take stay for the next call.
    InStart += ALength - (in[1].BufferType == SECBUFFER_EXTRA ? in[1].cbBuffer : 0);
    switch (s) {
      case SEC_I_CONTINUE_NEEDED:
        return false;
      case SEC_E_OK:
        break;
      case SEC_E_CERT_EXPIRED:
        Failed = true;
        throw EIdTLSCertificateExpired(Host);
      case SEC_E_WRONG_PRINCIPAL:
        Failed = true;
        throw EIdTLSCertificateWrongName(Host);
      case SEC_E_UNTRUSTED_ROOT:
        Failed = true;
        throw EIdTLSCertificateNotTrusted(Host);
      default:
        Fail(StatusText(s));
    }
    const SECURITY_STATUS sizes =
        Api.QueryContextAttributesW(&Context, SECPKG_ATTR_STREAM_SIZES, &Sizes);
    if (sizes != SEC_E_OK) Fail(StatusText(sizes));
    // The credentials refuse the older versions, but not every Schannel
    // honours them (Wine's agrees to TLS 1.0): the version agreed is checked
    // before anything is sent over it.
    SecPkgContext_ConnectionInfo info{};
    if (Api.QueryContextAttributesW(&Context, SECPKG_ATTR_CONNECTION_INFO, &info) != SEC_E_OK ||
        (info.dwProtocol & (SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT)) == 0) {
      Failed = true;
      throw EIdTLSProtocolVersion(Host);
    }
    if (Options.VerifyPeer) {
      Verify();
    } else {
      // Only opportunistic STARTTLS to a mail exchanger asks for this (RFC
      // 7435: exchangers' certificates rarely name the host asked for, and
      // the alternative is plain text); every other use keeps the default,
      // with the chain and the host name checked in Verify.
    }
    Established = true;
    return true;
  }

  // The server's certificate against the store and the host name (RFC 6125,
  // as the system's SSL policy applies it).
  void Verify() {
    PCCERT_CONTEXT cert = nullptr;
    if (Api.QueryContextAttributesW(&Context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &cert) != SEC_E_OK ||
        !cert)
      Fail("the server sent no certificate");
    const std::unique_ptr<const CERT_CONTEXT, decltype(L.Crypt.CertFreeCertificateContext)>
        certOwner(cert, L.Crypt.CertFreeCertificateContext);
    char serverAuth[] = szOID_PKIX_KP_SERVER_AUTH;
    LPSTR usages[] = {serverAuth};
    CERT_CHAIN_PARA para{};
    para.cbSize = sizeof para;
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    // The intermediates the server sent come with the certificate's store.
    if (!L.Crypt.CertGetCertificateChain(nullptr, cert, nullptr, cert->hCertStore, &para, 0,
                                         nullptr, &chain) ||
        !chain)
      Fail("the certificate chain could not be built");
    const std::unique_ptr<const CERT_CHAIN_CONTEXT, decltype(L.Crypt.CertFreeCertificateChain)>
        chainOwner(chain, L.Crypt.CertFreeCertificateChain);
    // A chain that reaches no trusted root is refused before the policy is
    // asked: Wine's SSL policy passes a chain that stops short of any root.
    constexpr DWORD untrusted = CERT_TRUST_IS_PARTIAL_CHAIN | CERT_TRUST_IS_UNTRUSTED_ROOT |
                                CERT_TRUST_IS_NOT_SIGNATURE_VALID;
    if (chain->TrustStatus.dwErrorStatus & untrusted) {
      Failed = true;
      throw EIdTLSCertificateNotTrusted(Host);
    }
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.pwszServerName = WideHost.data();
    // An address is compared with the certificate's address entries below:
    // the policy matches names (and Wine's never an address).
    const bool address = Target.empty();
    if (address) ssl.fdwChecks = kIgnoreName;
    CERT_CHAIN_POLICY_PARA policy{};
    policy.cbSize = sizeof policy;
    policy.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS status{};
    status.cbSize = sizeof status;
    if (!L.Crypt.CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status))
      Fail("the certificate could not be checked");
    const auto error = static_cast<HRESULT>(status.dwError);
    switch (error) {
      case S_OK:
        if (address && !NamesAddress(cert)) {
          Failed = true;
          throw EIdTLSCertificateWrongName(Host);
        }
        return;
      case CERT_E_EXPIRED:
        Failed = true;
        throw EIdTLSCertificateExpired(Host);
      case CERT_E_CN_NO_MATCH:
        Failed = true;
        throw EIdTLSCertificateWrongName(Host);
      case CERT_E_UNTRUSTEDROOT:
      case CERT_E_CHAINING:
      case CERT_E_UNTRUSTEDTESTROOT:
      case TRUST_E_CERT_SIGNATURE:
        Failed = true;
        throw EIdTLSCertificateNotTrusted(Host);
      default: {
        char code[16];
        (void)std::snprintf(code, sizeof code, "0x%08lX",
                            static_cast<unsigned long>(status.dwError));
        Fail(std::string("the certificate was refused (") + code + ")");
      }
    }
  }

  // Host as the four bytes of a dotted-decimal IPv4 address: four fields of
  // 0 to 255, dots between them and nothing else; false for anything else (a
  // name).
  static bool DottedQuad(const std::string& AHost, BYTE (&AOut)[4]) {
    const char* p = AHost.data();
    const char* const end = p + AHost.size();
    for (int i = 0; i < 4; ++i) {
      if (i > 0 && (p == end || *p++ != '.')) return false;
      unsigned v = 0;
      const auto [next, ec] = std::from_chars(p, end, v);
      if (ec != std::errc() || next == p || v > 255) return false;
      AOut[i] = static_cast<BYTE>(v);
      p = next;
    }
    return p == end;
  }

  // Whether the certificate's subjectAltName holds the address asked for as
  // an iPAddress entry (RFC 6125 section 6.2.1; an address in the common
  // name does not count, as with OpenSSL).
  bool NamesAddress(PCCERT_CONTEXT ACert) const {
    BYTE want[4] = {};
    if (!DottedQuad(Host, want)) return false;
    const CERT_INFO& info = *ACert->pCertInfo;
    const PCERT_EXTENSION ext =
        L.Crypt.CertFindExtension(szOID_SUBJECT_ALT_NAME2, info.cExtension, info.rgExtension);
    if (!ext) return false;
    CERT_ALT_NAME_INFO* names = nullptr;
    DWORD size = 0;
    if (!L.Crypt.CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, ext->Value.pbData,
                                     ext->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &names,
                                     &size) ||
        !names)
      return false;
    const std::unique_ptr<CERT_ALT_NAME_INFO, decltype(&::LocalFree)> owned(names, &::LocalFree);
    for (DWORD i = 0; i < names->cAltEntry; ++i) {
      const CERT_ALT_NAME_ENTRY& e = names->rgAltEntry[i];
      if (e.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && e.IPAddress.cbData == sizeof want &&
          std::memcmp(e.IPAddress.pbData, want, sizeof want) == 0)
        return true;
    }
    return false;
  }

  // Decrypts the next whole record into Plain: false when none has come yet.
  bool DecryptOne() {
    const size_t whole = WholeRecords(false);
    if (whole == 0) return false;
    char* record = In.data() + InStart;
    const auto type = static_cast<unsigned char>(record[0]);
    SecBuffer b[4] = {{static_cast<ULONG>(whole), SECBUFFER_DATA, record},
                      {0, SECBUFFER_EMPTY, nullptr},
                      {0, SECBUFFER_EMPTY, nullptr},
                      {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc d{SECBUFFER_VERSION, 4, b};
    const SECURITY_STATUS s = Api.DecryptMessage(&Context, &d, 0, nullptr);
    const SecBuffer* data = nullptr;
    const SecBuffer* extra = nullptr;
    for (const SecBuffer& x : b) {
      if (x.BufferType == SECBUFFER_DATA) data = &x;
      if (x.BufferType == SECBUFFER_EXTRA) extra = &x;
    }
    switch (s) {
      case SEC_E_OK:
        if (data && data->cbBuffer > 0) {
          Plain.append(static_cast<const char*>(data->pvBuffer), data->cbBuffer);
        } else if (type == kAlert) {
          // A sound alert record that gives no data is the peer's
          // close_notify as Schannel on GnuTLS (Wine) reports it; Windows
          // answers SEC_I_CONTEXT_EXPIRED.
          PeerClosed = true;
        }
        // Else an empty record, which TLS allows: the next one is read.
        InStart += whole - (extra ? extra->cbBuffer : 0);
        return true;
      case SEC_I_CONTEXT_EXPIRED:
        PeerClosed = true;
        InStart += whole;
        return true;
      case SEC_I_RENEGOTIATE:
        // TLS 1.3 sends handshake messages after the handshake (a session
        // ticket, a key update): Schannel takes them through the context.
        InStart += whole;
        PostHandshake(extra);
        return true;
      default:
        Fail("a record could not be read: " + StatusText(s));
    }
  }

  // Feeds a post-handshake message to the context. A TLS 1.2 renegotiation,
  // which would need a new handshake in the middle of the stream, is refused.
  void PostHandshake(const SecBuffer* AExtra) {
    std::string message;
    if (AExtra && AExtra->cbBuffer > 0)
      message.assign(static_cast<const char*>(AExtra->pvBuffer), AExtra->cbBuffer);
    SecBuffer in[2] = {{static_cast<ULONG>(message.size()), SECBUFFER_TOKEN, message.data()},
                       {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc inDesc{SECBUFFER_VERSION, 2, in};
    SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
    const TContextBuffer owned(Api, out);
    SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &out};
    ULONG attributes = 0;
    TimeStamp expiry;
    const SECURITY_STATUS s = Api.InitializeSecurityContextW(
        const_cast<CredHandle*>(&L.Credentials), &Context, TargetName(), kContextRequest, 0, 0,
        &inDesc, 0, nullptr, &outDesc, &attributes, &expiry);
    if (out.pvBuffer && out.cbBuffer > 0)
      Pending.append(static_cast<const char*>(out.pvBuffer), out.cbBuffer);
    if (s != SEC_E_OK) Fail("the server asked to renegotiate: " + StatusText(s));
    // Bytes after the message belong to the records that follow it.
    if (in[1].BufferType == SECBUFFER_EXTRA && in[1].cbBuffer > 0) {
      In.insert(InStart, message.data() + message.size() - in[1].cbBuffer, in[1].cbBuffer);
    }
  }

  const TLoaded& L;
  const SecurityFunctionTableW& Api;
  std::string Host;
  std::wstring WideHost;
  // The SNI and session-cache name: the host name, empty for an address.
  std::wstring Target;
  TIdTLSOptions Options;
  CtxtHandle Context{};
  bool HaveContext = false;
  SecPkgContext_StreamSizes Sizes{};
  // Ciphertext received; bytes before InStart have been used.
  std::string In;
  size_t InStart = 0;
  // Plaintext decrypted and not yet read; bytes before PlainStart were.
  std::string Plain;
  size_t PlainStart = 0;
  std::string Pending;
  size_t PendingSent = 0;
  bool Established = false;
  bool Failed = false;
  bool Closed = false;
  bool PeerClosed = false;
  bool CredentialsDeclined = false;
};

}  // namespace

std::unique_ptr<TIdTLSSession> CreatePlatformTLSSession(const std::string& AHost,
                                                        const TIdTLSOptions& AOptions) {
  return std::make_unique<TSchannelSession>(AHost, AOptions);
}

bool PlatformTLSAvailable() {
  return true;
}
