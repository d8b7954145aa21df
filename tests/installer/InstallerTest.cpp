// The Windows installer made by the release (scripts/release-windows), run
// silently under Wine as a user without administrator rights would: the files
// land in %LOCALAPPDATA%\Programs\Corvale with their shortcuts and the entry in
// the list of installed programs; the installed program starts and keeps its
// settings beside itself; the silent uninstaller removes everything but the
// settings the user may still want. A running Corvale, even one in the middle
// of a check, is closed for both; when its program file still cannot be
// replaced or removed, both stop with an error and leave the installation
// as it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>
// Winsock's header (of the scripted server) before windows.h.
#include "tests/app/CorvaleE2ECases.h"
#include "tests/support/ScriptedTcpServer.h"
// clang-format off
#include <windows.h>
#include <shlobj.h>
// clang-format on

#include "tests/ui/win32/ProgramWindow.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const char kUninstallKey[] = R"(Software\Microsoft\Windows\CurrentVersion\Uninstall\Corvale)";
// Longest wait for the installer, the uninstaller (which runs from a copy of
// itself after its first process ended) or the program to do what is expected.
constexpr auto kWait = 60s;
// Longest the program may take to end once its window is closed.
constexpr DWORD kExitWaitMs = 20000;
// The program's read time-out: a check waiting on a silent echo page ends
// after it by itself.
constexpr auto kProgramReadTimeout = 30s;
// The exit code of an installer or uninstaller that found Corvale.exe in use
// and changed nothing (EXIT_PROGRAM_BUSY of installer.nsi).
constexpr DWORD kProgramBusy = 2;
// Appended to an installed Corvale.exe (after the program's bytes, where it
// changes nothing the program does): a file that still ends with it was not
// replaced.
constexpr char kMark[] = "\ncorvale-installer-test-mark\n";

bool EndsWithMark(const std::string& Data) {
  const std::string mark = kMark;
  return Data.size() >= mark.size() &&
         Data.compare(Data.size() - mark.size(), mark.size(), mark) == 0;
}

std::string Slurp(const fs::path& P) {
  std::ifstream f(P, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

fs::path Folder(int Csidl) {
  char path[MAX_PATH] = {};
  EXPECT_EQ(SHGetFolderPathA(nullptr, Csidl, nullptr, SHGFP_TYPE_CURRENT, path), S_OK);
  return path;
}

bool UninstallEntryExists() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kUninstallKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
    return false;
  RegCloseKey(key);
  return true;
}

template <class F>
bool WaitFor(F Done) {
  for (auto end = std::chrono::steady_clock::now() + kWait; std::chrono::steady_clock::now() < end;
       std::this_thread::sleep_for(50ms))
    if (Done()) return true;
  return Done();
}

// Starts a program and, when Wait is set, answers its exit code (or -1).
DWORD Start(const std::string& Exe, const std::string& Args, const fs::path& Dir, bool Wait,
            HANDLE* Process = nullptr, DWORD* Pid = nullptr) {
  std::string cmd = "\"" + Exe + "\" " + Args;
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessA(Exe.c_str(), cmd.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      Dir.string().c_str(), &si, &pi))
    return static_cast<DWORD>(-1);
  CloseHandle(pi.hThread);
  DWORD code = 0;
  if (Wait) {
    if (WaitForSingleObject(pi.hProcess, static_cast<DWORD>(kWait / 1ms)) != WAIT_OBJECT_0)
      code = static_cast<DWORD>(-1);
    else
      GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
  } else {
    *Process = pi.hProcess;
    *Pid = pi.dwProcessId;
  }
  return code;
}

BOOL CALLBACK CollectChildren(HWND W, LPARAM Data) {
  reinterpret_cast<std::vector<HWND>*>(Data)->push_back(W);
  return TRUE;
}

std::string ClassOf(HWND W) {
  char name[64] = {};
  GetClassNameA(W, name, sizeof name);
  return name;
}

std::string TextOf(HWND W) {
  char text[256] = {};
  GetWindowTextA(W, text, sizeof text);
  return text;
}

