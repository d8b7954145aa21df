#include "tests/support/StepWatchdog.h"

#include <cstdio>
#include <cstdlib>

#include "gtest/gtest.h"

namespace testsupport {

namespace {

std::string CurrentTestName() {
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  return info ? std::string(info->test_suite_name()) + "." + info->name()
              : std::string("(no test)");
}

}  // namespace

StepWatchdog::StepWatchdog(std::chrono::milliseconds limit)
    : Limit_(limit), Test_(CurrentTestName()), Thread_([this] { Watch(); }) {}

StepWatchdog::~StepWatchdog() {
  {
    const std::lock_guard<std::mutex> lock(Mutex_);
    Stop_ = true;
  }
  Changed_.notify_all();
  Thread_.join();
}

void StepWatchdog::Step(std::string what) {
  {
    const std::lock_guard<std::mutex> lock(Mutex_);
    What_ = std::move(what);
    ++Generation_;
    Armed_ = true;
    Deadline_ = std::chrono::steady_clock::now() + Limit_;
  }
  Changed_.notify_all();
}

void StepWatchdog::Done() {
  {
    const std::lock_guard<std::mutex> lock(Mutex_);
    Armed_ = false;
  }
  Changed_.notify_all();
}

void StepWatchdog::Watch() {
  std::unique_lock<std::mutex> lock(Mutex_);
  for (;;) {
    Changed_.wait(lock, [this] { return Stop_ || Armed_; });
    if (Stop_) return;
    const uint64_t step = Generation_;
    if (Changed_.wait_until(lock, Deadline_,
                            [&] { return Stop_ || !Armed_ || Generation_ != step; }))
      continue;
    // The step is still running and nothing can interrupt it: report it and
    // end the program, whose output the test runner then shows as a failure.
    // Nothing more can be done if the report cannot be written.
    static_cast<void>(std::fprintf(
        stderr, "%s: step \"%s\" still running after %lld ms; ending the test program\n",
        Test_.c_str(), What_.c_str(), static_cast<long long>(Limit_.count())));
    static_cast<void>(std::fflush(stdout));
    static_cast<void>(std::fflush(stderr));
    std::_Exit(EXIT_FAILURE);
  }
}

}  // namespace testsupport
