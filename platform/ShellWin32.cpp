// The shell's "open" on Windows: the system's own ShellExecuteA.
#include "platform/Shell.h"

// After Shell.h: windows.h defines the SW_ and SE_ERR_ names as macros with
// the same values as the constants that header declares.
#include <windows.h>

#include <shellapi.h>

intptr_t ShellExecuteA(uint32_t Wnd, const char* Operation, const char* File,
                       const char* Parameters, const char* Directory, int ShowCmd) {
  // Window handles are 32-bit values even in a 64-bit process: the handle is
  // made from the number by the system's own convention.
  const HWND owner = reinterpret_cast<HWND>(  // NOLINT(performance-no-int-to-ptr)
      static_cast<uintptr_t>(Wnd));
  // The system's call answers an instance handle that only carries the
  // result code: above 32 on success.
  return reinterpret_cast<intptr_t>(
      ::ShellExecuteA(owner, Operation, File, Parameters, Directory, ShowCmd));
}
