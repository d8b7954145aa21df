// Version information of an executable on Windows: its VERSIONINFO resource,
// read by the system's own functions (version.dll). VerQueryValueA is the
// system's function itself (see platform/FileVersion.h).
//
// platform/FileVersion.h is not included here: its VS_FIXEDFILEINFO is the
// same record as the one windows.h declares. The functions below take the
// header's parameter types, which differ from the system's (DWORD is not
// uint32_t to the compiler), so each is an overload of the system's function
// of the same name and calls it with the system's types.
#include <windows.h>

#include <cstdint>
#include <cstring>

uint32_t GetFileVersionInfoSizeA(const char* FileName, uint32_t* Handle) {
  DWORD handle = 0;
  const DWORD size = FileName ? ::GetFileVersionInfoSizeA(FileName, &handle) : 0;
  if (Handle) *Handle = handle;
  return size;
}

bool GetFileVersionInfoA(const char* FileName, uint32_t Handle, uint32_t Len, void* Data) {
  if (!FileName || !Data) return false;
  if (!::GetFileVersionInfoA(FileName, DWORD{Handle}, DWORD{Len}, Data)) return false;
  // A buffer shorter than the block holds a cut copy whose length field
  // still claims the whole block; VerQueryValueA would trust that length.
  uint16_t length = 0;
  if (Len < sizeof length) return false;
  std::memcpy(&length, Data, sizeof length);
  return length <= Len;
}
