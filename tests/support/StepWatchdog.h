#pragma once
// A time limit for each step of a test whose failure would be a hang rather
// than a wrong answer (a decoder caught in a loop). A step still running when
// its limit passes cannot be stopped from outside, so the watchdog ends the
// test program at once, naming the test and the step, instead of leaving the
// run to an outer time-out that names neither.
//
//   testsupport::StepWatchdog dog(std::chrono::seconds(2));
//   for (const auto& c : cases) {
//     dog.Step(c.What);   // the clock starts for this step
//     ... decode c ...
//   }
//   dog.Done();           // (or the destructor) stops the clock
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace testsupport {

class StepWatchdog {
 public:
  explicit StepWatchdog(std::chrono::milliseconds limit);
  ~StepWatchdog();
  StepWatchdog(const StepWatchdog&) = delete;
  StepWatchdog& operator=(const StepWatchdog&) = delete;

  // Ends the previous step and starts the clock for the step named what.
  void Step(std::string what);
  // Ends the current step without starting another.
  void Done();

 private:
  void Watch();

  const std::chrono::milliseconds Limit_;
  const std::string Test_;  // the running test's full name
  std::mutex Mutex_;
  std::condition_variable Changed_;
  std::string What_;
  uint64_t Generation_ = 0;  // counts the steps begun
  bool Armed_ = false;       // a step is running
  std::chrono::steady_clock::time_point Deadline_;
  bool Stop_ = false;
  std::thread Thread_;
};

}  // namespace testsupport
