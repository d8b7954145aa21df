// One running copy: the claim, the request of a later copy, and a claim left
// behind by a copy that ended without cleaning up.
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/SingleInstance.h"
#include "tests/support/TestEnv.h"

#ifndef _WIN32
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
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
TEST_F(SingleInstanceTest, ALaterCopyWakesTheFirst) {
  TSingleInstance first(Name(), Dir);
  ASSERT_TRUE(first.First());
  ASSERT_GE(first.ListenHandle(), 0);
  EXPECT_FALSE(first.TakeWakeRequests());
  TSingleInstance second(Name(), Dir);
  EXPECT_TRUE(second.WakeFirst("", 0, 800));
  EXPECT_TRUE(first.TakeWakeRequests());
  EXPECT_FALSE(first.TakeWakeRequests());
}

TEST_F(SingleInstanceTest, AStaleSocketNeverBlocksAStart) {
  // A socket file nobody listens on, as a killed copy leaves it, and its
  // lock file.
  const std::string path = Dir + "/" + Name() + ".socket";
  { TSingleInstance earlier(Name(), Dir); }
  {
    const int s = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    close(s);
  }
  ASSERT_TRUE(fs::exists(path));
  TSingleInstance first(Name(), Dir);
  EXPECT_TRUE(first.First());
  TSingleInstance second(Name(), Dir);
  EXPECT_FALSE(second.First());
  EXPECT_TRUE(second.WakeFirst("", 0, 800));
  EXPECT_TRUE(first.TakeWakeRequests());
}

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
