// Where the settings file lives and how it is written there: beside the
// executable (every build's default, and the only place on Windows), or in the
// user's configuration directory, made private on the first save.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "platform/Exception.h"
#include "platform/Files.h"
#include "platform/SettingsDir.h"
#include "tests/support/TestEnv.h"

#ifndef _WIN32
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;
using files::TSettingsPlace;

// Temporary files left by crashes of earlier runs, longer than the new text:
// one of today's form and one of the fixed name older builds used. A save
// writes exactly the new text (a temporary file reused without being emptied
// would leave its tail) and leaves every other entry of the folder as it was.
TEST(ReplaceFile, StaleTemporaryFilesNeitherLeakIntoTheFileNorChange) {
  const std::string dir = testenv::MakeTempDir("corvale-stale-");
  const std::string ini = dir + "/Corvale.ini";
  const std::string stale(600, 'S');
  std::ofstream(ini, std::ios::binary) << "old\r\n";
  std::ofstream(ini + ".tmp", std::ios::binary) << stale;
  std::ofstream(ini + ".a1B2c3D4.tmp", std::ios::binary) << stale;
  auto expected = testenv::FolderContents(dir);
  expected["Corvale.ini"] = "new\r\n";
  // Windows still writes through the fixed name, in a folder of the user's
  // own: its leftover is overwritten and becomes the file.
  if (testenv::kWindows) expected.erase("Corvale.ini.tmp");
  files::ReplaceFile(ini, "new\r\n");
  EXPECT_EQ(files::ReadFile(ini), "new\r\n");
  EXPECT_EQ(testenv::FolderContents(dir), expected);
  fs::remove_all(dir);
}

#ifdef _WIN32

TEST(SettingsDirectory, WindowsKeepsEveryPlaceBesideTheExecutable) {
  EXPECT_EQ(files::SettingsDirectory(TSettingsPlace::ExeDir, "C:\\Corvale\\"), "C:\\Corvale\\");
  EXPECT_EQ(files::SettingsDirectory(TSettingsPlace::ConfigDir, "C:\\Corvale\\"), "C:\\Corvale\\");
}

#else

// Room for one account's entry from the user database; ordinary entries need a
// few hundred bytes.
constexpr size_t kAccountTextBytes = size_t{16} * 1024;
// The unprivileged account's ids on Debian: the owner of a folder that is not
// the user's.
constexpr uid_t kNobody = 65534;

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
  // A folder the user made earlier keeps its own mode; a file readable by
  // everyone ends as the owner's alone; a temporary file left by a crash of an
  // older build is neither used nor changed.
  const std::string ini = dir + "/Corvale.ini";
  Write(ini, "old\r\n", 0644);
  Write(ini + ".tmp", "left by a crash", 0644);
  chmod(dir.c_str(), 0755);
  files::WriteSettingsFile(TSettingsPlace::ConfigDir, ini, kSettings);
  EXPECT_EQ(files::ReadFile(ini), kSettings);
  EXPECT_EQ(Mode(ini), 0600u);
  EXPECT_EQ(Mode(dir), 0755u);
  EXPECT_EQ(files::ReadFile(ini + ".tmp"), "left by a crash");
  EXPECT_EQ(Mode(ini + ".tmp"), 0644u);
}

TEST_F(SettingsFileTest, AFileKeepsTheModeOfTheFileItReplaces) {
  // Beside the executable a file the user made private stays private, and a
  // first file gets what the file-creation mask allows; in the configuration
  // folder the file is the owner's alone whatever it was.
  struct Case {
    const char* what;
    TSettingsPlace place;
    int before;  // the mode of the file replaced; -1: no file yet
    mode_t mask;
    unsigned after;
  } cases[] = {
      {"a private file", TSettingsPlace::ExeDir, 0600, 022, 0600},
      {"a file its group may read", TSettingsPlace::ExeDir, 0640, 022, 0640},
      {"a file everyone may write", TSettingsPlace::ExeDir, 0666, 022, 0666},
      {"a first file, mask 022", TSettingsPlace::ExeDir, -1, 022, 0644},
      {"a first file, mask 077", TSettingsPlace::ExeDir, -1, 077, 0600},
      {"a first file, mask 002", TSettingsPlace::ExeDir, -1, 002, 0664},
      {"configuration folder over 0644", TSettingsPlace::ConfigDir, 0644, 022, 0600},
      {"configuration folder, mask 0", TSettingsPlace::ConfigDir, -1, 0, 0600},
  };
  chmod(dir.c_str(), 0700);
  const std::string ini = dir + "/Corvale.ini";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove(ini);
    if (c.before >= 0) Write(ini, "old\r\n", static_cast<unsigned>(c.before));
    umask(c.mask);
    files::WriteSettingsFile(c.place, ini, kSettings);
    umask(022);
    EXPECT_EQ(files::ReadFile(ini), kSettings);
    EXPECT_EQ(Mode(ini), c.after);
  }
}

