// The shell's "open": programs start when they exist (with their arguments and
// working directory), addresses and documents go to the desktop's opener, and
// what cannot be opened gives an error code of 32 or less.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>

#include "platform/Files.h"
#include "platform/Shell.h"
#include "tests/support/TestEnv.h"

namespace {

class ShellTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "corvale-shell-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir = pattern;
    // Only the test's own directory and the basic tools: no desktop opener
    // unless a test puts one there.
    path.emplace("PATH", (dir + ":/usr/bin:/bin").c_str());
  }
  void TearDown() override {
    path.reset();
    std::filesystem::remove_all(dir);
  }
  // A shell script at dir/Name that writes its working directory and its
  // arguments, one a line, to dir/Name.out (renamed into place when complete).
  std::string Script(const std::string& Name) {
    std::string file = dir + "/" + Name;
    std::ofstream(file) << "#!/bin/sh\n{ pwd; for a in \"$@\"; do echo \"$a\"; done; } > '" << file
                        << ".tmp' && mv '" << file << ".tmp' '" << file << ".out'\n";
    std::filesystem::permissions(file, std::filesystem::perms::owner_all);
    return file;
  }
  // What the script called Name wrote, waiting for it a little.
  std::string Output(const std::string& Name) {
    const std::string out = dir + "/" + Name + ".out";
    for (int i = 0; i < 100 && !std::filesystem::exists(out); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return std::filesystem::exists(out) ? files::ReadFile(out) : std::string("(nothing)");
  }
  std::string dir;
  std::optional<testenv::ScopedVariable> path;
};

}  // namespace

TEST_F(ShellTest, ProgramStartsWithItsArgumentsAndDirectory) {
  const std::string prog = Script("tool");
  EXPECT_GT(ShellExecuteA(0, "open", prog.c_str(), "-a \"two words\"  b", "/", SW_SHOWNORMAL), 32);
  EXPECT_EQ(Output("tool"), "/\n-a\ntwo words\nb\n");
}

TEST_F(ShellTest, ProgramIsFoundAlongThePath) {
  Script("tool");
  EXPECT_GT(ShellExecuteA(0, nullptr, "tool", nullptr, nullptr, SW_SHOWNORMAL), 32);
  EXPECT_EQ(Output("tool"), std::filesystem::current_path().string() + "\n");
}

TEST_F(ShellTest, WhatCannotBeOpenedIsAnError) {
  const std::string doc = dir + "/notes.txt";
  std::ofstream(doc) << "notes\n";
  struct Case {
    const char* name;
    const char* verb;
    std::string file;
    intptr_t result;
  } cases[] = {
      {"a missing program", "open", "MSInfo32.EXE", SE_ERR_FNF},
      {"a missing path", "open", dir + "/missing/tool", SE_ERR_FNF},
      {"no file", "open", "", SE_ERR_FNF},
      {"an address without an opener", "open", "http://127.0.0.1:9/", SE_ERR_NOASSOC},
      {"a document without an opener", "open", doc, SE_ERR_NOASSOC},
      {"an unknown verb", "print", doc, SE_ERR_NOASSOC},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ShellExecuteA(0, c.verb, c.file.c_str(), nullptr, nullptr, SW_SHOWNORMAL), c.result);
  }
}

TEST_F(ShellTest, ProgramThatCannotRunIsAnError) {
  const std::string bad = dir + "/broken";
  std::ofstream(bad) << "\x7F"
                        "ELF not really\n";
  std::filesystem::permissions(bad, std::filesystem::perms::owner_all);
  EXPECT_LE(ShellExecuteA(0, "open", bad.c_str(), nullptr, nullptr, SW_SHOWNORMAL), 32);
}

TEST_F(ShellTest, AddressesAndDocumentsGoToTheDesktopOpener) {
  Script("xdg-open");
  const std::string doc = dir + "/notes.txt";
  std::ofstream(doc) << "notes\n";
  const std::string cwd = std::filesystem::current_path().string();
  struct Case {
    std::string target;
  } cases[] = {{"http://127.0.0.1:9/corvale/"}, {"mailto:ann@example.org"}, {doc}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target);
    std::filesystem::remove(dir + "/xdg-open.out");
    EXPECT_GT(ShellExecuteA(0, "open", c.target.c_str(), nullptr, nullptr, SW_SHOWMAXIMIZED), 32);
    EXPECT_EQ(Output("xdg-open"), cwd + "\n" + c.target + "\n");
  }
}
