// Where the settings file lives and how it is written there: beside the
// executable (every build's default, and the only place on Windows), or in the
// user's configuration directory, made private on the first save.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "platform/Exception.h"
#include "platform/Files.h"
#include "platform/SettingsDir.h"

#ifndef _WIN32
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;
using files::TSettingsPlace;

#ifdef _WIN32

TEST(SettingsDirectory, WindowsKeepsEveryPlaceBesideTheExecutable) {
  EXPECT_EQ(files::SettingsDirectory(TSettingsPlace::ExeDir, "C:\\Corvale\\"), "C:\\Corvale\\");
  EXPECT_EQ(files::SettingsDirectory(TSettingsPlace::ConfigDir, "C:\\Corvale\\"), "C:\\Corvale\\");
}

#else

// Room for one account's entry from the user database; ordinary entries need a
// few hundred bytes.
constexpr size_t kAccountTextBytes = size_t{16} * 1024;

// Sets or unsets one environment variable for a test's lifetime. The tests
// run on one thread, so changing the environment races with nothing.
class ScopedEnv {
 public:
  ScopedEnv(const char* Name, const char* Value) : name(Name) {
    if (const char* old = std::getenv(Name)) saved = old;
    if (Value)
      setenv(Name, Value, 1);  // NOLINT(concurrency-mt-unsafe)
    else
      unsetenv(Name);  // NOLINT(concurrency-mt-unsafe)
  }
  ~ScopedEnv() {
    if (saved)
      setenv(name, saved->c_str(), 1);  // NOLINT(concurrency-mt-unsafe)
    else
      unsetenv(name);  // NOLINT(concurrency-mt-unsafe)
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name;
  std::optional<std::string> saved;
};

TEST(SettingsDirectory, FollowsTheConfigurationDirectoryRule) {
  struct Case {
    const char* what;
    TSettingsPlace place;
    const char* xdg;  // nullptr: unset
    const char* home;
    const char* expected;
  } cases[] = {
      {"beside the executable, whatever the variables say", TSettingsPlace::ExeDir, "/srv/cfg",
       "/home/ann", "/opt/corvale/"},
      {"unset: the home directory's .config", TSettingsPlace::ConfigDir, nullptr, "/home/ann",
       "/home/ann/.config/corvale/"},
      {"empty counts as unset", TSettingsPlace::ConfigDir, "", "/home/ann",
       "/home/ann/.config/corvale/"},
      {"a relative path is ignored", TSettingsPlace::ConfigDir, "cfg", "/home/ann",
       "/home/ann/.config/corvale/"},
      {"an absolute path is used", TSettingsPlace::ConfigDir, "/srv/cfg", "/home/ann",
       "/srv/cfg/corvale/"},
      {"trailing separators are dropped", TSettingsPlace::ConfigDir, "/srv/cfg//", "/home/ann/",
       "/srv/cfg/corvale/"},
      {"a home with a trailing separator", TSettingsPlace::ConfigDir, nullptr, "/home/ann/",
       "/home/ann/.config/corvale/"},
  };
  for (const Case& c : cases) {
    ScopedEnv xdg("XDG_CONFIG_HOME", c.xdg);
    ScopedEnv home("HOME", c.home);
    EXPECT_EQ(files::SettingsDirectory(c.place, "/opt/corvale/"), c.expected) << c.what;
  }
}

TEST(SettingsDirectory, WithoutAUsableHomeAsksThePasswordDatabase) {
  passwd entry{};
  passwd* me = nullptr;
  std::vector<char> text(kAccountTextBytes);
  ASSERT_EQ(getpwuid_r(getuid(), &entry, text.data(), text.size(), &me), 0);
  ASSERT_NE(me, nullptr);
  const std::string expected = std::string(me->pw_dir) + "/.config/corvale/";
  for (const char* home : {static_cast<const char*>(nullptr), "", "relative"}) {
    ScopedEnv xdg("XDG_CONFIG_HOME", nullptr);
    ScopedEnv h("HOME", home);
    EXPECT_EQ(files::SettingsDirectory(TSettingsPlace::ConfigDir, "/opt/corvale/"), expected)
        << (home ? home : "(unset)");
  }
}

class SettingsFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "corvale-settings-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir = pattern;
    // The modes checked below are the ones asked for, not a mask's leftovers.
    savedMask = umask(022);
  }
  void TearDown() override {
    umask(savedMask);
    fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add);
    fs::remove_all(dir);
  }
  static unsigned Mode(const std::string& Path) {
    struct stat st {};
    EXPECT_EQ(stat(Path.c_str(), &st), 0) << Path;
    return st.st_mode & 07777;
  }
  static void Write(const std::string& Path, const std::string& Data, unsigned Mode) {
    std::ofstream(Path, std::ios::binary) << Data;
    chmod(Path.c_str(), Mode);
  }
  std::string dir;
  mode_t savedMask = 0;
};

