// The built Corvale.exe itself, under Wine, against real servers on the Linux
// side: nginx as the echo page, dnsmasq for MX records and aiosmtpd as the
// mail exchanger, pinned to the sandbox address 127.7.0.1 on the real ports,
// which a build without a configured echo host talks to. Each test starts the
// program beside its own settings file, waits for what it expects, and ends it
// by closing its window. The same cases as the Linux end-to-end test, with the
// same expectations (tests/app/CorvaleE2ECases.h).
//
// The program's folder is a Linux folder, and the test reads the settings file
// on the Linux side (through the peer broker), never through Wine: Wine
// refuses to rename a file over one that any Windows handle holds open, even
// one opened to share deletion, so a read by the test at the moment the
// program replaces its settings file would make that save fail.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "tests/app/CorvaleE2ECases.h"
#include "tests/support/AiosmtpdServer.h"
#include "tests/support/DnsmasqServer.h"
#include "tests/support/HostProcess.h"
#include "tests/support/NginxServer.h"
// clang-format off
#include <windows.h>
// clang-format on

#include "tests/ui/win32/ProgramWindow.h"

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
// a DNS answer waits the program's 10 s lookup time-out; Wine starts slowly,
// and on a loaded machine a first check was seen to take 30 s.
constexpr auto kWait = 60s;
// Longest the program may take to end once its window is closed.
constexpr DWORD kExitWaitMs = 20000;

class CorvaleWin32E2E : public ::testing::Test {
 protected:
  void SetUp() override {
#if !CORVALE_SANDBOX_BUILD
    GTEST_SKIP() << "this build talks to a configured echo host, not to the sandbox";
#endif
    Dir = host::MakeTempDir("corvale-e2e-");
    // Linux paths: Wine shows the root file system as Z:.
    WinDir = "Z:" + Dir;
    for (char& c : WinDir)
      if (c == '/') c = '\\';
    fs::copy_file("Z:" CORVALE_BINARY_DIR "/app/Corvale.exe", WinDir + "\\Corvale.exe");
    Web.Pin(kSandbox, 80);
    Dns.Pin(kSandbox, 53);
    Dns.Options = e2e::kExchangers;
    Smtp.Pin(kSandbox, 25);
  }
  void TearDown() override {
    Stop();
    if (!Dir.empty()) host::RemoveTree(Dir);
  }

