// libFuzzer target for the header side of the HTTP client (response headers,
// chunk sizes, dates). Built and run by scripts/fuzz-http (clang++
// -fsanitize=fuzzer,address,undefined); its seed corpus lives in
// tests/net/http/corpus and also runs in the unit tests.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "tests/net/http/HttpHeaderFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  FuzzHttpHeaders(std::string_view(reinterpret_cast<const char*>(Data), Size));
  return 0;
}
