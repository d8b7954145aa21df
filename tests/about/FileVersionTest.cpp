// Version information read from an executable file on disk: this test program
// carries the build's version block; a program without it, damaged copies and
// files that are no executables have none. The block reader refuses malformed
// blocks.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "about/AboutWnd.h"
#include "platform/FileVersion.h"
#include "tests/about/AboutFuzzInput.h"
#include "tests/about/AboutTestSupport.h"
#include "tests/support/TestEnv.h"

using namespace about_test;

TEST(FileVersionTest, OwnExecutableCarriesTheProjectVersion) {
  const std::string self = files::ExecutablePath();
  uint32_t handle = 99;
  const uint32_t size = GetFileVersionInfoSizeA(self.c_str(), &handle);
  EXPECT_EQ(handle, 0u);
  ASSERT_GE(size, sizeof(TVersionInfoBlock));
  std::vector<uint32_t> block((size + 3) / 4);
  ASSERT_TRUE(GetFileVersionInfoA(self.c_str(), handle, size, block.data()));
  void* value = nullptr;
  uint32_t len = 0;
  ASSERT_TRUE(VerQueryValueA(block.data(), "\\", &value, &len));
  ASSERT_EQ(len, 52u);
  VS_FIXEDFILEINFO info;
  std::memcpy(&info, value, sizeof info);
  EXPECT_EQ(info.dwSignature, kFixedFileInfoSignature);
  EXPECT_EQ(info.dwFileVersionMS, (2u << 16) | 0u);
  EXPECT_EQ(info.dwFileVersionLS, (2000u << 16) | 1u);
  EXPECT_EQ(TAboutWnd::FileVersionText(self), "2.0 (Build: 2000.1)");
}

TEST(FileVersionTest, FilesWithoutVersionInformationHaveNone) {
  TempDir dir;
  const std::string self = ReadAll(files::ExecutablePath());
  struct Case {
    const char* name;
    std::string data;
  } cases[] = {
      {"a program without version information", ReadAll(CORVALE_PLAIN_EXE)},
      {"the first 64 bytes of this program", self.substr(0, 64)},
      {"a text file", "Corvale.ini\r\n"},
      {"an empty file", std::string()},
  };
  EXPECT_EQ(TAboutWnd::FileVersionText(dir.Path + "/missing"), "");
  EXPECT_EQ(TAboutWnd::FileVersionText(dir.Path), "");  // a directory
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.Path + "/case.exe";
    WriteAll(path, c.data);
    EXPECT_EQ(GetFileVersionInfoSizeA(path.c_str(), nullptr), 0u);
    EXPECT_EQ(TAboutWnd::FileVersionText(path), "");
  }
}

// Damage to the parts of an ELF executable that lead to the version section.
TEST(FileVersionTest, DamagedElfFilesHaveNoVersion) {
  if (testenv::kWindows)
    GTEST_SKIP() << "the Windows build reads its version resource with the system's own "
                    "functions; these are damages for the ELF reader of the Linux build";
  TempDir dir;
  const std::string self = ReadAll(files::ExecutablePath());
  // The ELF header's section-table offset (e_shoff, 8 bytes at 0x28).
  std::string farTable = self;
  farTable.replace(0x28, 8, std::string("\xF0\xFF\xFF\xFF\xFF\xFF\xFF\x7F", 8));
  std::string badNames = self;  // e_shstrndx past the table
  badNames.replace(0x3E, 2, std::string("\xFE\xFF", 2));
  std::string elf32 = self;  // a 32-bit class byte
  elf32[4] = 1;
  struct Case {
    const char* name;
    std::string data;
  } cases[] = {
      {"cut before the section table", self.substr(0, self.size() / 2)},
      {"cut inside the section table", self.substr(0, self.size() - 40)},
      {"section table beyond the file", farTable},
      {"name table index out of range", badNames},
      {"not 64-bit", elf32},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.Path + "/case";
    WriteAll(path, c.data);
    EXPECT_EQ(GetFileVersionInfoSizeA(path.c_str(), nullptr), 0u);
    EXPECT_EQ(TAboutWnd::FileVersionText(path), "");
  }
}

