#include "platform/SingleInstance.h"

#include <chrono>
#include <thread>

// clang-format off
#include <windows.h>
// clang-format on

namespace {
// How often a later copy looks for the first one's window while it starts.
constexpr auto kRetryEvery = std::chrono::milliseconds(20);
}  // namespace

std::string TSingleInstance::InstanceDirectory() {
  return {};
}

TSingleInstance::TSingleInstance(const std::string& Name, const std::string&) {
  // "Local\": one copy per session, as each signed-in user has a desktop of
  // their own. The system closes the handle of a process however it ends, so
  // the mutex goes with the last copy that held it.
  const std::string name = "Local\\" + Name + ".Instance";
  HANDLE m = CreateMutexA(nullptr, FALSE, name.c_str());
  if (!m) return;
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    FFirst = false;
    CloseHandle(m);
    return;
  }
  FMutex = m;
}

TSingleInstance::~TSingleInstance() {
  if (FMutex) CloseHandle(static_cast<HANDLE>(FMutex));
}

bool TSingleInstance::WakeFirst(const std::string& WindowClass, unsigned Message,
                                int TimeoutMs) const {
  if (FFirst) return false;
  // The first copy may hold the mutex before its window exists.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
  for (;;) {
    if (HWND w = FindWindowA(WindowClass.c_str(), nullptr)) {
      // A program started by the user may bring itself forward; it hands
      // that right to the running copy, which shows its own window.
      DWORD pid = 0;
      GetWindowThreadProcessId(w, &pid);
      if (pid) AllowSetForegroundWindow(pid);
      return PostMessageA(w, Message, 0, 0) != FALSE;
    }
    if (std::chrono::steady_clock::now() + kRetryEvery > deadline) return false;
    std::this_thread::sleep_for(kRetryEvery);
  }
}

bool TSingleInstance::TakeWakeRequests() const {
  return false;
}
