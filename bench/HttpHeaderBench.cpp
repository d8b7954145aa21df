// The header side of the HTTP client without a network: TakeResponseHeaders
// (fourteen lookups and removals by name) over
//  - BM_TakeTypicalHeaders: the header block a web server sends with a small
//    static page (eight lines);
//  - BM_TakeLargestHeaders: the largest block a response may carry, 1000
//    lines of 256 bytes with long names, where every lookup walks every line.
// Each iteration copies the block first (the call empties it); the copy is
// part of the figure.
#include <benchmark/benchmark.h>

#include <string>

#include "net/http/IdHTTP.h"

namespace {

TIdHeaderList TypicalBlock() {
  TIdHeaderList l;
  for (const char* line :
       {"Server: nginx/1.22.1", "Date: Sun, 06 Nov 1994 08:49:37 GMT", "Content-Type: text/plain",
        "Content-Length: 21", "Last-Modified: Sun, 06 Nov 1994 08:49:37 GMT",
        "Connection: keep-alive", "ETag: \"6571f2e1-15\"", "Accept-Ranges: bytes"})
    l.Add(line);
  return l;
}

// Lines of this many bytes, 1000 of them: about 256 KiB.
constexpr size_t kLargeLine = 256;
constexpr int kLargeLines = 1000;

TIdHeaderList LargestBlock() {
  TIdHeaderList l;
  for (int i = 0; i < kLargeLines; ++i) {
    std::string line = "X-Padding-" + std::to_string(i) + "-";
    line += std::string(kLargeLine - line.size() - 3, 'a');
    line += ": v";
    l.Add(std::move(line));
  }
  return l;
}

void Take(benchmark::State& state, const TIdHeaderList& block) {
  TIdHeaderInfo info;
  for (auto _ : state) {
    TIdHeaderList copy = block;
    info.TakeResponseHeaders(copy);
    benchmark::DoNotOptimize(info.ExtraHeaders.Count());
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_TakeTypicalHeaders(benchmark::State& state) {
  Take(state, TypicalBlock());
}
BENCHMARK(BM_TakeTypicalHeaders)->Unit(benchmark::kMicrosecond);

void BM_TakeLargestHeaders(benchmark::State& state) {
  Take(state, LargestBlock());
}
BENCHMARK(BM_TakeLargestHeaders)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
