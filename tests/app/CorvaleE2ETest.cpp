// The built program itself, on Qt's offscreen platform, against real servers:
// nginx as the echo page, dnsmasq for MX records and aiosmtpd as the mail
// exchanger. A build without a configured echo host talks to 127.7.0.1 on the
// real ports (80, 53, 25), so the servers are pinned there and these tests run
// one at a time. Each test starts the program beside its own settings file,
// waits for what it expects, and ends it.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "platform/Files.h"
#include "tests/app/CorvaleE2ECases.h"
#include "tests/support/AiosmtpdServer.h"
#include "tests/support/DnsmasqServer.h"
#include "tests/support/NginxServer.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using e2e::kOldAddress;
using e2e::kPaddedAddress;
using e2e::kPaddedReply;
using e2e::kPlainAddress;
using e2e::kPlainReply;
using e2e::kSandbox;
using e2e::Settings;

// Longest a test waits for the program to do what it expects. A check without
// a DNS answer waits the program's 10 s lookup time-out.
constexpr auto kWait = 20s;

class CorvaleE2E : public ::testing::Test {
 protected:
  void SetUp() override {
#if !CORVALE_SANDBOX_BUILD
    GTEST_SKIP() << "this build talks to a configured echo host, not to the sandbox";
#endif
    if (geteuid() != 0) GTEST_SKIP() << "the sandbox's ports 80, 53 and 25 need root";
    char tmpl[] = "/tmp/corvale-e2e-XXXXXX";
    Dir = mkdtemp(tmpl);
    fs::copy_file(CORVALE_BINARY_DIR "/app/Corvale", Dir + "/Corvale");
    fs::permissions(Dir + "/Corvale", fs::perms::owner_all);
    Web.Pin(kSandbox, 80);
    Dns.Pin(kSandbox, 53);
    Dns.Options = e2e::kExchangers;
    Smtp.Pin(kSandbox, 25);
  }
  void TearDown() override {
    Stop();
    if (!Dir.empty()) fs::remove_all(Dir);
  }

  void Run(const std::string& Ini) {
    std::ofstream(Dir + "/Corvale.ini", std::ios::binary) << Ini;
    // A runtime folder of its own: a Corvale the user runs meanwhile holds the
    // one instance of the shared one.
    std::vector<std::string> env = {"QT_QPA_PLATFORM=offscreen", "HOME=" + Dir,
                                    "XDG_RUNTIME_DIR=" + Dir};
    for (char** e = environ; *e; ++e)
      if (std::string(*e).rfind("QT_", 0) != 0 && std::string(*e).rfind("HOME=", 0) != 0 &&
          std::string(*e).rfind("XDG_RUNTIME_DIR=", 0) != 0)
        env.emplace_back(*e);
    std::vector<char*> envp;
    envp.reserve(env.size());
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string exe = Dir + "/Corvale";
    char* argv[] = {exe.data(), nullptr};
    ASSERT_EQ(posix_spawn(&Pid, exe.c_str(), nullptr, nullptr, argv, envp.data()), 0);
  }
  void Stop() {
    if (Pid <= 0) return;
    ::kill(Pid, SIGTERM);
    int status;
    for (int i = 0; i < 50 && ::waitpid(Pid, &status, WNOHANG) == 0; ++i)
      std::this_thread::sleep_for(100ms);
    if (::waitpid(Pid, &status, WNOHANG) == 0) {
      ::kill(Pid, SIGKILL);
      ::waitpid(Pid, &status, 0);
    }
    Pid = -1;
  }
  // Waits until Done() holds or kWait passes; returns whether it held.
  template <class F>
  bool WaitFor(F Done) {
    for (auto end = std::chrono::steady_clock::now() + kWait;
         std::chrono::steady_clock::now() < end; std::this_thread::sleep_for(50ms))
      if (Done()) return true;
    return Done();
  }
  std::string Ini() const {
    return files::ReadFile(Dir + "/Corvale.ini");
  }
  bool Stored(const std::string& IP) const {
    return e2e::Holds(Ini(), IP);
  }
  void StartAll(const std::string& Reply) {
    Web.AddFile(e2e::kEchoPage, Reply);
    Web.Start();
    Dns.Start();
    Smtp.Start();
  }

