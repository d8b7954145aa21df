// The Debian package as a user receives it: unpacked into a throw-away root
// (dpkg-deb -x, so the machine's own packages are never touched), its control
// fields, its files, its menu entry, icons and manual page, and the installed
// program run with a temporary home against the sandbox's servers on
// 127.7.0.1, the endpoints the package was built for.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "platform/Files.h"
#include "tests/support/AiosmtpdServer.h"
#include "tests/support/DnsmasqServer.h"
#include "tests/support/NginxServer.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const char kSandbox[] = "127.7.0.1";
// Longest a test waits for the program to do what it expects (a check with
// its lookup and delivery takes well under a second on loopback).
constexpr auto kWait = 20s;

// Runs a program found on PATH with these arguments (no shell); answers its
// exit status and what it wrote to standard output and standard error.
std::pair<int, std::string> Execute(std::vector<std::string> Args) {
  std::vector<char*> argv;
  argv.reserve(Args.size() + 1);
  for (auto& a : Args) argv.push_back(a.data());
  argv.push_back(nullptr);
  int fds[2];
  if (::pipe(fds) != 0) return {-1, ""};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  pid_t pid = -1;
  const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  std::string out;
  char buf[4096];
  for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;)
    out.append(buf, static_cast<size_t>(n));
  ::close(fds[0]);
  int status = 0;
  if (spawned != 0 || ::waitpid(pid, &status, 0) != pid) return {-1, out};
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

std::string Trimmed(std::string S) {
  while (!S.empty() && (S.back() == '\n' || S.back() == ' ')) S.pop_back();
  return S;
}

// "Key=Value" lines of a desktop entry's main group.
std::map<std::string, std::string> DesktopKeys(const std::string& Path) {
  std::map<std::string, std::string> keys;
  std::istringstream in(files::ReadFile(Path));
  for (std::string line; std::getline(in, line);)
    if (auto eq = line.find('='); eq != std::string::npos && line[0] != '#')
      keys[line.substr(0, eq)] = line.substr(eq + 1);
  return keys;
}

std::string Settings(const std::string& IP) {
  return "Name          Eve Example\r\nEmail         eve@a.test\r\nSchedule      3600\r\n"
         "Start Min     0\r\nIP            " +
         IP + "\r\n";
}

class PackageTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    auto [status, arch] = Execute({"dpkg", "--print-architecture"});
    ASSERT_EQ(status, 0);
    Deb = std::string(CORVALE_PACKAGE_DIR) + "/corvale_" + CORVALE_VERSION + "_" + Trimmed(arch) +
          ".deb";
    ASSERT_TRUE(fs::exists(Deb)) << Deb << " (made by the package_build test)";
    char tmpl[] = "/tmp/corvale-package-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    Root = tmpl;
    ASSERT_EQ(Execute({"dpkg-deb", "-x", Deb, Root + "/root"}).first, 0);
  }
  static void TearDownTestSuite() {
    if (!Root.empty()) fs::remove_all(Root);
  }
  static std::string Installed(const std::string& Path) { return Root + "/root" + Path; }

  static inline std::string Deb;
  static inline std::string Root;  // temp dir: root/ holds the unpacked package
};

TEST_F(PackageTest, ControlFieldsNameTheBuildAndTheLibrariesTheBinaryNeeds) {
  auto [status, fields] =
      Execute({"dpkg-deb", "-f", Deb, "Package", "Version", "Architecture", "Depends"});
  ASSERT_EQ(status, 0);
  const std::string arch = Trimmed(Execute({"dpkg", "--print-architecture"}).second);
  EXPECT_NE(fields.find("Package: corvale\n"), std::string::npos) << fields;
  EXPECT_NE(fields.find(std::string("Version: ") + CORVALE_VERSION + "\n"), std::string::npos)
      << fields;
  EXPECT_NE(fields.find("Architecture: " + arch + "\n"), std::string::npos) << fields;
  // Computed from the binary: the C library, the toolkit and the JPEG
  // decoder of the about window are among them; the TLS library and the
  // credential store's libsecret, loaded only when needed, and the
  // authorities TLS trusts are named by the build.
  for (const char* lib : {"libc6", "libqt6widgets6", "libjpeg62-turbo", "libsecret-1-0", "libssl3",
                          "ca-certificates"})
    EXPECT_NE(fields.find(lib), std::string::npos) << lib << " in\n" << fields;
}

