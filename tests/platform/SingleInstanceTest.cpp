// One running copy: the claim held until its holder ends, and where the Linux
// claim lives (the requests of later copies, races and stale sockets are
// checked with the built program: tests/app/InstanceE2ETest.cpp).
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/SingleInstance.h"
#include "tests/support/TestEnv.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;

class SingleInstanceTest : public ::testing::Test {
 protected:
  SingleInstanceTest() : Dir(testenv::MakeTempDir("corvale-instance-")) {}
  ~SingleInstanceTest() override { fs::remove_all(Dir); }
  // A name of this test's own: Windows' mutex names are per session.
  std::string Name() const { return "CorvaleTest" + fs::path(Dir).filename().string(); }
  std::string Dir;
};

TEST_F(SingleInstanceTest, TheFirstHoldsTheClaimUntilItEnds) {
  auto first = std::make_unique<TSingleInstance>(Name(), Dir);
  EXPECT_TRUE(first->First());
  {
    TSingleInstance second(Name(), Dir);
    EXPECT_FALSE(second.First());
  }
  first.reset();
  TSingleInstance third(Name(), Dir);
  EXPECT_TRUE(third.First());
}

#ifndef _WIN32
TEST(SingleInstanceDirectory, ARuntimeFolderOrAPrivateOne) {
  const std::string run = testenv::MakeTempDir("corvale-run-");
  {
    testenv::ScopedVariable v("XDG_RUNTIME_DIR", run.c_str());
    EXPECT_EQ(TSingleInstance::InstanceDirectory(), run);
  }
  {
    testenv::ScopedVariable v("XDG_RUNTIME_DIR", nullptr);
    testenv::ScopedVariable t("TMPDIR", run.c_str());
    const std::string want = run + "/corvale-" + std::to_string(geteuid());
    EXPECT_EQ(TSingleInstance::InstanceDirectory(), want);
    EXPECT_EQ(fs::status(want).permissions() & fs::perms::all, fs::perms::owner_all);
    // A folder others may write to is not used.
    fs::permissions(want, fs::perms::others_write, fs::perm_options::add);
    EXPECT_EQ(TSingleInstance::InstanceDirectory(), "");
  }
  fs::remove_all(run);
}
#endif

}  // namespace
