// libFuzzer target for the main window's settings file reader and writer.
// Built and run by scripts/fuzz-settings; its seed corpus lives in
// tests/app/corpus/settings/.
#include <cstddef>
#include <cstdint>

#include "tests/app/AppFuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  appfuzz::Settings(Data, Size);
  return 0;
}
