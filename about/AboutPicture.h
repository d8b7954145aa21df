#pragma once
// The picture of Corvale's about box (a JPEG of 250 x 82 pixels), carried
// inside the executable: the build turns resources/about.jpg into a byte array.
#include <cstdint>
#include <span>

std::span<const uint8_t> AboutPictureJPEG();
