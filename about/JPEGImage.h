#pragma once
// A JPEG picture: the compressed bytes as they were given, decoded with libjpeg
// when the picture is drawn. A copy is a copy of the bytes.
#include <cstdint>
#include <span>
#include <string>

#include "platform/Exception.h"
#include "ui/Image.h"

// The bytes are not a JPEG picture libjpeg can decode, or one too large.
class EJPEG : public Exception {
 public:
  using Exception::Exception;
};

class TJPEGImage {
 public:
  // Keeps a copy of Data; nothing is decoded yet.
  void LoadFromBytes(std::span<const uint8_t> Data);
  // Keeps the content of the file. Raises EInOutError when it cannot be read.
  void LoadFromFile(const std::string& FileName);
  void Clear() { FData.clear(); }

  bool Empty() const { return FData.empty(); }
  const std::string& Data() const { return FData; }

  // The picture as RGB pixels. Raises EJPEG for data libjpeg rejects, for a
  // truncated picture (libjpeg would pad it with grey) and for one wider or
  // taller than kMaxSide.
  TBitmap Decode() const;

  // The about window shows a small picture; a header that promises more is
  // refused before any pixel memory is taken.
  static constexpr int kMaxSide = 4096;

 private:
  std::string FData;
};
