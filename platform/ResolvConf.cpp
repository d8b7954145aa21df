// Reading resolv.conf(5) text, the same on every system so that it can be
// tested everywhere.
#include <algorithm>
#include <cctype>

#include "platform/Resolvers.h"  // IWYU pragma: associated

namespace netconfig {

namespace {

// The most digits one number of a dotted-decimal address has.
constexpr size_t kMaxOctetDigits = 3;
constexpr int kMaxOctet = 255;
constexpr int kOctets = 4;

bool Blank(char C) {
  return C == ' ' || C == '\t' || C == '\r';
}

}  // namespace

bool IsIPv4Address(std::string_view Text) {
  for (int octet = 0; octet < kOctets; ++octet) {
    if (octet > 0) {
      if (Text.empty() || Text.front() != '.') return false;
      Text.remove_prefix(1);
    }
    size_t digits = 0;
    int value = 0;
    while (digits < Text.size() && std::isdigit(static_cast<unsigned char>(Text[digits]))) {
      if (digits == kMaxOctetDigits) return false;
      value = value * 10 + (Text[digits] - '0');
      ++digits;
    }
    // A leading zero is refused: some readers take "010" as octal 8.
    if (digits == 0 || value > kMaxOctet || (digits > 1 && Text.front() == '0')) return false;
    Text.remove_prefix(digits);
  }
  return Text.empty();
}

std::vector<std::string> NameServersOfResolvConf(std::string_view Text) {
  std::vector<std::string> servers;
  bool anyLine = false;
  while (!Text.empty()) {
    const size_t end = Text.find('\n');
    std::string_view line = Text.substr(0, end);
    Text.remove_prefix(end == std::string_view::npos ? Text.size() : end + 1);
    constexpr std::string_view kKeyword = "nameserver";
    if (!line.starts_with(kKeyword) || line.size() == kKeyword.size() ||
        !Blank(line[kKeyword.size()]))
      continue;
    anyLine = true;
    line.remove_prefix(kKeyword.size());
    while (!line.empty() && Blank(line.front())) line.remove_prefix(1);
    const std::string_view address = line.substr(
        0, static_cast<size_t>(std::find_if(line.begin(), line.end(), Blank) - line.begin()));
    if (IsIPv4Address(address) && servers.size() < kMaxNameServers) servers.emplace_back(address);
  }
  if (!anyLine) servers.emplace_back("127.0.0.1");
  return servers;
}

}  // namespace netconfig
