// The about picture and its decoder: the shipped JPEG decodes to 250 x 82;
// truncated, corrupt and oversized data are EJPEG errors, never a crash or an
// exit of the process.
#include <gtest/gtest.h>

#include "about/JPEGImage.h"
#include "tests/about/AboutTestSupport.h"

using namespace about_test;

namespace {

// The offset of the first SOF0/SOF2 marker (frame header) in Data.
size_t FrameHeader(const std::string& Data) {
  for (size_t i = 2; i + 1 < Data.size(); ++i)
    if (static_cast<uint8_t>(Data[i]) == 0xFF &&
        (static_cast<uint8_t>(Data[i + 1]) == 0xC0 || static_cast<uint8_t>(Data[i + 1]) == 0xC2))
      return i;
  return std::string::npos;
}

struct Rgb {
  int R, G, B;
};
Rgb PixelAt(const TBitmap& B, int X, int Y) {
  const size_t at =
      (static_cast<size_t>(Y) * static_cast<size_t>(B.Width) + static_cast<size_t>(X)) * 3;
  return {B.Pixels[at], B.Pixels[at + 1], B.Pixels[at + 2]};
}

}  // namespace

TEST(JPEGImageTest, ShippedPictureDecodesTo250x82Rgb) {
  const TJPEGImage jpeg = JPEGFrom(ShippedJPEG());
  ASSERT_FALSE(jpeg.Empty());
  const TBitmap b = jpeg.Decode();
  EXPECT_EQ(b.Width, 250);
  EXPECT_EQ(b.Height, 82);
  ASSERT_EQ(b.Pixels.size(), 250u * 82u * 3u);
  // A gradient from dark blue at the top to light blue at the bottom.
  const Rgb top = PixelAt(b, 2, 1);
  const Rgb bottom = PixelAt(b, 2, 80);
  EXPECT_GT(top.B, top.R);
  EXPECT_LT(top.B, bottom.B);
  EXPECT_LT(top.R + top.G, bottom.R + bottom.G);
}

TEST(JPEGImageTest, CopiesShareNothing) {
  TJPEGImage a = JPEGFrom(ShippedJPEG());
  TJPEGImage b = a;
  a.Clear();
  EXPECT_TRUE(a.Empty());
  EXPECT_EQ(b.Decode().Width, 250);
}

TEST(JPEGImageTest, TruncatedPictureIsAnError) {
  const std::string data = ShippedJPEG();
  for (size_t keep : {size_t{0}, size_t{1}, size_t{2}, size_t{20}, size_t{200}, data.size() / 2,
                      data.size() - 100, data.size() - 2}) {
    SCOPED_TRACE(keep);
    EXPECT_THROW(JPEGFrom(data.substr(0, keep)).Decode(), EJPEG);
  }
}

TEST(JPEGImageTest, CorruptHeadersAreErrors) {
  const std::string good = ShippedJPEG();
  const size_t sof = FrameHeader(good);
  ASSERT_NE(sof, std::string::npos);
  // SOF: marker(2) length(2) precision(1) height(2) width(2) components(1)...
  struct Case {
    const char* name;
    size_t at;
    std::string bytes;
  } cases[] = {
      {"not a JPEG at all", 0, "GIF89a"},
      {"start marker damaged", 1, std::string("\x00", 1)},
      {"12-bit precision", sof + 4, "\x0C"},
      {"zero height", sof + 5, std::string("\x00\x00", 2)},
      {"zero width", sof + 7, std::string("\x00\x00", 2)},
      {"no components", sof + 9, std::string("\x00", 1)},
      {"height past the limit", sof + 5, "\x13\x88"},  // 5000
      {"width past the limit", sof + 7, "\xFF\xFF"},   // 65535
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string bad = good;
    bad.replace(c.at, c.bytes.size(), c.bytes);
    EXPECT_THROW(JPEGFrom(bad).Decode(), EJPEG);
  }
}

TEST(JPEGImageTest, EmptyPictureIsAnError) {
  EXPECT_THROW(TJPEGImage().Decode(), EJPEG);
}

TEST(JPEGImageTest, DamageAnywhereGivesAnErrorOrThePictureNeverACrash) {
  const std::string good = ShippedJPEG();
  for (size_t at = 0; at < good.size(); at += 37) {
    std::string bad = good;
    bad[at] = static_cast<char>(bad[at] ^ 0x5A);
    try {
      const TBitmap b = JPEGFrom(bad).Decode();
      EXPECT_EQ(b.Pixels.size(), static_cast<size_t>(b.Width) * static_cast<size_t>(b.Height) * 3)
          << at;
    } catch (const EJPEG&) {
    }
  }
}