  std::string Dir;
  pid_t Pid = -1;
  NginxServer Web;
  DnsmasqServer Dns;
  AiosmtpdServer Smtp;
};

TEST_F(CorvaleE2E, FirstCheckMailsTheChangeAndRewritesTheFile) {
  StartAll(kPaddedReply);
  Run(Settings("eve@a.test", kOldAddress));
  ASSERT_TRUE(WaitFor([&] { return Stored(kPaddedAddress); })) << Ini();
  auto mails = Smtp.WaitForMessages(1);
  ASSERT_EQ(mails.size(), 1u);
  EXPECT_EQ(mails[0].MailFrom, "eve@a.test");
  EXPECT_EQ(mails[0].RcptTo, std::vector<std::string>{"eve@a.test"});
  const std::string& d = mails[0].Data;
  for (const std::string& line : e2e::kFirstMailLines)
    EXPECT_NE(d.find(line), std::string::npos) << line << "\n---\n" << d;
  EXPECT_EQ(Ini(), Settings("eve@a.test", kPaddedAddress));
  // The program's request, exactly as it asks for the page.
  auto requests = Web.WaitForRequests(1);
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(requests[0].RequestLine, e2e::kRequestLine);
  EXPECT_EQ(requests[0].UserAgent, e2e::kUserAgent);
}

TEST_F(CorvaleE2E, TheSameAddressAgainMailsNothing) {
  StartAll(kPaddedReply);
  Run(Settings("eve@a.test", "203.0.113.7"));
  ASSERT_TRUE(WaitFor([&] { return !Web.Requests().empty(); }));
  std::this_thread::sleep_for(1s);
  EXPECT_TRUE(Smtp.Messages().empty());
  EXPECT_EQ(Ini(), Settings("eve@a.test", "203.0.113.7"));
}

TEST_F(CorvaleE2E, TwoRecipientsGetTwoMailsAfterARefusedOne) {
  StartAll(kPlainReply);
  Run(Settings("eve@refused.test,eve@a.test,bob@b.test", ""));
  ASSERT_TRUE(WaitFor([&] { return Smtp.Messages().size() >= 2; }));
  auto mails = Smtp.Messages();
  ASSERT_EQ(mails.size(), 2u);
  EXPECT_EQ(mails[0].RcptTo, std::vector<std::string>{"eve@a.test"});
  EXPECT_EQ(mails[1].RcptTo, std::vector<std::string>{"bob@b.test"});
  EXPECT_EQ(mails[1].MailFrom, "bob@b.test");
  EXPECT_TRUE(WaitFor([&] { return Stored(kPlainAddress); }));
}

TEST_F(CorvaleE2E, ADomainWithoutExchangerStopsTheRest) {
  StartAll(kPlainReply);
  Run(Settings("eve@nomx.test,bob@b.test", ""));
  ASSERT_TRUE(WaitFor([&] { return Stored(kPlainAddress); })) << Ini();
  std::this_thread::sleep_for(500ms);
  EXPECT_TRUE(Smtp.Messages().empty());
}

TEST_F(CorvaleE2E, SilentDnsServerMailsNothingButStoresTheAddress) {
  Web.AddFile(e2e::kEchoPage, kPlainReply);
  Web.Start();
  Smtp.Start();  // no DNS server: the lookup waits its 10 s and finds nothing
  Run(Settings("eve@a.test", kOldAddress));
  ASSERT_TRUE(WaitFor([&] { return Stored(kPlainAddress); })) << Ini();
  EXPECT_TRUE(Smtp.Messages().empty());
}

TEST_F(CorvaleE2E, EchoHostDownChangesNothing) {
  Dns.Start();
  Smtp.Start();  // no echo page
  Run(Settings("eve@a.test", kOldAddress));
  std::this_thread::sleep_for(2s);
  EXPECT_TRUE(Smtp.Messages().empty());
  EXPECT_EQ(Ini(), Settings("eve@a.test", kOldAddress));
}

}  // namespace
