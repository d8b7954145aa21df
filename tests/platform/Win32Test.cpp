// The Win32 platform services: the executable's path, the version resource
// read by the system's file-version functions, the settings file's
// replacement, temporary files and the shell's "open". Built into the Windows
// platform tests only, with the version resource of Win32Test.rc.
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "platform/Exception.h"
#include "platform/FileVersion.h"
#include "platform/Files.h"
#include "platform/Shell.h"
#include "platform/Stream.h"
#include "platform/TempFile.h"
#include "platform/Text.h"

// The C runtime's wide calls (no system header here: FileVersion.h declares
// the version record itself).
#include <process.h>
#include <cstdlib>

namespace {

namespace fs = std::filesystem;

// The message of the EInOutError that Call raised, or "(no error)" when it
// returned.
template <class F>
std::string InOutErrorOf(F Call) {
  try {
    Call();
  } catch (const EInOutError& e) {
    return e.Message;
  }
  return "(no error)";
}

// A folder of its own for each test, removed afterwards.
class Win32Files : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    Dir = fs::temp_directory_path() / ("corvale-" + test);
    fs::remove_all(Dir);
    fs::create_directories(Dir);
  }
  void TearDown() override { fs::remove_all(Dir); }
  std::string PathOf(const std::string& Name) const { return (Dir / Name).string(); }
  static void Write(const std::string& Path, const std::string& Data) {
    std::ofstream(Path, std::ios::binary) << Data;
  }
  fs::path Dir;
};

// Also run by PathsOutsideTheCodePageNameTheirOwnFolder from a copy of this
// test in folders whose names the ANSI code page cannot spell: the path is
// UTF-8 and read here as bytes.
TEST(Win32Platform, ExecutablePathIsThisProgram) {
  const std::string self = files::ExecutablePath();
  const std::string dir = files::ExtractFilePath(self);
  ASSERT_FALSE(dir.empty());
  EXPECT_EQ(dir.back(), '\\');
  EXPECT_TRUE(text::SameText(self.substr(dir.size()), "platform_unit.exe")) << self;
  // Absolute: a drive and its root folder.
  EXPECT_EQ(self.substr(1, 2), ":\\") << self;
  EXPECT_TRUE(files::FileExists(self));
  EXPECT_EQ(files::ExtractFilePath("C:\\Program Files\\Corvale.exe"), "C:\\Program Files\\");
  EXPECT_EQ(files::ExtractFilePath("C:Corvale.exe"), "C:");
  EXPECT_EQ(files::ExtractFilePath("Corvale.exe"), "");
}

TEST(Win32Platform, VersionResourceIsReadBack) {
  const std::string self = files::ExecutablePath();
  uint32_t handle = 1;
  const uint32_t size = GetFileVersionInfoSizeA(self.c_str(), &handle);
  ASSERT_GT(size, sizeof(VS_FIXEDFILEINFO));
  EXPECT_EQ(handle, 0u);
  std::vector<char> block(size);
  ASSERT_TRUE(GetFileVersionInfoA(self.c_str(), handle, size, block.data()));
  void* value = nullptr;
  uint32_t length = 0;
  ASSERT_TRUE(VerQueryValueA(block.data(), "\\", &value, &length));
  ASSERT_EQ(length, sizeof(VS_FIXEDFILEINFO));
  VS_FIXEDFILEINFO info;
  std::memcpy(&info, value, sizeof info);
  EXPECT_EQ(info.dwSignature, kFixedFileInfoSignature);
  // FILEVERSION 3,14,1592,65 of Win32Test.rc.
  EXPECT_EQ(info.dwFileVersionMS, (3u << 16) | 14u);
  EXPECT_EQ(info.dwFileVersionLS, (1592u << 16) | 65u);
  EXPECT_EQ(info.dwFileType, VFT_APP);

  // A buffer too short for the block (whose length comes first): refused
  // rather than handed on cut.
  uint16_t blockLength = 0;
  std::memcpy(&blockLength, block.data(), sizeof blockLength);
  std::vector<char> shortBlock(blockLength / 2);
  EXPECT_FALSE(GetFileVersionInfoA(self.c_str(), 0, static_cast<uint32_t>(shortBlock.size()),
                                   shortBlock.data()));
}

TEST_F(Win32Files, FileWithoutVersionResourceHasNone) {
  const std::string plain = PathOf("plain.txt");
  Write(plain, "no resources here");
  EXPECT_EQ(GetFileVersionInfoSizeA(plain.c_str(), nullptr), 0u);
  EXPECT_EQ(GetFileVersionInfoSizeA(PathOf("missing.exe").c_str(), nullptr), 0u);
}

