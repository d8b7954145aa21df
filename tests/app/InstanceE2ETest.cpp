// One running copy of the built program: a second start ends with status 0
// within a second and leaves the first running, also when both start at the
// same instant, and a copy killed with its socket left behind never blocks
// the next start.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "tests/support/HostProcess.h"
#include "tests/support/TestEnv.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// What a second start may take to end, and how long the survivor is watched
// after that to be sure it stays.
constexpr auto kSecondEnds = milliseconds(1000);
constexpr auto kStays = milliseconds(300);
constexpr int kRaces = 50;

class InstanceE2E : public ::testing::Test {
 protected:
  InstanceE2E() : Dir(testenv::MakeTempDir("corvale-instance-e2e-")) {
    fs::copy_file(CORVALE_BINARY_DIR "/app/Corvale", Dir + "/Corvale");
    fs::create_directory(Dir + "/run");
    fs::permissions(Dir + "/run", fs::perms::owner_all);
  }
  ~InstanceE2E() override {
    for (int pid : Pids) {
      host::Signal(pid, host::kSigKill, true);
      host::Reap(pid);
    }
    fs::remove_all(Dir);
  }
  int Start() {
    const int pid =
        host::Spawn({Dir + "/Corvale"},
                    {"QT_QPA_PLATFORM=offscreen", "HOME=" + Dir, "XDG_RUNTIME_DIR=" + Dir + "/run"},
                    Dir + "/log.txt");
    Pids.push_back(pid);
    return pid;
  }
  void Forget(int Pid) { std::erase(Pids, Pid); }
  // The wait status of the first of Candidates to end before Until, and its
  // pid; -1 when none did.
  std::pair<int, int> FirstToEnd(const std::vector<int>& Candidates, Clock::time_point Until) {
    for (;;) {
      for (int pid : Candidates)
        if (auto status = host::ReapIfExited(pid)) {
          Forget(pid);
          return {pid, *status};
        }
      if (Clock::now() > Until) return {-1, 0};
      std::this_thread::sleep_for(milliseconds(10));
    }
  }
  void Kill(int Pid) {
    host::Signal(Pid, host::kSigKill, true);
    host::Reap(Pid);
    Forget(Pid);
  }
  std::string Dir;
  std::vector<int> Pids;
};

TEST_F(InstanceE2E, ASecondStartEndsAndTheFirstStays) {
  const int first = Start();
  // The first is ready once its socket is there.
  const auto ready = Clock::now() + milliseconds(5000);
  while (!fs::exists(Dir + "/run/Corvale.socket") && Clock::now() < ready)
    std::this_thread::sleep_for(milliseconds(10));
  ASSERT_TRUE(fs::exists(Dir + "/run/Corvale.socket"));
  for (int i = 0; i < 2; ++i) {
    const auto t0 = Clock::now();
    const int second = Start();
    const auto [ended, status] = FirstToEnd({first, second}, t0 + kSecondEnds);
    ASSERT_EQ(ended, second) << "start " << i;
    EXPECT_TRUE(host::ExitedCleanly(status));
  }
  std::this_thread::sleep_for(kStays);
  EXPECT_FALSE(host::ReapIfExited(first).has_value());

  // Killed, the first leaves its socket; the next start is the first again.
  Kill(first);
  ASSERT_TRUE(fs::exists(Dir + "/run/Corvale.socket"));
  const int next = Start();
  std::this_thread::sleep_for(kSecondEnds);
  EXPECT_FALSE(host::ReapIfExited(next).has_value());
  const auto t0 = Clock::now();
  const int after = Start();
  EXPECT_EQ(FirstToEnd({next, after}, t0 + kSecondEnds).first, after);
}

TEST_F(InstanceE2E, TwoStartedTogetherEndWithOneRunning) {
  for (int i = 0; i < kRaces; ++i) {
    SCOPED_TRACE(i);
    const auto t0 = Clock::now();
    const int a = Start();
    const int b = Start();
    const auto [ended, status] = FirstToEnd({a, b}, t0 + kSecondEnds);
    ASSERT_NE(ended, -1) << "neither ended";
    EXPECT_TRUE(host::ExitedCleanly(status));
    const int survivor = ended == a ? b : a;
    std::this_thread::sleep_for(kStays);
    ASSERT_FALSE(host::ReapIfExited(survivor).has_value()) << "both ended";
    // Killed, as the next round's stale socket.
    Kill(survivor);
  }
}

}  // namespace
