#include "ui/Image.h"

void TImage::SetPicture(const TBitmap& Value) {
  FPicture = Value;
  if (AutoSize && !FPicture.Empty())
    SetBounds(Left(), Top(), FPicture.Width, FPicture.Height);
  else
    Changed();
}
