// The TLS session on its own, without a socket: it is loaded only when the
// first one is made, speaks first with a ClientHello, and refuses bytes that
// are not TLS. Skipped where the build has no TLS.
#include <fstream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

#include "gtest/gtest.h"
#include "net/transport/IdTLS.h"

namespace {

#ifdef _WIN32
// The system's TLS: SSPI's library.
constexpr const char* kTLSLibrary = "secur32.dll";
// Whether the library is loaded into this process.
bool Mapped(const std::string& AName) {
  return GetModuleHandleA(AName.c_str()) != nullptr;
}
#else
constexpr const char* kTLSLibrary = "libssl.so";
// Whether a library whose file name contains the text is mapped into this
// process (/proc/self/maps).
bool Mapped(const std::string& AName) {
  std::ifstream maps("/proc/self/maps");
  for (std::string line; std::getline(maps, line);)
    if (line.find(AName) != std::string::npos) return true;
  return false;
}
#endif

TEST(TLSSession, LibraryIsLoadedByTheFirstSessionAndItSpeaksFirst) {
  if (!PlatformTLSAvailable()) GTEST_SKIP() << "this build has no TLS";
  // Nothing in this test program has used TLS yet: an idle program has
  // nothing of the library in memory.
  EXPECT_FALSE(Mapped(kTLSLibrary)) << "the TLS library is loaded before it is needed";
  const auto session = CreatePlatformTLSSession("localhost", TIdTLSOptions());
  EXPECT_TRUE(Mapped(kTLSLibrary));
  EXPECT_FALSE(session->Handshake());
  const std::string_view hello = session->ToSend();
  // RFC 8446 section 5.1: a handshake record (22), legacy version 3.x;
  // section 4: its first message is a ClientHello (1).
  ASSERT_GE(hello.size(), 6U);
  EXPECT_EQ(hello[0], '\x16');
  EXPECT_EQ(hello[1], '\x03');
  EXPECT_EQ(hello[5], '\x01');
  session->Sent(hello.size());
  EXPECT_TRUE(session->ToSend().empty());
}

TEST(TLSSession, BytesThatAreNotTlsFailTheHandshakeNamingTheHost) {
  if (!PlatformTLSAvailable()) GTEST_SKIP() << "this build has no TLS";
  // A record whose type is none of TLS's (RFC 8446 section 5: 20-24), fed
  // whole and a byte at a time.
  const std::string plain = "220 mail.example ESMTP\r\n";
  for (const size_t step : {plain.size(), size_t{1}}) {
    SCOPED_TRACE(step);
    const auto session = CreatePlatformTLSSession("mail.example", TIdTLSOptions());
    EXPECT_FALSE(session->Handshake());
    bool refused = false;
    for (size_t at = 0; at < plain.size() && !refused; at += step) {
      session->PutReceived(plain.data() + at, std::min(step, plain.size() - at));
      try {
        EXPECT_FALSE(session->Handshake());
      } catch (const EIdTLSHandshakeFailed& e) {
        refused = true;
        EXPECT_EQ(std::string(e.what()).rfind("The secure connection to mail.example failed: ", 0),
                  0U)
            << e.what();
      }
    }
    EXPECT_TRUE(refused);
  }
}

// What a server may answer to the ClientHello instead of its ServerHello, and
// how the session must take it.
struct AnswerCase {
  const char* Name;
  std::string Bytes;
  // The exact message, or, when it ends with ": ", the start of it (the
  // library's reason follows); empty: no error yet, more is awaited.
  const char* Message;
};

// A record header (RFC 8446 section 5.1): type, version 3.3, body length.
std::string Header(char AType, unsigned ALength) {
  return std::string{AType, '\x03', '\x03', static_cast<char>(ALength >> 8),
                     static_cast<char>(ALength & 0xFF)};
}

TEST(TLSSession, AlertsAndImpossibleRecordsInsteadOfAServerHello) {
  if (!PlatformTLSAvailable()) GTEST_SKIP() << "this build has no TLS";
  // A record carries 2^14 bytes and at most 2048 of expansion (RFC 5246
  // section 6.2.3): IdTLSDefaults::MaxRecordBytes less its 5-byte header.
  constexpr unsigned kMaxBody = 16384 + 2048;
  static_assert(kMaxBody + 5 == IdTLSDefaults::MaxRecordBytes);
  const char* failed = "The secure connection to localhost failed: ";
  std::vector<AnswerCase> cases = {
      // A fatal alert in clear (RFC 8446 section 6): level 2, then its number.
      {"protocol_version (70)", Header('\x15', 2) + "\x02\x46",
       "localhost does not offer TLS 1.2 or later."},
      {"handshake_failure (40)", Header('\x15', 2) + "\x02\x28", failed},
      {"a body one byte longer than TLS allows", Header('\x16', kMaxBody + 1), failed},
      {"a major version other than 3", std::string("\x16\x04\x03\x00\x10", 5), failed},
  };
#ifdef _WIN32
  // Schannel's session waits for a record of the largest size TLS allows;
  // OpenSSL's own limit is lower, so this case is the Windows session's.
  cases.push_back({"a body as long as TLS allows", Header('\x16', kMaxBody), ""});
#endif
  for (const AnswerCase& k : cases) {
    SCOPED_TRACE(k.Name);
    const auto session = CreatePlatformTLSSession("localhost", TIdTLSOptions());
    EXPECT_FALSE(session->Handshake());
    session->Sent(session->ToSend().size());
    session->PutReceived(k.Bytes.data(), k.Bytes.size());
    std::string message;
    try {
      EXPECT_FALSE(session->Handshake());
    } catch (const EIdTLSError& e) {
      message = e.what();
    }
    const std::string want = k.Message;
    if (want.size() > 2 && want.substr(want.size() - 2) == ": ") {
      EXPECT_EQ(message.substr(0, want.size()), want);
      EXPECT_GT(message.size(), want.size() + 1) << "no reason given";
    } else {
      EXPECT_EQ(message, want);
    }
  }
}

}  // namespace