constexpr char kSettings[] =
    "Name          Ann\r\nEmail         ann@example.org\r\nSchedule      3600\r\n"
    "Start Min     0\r\nIP            192.0.2.7\r\n";

TEST_F(SettingsFileTest, FirstSaveMakesPrivateFoldersAndAPrivateFile) {
  // $XDG_CONFIG_HOME itself may be missing too: every missing folder is made.
  const std::string config = dir + "/home/.config/corvale";
  const std::string ini = config + "/Corvale.ini";
  files::WriteSettingsFile(TSettingsPlace::ConfigDir, ini, kSettings);
  EXPECT_EQ(files::ReadFile(ini), kSettings);
  EXPECT_EQ(Mode(ini), 0600u);
  for (const std::string& d : {dir + "/home", dir + "/home/.config", config})
    EXPECT_EQ(Mode(d), 0700u) << d;
  EXPECT_FALSE(fs::exists(ini + ".tmp"));
}

TEST_F(SettingsFileTest, LaterSavesReplaceTheFileAndKeepItPrivate) {
  // A folder the user made earlier keeps its own mode; a file and a temporary
  // file left by a crash, both readable by everyone, end as the owner's alone.
  const std::string ini = dir + "/Corvale.ini";
  Write(ini, "old\r\n", 0644);
  Write(ini + ".tmp", "left by a crash", 0644);
  chmod(dir.c_str(), 0755);
  files::WriteSettingsFile(TSettingsPlace::ConfigDir, ini, kSettings);
  EXPECT_EQ(files::ReadFile(ini), kSettings);
  EXPECT_EQ(Mode(ini), 0600u);
  EXPECT_EQ(Mode(dir), 0755u);
  EXPECT_FALSE(fs::exists(ini + ".tmp"));
}

TEST_F(SettingsFileTest, AFileWhereAFolderBelongsIsAnErrorAndStaysAsItWas) {
  struct Case {
    const char* what;
    const char* file;  // the regular file standing in the way, under dir
    const char* ini;   // the settings file asked for, under dir
  } cases[] = {
      {"the program's folder", "/corvale", "/corvale/Corvale.ini"},
      {"the configuration folder", "/.config", "/.config/corvale/Corvale.ini"},
  };
  for (const Case& c : cases) {
    const std::string blocker = dir + c.file;
    Write(blocker, "not a folder", 0644);
    EXPECT_THROW(files::WriteSettingsFile(TSettingsPlace::ConfigDir, dir + c.ini, kSettings),
                 EInOutError)
        << c.what;
    EXPECT_EQ(files::ReadFile(blocker), "not a folder") << c.what;
    fs::remove(blocker);
  }
}

TEST_F(SettingsFileTest, BesideTheExecutableNothingIsMadeAndTheFileKeepsItsMode) {
  // The executable's folder always exists; a missing one is an error, not made.
  const std::string missing = dir + "/gone/Corvale.ini";
  try {
    files::WriteSettingsFile(TSettingsPlace::ExeDir, missing, kSettings);
    ADD_FAILURE() << "a missing folder must not be made";
  } catch (const EInOutError& e) {
    EXPECT_EQ(e.Message, "File not found");
  }
  EXPECT_FALSE(fs::exists(dir + "/gone"));

  const std::string ini = dir + "/Corvale.ini";
  files::WriteSettingsFile(TSettingsPlace::ExeDir, ini, kSettings);
  EXPECT_EQ(files::ReadFile(ini), kSettings);
  EXPECT_EQ(Mode(ini), 0644u);
}

#endif

}  // namespace
