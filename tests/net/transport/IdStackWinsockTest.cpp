// The Winsock stack's own life: loading the library by file name, its start-up
// and clean-up, and what it reports when the library is missing or lacks a
// function. Windows only; the socket behaviour shared with every stack is
// tested in IdStackTest.cpp.
#ifdef _WIN32

#include <winsock2.h>

#include <windows.h>

#include "gtest/gtest.h"
#include "net/transport/IdComponent.h"
#include "net/transport/IdException.h"
#include "net/transport/IdSocketHandle.h"
#include "net/transport/IdStackWinsock.h"

namespace {

// Enough rounds for a start-up left over by each round to show many times.
constexpr int kRounds = 200;
// More start-ups than any test process makes; stops a runaway count.
constexpr int kMaxStartups = 1000;

// Wine (8.0) cannot load ws2_32.dll, on which wsock32.dll rests, a second time
// in a process: after the first copy is unloaded, the functions of the next
// one take no socket (every call fails with 10038). The program ends its stack
// once, when it ends; these tests end many, so the process keeps ws2_32 loaded
// throughout (wsock32.dll itself still comes and goes with each stack).
const HMODULE kWs2KeptLoaded = LoadLibraryA("ws2_32.dll");

// The test's own handle on the library, so that the library stays loaded (and
// its start-up count alive) between the stacks a test makes.
struct TWinsockProbe {
  HMODULE Module = LoadLibraryA(kWinsockLibrary);
  ~TWinsockProbe() { FreeLibrary(Module); }
  template <typename F>
  F* Proc(const char* Name) const {
    return reinterpret_cast<F*>(reinterpret_cast<void (*)()>(GetProcAddress(Module, Name)));
  }
  // Winsock counts its start-ups; each WSACleanup undoes one and fails once
  // none is left. Counts them by undoing them all, then makes them again. The
  // last clean-up closes the process's sockets, so no other test may have one
  // open meanwhile (each test owns its servers).
  int Startups() const {
    auto cleanup = Proc<decltype(::WSACleanup)>("WSACleanup");
    auto startup = Proc<decltype(::WSAStartup)>("WSAStartup");
    int n = 0;
    while (n < kMaxStartups && cleanup() == 0) ++n;
    for (int i = 0; i < n; ++i) {
      WSADATA data{};
      startup(kWinsockVersion, &data);
    }
    return n;
  }
};

TEST(WinsockStack, IsThePlatformStack) {
  ASSERT_NE(kWs2KeptLoaded, nullptr);
  TIdComponent keeper;
  EXPECT_NE(dynamic_cast<TIdStackWinsock*>(GlobalStack.get()), nullptr);
}

TEST(WinsockStack, VersionRecordHoldsTheStartUpData) {
  TIdStackWinsock stack;
  const TIdStackVersionWinsock& v = stack.Version();
  EXPECT_EQ(v.Version, 0x0101);  // 1.1, the version asked for
  EXPECT_GE(v.MaxVersion & 0xFF, 1);
  EXPECT_FALSE(v.Description.empty());
  EXPECT_EQ(v.Name, "Winsock stack");
}

TEST(WinsockStack, StartUpsAndCleanUpsBalanceOverManyStacks) {
  const TWinsockProbe probe;
  ASSERT_NE(probe.Module, nullptr);
  const int before = probe.Startups();
  for (int i = 0; i < kRounds; ++i) {
    TIdStackWinsock stack;
    ASSERT_EQ(probe.Startups(), before + 1);
  }
  EXPECT_EQ(probe.Startups(), before);
}

TEST(WinsockStack, LibraryIsUnloadedWithTheLastComponent) {
  ASSERT_EQ(TIdComponent::InstanceCount(), 0);
  ASSERT_EQ(GetModuleHandleA(kWinsockLibrary), nullptr) << "another part of the process holds it";
  {
    TIdComponent keeper;
    EXPECT_NE(GetModuleHandleA(kWinsockLibrary), nullptr);
  }
  EXPECT_EQ(GetModuleHandleA(kWinsockLibrary), nullptr);
  // A new component starts a new stack over a freshly loaded library.
  TIdComponent again;
  TIdSocketHandle h;
  h.OpenSocket(Id_SOCK_DGRAM);
  EXPECT_TRUE(h.IsOpen);
}

TEST(WinsockStack, MissingLibraryOrFunctionIsReportedByName) {
  try {
    TIdStackWinsock stack("corvale-missing.dll");
    FAIL() << "loaded";
  } catch (const EIdStackCanNotLoadWinsock& e) {
    EXPECT_STREQ(e.what(), "corvale-missing.dll could not be loaded.");
  }
  // A library that loads but has none of the socket functions: the first one
  // called (the start-up) raises, and the library is released again.
  const bool heldBefore = GetModuleHandleA("msimg32.dll") != nullptr;
  try {
    TIdStackWinsock stack("msimg32.dll");
    FAIL() << "started";
  } catch (const EIdStackMissingEntryPoint& e) {
    EXPECT_STREQ(e.what(), "msimg32.dll has no function WSAStartup.");
  }
  if (!heldBefore) {
    EXPECT_EQ(GetModuleHandleA("msimg32.dll"), nullptr);
  }
}

}  // namespace

#endif  // _WIN32
