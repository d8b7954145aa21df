// The system's DNS servers on Windows: GetNetworkParams of the IP helper
// library, loaded at run time like the socket library.
#include <windows.h>
// After windows.h, which it needs.
#include <iphlpapi.h>

#include <cstring>
#include <memory>
#include <vector>

#include "platform/Exception.h"
#include "platform/Resolvers.h"
#include "platform/SharedLibrary.h"

namespace netconfig {

namespace {

constexpr const char* kSource = "The system's DNS settings (GetNetworkParams)";
// GetNetworkParams is asked again with the size it names, a few times at most
// (the settings may change between the calls).
constexpr int kSizeAttempts = 4;

}  // namespace

std::vector<std::string> SystemNameServers(const std::string&) {
  using TGetNetworkParams = DWORD(WINAPI*)(PFIXED_INFO, PULONG);
  const std::unique_ptr<TSharedLibrary> lib = TSharedLibrary::Load("iphlpapi.dll");
  auto* get = lib ? reinterpret_cast<TGetNetworkParams>(lib->Symbol("GetNetworkParams")) : nullptr;
  if (!get) throw EInOutError(std::string(kSource) + " cannot be read: iphlpapi.dll is missing");
  ULONG size = sizeof(FIXED_INFO);
  std::vector<unsigned char> buffer;
  DWORD result = ERROR_BUFFER_OVERFLOW;
  for (int i = 0; i < kSizeAttempts && result == ERROR_BUFFER_OVERFLOW; ++i) {
    buffer.assign(size, 0);
    result = get(reinterpret_cast<PFIXED_INFO>(buffer.data()), &size);
  }
  if (result != ERROR_SUCCESS)
    throw EInOutError(std::string(kSource) + " cannot be read: error " + std::to_string(result));
  std::vector<std::string> servers;
  const auto* info = reinterpret_cast<const FIXED_INFO*>(buffer.data());
  for (const IP_ADDR_STRING* s = &info->DnsServerList; s && servers.size() < kMaxNameServers;
       s = s->Next) {
    const std::string address(s->IpAddress.String,
                              strnlen(s->IpAddress.String, sizeof s->IpAddress.String));
    if (IsIPv4Address(address)) servers.push_back(address);
  }
  if (servers.empty()) throw EInOutError(std::string(kSource) + " name no IPv4 name server");
  return servers;
}

}  // namespace netconfig
