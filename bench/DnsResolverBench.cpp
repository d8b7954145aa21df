// DNS benchmarks:
//  - decoding a typical MX reply (three answers with compression), next to
//    ldns's ldns_wire2pkt on the same bytes;
//  - MX lookups per second against a DNS server on loopback, when
//    CORVALE_BENCH_DNS_PORT names one (bench/dns-lookups.sh starts dnsmasq and
//    compares with kdig).
#include <benchmark/benchmark.h>
#include <ldns/ldns.h>

#include <cstdlib>
#include <string>

#include "net/dns/IdDNSResolver.h"
#include "net/dns/IdDNSWire.h"

namespace {

void Put16(std::string& s, unsigned v) {
  s += static_cast<char>(v >> 8);
  s += static_cast<char>(v & 0xFF);
}

// Reply to "MX example.org": three answers, each owner a pointer to the
// question name and each exchange a label plus a pointer to it.
std::string TypicalMxReply() {
  std::string r;
  for (unsigned v : {0x1234u, 0x8180u, 1u, 3u, 0u, 0u}) Put16(r, v);
  r += "\x07"
       "example"
       "\x03"
       "org";
  r += '\0';
  Put16(r, 15);
  Put16(r, 1);
  const char* names[] = {"mx1", "mx2", "mx3"};
  for (int i = 0; i < 3; ++i) {
    for (unsigned v : {0xC00Cu, 15u, 1u, 0u, 3600u, 8u, 10u * (i + 1)}) Put16(r, v);
    r += '\x03';
    r += names[i];
    Put16(r, 0xC00C);
  }
  return r;
}

void BM_DecodeMxReply_Corvale(benchmark::State& state) {
  const std::string reply = TypicalMxReply();
  TIdDNSHeader header;
  TIdDNSQuestionList questions;
  TIdDNSResourceList answers;
  TIdDNSResourceList authority;
  TIdDNSResourceList additional;
  TIdDNSReplyParts parts{header, questions, answers, authority, additional};
  for (auto _ : state) {
    header.ClearCounts();
    header.ID = 0x1234;
    questions.Clear();
    answers.Clear();
    authority.Clear();
    additional.Clear();
    benchmark::DoNotOptimize(ParseDNSReply(reply, 0, parts));
    benchmark::DoNotOptimize(answers[2].RData.MX.Exchange.data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DecodeMxReply_Corvale);

void BM_DecodeMxReply_Ldns(benchmark::State& state) {
  const std::string reply = TypicalMxReply();
  for (auto _ : state) {
    ldns_pkt* pkt = nullptr;
    ldns_status s =
        ldns_wire2pkt(&pkt, reinterpret_cast<const uint8_t*>(reply.data()), reply.size());
    if (s != LDNS_STATUS_OK) state.SkipWithError("ldns_wire2pkt failed");
    benchmark::DoNotOptimize(ldns_pkt_answer(pkt));
    ldns_pkt_free(pkt);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DecodeMxReply_Ldns);

void BM_MxLookup(benchmark::State& state) {
  const char* port = std::getenv("CORVALE_BENCH_DNS_PORT");
  const char* name = std::getenv("CORVALE_BENCH_DNS_NAME");
  if (!port) {
    state.SkipWithError("CORVALE_BENCH_DNS_PORT not set (run bench/dns-lookups.sh)");
    return;
  }
  TIdDNSResolver r;
  r.Host = "127.0.0.1";
  r.Port = std::stoi(port);  // a malformed port fails the run loudly
  r.ReceiveTimeout = 2000;
  for (auto _ : state) {
    r.ClearResults();
    r.Header.SetRD(true);
    r.Questions.Clear();
    TQuestionItem* q = r.Questions.Add();
    q->QName = name ? name : "one.test";
    q->QType = 15;
    q->QClass = 1;
    r.Resolve();
    benchmark::DoNotOptimize(r.Answers.Count());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MxLookup)->Iterations(2000)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
