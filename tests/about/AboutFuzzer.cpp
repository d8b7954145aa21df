// libFuzzer target for the about box's decoders: the JPEG decoder, the ELF
// version-section reader and the version block reader. Built and run by
// scripts/fuzz-about; its seed corpus lives in tests/about/corpus and also
// runs in the unit tests.
#include <cstddef>
#include <cstdint>

#include "tests/about/AboutFuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  about_fuzz::OneInput(Data, Size);
  return 0;
}
