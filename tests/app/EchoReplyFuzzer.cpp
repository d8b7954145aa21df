// libFuzzer target for the main window's echo page reader (the address between the markers).
// Built and run by scripts/fuzz-echo; its seed corpus lives in
// tests/app/corpus/echo/.
#include <cstddef>
#include <cstdint>

#include "tests/app/AppFuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  appfuzz::EchoReply(Data, Size);
  return 0;
}
