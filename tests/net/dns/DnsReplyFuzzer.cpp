// libFuzzer target for the DNS reply decoder. Built and run by scripts/fuzz-dns
// (clang++ -fsanitize=fuzzer,address,undefined); its seed corpus lives in
// tests/net/dns/corpus and also runs in the unit tests.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "net/dns/IdDNSWire.h"
#include "net/transport/IdException.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  std::string_view reply(reinterpret_cast<const char*>(Data), Size);
  // Made once: a header draws its first id from the kernel, which would
  // dominate the time per input.
  static TIdDNSHeader header;
  static TIdDNSQuestionList questions;
  static TIdDNSResourceList answers;
  static TIdDNSResourceList authority;
  static TIdDNSResourceList additional;
  header.ClearCounts();
  questions.Clear();
  answers.Clear();
  authority.Clear();
  additional.Clear();
  header.ID = 0;
  // Expect the input's own id, so that most inputs get past the id check into
  // the sections; the first input byte's low bits choose a query length, so the
  // length check is exercised too.
  if (Size >= 2) header.ID = static_cast<uint16_t>((Data[0] << 8) | Data[1]);
  size_t queryLength = Size > 0 ? Data[0] % 32 : 0;
  try {
    ParseDNSReply(reply, queryLength,
                  TIdDNSReplyParts{header, questions, answers, authority, additional});
  } catch (const EIdDnsResolverError&) {
    // The decoder's own rejection; anything else escaping is a finding.
  }
  // What the resolver and its callers read from the result: the id check on
  // the raw datagram and the texts made of each decoded answer (one index past
  // the end included, which must read as empty).
  (void)DNSMessageHasId(reply, header.ID);
  for (int i = 0; i <= answers.Count(); ++i) {
    (void)answers.GetDNSRDataDomainName(i);
    (void)answers.GetDNSMxExchangeNameEx(i);
  }
  return 0;
}
