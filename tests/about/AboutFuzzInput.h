#pragma once
// One fuzz input for the about box's decoders, shared by the libFuzzer target
// (AboutFuzzer.cpp, run by scripts/fuzz-about) and the unit test that runs the
// seed corpus (tests/about/corpus). The first byte chooses the decoder:
//   0  the JPEG decoder, on the rest
//   1  the ELF version-section reader, on the rest written to a file
//   2  the version block reader, on the rest as a block read from a file
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "about/JPEGImage.h"
#include "platform/FileVersion.h"

namespace about_fuzz {

inline void DecodeJPEG(const uint8_t* Data, size_t Size) {
  TJPEGImage j;
  j.LoadFromBytes({Data, Size});
  try {
    const TBitmap b = j.Decode();
    if (b.Pixels.size() != static_cast<size_t>(b.Width) * static_cast<size_t>(b.Height) * 3)
      __builtin_trap();
  } catch (const EJPEG&) {
  }
}

inline void QueryBlock(const void* Block) {
  void* value = nullptr;
  uint32_t len = 0;
  if (VerQueryValueA(Block, "\\", &value, &len) && len >= sizeof(VS_FIXEDFILEINFO)) {
    VS_FIXEDFILEINFO info;
    __builtin_memcpy(&info, value, sizeof info);
    if (info.dwSignature == 1 && info.dwFileVersionMS == 2) std::puts("");
  }
}

inline void ReadElf(const uint8_t* Data, size_t Size) {
  // One file per process, rewritten for every input.
  static const std::string path = "/tmp/corvale-about-fuzz-" + std::to_string(getpid());
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return;
  // A file cut short would test some other input than this one.
  const bool whole = std::fwrite(Data, 1, Size, f) == Size;
  if (std::fclose(f) != 0 || !whole) return;
  uint32_t handle = 0;
  const uint32_t size = GetFileVersionInfoSizeA(path.c_str(), &handle);
  if (size > 0) {
    std::vector<uint32_t> block((size + 3) / 4);
    if (GetFileVersionInfoA(path.c_str(), handle, size, block.data())) QueryBlock(block.data());
  }
  (void)std::remove(path.c_str());  // rewritten by the next input if it stays
}

inline void ReadBlock(const uint8_t* Data, size_t Size) {
  // What GetFileVersionInfoA hands over: a block whose length fits the buffer.
  if (Size < 2 || (Data[0] | (Data[1] << 8)) > static_cast<int>(Size)) return;
  std::vector<uint32_t> block((Size + 3) / 4);
  __builtin_memcpy(block.data(), Data, Size);
  QueryBlock(block.data());
}

inline void OneInput(const uint8_t* Data, size_t Size) {
  if (Size == 0) return;
  switch (Data[0] % 3) {
    case 0:
      DecodeJPEG(Data + 1, Size - 1);
      break;
    case 1:
      ReadElf(Data + 1, Size - 1);
      break;
    default:
      ReadBlock(Data + 1, Size - 1);
      break;
  }
}

}  // namespace about_fuzz