  void Run(const std::string& Ini) {
    std::ofstream(WinDir + "\\Corvale.ini", std::ios::binary) << Ini;
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(Launch(pi));
    Process = pi.hProcess;
    Pid = pi.dwProcessId;
  }
  // Starts the program in its folder; the thread handle is closed.
  bool Launch(PROCESS_INFORMATION& Pi) const {
    const std::string exe = WinDir + "\\Corvale.exe";
    std::string cmd = "\"" + exe + "\"";
    STARTUPINFOA si{};
    si.cb = sizeof si;
    if (!CreateProcessA(exe.c_str(), cmd.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        WinDir.c_str(), &si, &Pi))
      return false;
    CloseHandle(Pi.hThread);
    return true;
  }
  // Closes the main window as the user would (the program removes its icon
  // and ends); a program that does not end is stopped.
  void Stop() {
    if (!Process) return;
    HWND main = win32test::FindProgramWindow(Pid);
    if (main) PostMessageA(main, WM_CLOSE, 0, 0);
    const bool ended = WaitForSingleObject(Process, kExitWaitMs) == WAIT_OBJECT_0;
    if (!ended) TerminateProcess(Process, 1);
    CloseHandle(Process);
    Process = nullptr;
    EXPECT_TRUE(main) << "the program had no main window";
    EXPECT_TRUE(ended) << "closing the window did not end the program";
  }
  template <class F>
  bool WaitFor(F Done) {
    for (auto end = std::chrono::steady_clock::now() + kWait;
         std::chrono::steady_clock::now() < end; std::this_thread::sleep_for(50ms))
      if (Done()) return true;
    return Done();
  }
  // The settings file as the Linux side reads it; empty while there is none.
  std::string Ini() const {
    const host::RunResult r = host::Run({"/bin/cat", Dir + "/Corvale.ini"}, "");
    return host::ExitedCleanly(r.Status) ? r.Output : std::string();
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

  std::string Dir;     // the program's folder, a Linux path
  std::string WinDir;  // the same folder as the program sees it
  HANDLE Process = nullptr;
  DWORD Pid = 0;
  NginxServer Web;
  DnsmasqServer Dns;
  AiosmtpdServer Smtp;
};

TEST_F(CorvaleWin32E2E, FirstCheckMailsTheChangeAndRewritesTheFile) {
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
  // Byte for byte the file the Linux build writes.
  EXPECT_EQ(Ini(), Settings("eve@a.test", kPaddedAddress));
  auto requests = Web.WaitForRequests(1);
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(requests[0].RequestLine, e2e::kRequestLine);
  EXPECT_EQ(requests[0].UserAgent, e2e::kUserAgent);
}

TEST_F(CorvaleWin32E2E, TheSameAddressAgainMailsNothing) {
  StartAll(kPaddedReply);
  Run(Settings("eve@a.test", "203.0.113.7"));
  ASSERT_TRUE(WaitFor([&] { return !Web.Requests().empty(); }));
  // Closing the window waits for the check to end: nothing can arrive later.
  Stop();
  EXPECT_TRUE(Smtp.Messages().empty());
  EXPECT_EQ(Ini(), Settings("eve@a.test", "203.0.113.7"));
}

TEST_F(CorvaleWin32E2E, TwoRecipientsGetTwoMailsAfterARefusedOne) {
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

TEST_F(CorvaleWin32E2E, ADomainWithoutExchangerStopsTheRest) {
  StartAll(kPlainReply);
  Run(Settings("eve@nomx.test,bob@b.test", ""));
  ASSERT_TRUE(WaitFor([&] { return Stored(kPlainAddress); })) << Ini();
  Stop();
  EXPECT_TRUE(Smtp.Messages().empty());
}

TEST_F(CorvaleWin32E2E, SilentDnsServerMailsNothingButStoresTheAddress) {
  Web.AddFile(e2e::kEchoPage, kPlainReply);
  Web.Start();
  Smtp.Start();  // no DNS server: the lookup waits its 10 s and finds nothing
  Run(Settings("eve@a.test", kOldAddress));
  ASSERT_TRUE(WaitFor([&] { return Stored(kPlainAddress); })) << Ini();
  EXPECT_TRUE(Smtp.Messages().empty());
}

TEST_F(CorvaleWin32E2E, EchoHostDownChangesNothing) {
  Dns.Start();
  Smtp.Start();  // no echo page
  Run(Settings("eve@a.test", kOldAddress));
  // The refused fetch ends the check at once; closing waits for it.
  ASSERT_TRUE(WaitFor([&] { return win32test::FindProgramWindow(Pid) != nullptr; }));
  Stop();
  EXPECT_TRUE(Smtp.Messages().empty());
  EXPECT_EQ(Ini(), Settings("eve@a.test", kOldAddress));
}

// One copy per session: a second start of a copy that runs hidden shows the
// running one's window and ends with status 0, and a copy killed without
// closing (its claim left to the system to drop) never blocks the next start.
// No servers: each check fails at once.
TEST_F(CorvaleWin32E2E, ASecondStartWakesTheFirstAndAKilledOneBlocksNoStart) {
  std::string ini = Settings("eve@a.test", kOldAddress);
  const std::string shown = "Start Min     0";
  ini.replace(ini.find(shown), shown.size(), "Start Min     1");
  Run(ini);
  HWND main = nullptr;
  ASSERT_TRUE(WaitFor([&] { return (main = win32test::FindProgramWindow(Pid)) != nullptr; }));
  // Past its start-up (the window is shown, then hidden for Start Minimized).
  ASSERT_TRUE(WaitFor([&] {
    std::this_thread::sleep_for(500ms);
    return !IsWindowVisible(main);
  }));

  PROCESS_INFORMATION second{};
  ASSERT_TRUE(Launch(second));
  // Wine takes most of a second to start a program: the bound here is
  // generous, the second's own work is a message and an exit.
  EXPECT_EQ(WaitForSingleObject(second.hProcess, 10000), WAIT_OBJECT_0);
  DWORD code = STILL_ACTIVE;
  GetExitCodeProcess(second.hProcess, &code);
  if (code == STILL_ACTIVE) TerminateProcess(second.hProcess, 1);  // a second copy that stayed
  CloseHandle(second.hProcess);
  EXPECT_EQ(code, 0u);
  EXPECT_TRUE(WaitFor([&] { return IsWindowVisible(main) != FALSE; }));
  EXPECT_EQ(WaitForSingleObject(Process, 0), static_cast<DWORD>(WAIT_TIMEOUT));

  // Killed: the next start runs.
  TerminateProcess(Process, 1);
  WaitForSingleObject(Process, kExitWaitMs);
  CloseHandle(Process);
  Process = nullptr;
  Run(ini);
  EXPECT_TRUE(WaitFor([&] { return win32test::FindProgramWindow(Pid) != nullptr; }));
  EXPECT_EQ(WaitForSingleObject(Process, 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

// The main window's edits, in their order (name, addresses, hours,
// minutes), and its Apply button.
struct TControls {
  std::vector<HWND> Edits;
  HWND Apply = nullptr;
};

// A control's text. Asked with WM_GETTEXT: GetWindowText does not ask a
// window of another process, it answers the text the window was made with.
std::string TextOf(HWND W) {
  char buf[256] = {};
  SendMessageA(W, WM_GETTEXT, sizeof buf, reinterpret_cast<LPARAM>(buf));
  return buf;
}

BOOL CALLBACK CollectControls(HWND W, LPARAM Data) {
  auto* c = reinterpret_cast<TControls*>(Data);
  char name[16] = {};
  GetClassNameA(W, name, sizeof name);
  if (std::string(name) == "Edit") c->Edits.push_back(W);
  if (std::string(name) == "Button" && TextOf(W).find("Apply") != std::string::npos) c->Apply = W;
  return TRUE;
}

// Started from another folder, the program finds its settings file beside
// itself, shows what it read and saves there, whatever the folder's name: one
// the ANSI code page (1252) spells, and one it cannot (Polish, Greek, CJK and
// an emoji, whose narrow form would name no folder, or a look-alike). No
// servers: each check fails at once.
TEST_F(CorvaleWin32E2E, FindsReadsAndSavesItsSettingsInAnyFolder) {
  const struct {
    const char* what;
    std::wstring name;
  } folders[] = {
      {"ASCII", L"Corvale"},
      // Lodz, Ellada, Nihongo and U+1F600 (a surrogate pair).
      {"outside the code page",
       L"\u0141\u00F3d\u017A \u0395\u03BB\u03BB\u03AC\u03B4\u03B1 \u65E5\u672C\u8A9E \xD83D\xDE00"},
  };
  const fs::path start(WinDir);
  for (const auto& f : folders) {
    SCOPED_TRACE(f.what);
    const fs::path folder = start / f.name;
    ASSERT_TRUE(fs::create_directory(folder));
    const fs::path exe = folder / L"Corvale.exe";
    fs::copy_file(start / L"Corvale.exe", exe);
    std::ofstream(folder / L"Corvale.ini", std::ios::binary) << Settings("eve@a.test", kOldAddress);

    std::wstring cmd = L"\"" + exe.wstring() + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(CreateProcessW(exe.c_str(), cmd.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               start.c_str(), &si, &pi));
    CloseHandle(pi.hThread);
    Process = pi.hProcess;
    Pid = pi.dwProcessId;
    // Read: the name and addresses edits show the file's values.
    TControls c;
    EXPECT_TRUE(WaitFor([&] {
      c = TControls{};
      if (HWND main = win32test::FindProgramWindow(Pid))
        EnumChildWindows(main, CollectControls, reinterpret_cast<LPARAM>(&c));
      return c.Edits.size() == 4 && c.Apply && TextOf(c.Edits[0]) == "Eve Example" &&
             TextOf(c.Edits[1]) == "eve@a.test";
    })) << "the settings were not read";
    // Saved: a new address list, and Apply (the save comes before its check).
    // Bounded: a save that fails leaves an error box open inside the click.
    if (c.Edits.size() == 4 && c.Apply) {
      SendMessageA(c.Edits[1], WM_SETTEXT, 0, reinterpret_cast<LPARAM>("bob@b.test"));
      EXPECT_NE(SendMessageTimeoutA(c.Apply, BM_CLICK, 0, 0, SMTO_NORMAL, kExitWaitMs, nullptr), 0)
          << "Apply did not return (an error box?)";
    }
    Stop();
    std::ifstream in(folder / L"Corvale.ini", std::ios::binary);
    const std::string saved((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(saved, Settings("bob@b.test", kOldAddress));
    EXPECT_FALSE(fs::exists(start / L"Corvale.ini")) << "saved in the folder it was started from";
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 2);
  }
}

}  // namespace
