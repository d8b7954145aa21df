// The credential store: a password stored, read back, replaced and deleted
// for one account, other accounts untouched. Linux: the Secret Service of
// gnome-keyring-daemon on a private session bus, after the outcomes of a
// store that nobody serves. Windows (under Wine): the Credential Manager.
#include "platform/Credentials.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#ifndef _WIN32
#include "tests/support/ScriptedTcpServer.h"
#include "tests/support/SecretServiceBus.h"
#include "tests/support/TestEnv.h"
#endif

namespace {

using credentials::TStatus;

// One call to the store and what it must end in.
struct Step {
  enum Kind { Store, Read, Delete } Call;
  std::string Server, User, Password;  // Store: the password given
  TStatus Expected;
  std::string ReadBack;  // Read: the password expected
};

void RunSteps(const std::vector<Step>& Steps) {
  for (size_t i = 0; i < Steps.size(); ++i) {
    const Step& s = Steps[i];
    SCOPED_TRACE("step " + std::to_string(i) + " (" + s.User + "@" + s.Server + ")");
    credentials::TOutcome o;
    std::string got = "(untouched)";
    switch (s.Call) {
      case Step::Store:
        o = credentials::StorePassword(s.Server, s.User, s.Password);
        break;
      case Step::Read:
        o = credentials::ReadPassword(s.Server, s.User, got);
        break;
      case Step::Delete:
        o = credentials::DeletePassword(s.Server, s.User);
        break;
    }
    EXPECT_EQ(o.Status, s.Expected) << o.Message;
    EXPECT_EQ(o.Message.empty(), s.Expected == TStatus::Ok) << o.Message;
    if (s.Call == Step::Read) {
      EXPECT_EQ(got, s.Expected == TStatus::Ok ? s.ReadBack : "");
    }
  }
}

// The account's life: nothing kept, stored, read back, replaced (one item, not
// two: the read gives the new one), the limit of 2560 bytes taken and one
// byte more refused without touching what was kept, deleted, deleted again.
// Neighbouring accounts (another user on the server, the user on another
// server) never see its password.
void AccountLifeCycle() {
  const std::string host = "smtp.example.test";
  const std::string other = "mail.example.test";
  const std::string atLimit(credentials::kMaxPasswordBytes, 'x');
  const std::string pastLimit(credentials::kMaxPasswordBytes + 1, 'y');
  const std::string replaced = "n\xC3\xA9w pass:word";
  RunSteps({
      {Step::Read, host, "alice", "", TStatus::NotFound, ""},
      {Step::Store, host, "alice", "s3cret", TStatus::Ok, ""},
      {Step::Read, host, "alice", "", TStatus::Ok, "s3cret"},
      {Step::Read, host, "bob", "", TStatus::NotFound, ""},
      {Step::Read, other, "alice", "", TStatus::NotFound, ""},
      {Step::Store, other, "alice", "elsewhere", TStatus::Ok, ""},
      {Step::Store, host, "alice", replaced, TStatus::Ok, ""},
      {Step::Read, host, "alice", "", TStatus::Ok, replaced},
      {Step::Store, host, "alice", atLimit, TStatus::Ok, ""},
      {Step::Read, host, "alice", "", TStatus::Ok, atLimit},
      {Step::Store, host, "alice", pastLimit, TStatus::Failed, ""},
      {Step::Read, host, "alice", "", TStatus::Ok, atLimit},
      {Step::Delete, host, "alice", "", TStatus::Ok, ""},
      {Step::Read, host, "alice", "", TStatus::NotFound, ""},
      {Step::Delete, host, "alice", "", TStatus::NotFound, ""},
      {Step::Read, other, "alice", "", TStatus::Ok, "elsewhere"},
      {Step::Delete, other, "alice", "", TStatus::Ok, ""},
  });
}

#ifndef _WIN32
// Whether a library whose file name contains the text is mapped into this
// process.
bool Mapped(const std::string& AName) {
  std::ifstream maps("/proc/self/maps");
  for (std::string line; std::getline(maps, line);)
    if (line.find(AName) != std::string::npos) return true;
  return false;
}

// Where nobody serves the store, every call ends as Unavailable with a
// message saying so, and never waits longer than the store's deadline: no
// session bus at all, a peer that takes the connection and stays silent, a
// bus without the service. A service that starts later on the same bus is
// then found, and the account's life runs on it. (One test: the process keeps
// the session bus it first reached.)
TEST(CredentialsPeerTest, NoServiceThenTheKeyring) {
  auto unavailable = [](const char* What) {
    SCOPED_TRACE(What);
    std::string password = "(untouched)";
    for (const credentials::TOutcome& o :
         {credentials::StorePassword("smtp.example.test", "alice", "pw"),
          credentials::ReadPassword("smtp.example.test", "alice", password),
          credentials::DeletePassword("smtp.example.test", "alice")}) {
      EXPECT_EQ(o.Status, TStatus::Unavailable) << o.Message;
      EXPECT_EQ(o.Message.rfind("No credential store answers: ", 0), 0u) << o.Message;
    }
    EXPECT_EQ(password, "");
  };

  // The library is loaded by the first call, not before: a program that
  // never keeps a password has nothing of it in memory.
  EXPECT_FALSE(Mapped("libsecret")) << "libsecret is loaded before it is needed";
  SessionBus bus;
  bus.Start();
  {
    testenv::ScopedVariable address("DBUS_SESSION_BUS_ADDRESS",
                                    ("unix:path=" + bus.Path("absent")).c_str());
    unavailable("no bus");
  }
  EXPECT_TRUE(Mapped("libsecret"));
  {
    ScriptedTcpServer silent(ScriptedTcpServer::Script().Hold());
    const std::string tcp = "tcp:host=127.0.0.1,port=" + std::to_string(silent.Port());
    testenv::ScopedVariable address("DBUS_SESSION_BUS_ADDRESS", tcp.c_str());
    std::string password;
    const auto start = std::chrono::steady_clock::now();
    const credentials::TOutcome o = credentials::ReadPassword("h", "u", password);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count();
    EXPECT_EQ(o.Status, TStatus::Unavailable) << o.Message;
    EXPECT_NE(o.Message.find("did not answer within 5 seconds"), std::string::npos) << o.Message;
    // The deadline, not a shorter give-up nor the bus library's 25 s.
    EXPECT_GE(ms, credentials::kStoreTimeoutMs - 100);
    EXPECT_LT(ms, credentials::kStoreTimeoutMs + 3000);
  }
  testenv::ScopedVariable address("DBUS_SESSION_BUS_ADDRESS", bus.Address().c_str());
  unavailable("a bus without the service");

  KeyringDaemon keyring(bus);
  keyring.Start();
  AccountLifeCycle();
}
#else
TEST(CredentialsPeerTest, CredentialManagerRoundTrip) {
  AccountLifeCycle();
}
#endif

}  // namespace
