#pragma once
// The main window of a running Corvale.exe, for the tests that start the
// program (end to end, installer): found among the desktop's top-level
// windows by its process and its window class.
#include <windows.h>

#include <cstring>

namespace win32test {

struct TWindowSearch {
  DWORD Pid = 0;
  HWND Found = nullptr;
};

inline BOOL CALLBACK MatchProgramWindow(HWND W, LPARAM Data) {
  auto* s = reinterpret_cast<TWindowSearch*>(Data);
  DWORD pid = 0;
  GetWindowThreadProcessId(W, &pid);
  char name[64] = {};
  GetClassNameA(W, name, sizeof name);
  if (pid == s->Pid && std::strcmp(name, "Corvale.Form1") == 0) {
    s->Found = W;
    return FALSE;
  }
  return TRUE;
}

// The main window of process Pid, or nullptr while it has none.
inline HWND FindProgramWindow(DWORD Pid) {
  TWindowSearch s{Pid};
  EnumWindows(MatchProgramWindow, reinterpret_cast<LPARAM>(&s));
  return s.Found;
}

}  // namespace win32test
