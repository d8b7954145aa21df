// Base64 and quoted-printable encoding of 100 MB, in MB/s, next to coreutils'
// base64 and Python's binascii/quopri encoding the same bytes in the same run.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <random>
#include <string>

#include "net/mail/IdCoder.h"

namespace {

constexpr size_t kInputSize = 100u << 20;  // 100 MB
// Bytes handed to CodeText per call in the bulk measurements.
constexpr size_t kFeed = 1u << 20;
// Bytes per call on the attachment path (one 76-character line each).
constexpr size_t kLineBytes = coder_limits::kBase64LineBytes;

// Random bytes: what an attachment looks like to base64.
const std::string& BinaryInput() {
  static const std::string s = [] {
    std::string b(kInputSize, '\0');
    std::mt19937_64 rng(1);
    for (size_t i = 0; i + 8 <= b.size(); i += 8) {
      uint64_t v = rng();
      std::memcpy(&b[i], &v, 8);
    }
    return b;
  }();
  return s;
}

// Text with lines of 60 to 100 characters, mostly ASCII with some Latin-1,
// "=" and trailing blanks: what a text part looks like to quoted-printable.
const std::string& TextInput() {
  static const std::string s = [] {
    std::string t;
    t.reserve(kInputSize);
    std::mt19937 rng(2);
    const char* words[] = {"address",     "changed", "caf\xE9",     "=",
                           "Gr\374\337e",  // octal: a hex escape would swallow the e
                           "the",         "IP",      "203.0.113.7", "mail", "server"};
    while (t.size() < kInputSize) {
      const size_t len = 60 + rng() % 40;
      const size_t start = t.size();
      while (t.size() - start < len) {
        t += words[rng() % std::size(words)];
        t += ' ';
      }
      if (rng() % 4) t.pop_back();
      t += "\r\n";
    }
    t.resize(kInputSize);
    return t;
  }();
  return s;
}

std::string WriteTemp(const std::string& Data, const char* Name) {
  std::string path = std::string("/tmp/corvale-bench-") + Name;
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return "";
  // A file cut short would time a different input: no path then.
  const bool whole = std::fwrite(Data.data(), 1, Data.size(), f) == Data.size();
  if (std::fclose(f) != 0 || !whole) return "";
  return path;
}

size_t Drain(TIdCoder& C, std::string_view In, size_t Feed) {
  size_t out = 0;
  for (size_t i = 0; i < In.size(); i += Feed) out += C.CodeText(In.substr(i, Feed)).size();
  return out + C.EndInput().size();
}

void BM_Base64Encoder(benchmark::State& state) {
  const std::string& in = BinaryInput();
  for (auto _ : state) {
    TIdBase64Encoder e;
    benchmark::DoNotOptimize(Drain(e, in, kFeed));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}

// The attachment writer's way: 57 bytes per call, each a line with CR LF.
void BM_Base64EncoderLines(benchmark::State& state) {
  const std::string& in = BinaryInput();
  for (auto _ : state) {
    TIdBase64Encoder e;
    e.AddLineEnd = true;
    e.CompleteOnEachCall = true;
    size_t out = 0;
    for (size_t i = 0; i < in.size(); i += kLineBytes)
      out += e.CodeText(std::string_view(in).substr(i, kLineBytes)).size();
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}

void BM_QuotedPrintableEncoder(benchmark::State& state) {
  const std::string& in = TextInput();
  for (auto _ : state) {
    TIdQuotedPrintableEncoder e;
    benchmark::DoNotOptimize(Drain(e, in, kFeed));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}

// Runs a shell command and reports its wall time (or, when it prints a number
// of seconds as its last line, that number) as the iteration time.
void RunTimed(benchmark::State& state, const std::string& Cmd, bool SelfTimed, size_t Bytes) {
  for (auto _ : state) {
    auto t0 = std::chrono::steady_clock::now();
    FILE* p = popen(Cmd.c_str(), "r");
    if (!p) {
      state.SkipWithError("cannot run the command");
      return;
    }
    std::string line(256, '\0');
    std::string last;
    while (std::fgets(line.data(), static_cast<int>(line.size()), p))
      last = line.substr(0, line.find('\0'));
    int rc = pclose(p);
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (rc != 0) {
      state.SkipWithError(("command failed: " + Cmd).c_str());
      return;
    }
    if (SelfTimed) {
      try {
        secs = std::stod(last);
      } catch (const std::exception&) {
        state.SkipWithError(("no time printed by: " + Cmd).c_str());
        return;
      }
    }
    state.SetIterationTime(secs);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * Bytes));
}

void BM_CoreutilsBase64(benchmark::State& state) {
  std::string f = WriteTemp(BinaryInput(), "binary");
  // The whole program, reading the file from the page cache and writing
  // 76-character lines like ours.
  RunTimed(state, "base64 -w 76 " + f + " > /dev/null", false, BinaryInput().size());
  unlink(f.c_str());
}

// Python's encoders timed inside the interpreter (encoding only, no start-up).
std::string PythonTimed(const std::string& File, const std::string& Call) {
  return "/usr/bin/python3 -c \"import binascii, quopri, time; d = open('" + File +
         "', 'rb').read(); t = time.perf_counter(); " + Call + "; print(time.perf_counter() - t)\"";
}

void BM_PythonBinasciiBase64(benchmark::State& state) {
  std::string f = WriteTemp(BinaryInput(), "binary");
  RunTimed(state,
           PythonTimed(f, "[binascii.b2a_base64(d[i:i + 57]) for i in range(0, len(d), 57)]"), true,
           BinaryInput().size());
  unlink(f.c_str());
}

void BM_PythonQuopri(benchmark::State& state) {
  std::string f = WriteTemp(TextInput(), "text");
  RunTimed(state, PythonTimed(f, "quopri.encodestring(d)"), true, TextInput().size());
  unlink(f.c_str());
}

void BM_PythonBinasciiQp(benchmark::State& state) {
  std::string f = WriteTemp(TextInput(), "text");
  RunTimed(state, PythonTimed(f, "binascii.b2a_qp(d)"), true, TextInput().size());
  unlink(f.c_str());
}

}  // namespace

BENCHMARK(BM_Base64Encoder)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_Base64EncoderLines)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_CoreutilsBase64)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);
BENCHMARK(BM_PythonBinasciiBase64)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);
BENCHMARK(BM_QuotedPrintableEncoder)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_PythonQuopri)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);
BENCHMARK(BM_PythonBinasciiQp)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);

BENCHMARK_MAIN();
