#pragma once
// Version information of an executable file on disk, read the way the
// platform's file-version functions read it. The block is a VS_VERSIONINFO: a
// 6-byte header (total length, value length, type), the key "VS_VERSION_INFO"
// in UTF-16 with its terminating zero, padding to a 4-byte boundary, and the
// fixed file information as its value. On Windows it is the executable's
// VERSIONINFO resource; on Linux the build puts the same block into the ELF
// section kVersionSection of the executable.
#include <cstdint>

// The fixed file information: 13 little-endian 32-bit fields.
struct VS_FIXEDFILEINFO {
  uint32_t dwSignature;      // kFixedFileInfoSignature
  uint32_t dwStrucVersion;   // 0x00010000
  uint32_t dwFileVersionMS;  // major << 16 | minor
  uint32_t dwFileVersionLS;  // build << 16 | release
  uint32_t dwProductVersionMS;
  uint32_t dwProductVersionLS;
  uint32_t dwFileFlagsMask;
  uint32_t dwFileFlags;
  uint32_t dwFileOS;
  uint32_t dwFileType;
  uint32_t dwFileSubtype;
  uint32_t dwFileDateMS;
  uint32_t dwFileDateLS;
};
static_assert(sizeof(VS_FIXEDFILEINFO) == 52, "the fixed file information has 52 bytes");

inline constexpr uint32_t kFixedFileInfoSignature = 0xFEEF04BD;
inline constexpr uint32_t VFT_APP = 1;

// The VS_VERSIONINFO block with the fixed file information and nothing else,
// as the build embeds it.
struct TVersionInfoBlock {
  uint16_t wLength;       // sizeof(TVersionInfoBlock)
  uint16_t wValueLength;  // sizeof(VS_FIXEDFILEINFO)
  uint16_t wType;         // 0: binary value
  char16_t szKey[16];     // u"VS_VERSION_INFO"
  uint16_t Padding;       // to a 4-byte boundary
  VS_FIXEDFILEINFO Value;
};
static_assert(sizeof(TVersionInfoBlock) == 92, "the header, key and padding take 40 bytes");

// The ELF section that holds the block on Linux.
inline constexpr const char* kVersionSection = ".corvale_version";

// The size of the file's version information in bytes, or 0 when the file has
// none (or cannot be read). Handle is set to 0, as the platform's call does.
// FileName is a path as platform/Files.h describes (UTF-8 on Windows).
uint32_t GetFileVersionInfoSizeA(const char* FileName, uint32_t* Handle);

// Copies at most Len bytes of the file's version information to Data; false
// when the file has none, or when the block claims to be longer than what was
// copied (so that VerQueryValueA stays within Data).
bool GetFileVersionInfoA(const char* FileName, uint32_t Handle, uint32_t Len, void* Data);

// Looks up SubBlock in a version information block read by GetFileVersionInfoA;
// "\\" is the root block, whose value is the fixed file information. Sets Buffer
// and Len to the value; false (0) when the block is malformed or has no such
// value.
#ifdef _WIN32
// On Windows the system's own function (version.dll), declared here with its
// own parameter types so that callers need no system header.
extern "C" __declspec(dllimport) int __stdcall VerQueryValueA(const void* Block,
                                                              const char* SubBlock, void** Buffer,
                                                              uint32_t* Len);
#else
bool VerQueryValueA(const void* Block, const char* SubBlock, void** Buffer, uint32_t* Len);
#endif