TEST_F(PackageTest, InstallsExactlyItsFilesWithTheirModes) {
  std::map<std::string, unsigned> expected{
      {"/usr/bin/corvale", 0755},
      {"/usr/share/applications/corvale.desktop", 0644},
      {"/usr/share/corvale/corvale.desktop", 0644},
      {"/usr/share/icons/hicolor/16x16/apps/corvale.png", 0644},
      {"/usr/share/icons/hicolor/32x32/apps/corvale.png", 0644},
      {"/usr/share/icons/hicolor/48x48/apps/corvale.png", 0644},
      {"/usr/share/icons/hicolor/64x64/apps/corvale.png", 0644},
      {"/usr/share/icons/hicolor/128x128/apps/corvale.png", 0644},
      {"/usr/share/icons/hicolor/scalable/apps/corvale.svg", 0644},
      {"/usr/share/man/man1/corvale.1.gz", 0644},
      {"/usr/share/doc/corvale/copyright", 0644},
      {"/usr/share/doc/corvale/changelog.gz", 0644},
  };
  std::map<std::string, unsigned> found;
  const std::string base = Root + "/root";
  for (const auto& e : fs::recursive_directory_iterator(base)) {
    struct stat st {};
    ASSERT_EQ(::lstat(e.path().c_str(), &st), 0);
    if (S_ISDIR(st.st_mode)) {
      EXPECT_EQ(st.st_mode & 07777, 0755u) << e.path();
      continue;
    }
    found[e.path().string().substr(base.size())] = st.st_mode & 07777;
  }
  EXPECT_EQ(found, expected);
  // Stripped: no symbol table left in the program.
  EXPECT_EQ(Execute({"file", Installed("/usr/bin/corvale")}).second.find("not stripped"),
            std::string::npos);
}

TEST_F(PackageTest, MenuEntryValidatesAndStartsTheInstalledProgram) {
  const std::string menu = Installed("/usr/share/applications/corvale.desktop");
  const std::string autostart = Installed("/usr/share/corvale/corvale.desktop");
  for (const std::string& entry : {menu, autostart}) {
    auto [status, out] = Execute({"desktop-file-validate", entry});
    EXPECT_EQ(status, 0) << out;
    EXPECT_EQ(out, "") << "no hints either";
  }
  EXPECT_EQ(files::ReadFile(autostart), files::ReadFile(menu))
      << "enabling autostart is a copy of the menu entry";
  auto keys = DesktopKeys(menu);
  EXPECT_EQ(keys["Type"], "Application");
  EXPECT_EQ(keys["Name"], "Corvale");
  EXPECT_EQ(keys["Categories"], "Network;");
  EXPECT_EQ(keys["Exec"], "corvale");
  EXPECT_TRUE(fs::exists(Installed("/usr/bin/" + keys["Exec"])));
  EXPECT_EQ(keys["Icon"], "corvale");
}

TEST_F(PackageTest, IconsHaveTheSizesOfTheirFolders) {
  // A PNG's width and height are the big-endian words at bytes 16 and 20.
  auto word = [](const std::string& B, size_t At) {
    return (static_cast<unsigned>(static_cast<unsigned char>(B[At])) << 24) |
           (static_cast<unsigned>(static_cast<unsigned char>(B[At + 1])) << 16) |
           (static_cast<unsigned>(static_cast<unsigned char>(B[At + 2])) << 8) |
           static_cast<unsigned>(static_cast<unsigned char>(B[At + 3]));
  };
  for (unsigned size : {16u, 32u, 48u, 64u, 128u}) {
    const std::string s = std::to_string(size);
    std::string path = "/usr/share/icons/hicolor/";
    path.append(s).append("x").append(s).append("/apps/corvale.png");
    const std::string png = files::ReadFile(Installed(path));
    ASSERT_GE(png.size(), 24u) << s;
    EXPECT_EQ(png.substr(0, 8), "\x89PNG\r\n\x1a\n") << s;
    EXPECT_EQ(png.substr(12, 4), "IHDR") << s;
    EXPECT_EQ(word(png, 16), size) << "width of the " << s << " icon";
    EXPECT_EQ(word(png, 20), size) << "height of the " << s << " icon";
  }
  const std::string svg =
      files::ReadFile(Installed("/usr/share/icons/hicolor/scalable/apps/corvale.svg"));
  EXPECT_NE(svg.find("<svg xmlns=\"http://www.w3.org/2000/svg\""), std::string::npos);
}

TEST_F(PackageTest, ManualPageNamesTheEndpointsTheSettingsAndAutostart) {
  const std::string gz = Installed("/usr/share/man/man1/corvale.1.gz");
  auto [status, page] = Execute({"gzip", "-dc", gz});
  ASSERT_EQ(status, 0);
  for (const char* text : {
           ".TH CORVALE 1 ",
           "http://127.7.0.1/GetMyIP.pl",
           "127.7.0.1, UDP port 53",
           "TCP port 25",
           ".SH PORT 25",
           ".I $XDG_CONFIG_HOME/corvale/Corvale.ini",
           ".IR ~/.config/corvale/Corvale.ini",
           "cp /usr/share/corvale/corvale.desktop ~/.config/autostart/",
       })
    EXPECT_NE(page.find(text), std::string::npos) << text;
  // The page renders without a complaint from the formatter (man reads the
  // compressed file itself; its warnings go to standard error).
  auto [rc, rendered] = Execute(
      {"env", "LC_ALL=C.UTF-8", "MANWIDTH=80", "man", "--warnings", "-E", "UTF-8", "-l", gz});
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(rendered.find("warning"), std::string::npos) << rendered;
}