struct Case {
  const char* Name;
  const char* Options;  // of the silent installer
  bool Autostart;       // the Startup shortcut is expected
  bool RunProgram;      // the installed program is started and saves settings
};

class Installation : public ::testing::Test {
 protected:
  void SetUp() override {
    // Wine turns every shortcut saved in the Start menu into a menu entry of
    // the Linux desktop; this prefix is a test's, so its shortcuts stay in it.
    RegSetKeyValueA(HKEY_CURRENT_USER, "Software\\Wine\\DllOverrides", "winemenubuilder.exe",
                    REG_SZ, "", 1);
    char local[MAX_PATH] = {};
    ASSERT_GT(GetEnvironmentVariableA("LOCALAPPDATA", local, sizeof local), 0u);
    InstDir = fs::path(local) / "Programs" / "Corvale";
    MenuLink = Folder(CSIDL_PROGRAMS) / "Corvale.lnk";
    StartupLink = Folder(CSIDL_STARTUP) / "Corvale.lnk";
    Clean();
  }
  void TearDown() override {
    if (Process) {
      TerminateProcess(Process, 1);
      CloseHandle(Process);
    }
    Clean();
  }
  // Starts the installed program from another folder (a check runs at once
  // when it finds a settings file).
  void StartProgram() {
    ASSERT_NE(Start((InstDir / "Corvale.exe").string(), "", fs::temp_directory_path(), false,
                    &Process, &Pid),
              static_cast<DWORD>(-1));
  }
  // Waits for the started program to end.
  bool ProgramEnded() {
    const bool ended =
        WaitForSingleObject(Process, static_cast<DWORD>(kWait / 1ms)) == WAIT_OBJECT_0;
    if (ended) {
      CloseHandle(Process);
      Process = nullptr;
    }
    return ended;
  }
  void MarkProgram() {
    std::ofstream(InstDir / "Corvale.exe", std::ios::binary | std::ios::app) << kMark;
  }
  // What an earlier run cut off may have left.
  void Clean() {
    std::error_code ec;
    fs::remove_all(InstDir, ec);
    fs::remove(MenuLink, ec);
    fs::remove(StartupLink, ec);
    RegDeleteTreeA(HKEY_CURRENT_USER, kUninstallKey);
  }

  fs::path InstDir, MenuLink, StartupLink;
  HANDLE Process = nullptr;
  DWORD Pid = 0;
};

class Installer : public Installation, public ::testing::WithParamInterface<Case> {};