TEST(FileVersionTest, BlockClaimingMoreThanTheFileHoldsIsRefused) {
  TempDir dir;
  const std::string copy = CopySelf(dir.Path, "overlong.exe");
  ASSERT_TRUE(PatchVersionBlock(copy, 0, "\xFF\xFF"));  // wLength 65535

  // The size is what the file holds, never what the block claims.
  const uint32_t size = GetFileVersionInfoSizeA(copy.c_str(), nullptr);
  EXPECT_GE(size, sizeof(TVersionInfoBlock));
  EXPECT_LT(size, 0xFFFFu);
  // Windows adds room of its own to the resource's size.
  if (!testenv::kWindows) {
    EXPECT_EQ(size, sizeof(TVersionInfoBlock));
  }
  std::vector<uint32_t> data((size + 3) / 4);
  EXPECT_FALSE(GetFileVersionInfoA(copy.c_str(), 0, size, data.data()));
  EXPECT_EQ(TAboutWnd::FileVersionText(copy), "");
  // A buffer too short for the block the file holds is refused the same way.
  EXPECT_FALSE(GetFileVersionInfoA(files::ExecutablePath().c_str(), 0, 40, data.data()));
}

TEST(FileVersionTest, MalformedBlocksAreRefused) {
  TVersionInfoBlock good{
      sizeof(TVersionInfoBlock),
      sizeof(VS_FIXEDFILEINFO),
      0,
      u"VS_VERSION_INFO",
      0,
      {kFixedFileInfoSignature, 0x10000, 0x20000, 0x7D00001, 0, 0, 0, 0, 0, VFT_APP, 0, 0, 0}};
  void* value = nullptr;
  uint32_t len = 0;
  ASSERT_TRUE(VerQueryValueA(&good, "\\", &value, &len));
  EXPECT_EQ(value, static_cast<void*>(&good.Value));
  EXPECT_EQ(len, 52u);
  EXPECT_FALSE(VerQueryValueA(&good, "\\StringFileInfo\\040904E4\\FileVersion", &value, &len));

  if (testenv::kWindows)
    GTEST_SKIP() << "VerQueryValueA is the system's own on Windows; the damaged blocks are "
                    "cases for the Linux build's block reader";
  struct Case {
    const char* name;
    void (*Damage)(TVersionInfoBlock&);
  } cases[] = {
      {"value longer than the block", [](TVersionInfoBlock& b) { b.wValueLength = 60; }},
      {"no value", [](TVersionInfoBlock& b) { b.wValueLength = 0; }},
      {"block ends inside the key", [](TVersionInfoBlock& b) { b.wLength = 20; }},
      {"block ends before the value", [](TVersionInfoBlock& b) { b.wLength = 60; }},
      {"another key", [](TVersionInfoBlock& b) { b.szKey[0] = u'X'; }},
      {"key without its end",
       [](TVersionInfoBlock& b) {
         b.wLength = 36;  // the key's terminating zero lies past the block
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TVersionInfoBlock bad = good;
    c.Damage(bad);
    EXPECT_FALSE(VerQueryValueA(&bad, "\\", &value, &len));
  }
}

// The fuzz target's seed corpus runs here too. On Windows only the picture
// seeds run: the version seeds would feed damaged blocks and files to the
// system's own version functions, which trust what they read (Wine's
// VerQueryValueA faults on some), not to this build's readers.
TEST(FileVersionTest, FuzzSeedCorpusRuns) {
  const std::filesystem::path corpus =
      std::filesystem::path(CORVALE_SOURCE_DIR) / "tests/about/corpus";
  int seeds = 0;
  for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
    const std::string data = ReadAll(entry.path().string());
    // The first byte chooses the decoder; 0 (modulo 3) is the picture's.
    if (testenv::kWindows && (data.empty() || static_cast<uint8_t>(data[0]) % 3 != 0)) continue;
    about_fuzz::OneInput(reinterpret_cast<const uint8_t*>(data.data()), data.size());
    ++seeds;
  }
  EXPECT_GE(seeds, testenv::kWindows ? 2 : 4);
}

// The ELF seed (a relocatable object holding the section) reaches the version
// block.
TEST(FileVersionTest, ElfSeedCarriesTheVersion) {
  if (testenv::kWindows)
    GTEST_SKIP() << "the Windows build reads version resources of Windows programs only";
  const std::filesystem::path corpus =
      std::filesystem::path(CORVALE_SOURCE_DIR) / "tests/about/corpus";
  TempDir dir;
  const std::string object = dir.Path + "/object.o";
  WriteAll(object, ReadAll((corpus / "elf-object").string()).substr(1));
  EXPECT_EQ(TAboutWnd::FileVersionText(object), "2.0 (Build: 2000.1)");
}
