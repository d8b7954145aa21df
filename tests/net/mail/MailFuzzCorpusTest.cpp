// The fuzz target's seed corpus runs in the normal suite: every seed must pass
// through its target without a crash or a broken property.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size);

TEST(MailFuzzCorpus, SeedsPass) {
  int seeds = 0;
  for (const auto& e :
       std::filesystem::directory_iterator(CORVALE_SOURCE_DIR "/tests/net/mail/corpus")) {
    std::ifstream f(e.path(), std::ios::binary);
    std::string data((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    SCOPED_TRACE(e.path().string());
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(data.data()), data.size());
    ++seeds;
  }
  EXPECT_GE(seeds, 6);
}
