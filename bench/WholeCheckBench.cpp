// One whole address check with a change: the echo fetch, the MX lookup and the
// SMTP delivery, done by the main window (headless) against servers that
// bench/check-vs-tools.sh starts on loopback. Wall and CPU time per check.
//
// Environment: CORVALE_BENCH_ECHO (host:port), CORVALE_BENCH_DNS_PORT,
// CORVALE_BENCH_SMTP_PORT; the MX of a.test must name 127.0.0.1.
#include <benchmark/benchmark.h>
#include <stdlib.h>  // NOLINT(modernize-deprecated-headers): mkdtemp is POSIX, declared here

#include <filesystem>
#include <fstream>
#include <string>

#include "app/Form1.h"
#include "ui/Application.h"
#include "ui/headless/HeadlessBackend.h"

namespace {

std::string Env(const char* Name) {
  const char* v = std::getenv(Name);
  return v ? v : "";
}

void BM_WholeCheck(benchmark::State& state) {
  const std::string echo = Env("CORVALE_BENCH_ECHO");
  const std::string docroot = Env("CORVALE_BENCH_DOCROOT");
  if (echo.empty() || docroot.empty()) {
    state.SkipWithError("run through bench/check-vs-tools.sh");
    return;
  }
  char tmpl[] = "/tmp/corvale-bench-XXXXXX";
  const char* made = mkdtemp(tmpl);
  if (!made) {
    state.SkipWithError("cannot create a temporary directory");
    return;
  }
  const std::string dir = made;
  {
    TApplication app(std::make_unique<THeadlessBackend>(), dir + "/Corvale");
    app.ShowMainForm = false;
    auto* f = app.CreateForm<TForm1>([&](TForm1& w) {
      w.EchoHost = echo;
      w.DNSServer = "127.0.0.1";
      w.DNSPort = static_cast<uint16_t>(std::stoi(Env("CORVALE_BENCH_DNS_PORT")));
      w.SMTPPort = static_cast<uint16_t>(std::stoi(Env("CORVALE_BENCH_SMTP_PORT")));
    });
    f->Edit1->SetText("Bench");
    f->Edit2->SetText("bench@a.test");
    int n = 0;
    for (auto _ : state) {
      // Every check sees a new address, so every check mails.
      state.PauseTiming();
      std::ofstream(docroot + "/GetMyIP.pl")
          << "BEGINIP 10.0." << (n / 250) % 250 << "." << n % 250 << " ENDIP";
      ++n;
      state.ResumeTiming();
      std::string address;
      f->GetMyIP(address);
      benchmark::DoNotOptimize(address);
    }
  }
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_WholeCheck)->Unit(benchmark::kMillisecond)->Iterations(200);

}  // namespace

BENCHMARK_MAIN();
