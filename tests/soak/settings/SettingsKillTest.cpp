// The settings file survives a kill -9 at any moment, a full disk and a
// read-only directory.
//
// The kill run starts settings_driver (the main window on the headless backend
// saving new values in a loop, announcing each save before and after), kills
// it with SIGKILL at a random moment, and then requires the file to be, byte
// for byte, either the last file whose save returned or the one being saved,
// built here from the announced values by the file's own layout. The next
// start of the driver must load exactly those values, a temporary file left by
// the kill notwithstanding, and save again. CORVALE_KILLS sets the number of
// kills, CORVALE_KILL_SEED replays a run.
//
// The disk runs save into a small tmpfs of their own: filled up, or mounted
// read-only, the save fails with the reason in a message box and the old file
// stays; once there is room again the next save works.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "app/Form1.h"
#include "platform/Files.h"
#include "tests/support/TestEnv.h"
#include "ui/Application.h"
#include "ui/headless/HeadlessBackend.h"

namespace {

namespace fs = std::filesystem;

// Kills when CORVALE_KILLS is not set.
constexpr int kDefaultKills = 100;
// After the driver has loaded the file it is killed once it has told this many
// more lines at most (two per save): the kill falls in one of its first saves.
constexpr int kMaxLinesBeforeKill = 6;
// ... and then after a random pause of up to this long, about the time a save
// with its two flushes takes, so that kills land in every step of a save.
constexpr int kMaxKillDelayUs = 4000;

// From this many kills on, both outcomes of a kill during a save (old file,
// new file) must show up: a short run may, by chance, see only one.
constexpr int kMinKillsForBothOutcomes = 500;

// One save's values, as the driver announces them.
struct Saved {
  std::string Name, Email;
  int Hours = 0, Minutes = 0;
  bool StartMin = false;
  std::string IP;
  bool operator==(const Saved&) const = default;
};

// The file holding S: five lines, each a key padded with blanks to 14
// characters, then the value, then CR LF; the interval in whole seconds.
std::string FileOf(const Saved& S) {
  return "Name          " + S.Name + "\r\n" + "Email         " + S.Email + "\r\n" +
         "Schedule      " + std::to_string(S.Hours * 3600 + S.Minutes * 60) + "\r\n" +
         "Start Min     " + (S.StartMin ? "1" : "0") + "\r\n" + "IP            " + S.IP + "\r\n";
}

std::string Unhex(const std::string& H) {
  if (H == "-") return {};
  std::string out;
  for (size_t i = 0; i + 1 < H.size(); i += 2)
    out += static_cast<char>(std::stoi(H.substr(i, 2), nullptr, 16));
  return out;
}

std::vector<std::string> Words(const std::string& Line) {
  std::istringstream in(Line);
  std::vector<std::string> w;
  for (std::string s; in >> s;) w.push_back(s);
  return w;
}

std::optional<std::string> ReadIfExists(const std::string& Path) {
  if (!fs::exists(Path)) return std::nullopt;
  return files::ReadFile(Path);
}

std::string Slurp(const std::string& Path) {
  std::ifstream in(Path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A private directory below /tmp, removed with what it holds.
class TempDir {
 public:
  explicit TempDir(const char* Prefix) {
    std::string tmpl = std::string("/tmp/") + Prefix + "XXXXXX";
    if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    FPath = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(FPath, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return FPath; }

 private:
  std::string FPath;
};

// settings_driver running in Dir: its stdout is a pipe read line by line,
// its stderr goes to LogPath.
class Driver {
 public:
  Driver(const std::string& Dir, uint64_t Seed, const std::string& LogPath) : FLog(LogPath) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&fa, STDERR_FILENO, LogPath.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0644);
    const std::string exe = CORVALE_SETTINGS_DRIVER;
    const std::string seed = std::to_string(Seed);
    std::vector<char*> argv{const_cast<char*>(exe.c_str()), const_cast<char*>(Dir.c_str()),
                            const_cast<char*>(seed.c_str()), nullptr};
    const int rc = posix_spawn(&FPid, exe.c_str(), &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    ::close(fds[1]);
    FFd = fds[0];
    if (rc != 0) {
      FPid = -1;
      throw std::runtime_error("cannot start " + exe + ": " + std::system_category().message(rc));
    }
  }
  ~Driver() {
    if (FPid > 0) Kill();
    if (FFd >= 0) ::close(FFd);
  }
  Driver(const Driver&) = delete;
  Driver& operator=(const Driver&) = delete;

  // The next line the driver told, without its newline; nothing once it has
  // ended and every line has been read.
  std::optional<std::string> NextLine() {
    for (;;) {
      const size_t nl = FBuffer.find('\n');
      if (nl != std::string::npos) {
        std::string line = FBuffer.substr(0, nl);
        FBuffer.erase(0, nl + 1);
        return line;
      }
      char buf[4096];
      const ssize_t n = ::read(FFd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return std::nullopt;
      FBuffer.append(buf, static_cast<size_t>(n));
    }
  }

  // SIGKILL, then the wait status; true when it was our kill that ended it.
  bool Kill() {
    ::kill(FPid, SIGKILL);
    int status = 0;
    while (::waitpid(FPid, &status, 0) < 0 && errno == EINTR) {
    }
    FPid = -1;
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
  }

  std::string Log() const { return Slurp(FLog); }

 private:
  pid_t FPid = -1;
  int FFd = -1;
  std::string FLog;
  std::string FBuffer;
};

// What a start of the driver loaded, from its "L" line.
struct Loaded {
  Saved Values;
  bool Scheduled = false;
  std::string Box;
  bool operator==(const Loaded&) const = default;
};

std::ostream& operator<<(std::ostream& O, const Loaded& L) {
  return O << "{name '" << L.Values.Name << "', email '" << L.Values.Email << "', "
           << L.Values.Hours << " h " << L.Values.Minutes << " min, start min " << L.Values.StartMin
           << ", ip '" << L.Values.IP << "', scheduled " << L.Scheduled << ", box '" << L.Box
           << "'}";
}

// What a start must load when the file holds Disk (no file: the first start,
// which shows the design values and schedules nothing).
Loaded Expected(const std::optional<Saved>& Disk) {
  if (!Disk) return Loaded{Saved{"", "", 48, 0, false, ""}, false, ""};
  return Loaded{*Disk, true, ""};
}

// The driver's account of its saves during one run.
struct Progress {
  explicit Progress(std::optional<Saved> OnDisk) : Committed(std::move(OnDisk)) {}
  std::optional<Saved> Committed;  // the last file known to be in place
  std::optional<Saved> Pending;    // announced, its save not yet returned
  unsigned Last = 0;               // the last save announced
  int Saves = 0;                   // saves that returned in this run

  // An empty text when Line follows the protocol, else what is wrong.
  std::string Take(const std::string& Line) {
    const std::vector<std::string> w = Words(Line);
    if (w.size() == 8 && w[0] == "W") {
      if (std::stoul(w[1]) != Last + 1 || Pending) return "out of order: " + Line;
      Last = static_cast<unsigned>(std::stoul(w[1]));
      Pending = Saved{Unhex(w[2]),     Unhex(w[3]), std::stoi(w[4]),
                      std::stoi(w[5]), w[6] == "1", Unhex(w[7])};
      return {};
    }
    if (w.size() == 2 && w[0] == "D") {
      if (std::stoul(w[1]) != Last || !Pending) return "out of order: " + Line;
      Committed = Pending;
      Pending.reset();
      ++Saves;
      return {};
    }
    if (w.size() == 2 && w[0] == "E") return "a save failed: " + Unhex(w[1]);
    return "unexpected line: " + Line;
  }
};

Loaded ParseLoaded(const std::string& Line) {
  const std::vector<std::string> w = Words(Line);
  if (w.size() != 9 || w[0] != "L") throw std::runtime_error("not a start-up line: " + Line);
  return Loaded{
      Saved{Unhex(w[1]), Unhex(w[2]), std::stoi(w[3]), std::stoi(w[4]), w[5] == "1", Unhex(w[6])},
      w[7] == "1", Unhex(w[8])};
}

TEST(SettingsKill, EveryKillLeavesTheOldOrTheNewFileWholeAndTheNextStartReadsIt) {
  const int kills = testenv::NumberFromEnvironment("CORVALE_KILLS", kDefaultKills);
  const auto seed =
      testenv::NumberFromEnvironment<uint64_t>("CORVALE_KILL_SEED", std::random_device{}());
  std::cout << "kill run: " << kills << " kills, seed " << seed
            << " (replay with CORVALE_KILL_SEED=" << seed << ")" << std::endl;
  std::mt19937_64 rng(seed);
  std::uniform_int_distribution<int> linesBeforeKill(0, kMaxLinesBeforeKill);
  std::uniform_int_distribution<int> killDelayUs(0, kMaxKillDelayUs);

  TempDir dir("corvale-kill-");
  const std::string ini = dir.Path() + "/Corvale.ini";
  const std::string log = dir.Path() + "/driver.log";
  std::optional<Saved> onDisk;  // nothing yet: the first start finds no file

  int midSave = 0;
  int oldKept = 0;
  int newInPlace = 0;
  int tmpLeft = 0;
  int tmpAtStart = 0;
  int savedAgain = 0;
  int saves = 0;
  const auto started = std::chrono::steady_clock::now();
  for (int i = 1; i <= kills; ++i) {
    SCOPED_TRACE("kill " + std::to_string(i) + ", seed " + std::to_string(seed));
    const bool tmpBefore = !testenv::TemporaryFilesBeside(ini).empty();
    Driver d(dir.Path(), rng(), log);
    const std::optional<std::string> first = d.NextLine();
    ASSERT_TRUE(first) << "the driver ended during start-up:\n" << d.Log();
    ASSERT_EQ(ParseLoaded(*first), Expected(onDisk))
        << (tmpBefore ? "(a temporary file was left beside it)" : "");
    if (tmpBefore) ++tmpAtStart;

    Progress p(onDisk);
    const int lines = linesBeforeKill(rng);
    for (int n = 0; n < lines; ++n) {
      const std::optional<std::string> line = d.NextLine();
      ASSERT_TRUE(line) << "the driver ended by itself:\n" << d.Log();
      ASSERT_EQ(p.Take(*line), "");
    }
    std::this_thread::sleep_for(std::chrono::microseconds(killDelayUs(rng)));
    ASSERT_TRUE(d.Kill()) << "the driver had ended before the kill:\n" << d.Log();
    // Lines told before the kill that were still in the pipe.
    while (const std::optional<std::string> line = d.NextLine()) ASSERT_EQ(p.Take(*line), "");

    const std::optional<std::string> file = ReadIfExists(ini);
    const bool isOld = p.Committed ? file == FileOf(*p.Committed) : !file.has_value();
    const bool isNew = p.Pending && file == FileOf(*p.Pending);
    ASSERT_TRUE(isOld || isNew) << "torn or foreign file after the kill:\n"
                                << file.value_or("(no file)") << "\nlast complete save:\n"
                                << (p.Committed ? FileOf(*p.Committed) : "(none)")
                                << "\nsave under way:\n"
                                << (p.Pending ? FileOf(*p.Pending) : "(none)");
    if (p.Pending) {
      ++midSave;
      if (isNew)
        ++newInPlace;
      else
        ++oldKept;
    }
    if (p.Saves > 0) ++savedAgain;
    if (!testenv::TemporaryFilesBeside(ini).empty()) ++tmpLeft;
    saves += p.Saves;
    onDisk = isNew ? p.Pending : p.Committed;
  }

  // One more start: it reads the last file and its first save goes through.
  {
    const bool tmpBefore = !testenv::TemporaryFilesBeside(ini).empty();
    Driver d(dir.Path(), rng(), log);
    const std::optional<std::string> first = d.NextLine();
    ASSERT_TRUE(first) << d.Log();
    ASSERT_EQ(ParseLoaded(*first), Expected(onDisk))
        << (tmpBefore ? "(a temporary file was left beside it)" : "");
    Progress p(onDisk);
    while (p.Saves == 0) {
      const std::optional<std::string> line = d.NextLine();
      ASSERT_TRUE(line) << d.Log();
      ASSERT_EQ(p.Take(*line), "");
    }
    d.Kill();
    while (const std::optional<std::string> line = d.NextLine()) ASSERT_EQ(p.Take(*line), "");
    const std::string file = files::ReadFile(ini);
    EXPECT_TRUE(file == FileOf(*p.Committed) || (p.Pending && file == FileOf(*p.Pending)));
  }

  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::cout << "kills survived: " << kills << " in " << seconds << " s; " << saves
            << " saves returned; kills during a save: " << midSave << " (old file kept " << oldKept
            << ", new file in place " << newInPlace << "); temporary file left by " << tmpLeft
            << " kills, present at " << tmpAtStart << " starts; " << savedAgain
            << " restarts saved again before their kill" << std::endl;
  // The kills must have reached saves under way, and a long run both of
  // their outcomes, or they never hit the moments that matter.
  if (kills >= kDefaultKills) {
    EXPECT_GT(midSave, 0);
  }
  if (kills >= kMinKillsForBothOutcomes) {
    EXPECT_GT(oldKept, 0);
    EXPECT_GT(newInPlace, 0);
  }
}

// The main window without its network, for the disk tests.
class QuietForm : public TForm1 {
 public:
  using TForm1::TForm1;
  void GetMyIP() override {}
};

// A directory on a 64 KiB tmpfs with room for a few files, mounted for the
// test (we run as root in CI); Mounted is false where mounting is not allowed.
class SmallDiskTest : public ::testing::Test {
 protected:
  // The tmpfs: small enough to fill in a few writes and a few files.
  static constexpr const char* kMountOptions = "size=64k,nr_inodes=32,mode=0755";

  SmallDiskTest() : FDir("corvale-disk-") {
    if (::mount("tmpfs", FDir.Path().c_str(), "tmpfs", MS_NOSUID | MS_NODEV, kMountOptions) == 0)
      Mounted = true;
    else
      MountError = std::system_category().message(errno);
  }
  ~SmallDiskTest() override {
    app.reset();
    if (Mounted) ::umount2(FDir.Path().c_str(), MNT_DETACH);
  }
  const std::string& Dir() const { return FDir.Path(); }
  std::string Ini() const { return Dir() + "/Corvale.ini"; }

  // Starts the window in Dir (again), as the program's start would.
  void Start() {
    app.reset();
    auto b = std::make_unique<THeadlessBackend>();
    ui = b.get();
    app = std::make_unique<TApplication>(std::move(b), Dir() + "/Corvale");
    app->ShowMainForm = false;
    form = app->CreateForm<QuietForm>();
  }
  void Apply(const Saved& S) {
    form->Edit1->SetText(S.Name);
    form->Edit2->SetText(S.Email);
    form->UpDown1->SetPosition(S.Hours);
    form->UpDown2->SetPosition(S.Minutes);
    form->CheckBox1->SetChecked(S.StartMin);
    form->LastIP = S.IP;
    app->Invoke([&] { form->BitBtn1->Click(); });
  }

  bool Mounted = false;
  std::string MountError;
  THeadlessBackend* ui = nullptr;
  std::unique_ptr<TApplication> app;
  QuietForm* form = nullptr;

 private:
  TempDir FDir;
};

Saved OldValues() {
  return Saved{"Ann Old", "ann@old.example", 2, 30, false, "192.0.2.1"};
}
Saved NewValues() {
  return Saved{"Bob New", "bob@new.example, x@y.example", 0, 45, true, " 198.51.100.2 "};
}
// The two files worked out by hand from the file's layout.
const char kOldFile[] =
    "Name          Ann Old\r\n"
    "Email         ann@old.example\r\n"
    "Schedule      9000\r\n"
    "Start Min     0\r\n"
    "IP            192.0.2.1\r\n";
const char kNewFile[] =
    "Name          Bob New\r\n"
    "Email         bob@new.example, x@y.example\r\n"
    "Schedule      2700\r\n"
    "Start Min     1\r\n"
    "IP             198.51.100.2 \r\n";

// Ways to leave no room on the disk; each returns the files it made.
struct FullCase {
  const char* what;
  std::vector<std::string> (*fill)(const std::string& Dir);
};

// The most files or 4 KiB writes a filler makes before giving up: far more
// than the tmpfs can hold.
constexpr int kMaxFill = 4096;

std::vector<std::string> FillBlocks(const std::string& Dir) {
  const std::string path = Dir + "/filler";
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) throw std::runtime_error("cannot create the filler");
  const std::string chunk(4096, 'f');
  int i = 0;
  for (; i<kMaxFill&& ::write(fd, chunk.data(), chunk.size())> 0; ++i) {
  }
  const int err = errno;
  ::close(fd);
  if (i == kMaxFill || err != ENOSPC) throw std::runtime_error("the disk did not fill");
  return {path};
}

std::vector<std::string> FillInodes(const std::string& Dir) {
  std::vector<std::string> made;
  for (int i = 0; i < kMaxFill; ++i) {
    const std::string path = Dir + "/empty" + std::to_string(i);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
      if (errno != ENOSPC) throw std::runtime_error("unexpected error filling inodes");
      return made;
    }
    ::close(fd);
    made.push_back(path);
  }
  throw std::runtime_error("the inodes did not run out");
}

class FullDiskTest : public SmallDiskTest, public ::testing::WithParamInterface<FullCase> {};

TEST_P(FullDiskTest, SaveFailsWithTheReasonAndTheOldFileStays) {
  if (!Mounted) {
    GTEST_SKIP() << "cannot mount a small tmpfs here (" << MountError
                 << "); the full disk needs one";
  }
  Start();
  Apply(OldValues());
  ASSERT_TRUE(ui->MessageBoxes.empty());
  ASSERT_EQ(files::ReadFile(Ini()), kOldFile);

  const std::vector<std::string> filler = GetParam().fill(Dir());
  Apply(NewValues());
  ASSERT_EQ(ui->MessageBoxes.size(), 1u);
  EXPECT_EQ(ui->MessageBoxes[0].Text, "Disk full");
  EXPECT_EQ(ui->MessageBoxes[0].Caption, "Corvale");
  EXPECT_EQ(files::ReadFile(Ini()), kOldFile);
  EXPECT_EQ(testenv::TemporaryFilesBeside(Ini()), std::vector<std::string>{})
      << "the failed save cleans up after itself";

  // A start now reads the old settings.
  Start();
  EXPECT_EQ(form->Edit1->GetText(), OldValues().Name);
  EXPECT_EQ(form->LastIP, OldValues().IP);
  EXPECT_TRUE(ui->MessageBoxes.empty());

  // With room again, the next save goes through.
  for (const std::string& f : filler) fs::remove(f);
  Apply(NewValues());
  EXPECT_TRUE(ui->MessageBoxes.empty());
  EXPECT_EQ(files::ReadFile(Ini()), kNewFile);
}

INSTANTIATE_TEST_SUITE_P(Settings, FullDiskTest,
                         ::testing::Values(FullCase{"NoBlockLeft", FillBlocks},
                                           FullCase{"NoInodeLeft", FillInodes}),
                         [](const auto& Info) { return std::string(Info.param.what); });

TEST_F(SmallDiskTest, SaveIntoReadOnlyDirectoryFailsWithTheReasonAndTheOldFileStays) {
  // Root writes through permission bits: a read-only mount is what stops it.
  const bool root = ::geteuid() == 0;
  if (root && !Mounted) {
    GTEST_SKIP() << "running as root and cannot mount a tmpfs (" << MountError
                 << "): a read-only directory needs a read-only mount";
  }
  auto setReadOnly = [&](bool ReadOnly) {
    if (Mounted) {
      const unsigned long flags = MS_REMOUNT | MS_NOSUID | MS_NODEV | (ReadOnly ? MS_RDONLY : 0);
      ASSERT_EQ(::mount("tmpfs", Dir().c_str(), "tmpfs", flags, kMountOptions), 0)
          << std::system_category().message(errno);
    } else {
      fs::permissions(
          Dir(), ReadOnly ? fs::perms::owner_read | fs::perms::owner_exec : fs::perms::owner_all);
    }
  };
  Start();
  Apply(OldValues());
  ASSERT_TRUE(ui->MessageBoxes.empty());

  setReadOnly(true);
  Apply(NewValues());
  ASSERT_EQ(ui->MessageBoxes.size(), 1u);
  EXPECT_EQ(ui->MessageBoxes[0].Text, "File access denied");
  EXPECT_EQ(ui->MessageBoxes[0].Caption, "Corvale");
  EXPECT_EQ(files::ReadFile(Ini()), kOldFile);
  EXPECT_EQ(testenv::TemporaryFilesBeside(Ini()), std::vector<std::string>{});

  setReadOnly(false);
  Apply(NewValues());
  EXPECT_EQ(ui->MessageBoxes.size(), 1u) << "no further box";
  EXPECT_EQ(files::ReadFile(Ini()), kNewFile);
}

}  // namespace
