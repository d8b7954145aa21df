// The TLS session on its own, without a socket: it is loaded only when the
// first one is made, speaks first with a ClientHello, and refuses bytes that
// are not TLS. Skipped where the build has no TLS.
#include <fstream>
#include <string>

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

}  // namespace
