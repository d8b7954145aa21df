// Starting with the session: the entry written, read back and removed, on
// Linux in a private configuration folder, on Windows in Wine's registry.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/Autostart.h"
#include "platform/Files.h"
#include "tests/support/TestEnv.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

namespace fs = std::filesystem;

#ifdef _WIN32
constexpr const char* kExe = "C:\\Program Files\\Corvale\\Corvale.exe";

// The Run value as the registry holds it, or nothing.
std::optional<std::string> RunValue() {
  char buf[1024] = {};
  DWORD size = sizeof buf;
  if (RegGetValueA(HKEY_CURRENT_USER, "Software\\Microsoft\\Windows\\CurrentVersion\\Run",
                   "Corvale", RRF_RT_REG_SZ, nullptr, buf, &size) != ERROR_SUCCESS)
    return std::nullopt;
  return std::string(buf);
}
#else
constexpr const char* kExe = "/opt/corvale/Corvale";
#endif

class AutostartTest : public ::testing::Test {
 protected:
  AutostartTest()
      : Dir(testenv::MakeTempDir("corvale-autostart-")), Config("XDG_CONFIG_HOME", Dir.c_str()) {
    // Whatever the machine had is put back afterwards (Wine's registry is
    // the prefix's own).
    WasOn = autostart::Enabled();
  }
  ~AutostartTest() override {
    try {
      autostart::SetEnabled(WasOn, kExe);
    } catch (...) {
    }
    fs::remove_all(Dir);
  }
  std::string Dir;
  testenv::ScopedVariable Config;
  bool WasOn = false;
};

TEST_F(AutostartTest, TheEntryIsWrittenReadBackAndRemoved) {
  autostart::SetEnabled(false, kExe);
  EXPECT_FALSE(autostart::Enabled());
  autostart::SetEnabled(true, kExe);
  EXPECT_TRUE(autostart::Enabled());
#ifdef _WIN32
  EXPECT_EQ(RunValue(), std::optional<std::string>("\"C:\\Program Files\\Corvale\\Corvale.exe\""));
#else
  EXPECT_EQ(autostart::EntryPath(), Dir + "/autostart/corvale.desktop");
  EXPECT_EQ(files::ReadFile(autostart::EntryPath()),
            "[Desktop Entry]\nType=Application\nName=Corvale\n"
            "GenericName=Public Address Monitor\n"
            "Comment=Watch this machine's public IP address and mail its changes\n"
            "Exec=/opt/corvale/Corvale\nIcon=corvale\nTerminal=false\nCategories=Network;\n"
            "X-GNOME-Autostart-enabled=true\n");
#endif
  // Writing it again changes nothing; removing it twice is no error.
  autostart::SetEnabled(true, kExe);
  EXPECT_TRUE(autostart::Enabled());
  autostart::SetEnabled(false, kExe);
  EXPECT_FALSE(autostart::Enabled());
  autostart::SetEnabled(false, kExe);
#ifdef _WIN32
  EXPECT_EQ(RunValue(), std::nullopt);
#else
  EXPECT_FALSE(fs::exists(autostart::EntryPath()));
#endif
}

#ifndef _WIN32
TEST_F(AutostartTest, AnEntryTurnedOffByTheDesktopReadsAsOff) {
  struct Case {
    const char* Lines;
    bool On;
  } cases[] = {
      {"Exec=corvale\n", true},
      {"Exec=corvale\nHidden=true\n", false},
      {"Exec=corvale\nHidden=false\n", true},
      {"Exec=corvale\nX-GNOME-Autostart-enabled=false\n", false},
      {"Exec=corvale\nX-GNOME-Autostart-enabled = true\n", true},
      // Keys of another group are not the entry's.
      {"Exec=corvale\n[Desktop Action x]\nHidden=true\n", true},
  };
  fs::create_directories(Dir + "/autostart");
  for (const Case& c : cases) {
    std::ofstream(autostart::EntryPath()) << "[Desktop Entry]\nType=Application\n" << c.Lines;
    EXPECT_EQ(autostart::Enabled(), c.On) << c.Lines;
  }
}

TEST(AutostartEntry, ExecQuotesAPathAsTheDesktopEntryFormatAsks) {
  struct Case {
    const char* Path;
    const char* Exec;
  } cases[] = {
      {"/usr/bin/corvale", "Exec=/usr/bin/corvale\n"},
      {"/opt/My Apps/corvale", "Exec=\"/opt/My Apps/corvale\"\n"},
      // Inside quotes $ takes a backslash, which the value's own escaping
      // doubles.
      {"/opt/a$b/corvale", "Exec=\"/opt/a\\\\$b/corvale\"\n"},
      {"/opt/100%/corvale", "Exec=/opt/100%%/corvale\n"},
  };
  for (const Case& c : cases) {
    const std::string text = autostart::EntryText(c.Path);
    EXPECT_NE(text.find(c.Exec), std::string::npos) << text;
  }
}
#endif

}  // namespace
