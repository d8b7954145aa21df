#pragma once
// A picture on a form. TBitmap holds decoded pixels; TImage shows one, sized to
// it when AutoSize is set and centred in its bounds when Center is set.
#include <cstdint>
#include <vector>

#include "ui/Control.h"

// An image as 8-bit RGB pixels, row by row from the top, 3 bytes a pixel.
struct TBitmap {
  int Width = 0;
  int Height = 0;
  std::vector<uint8_t> Pixels;

  bool Empty() const { return Width <= 0 || Height <= 0; }
};

class TImage : public TControl {
 public:
  using TControl::TControl;

  const TBitmap& GetPicture() const { return FPicture; }
  // Copies Value into the image; with AutoSize the image takes its size.
  void SetPicture(const TBitmap& Value);

  bool AutoSize = false;
  bool Center = false;

 private:
  TBitmap FPicture;
};
