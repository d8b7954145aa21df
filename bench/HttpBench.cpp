// HTTP client benchmarks against a web server on loopback, when
// CORVALE_BENCH_HTTP_BASE names one ("http://127.0.0.1:<port>"; bench/http-vs-curl.sh
// starts nginx with the files below and compares with curl):
//  - BM_GetLargeToStream: /big.bin fetched with GetToStream into a stream that
//    drops the bytes (as curl -o /dev/null does);
//  - BM_FreshSmallGets: /small.txt fetched with GetText, each request on a
//    fresh connection as the program makes them (its addresses name no port,
//    so the client closes before each request; here the close is explicit
//    because a loopback test server needs a port in its address).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

#include "net/http/IdHTTP.h"

namespace {

// Counts the bytes written and keeps none of them.
class TDiscardStream : public TStream {
 public:
  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Write(const void*, int64_t Count) override {
    Pos += Count;
    return Count;
  }
  int64_t Size() const override { return Pos; }
  void SetSize(int64_t NewSize) override { Pos = NewSize; }
};

const char* Base() {
  return std::getenv("CORVALE_BENCH_HTTP_BASE");
}

void BM_GetLargeToStream(benchmark::State& state) {
  if (!Base()) {
    state.SkipWithError("CORVALE_BENCH_HTTP_BASE is not set");
    return;
  }
  const std::string url = std::string(Base()) + "/big.bin";
  TIdHTTP http;
  int64_t bytes = 0;
  for (auto _ : state) {
    TDiscardStream sink;
    http.GetToStream(url, &sink);
    bytes += sink.Position();
  }
  state.SetBytesProcessed(bytes);
}
BENCHMARK(BM_GetLargeToStream)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);

void BM_FreshSmallGets(benchmark::State& state) {
  if (!Base()) {
    state.SkipWithError("CORVALE_BENCH_HTTP_BASE is not set");
    return;
  }
  const std::string url = std::string(Base()) + "/small.txt";
  TIdHTTP http;
  http.Request.ContentType = "text/html";
  for (auto _ : state) {
    http.CloseConnection();
    benchmark::DoNotOptimize(http.GetText(url));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FreshSmallGets)->Unit(benchmark::kMicrosecond)->UseRealTime()->Iterations(1000);

}  // namespace

BENCHMARK_MAIN();