// The installed program, with a temporary home and no XDG_CONFIG_HOME: its
// settings live in ~/.config/corvale/Corvale.ini. The first start reads them
// from there, runs its check, mails the change and writes the file back owner
// only; a second start reads what the first wrote (the old address of its
// mail), and nothing is ever written beside the program.
class InstalledProgramTest : public PackageTest {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "the sandbox's ports 80, 53 and 25 need root";
    Home = Root + "/home";
    fs::create_directories(Home + "/.config/corvale");
    Web.Pin(kSandbox, 80);
    Dns.Pin(kSandbox, 53);
    Dns.Options = {"mx-host=a.test,127.7.0.1,10"};
    Smtp.Pin(kSandbox, 25);
  }
  void TearDown() override {
    Stop();
    if (!Home.empty()) fs::remove_all(Home);
  }
  void Start() {
    // A runtime folder of its own: a Corvale the user runs meanwhile holds the
    // one instance of the shared one.
    std::vector<std::string> env = {"QT_QPA_PLATFORM=offscreen", "HOME=" + Home,
                                    "XDG_RUNTIME_DIR=" + Home};
    for (char** e = environ; *e; ++e) {
      const std::string v = *e;
      if (v.rfind("QT_", 0) != 0 && v.rfind("HOME=", 0) != 0 &&
          v.rfind("XDG_CONFIG_HOME=", 0) != 0 && v.rfind("XDG_RUNTIME_DIR=", 0) != 0)
        env.push_back(v);
    }
    std::vector<char*> envp;
    envp.reserve(env.size() + 1);
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string exe = Installed("/usr/bin/corvale");
    char* argv[] = {exe.data(), nullptr};
    ASSERT_EQ(posix_spawn(&Pid, exe.c_str(), nullptr, nullptr, argv, envp.data()), 0);
  }
  void Stop() {
    if (Pid <= 0) return;
    ::kill(Pid, SIGTERM);
    int status = 0;
    ::waitpid(Pid, &status, 0);
    Pid = -1;
  }
  template <class F>
  static bool WaitFor(F Done) {
    for (auto end = std::chrono::steady_clock::now() + kWait;
         std::chrono::steady_clock::now() < end; std::this_thread::sleep_for(50ms))
      if (Done()) return true;
    return Done();
  }
  std::string Ini() const { return Home + "/.config/corvale/Corvale.ini"; }
  bool Holds(const std::string& Content) const {
    return files::FileExists(Ini()) && files::ReadFile(Ini()) == Content;
  }

  std::string Home;
  pid_t Pid = -1;
  NginxServer Web;
  DnsmasqServer Dns;
  AiosmtpdServer Smtp;
};

TEST_F(InstalledProgramTest, KeepsItsSettingsInTheConfigurationDirectoryAcrossStarts) {
  std::ofstream(Ini(), std::ios::binary) << Settings("198.51.100.1");
  ::chmod(Ini().c_str(), 0644);
  Web.AddFile("GetMyIP.pl", "BEGINIP203.0.113.7ENDIP");
  Web.Start();
  Dns.Start();
  Smtp.Start();

  Start();
  ASSERT_TRUE(WaitFor([&] { return Holds(Settings("203.0.113.7")); }))
      << (files::FileExists(Ini()) ? files::ReadFile(Ini()) : "no settings file");
  auto mails = Smtp.WaitForMessages(1);
  ASSERT_EQ(mails.size(), 1u);
  EXPECT_NE(mails[0].Data.find("Your Old IP Address is 198.51.100.1<br>\r\n"), std::string::npos)
      << mails[0].Data;
  Stop();
  struct stat st {};
  ASSERT_EQ(::stat(Ini().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);

  // The address moves on; the second start compares with what the first stored.
  Web.AddFile("GetMyIP.pl", "BEGINIP203.0.113.8ENDIP");
  Start();
  ASSERT_TRUE(WaitFor([&] { return Holds(Settings("203.0.113.8")); }));
  mails = Smtp.WaitForMessages(2);
  ASSERT_EQ(mails.size(), 2u);
  EXPECT_NE(mails[1].Data.find("Your Old IP Address is 203.0.113.7<br>\r\n"), std::string::npos)
      << mails[1].Data;
  Stop();

  std::set<std::string> beside;
  std::set<std::string> kept;
  for (const auto& e : fs::directory_iterator(Installed("/usr/bin")))
    beside.insert(e.path().filename().string());
  EXPECT_EQ(beside, std::set<std::string>{"corvale"});
  // The settings and the history of the two changes, both private.
  for (const auto& e : fs::directory_iterator(Home + "/.config/corvale"))
    kept.insert(e.path().filename().string());
  EXPECT_EQ(kept, (std::set<std::string>{"Corvale-history.txt", "Corvale.ini"}));
  const std::string history = Home + "/.config/corvale/Corvale-history.txt";
  ASSERT_EQ(::stat(history.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
}

}  // namespace