TEST_F(SettingsFileTest, ASaveFollowsNoLinkPlantedBesideTheFile) {
  // Someone who may write to the folder plants links to a file of the user's:
  // at the temporary name older builds used, and at the settings file itself.
  // The save writes neither through them; the settings file ends a file of
  // its own and the linked file keeps its text.
  const std::string victim = dir + "/victim";
  Write(victim, "the user's own file\n", 0600);
  const std::string ini = dir + "/Corvale.ini";
  for (const std::string& link : {ini + ".tmp", ini}) {
    SCOPED_TRACE(link);
    fs::remove(ini);
    fs::remove(ini + ".tmp");
    fs::create_symlink(victim, link);
    files::WriteSettingsFile(TSettingsPlace::ExeDir, ini, kSettings);
    EXPECT_EQ(files::ReadFile(victim), "the user's own file\n");
    EXPECT_FALSE(fs::is_symlink(ini));
    EXPECT_EQ(files::ReadFile(ini), kSettings);
  }
}

TEST_F(SettingsFileTest, AConfigurationFolderOthersControlIsRefused) {
  // Only the configuration folder is checked: the user chose it for privacy.
  struct Case {
    const char* what;
    unsigned mode;
    bool otherOwner;
  } cases[] = {
      {"its group may write", 0770, false},
      {"everyone may write", 0707, false},
      {"everyone may write, sticky", 01777, false},
      {"another user's", 0700, true},
  };
  const std::string folder = dir + "/corvale";
  const std::string ini = folder + "/Corvale.ini";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.otherOwner && geteuid() != 0) {
      std::cout << "(skipped: only root can give a folder to another user)\n";
      continue;
    }
    fs::create_directory(folder);
    Write(ini, "old\r\n", 0600);
    chmod(folder.c_str(), c.mode);
    if (c.otherOwner) {
      ASSERT_EQ(chown(folder.c_str(), kNobody, kNobody), 0);
    }
    const auto before = testenv::FolderContents(folder);
    try {
      files::WriteSettingsFile(TSettingsPlace::ConfigDir, ini, kSettings);
      ADD_FAILURE() << "saved into a folder others control";
    } catch (const EInOutError& e) {
      EXPECT_EQ(e.Message, "The settings folder " + folder +
                               " is not private: it must belong to you and no one else may "
                               "write to it");
    }
    EXPECT_EQ(testenv::FolderContents(folder), before);
    fs::remove_all(folder);
  }
  // The same folder made private again is accepted.
  fs::create_directory(folder);
  chmod(folder.c_str(), 0700);
  files::WriteSettingsFile(TSettingsPlace::ConfigDir, ini, kSettings);
  EXPECT_EQ(files::ReadFile(ini), kSettings);
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

TEST_F(SettingsFileTest, AFileHoldingAPasswordIsPrivateInEveryPlace) {
  // Beside the executable too: the folder must be the user's and closed to
  // other writers, the file ends the owner's alone whatever it was; a folder
  // others may write to refuses the save and the old file stays.
  struct Case {
    const char* what;
    unsigned folder;
    bool saved;
  } cases[] = {
      {"a private folder", 0700, true},
      {"a folder others may read", 0755, true},
      {"a folder its group may write", 0775, false},
      {"a folder everyone may write", 0757, false},
  };
  const std::string ini = dir + "/Corvale.ini";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Write(ini, "old\r\n", 0644);
    chmod(dir.c_str(), c.folder);
    try {
      files::WriteSettingsFile(TSettingsPlace::ExeDir, ini, kSettings, true);
      EXPECT_TRUE(c.saved);
    } catch (const EInOutError& e) {
      EXPECT_FALSE(c.saved) << e.Message;
      EXPECT_NE(e.Message.find(" is not private"), std::string::npos) << e.Message;
    }
    chmod(dir.c_str(), 0700);
    EXPECT_EQ(files::ReadFile(ini), c.saved ? kSettings : "old\r\n");
    EXPECT_EQ(Mode(ini), c.saved ? 0600u : 0644u);
  }
}

#endif

}  // namespace
