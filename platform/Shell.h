#pragma once
// The shell's "open": a web address (or another address with a scheme) or a
// document opens in the desktop's program for it (xdg-open on Linux); a program
// is started if it exists. The call does not wait for what it starts.
#include <cstdint>

// How the started window should be shown (a hint the desktop may ignore).
inline constexpr int SW_SHOWNORMAL = 1;
inline constexpr int SW_SHOWMAXIMIZED = 3;

// Results of 32 or less are errors.
inline constexpr intptr_t SE_ERR_FNF = 2;           // the file was not found
inline constexpr intptr_t SE_ERR_ACCESSDENIED = 5;  // it cannot be run
inline constexpr intptr_t SE_ERR_OOM = 8;           // no process could be made
inline constexpr intptr_t SE_ERR_NOASSOC = 31;      // nothing opens it / unknown verb
inline constexpr intptr_t kShellExecuteOk = 33;     // the smallest success value

// Runs Operation ("open" or null, which means open) on File. Parameters are
// blank-separated arguments for a program (double quotes group); Directory is
// the program's working directory (null: the current one). Wnd is the owner
// window's handle. Returns a value greater than 32 on success, else one of the
// SE_ERR_ codes.
intptr_t ShellExecuteA(uint32_t Wnd, const char* Operation, const char* File,
                       const char* Parameters, const char* Directory, int ShowCmd);