TEST_P(Installer, InstallsRunsAndUninstalls) {
  const Case& c = GetParam();
#if !CORVALE_SANDBOX_BUILD
  if (c.RunProgram)
    GTEST_SKIP() << "this build talks to a configured echo host: its program is not started";
#endif
  const fs::path temp = fs::temp_directory_path();
  // The build tree is a Linux path: Wine shows the root file system as Z:.
  ASSERT_EQ(Start("Z:" CORVALE_SETUP_FILE, c.Options, temp, true), 0u);

  // Files, shortcuts and the entry of the list of installed programs.
  std::vector<std::string> files;
  for (const auto& e : fs::directory_iterator(InstDir))
    files.push_back(e.path().filename().string());
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (std::vector<std::string>{"Corvale.exe", "README.txt", "Uninstall.exe"}));
  EXPECT_EQ(Slurp(InstDir / "Corvale.exe").substr(0, 2), "MZ");
  EXPECT_NE(Slurp(InstDir / "README.txt").find("Corvale"), std::string::npos);
  EXPECT_TRUE(fs::exists(MenuLink)) << MenuLink;
  EXPECT_EQ(fs::exists(StartupLink), c.Autostart) << StartupLink;
  EXPECT_TRUE(UninstallEntryExists());

  const fs::path ini = InstDir / "Corvale.ini";
  if (c.RunProgram) {
    // Started from another folder: the settings go beside the program all
    // the same. Every field typed, Apply pressed: the check runs (with no
    // echo page it ends at once), and the settings are saved.
    const std::string exe = (InstDir / "Corvale.exe").string();
    ASSERT_NE(Start(exe, "", temp, false, &Process, &Pid), static_cast<DWORD>(-1));
    // The window exists before its controls: wait for the four edits (name,
    // addresses, hours, minutes) and the Apply button.
    std::vector<HWND> edits;
    HWND apply = nullptr;
    ASSERT_TRUE(WaitFor([&] {
      HWND main = win32test::FindProgramWindow(Pid);
      if (!main) return false;
      std::vector<HWND> children;
      EnumChildWindows(main, CollectChildren, reinterpret_cast<LPARAM>(&children));
      edits.clear();
      for (HWND w : children) {
        if (ClassOf(w) == "Edit") edits.push_back(w);
        if (ClassOf(w) == "Button" && TextOf(w).find("Apply") != std::string::npos) apply = w;
      }
      return edits.size() == 4 && apply;
    })) << "edits: "
        << edits.size();
    for (HWND w : edits) SetWindowTextA(w, "1");
    SendMessageA(apply, BM_CLICK, 0, 0);
    // Name, addresses, one hour and one minute in seconds, not minimized,
    // each key padded to 14 columns; then the address line, whose value is
    // whatever the check found (nothing when no echo page answers).
    const std::string expected =
        "Name          1\r\nEmail         1\r\nSchedule      3660\r\nStart Min     0\r\n"
        "IP            ";
    auto saved = [&] {
      if (!fs::exists(ini)) return false;
      const std::string got = Slurp(ini);
      return got.compare(0, expected.size(), expected) == 0 && got.size() >= expected.size() + 2 &&
             got.compare(got.size() - 2, 2, "\r\n") == 0 &&
             std::count(got.begin(), got.end(), '\n') == 5;
    };
    EXPECT_TRUE(WaitFor(saved)) << Slurp(ini);
    EXPECT_FALSE(fs::exists(temp / "Corvale.ini"));
    // The program stays running: the uninstaller must close it, or the
    // running Corvale.exe could not be removed.
  }

  // "Start with the session" ticked in the program's Options window: its Run
  // value goes with the program.
  constexpr const char* kRunKey = R"(Software\Microsoft\Windows\CurrentVersion\Run)";
  const std::string runValue = "\"" + (InstDir / "Corvale.exe").string() + "\"";
  ASSERT_EQ(RegSetKeyValueA(HKEY_CURRENT_USER, kRunKey, "Corvale", REG_SZ, runValue.c_str(),
                            static_cast<DWORD>(runValue.size() + 1)),
            ERROR_SUCCESS);

  // The silent uninstaller runs from a copy of itself, so its own process
  // ends at once; the entry of the list of installed programs goes last.
  ASSERT_EQ(Start((InstDir / "Uninstall.exe").string(), "/S", temp, true), 0u);
  EXPECT_TRUE(WaitFor([&] { return !UninstallEntryExists(); }));
  if (Process) {
    EXPECT_EQ(WaitForSingleObject(Process, kExitWaitMs), WAIT_OBJECT_0);
    CloseHandle(Process);
    Process = nullptr;
  }
  EXPECT_FALSE(fs::exists(MenuLink));
  EXPECT_FALSE(fs::exists(StartupLink));
  EXPECT_EQ(
      RegGetValueA(HKEY_CURRENT_USER, kRunKey, "Corvale", RRF_RT_REG_SZ, nullptr, nullptr, nullptr),
      ERROR_FILE_NOT_FOUND);
  if (c.RunProgram) {
    // The silent answer to "remove your settings?" is no: only they remain.
    files.clear();
    for (const auto& e : fs::directory_iterator(InstDir))
      files.push_back(e.path().filename().string());
    EXPECT_EQ(files, std::vector<std::string>{"Corvale.ini"});
  } else {
    EXPECT_FALSE(fs::exists(InstDir));
  }
}

