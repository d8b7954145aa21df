#pragma once
// Command-line numbers of the loopback benchmarks, read whole and in range: a
// typo must stop the run with its usage, not measure port 0 or zero rounds.
// Plain C++ only, so that the bare-socket floor stays free of Corvale code.
#include <charconv>
#include <limits>
#include <stdexcept>
#include <string>
#include <system_error>

namespace benchargs {

// The largest TCP and UDP port number.
constexpr int kMaxPort = 65535;

// Wrong arguments: the benchmark's main prints its usage.
class TUsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A whole decimal number within [Min, Max], or a usage error naming What.
inline int Number(const std::string& Text, const char* What, int Min, int Max) {
  int value = 0;
  const auto [end, ec] = std::from_chars(Text.data(), Text.data() + Text.size(), value);
  if (ec != std::errc() || end != Text.data() + Text.size() || value < Min || value > Max)
    throw TUsageError(std::string(What) + " is not a number from " + std::to_string(Min) + " to " +
                      std::to_string(Max) + ": \"" + Text + "\"");
  return value;
}

inline int PortNumber(const std::string& Text) {
  return Number(Text, "PORT", 1, kMaxPort);
}

// A count of at least one.
inline int Count(const std::string& Text, const char* What) {
  return Number(Text, What, 1, std::numeric_limits<int>::max());
}

}  // namespace benchargs
