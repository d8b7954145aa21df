// Version information of an executable on Windows: its VERSIONINFO resource,
// read by the system's own functions (version.dll). The file name is a path as
// the program keeps it, UTF-8 (platform/WidePath.h), so the wide functions
// read the file; VerQueryValueA is the system's function itself (see
// platform/FileVersion.h) and reads the fixed file information, a binary
// value, from the block they answer as from an ANSI one.
//
// platform/FileVersion.h is not included here: its VS_FIXEDFILEINFO is the
// same record as the one windows.h declares. The functions below take the
// header's parameter types, which differ from the system's (DWORD is not
// uint32_t to the compiler), so each is an overload of the system's function
// of the same name and calls it with the system's types.
#include <windows.h>

#include <cstdint>
#include <cstring>

#include "platform/WidePath.h"

uint32_t GetFileVersionInfoSizeA(const char* FileName, uint32_t* Handle) {
  DWORD handle = 0;
  const DWORD size =
      FileName ? ::GetFileVersionInfoSizeW(files::WidePath(FileName).c_str(), &handle) : 0;
  if (Handle) *Handle = handle;
  return size;
}

bool GetFileVersionInfoA(const char* FileName, uint32_t Handle, uint32_t Len, void* Data) {
  if (!FileName || !Data) return false;
  if (!::GetFileVersionInfoW(files::WidePath(FileName).c_str(), DWORD{Handle}, DWORD{Len}, Data))
    return false;
  // A buffer shorter than the block holds a cut copy whose length field
  // still claims the whole block; VerQueryValueA would trust that length.
  uint16_t length = 0;
  if (Len < sizeof length) return false;
  std::memcpy(&length, Data, sizeof length);
  return length <= Len;
}