// A Corvale inside a check (its echo page accepts the request and never
// answers) is closed by a silent upgrade and by a silent uninstall, each of
// which then does its whole work. The check is abandoned, not finished: the
// settings file is left exactly as it was, with no temporary file beside it.
TEST_F(Installation, ClosesAProgramInsideACheck) {
#if !CORVALE_SANDBOX_BUILD
  GTEST_SKIP() << "this build talks to a configured echo host, not to the sandbox";
#endif
  ScriptedTcpServer echo(ScriptedTcpServer::Script().ReadUntil("\r\n\r\n").Hold(), e2e::kSandbox,
                         80);
  const fs::path temp = fs::temp_directory_path();
  const std::string setup = "Z:" CORVALE_SETUP_FILE;
  ASSERT_EQ(Start(setup, "/S", temp, true), 0u);
  const std::string settings = e2e::Settings("eve@a.test", e2e::kOldAddress);
  std::ofstream(InstDir / "Corvale.ini", std::ios::binary) << settings;
  MarkProgram();

  const struct {
    const char* what;
    std::string exe, options;
    bool replaces;  // the program file is new afterwards (an upgrade)
  } steps[] = {{"upgrade", setup, "/S", true},
               {"uninstall", (InstDir / "Uninstall.exe").string(), "/S", false}};
  size_t checks = 0;
  for (const auto& step : steps) {
    SCOPED_TRACE(step.what);
    StartProgram();
    ASSERT_TRUE(echo.WaitForConnections(++checks, kWait)) << "the program's check never started";
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(Start(step.exe, step.options, temp, true), 0u);
    EXPECT_TRUE(ProgramEnded()) << "the program is still running";
    // The check gave way to the close: one that ran on would have held the
    // program until its own bound.
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_LT(took, kProgramReadTimeout)
        << "the program ended only after " << (took / 1ms) << " ms, not when asked to close";
    EXPECT_EQ(Slurp(InstDir / "Corvale.ini"), settings);
    if (step.replaces) {
      EXPECT_FALSE(EndsWithMark(Slurp(InstDir / "Corvale.exe")));
    }
  }
  // The uninstaller (from a copy of itself) removed everything but the
  // settings.
  EXPECT_TRUE(WaitFor([&] { return !UninstallEntryExists(); }));
  std::vector<std::string> files;
  for (const auto& e : fs::directory_iterator(InstDir))
    files.push_back(e.path().filename().string());
  EXPECT_EQ(files, std::vector<std::string>{"Corvale.ini"});
}

// A Corvale.exe that another program holds open without sharing writing or
// deletion (a scanner, a backup) cannot be replaced or removed: the silent
// upgrade and the silent uninstall (run in place, so that its own exit code is
// seen) stop with an error, and every part of the installation stays.
TEST_F(Installation, AProgramFileInUseStopsWithTheInstallationWhole) {
  const fs::path temp = fs::temp_directory_path();
  const std::string setup = "Z:" CORVALE_SETUP_FILE;
  ASSERT_EQ(Start(setup, "/S /AUTOSTART", temp, true), 0u);
  MarkProgram();
  const std::wstring exe = (InstDir / "Corvale.exe").wstring();
  HANDLE held = CreateFileW(exe.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  const struct {
    const char* what;
    std::string exe, options;
  } steps[] = {
      {"upgrade", setup, "/S /AUTOSTART"},
      {"uninstall", (InstDir / "Uninstall.exe").string(), "/S _?=" + InstDir.string()},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.what);
    EXPECT_EQ(Start(step.exe, step.options, temp, true), kProgramBusy);
    EXPECT_TRUE(EndsWithMark(Slurp(InstDir / "Corvale.exe")));
    EXPECT_TRUE(fs::exists(InstDir / "README.txt"));
    EXPECT_TRUE(fs::exists(InstDir / "Uninstall.exe"));
    EXPECT_TRUE(fs::exists(MenuLink));
    EXPECT_TRUE(fs::exists(StartupLink));
    EXPECT_TRUE(UninstallEntryExists());
  }
  CloseHandle(held);
}

INSTANTIATE_TEST_SUITE_P(
    Silent, Installer,
    ::testing::Values(Case{"AutostartChosenAndProgramRun", "/S /AUTOSTART", true, true},
                      Case{"DefaultComponents", "/S", false, false}),
    [](const ::testing::TestParamInfo<Case>& I) { return std::string(I.param.Name); });

}  // namespace
