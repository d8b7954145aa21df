// The system's DNS servers on Linux: the resolver library's configuration file.
#include "platform/Resolvers.h"

#include "platform/Exception.h"
#include "platform/Files.h"

namespace netconfig {

std::vector<std::string> SystemNameServers(const std::string& ConfigPath) {
  std::string text;
  try {
    text = files::ReadFile(ConfigPath);
  } catch (const EInOutError& e) {
    throw EInOutError("The DNS configuration " + ConfigPath + " cannot be read: " + e.Message);
  }
  std::vector<std::string> servers = NameServersOfResolvConf(text);
  if (servers.empty())
    throw EInOutError("The DNS configuration " + ConfigPath + " names no IPv4 name server");
  return servers;
}

}  // namespace netconfig
