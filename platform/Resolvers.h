#pragma once
// The DNS servers the system is set up to ask, for a build that names none of
// its own.
#include <string>
#include <string_view>
#include <vector>

namespace netconfig {

// Where Linux keeps its resolver configuration.
inline constexpr const char* kResolvConfPath = "/etc/resolv.conf";
// The resolver library asks at most this many name servers; later lines are
// ignored as it ignores them.
inline constexpr size_t kMaxNameServers = 3;

// The IPv4 addresses of the "nameserver" lines of a resolv.conf text, in
// order and at most kMaxNameServers of them: a line is the keyword, blanks,
// the address, anything after it ignored. Comment lines (';' or '#'), other
// keywords, IPv6 and malformed addresses are skipped. A text with no
// "nameserver" line at all names the local machine (127.0.0.1), as the
// resolver library takes it.
std::vector<std::string> NameServersOfResolvConf(std::string_view Text);

// The system's DNS servers as dotted IPv4 addresses, read afresh at each
// call. Linux: NameServersOfResolvConf of the file at ConfigPath. Windows:
// the servers GetNetworkParams reports (iphlpapi.dll, loaded when first
// needed); ConfigPath is not used. Raises EInOutError naming the source when
// it cannot be read or names no IPv4 server.
std::vector<std::string> SystemNameServers(const std::string& ConfigPath);

// Whether Text is a dotted-decimal IPv4 address: four numbers 0-255 of one
// to three digits without leading zeros, nothing else.
bool IsIPv4Address(std::string_view Text);

}  // namespace netconfig