TEST_F(Win32Files, ReplaceFileWritesThroughATemporaryFile) {
  const std::string ini = PathOf("Corvale.ini");
  Write(ini + ".tmp", "left by a crash");
  files::ReplaceFile(ini, "first\r\n");
  EXPECT_EQ(files::ReadFile(ini), "first\r\n");
  files::ReplaceFile(ini, "second\r\n");
  EXPECT_EQ(files::ReadFile(ini), "second\r\n");
  EXPECT_FALSE(fs::exists(ini + ".tmp"));
  EXPECT_EQ(InOutErrorOf([&] { files::ReadFile(PathOf("missing.ini")); }), "File not found");
}

// Two ways a settings file cannot be replaced for a while. Each time the
// refusal is reported, the old text stays, no temporary file is left, and once
// the obstacle is gone the save goes through.
TEST_F(Win32Files, RefusedReplacementLeavesTheOldFileAndSucceedsOnceFree) {
  const std::string ini = PathOf("Corvale.ini");
  // Each case puts its obstacle in place and answers how to take it away.
  const struct {
    const char* what;
    std::function<std::function<void()>()> block;
  } cases[] = {
      // Another program reads the file: the C runtime opens it shared for
      // reading and writing but not for deletion, so it cannot be replaced
      // until that program lets go. The new text is written and flushed by then.
      {"held open by a reader",
       [&] {
         auto reader = std::make_shared<std::ifstream>(ini, std::ios::binary);
         EXPECT_TRUE(reader->is_open());
         return [reader] { reader->close(); };
       }},
      // The user marked the file read-only: taking away every write
      // permission sets that attribute.
      {"marked read-only",
       [&] {
         fs::permissions(ini,
                         fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                         fs::perm_options::remove);
         return [&] { fs::permissions(ini, fs::perms::owner_write, fs::perm_options::add); };
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    files::ReplaceFile(ini, "old\r\n");
    const std::function<void()> release = c.block();
    EXPECT_EQ(InOutErrorOf([&] { files::ReplaceFile(ini, "new\r\n"); }), "File access denied");
    release();
    EXPECT_EQ(files::ReadFile(ini), "old\r\n");
    EXPECT_FALSE(fs::exists(ini + ".tmp"));
    files::ReplaceFile(ini, "new\r\n");
    EXPECT_EQ(files::ReadFile(ini), "new\r\n");
  }
}

TEST_F(Win32Files, ReplacementWaitsForAReaderThatLetsGo) {
  const std::string ini = PathOf("Corvale.ini");
  files::ReplaceFile(ini, "old\r\n");
  auto reader = std::make_unique<std::ifstream>(ini, std::ios::binary);
  ASSERT_TRUE(reader->is_open());
  // The reader lets go a moment after the new text is written beside the old
  // file: the rename meets a held file first and then a free one.
  std::thread release([&] {
    while (!fs::exists(ini + ".tmp")) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    reader.reset();
  });
  files::ReplaceFile(ini, "new\r\n");
  release.join();
  EXPECT_EQ(files::ReadFile(ini), "new\r\n");
  EXPECT_FALSE(fs::exists(ini + ".tmp"));
}

TEST_F(Win32Files, ReplacementThatCannotStartLeavesTheOldFile) {
  const std::string ini = PathOf("Corvale.ini");
  files::ReplaceFile(ini, "old\r\n");
  // A folder where the temporary file would go.
  fs::create_directory(ini + ".tmp");
  EXPECT_THROW(files::ReplaceFile(ini, "new\r\n"), EInOutError);
  EXPECT_EQ(files::ReadFile(ini), "old\r\n");
  EXPECT_TRUE(fs::is_directory(ini + ".tmp"));
}

// A path as the program keeps it on Windows: UTF-8, worked out here by the
// standard library from the folder's UTF-16 name, not by the code under test.
std::string Utf8(const fs::path& P) {
  const std::u8string u = P.u8string();
  return {u.begin(), u.end()};
}

// Folder names: one the ANSI code page (1252 under Wine here) spells, and
// ones it cannot, whose narrow form would be a look-alike ("Lodz") or "?".
const struct {
  const char* what;
  std::wstring name;
} kFolderNames[] = {
    {"ASCII", L"Corvale"},
    {"Polish", L"\u0141\u00F3d\u017A"},                  // Lodz with its stroke and accents
    {"Greek", L"\u0395\u03BB\u03BB\u03AC\u03B4\u03B1"},  // Ellada
    {"CJK", L"\u65E5\u672C\u8A9E"},                      // Nihongo
    {"emoji", L"\xD83D\xDE00"},                          // U+1F600, a surrogate pair
};

// A UTF-8 path as a path of the standard library.
fs::path FromUtf8(const std::string& S) {
  return fs::path(std::u8string(S.begin(), S.end()));
}

// Every path service finds, reads and writes its file in such a folder, the
// folder itself and not a look-alike: the settings file's read and
// replacement, file streams, temporary files, the version resource of an
// executable there, and the executable's own path, seen by a copy of this
// test started from the folder.
TEST_F(Win32Files, PathsOutsideTheCodePageNameTheirOwnFolder) {
  const fs::path self = FromUtf8(files::ExecutablePath());
  for (const auto& f : kFolderNames) {
    SCOPED_TRACE(f.what);
    const fs::path dir = Dir / f.name;
    ASSERT_TRUE(fs::create_directory(dir));
    const std::string folder = Utf8(dir) + "\\";

    const std::string ini = folder + "Corvale.ini";
    EXPECT_FALSE(files::FileExists(ini));
    EXPECT_EQ(InOutErrorOf([&] { files::ReplaceFile(ini, "saved\r\n"); }), "(no error)");
    EXPECT_TRUE(fs::exists(dir / L"Corvale.ini"));
    EXPECT_TRUE(files::FileExists(ini));
    EXPECT_EQ(InOutErrorOf([&] { EXPECT_EQ(files::ReadFile(ini), "saved\r\n"); }), "(no error)");

    EXPECT_EQ(InOutErrorOf([&] {
                TFileStream out(folder + "stream.bin", TFileStream::Mode::Create);
                out.WriteString("bytes");
                out.Flush();
              }),
              "(no error)");
    EXPECT_EQ(fs::file_size(dir / L"stream.bin"), 5u);

    // GetTempPathW takes the folder from TMP.
    const std::wstring oldTmp = _wgetenv(L"TMP") ? _wgetenv(L"TMP") : L"";
    ASSERT_EQ(_wputenv_s(L"TMP", dir.c_str()), 0);
    std::string temp;
    EXPECT_EQ(InOutErrorOf([&] { temp = files::CreateTempFile("Crv"); }), "(no error)");
    _wputenv_s(L"TMP", oldTmp.c_str());
    EXPECT_EQ(files::ExtractFilePath(temp), folder);
    EXPECT_TRUE(files::DeleteFile(temp));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 2)
        << "the temporary file was not removed";

    // A copy of this test, with its version resource, run from the folder: it
    // must find itself there (ExecutablePathIsThisProgram).
    const fs::path copy = dir / L"platform_unit.exe";
    fs::copy_file(self, copy);
    uint32_t handle = 0;
    EXPECT_GT(GetFileVersionInfoSizeA(Utf8(copy).c_str(), &handle), sizeof(VS_FIXEDFILEINFO));
    // The runtime joins the arguments with blanks: the program's own is quoted.
    const std::wstring quoted = L"\"" + copy.wstring() + L"\"";
    const wchar_t* argv[] = {quoted.c_str(),
                             L"--gtest_filter=Win32Platform.ExecutablePathIsThisProgram", nullptr};
    EXPECT_EQ(_wspawnv(_P_WAIT, copy.c_str(), argv), 0)
        << "the copy in the folder did not find itself";
  }
}

TEST(Win32Platform, TemporaryFilesAreNewAndInTheTemporaryFolder) {
  const std::string a = files::CreateTempFile("Crv");
  const std::string b = files::CreateTempFile("Crv");
  EXPECT_NE(a, b);
  for (const std::string& f : {a, b}) {
    EXPECT_TRUE(files::FileExists(f)) << f;
    EXPECT_EQ(fs::file_size(f), 0u);
    EXPECT_TRUE(text::StartsText("Crv", fs::path(f).filename().string())) << f;
    // temp_directory_path ends in a separator, as the directory part does.
    EXPECT_TRUE(text::SameText(files::ExtractFilePath(f), fs::temp_directory_path().string())) << f;
    EXPECT_TRUE(files::DeleteFile(f));
    EXPECT_FALSE(files::DeleteFile(f));
  }
}

TEST(Win32Platform, ShellOpensProgramsAndReportsWhatItCannot) {
  EXPECT_GT(ShellExecuteA(0, "open", "cmd.exe", "/c exit", nullptr, SW_SHOWNORMAL), 32);
  EXPECT_LE(ShellExecuteA(0, "open", "corvale-missing-tool.exe", nullptr, nullptr, SW_SHOWNORMAL),
            32);
}

}  // namespace
