// The system's DNS servers: resolv.conf text read as the resolver library
// reads it, and the servers of the system the test runs on.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "platform/Exception.h"
#include "platform/Resolvers.h"
#include "tests/support/TestEnv.h"

namespace {

using Servers = std::vector<std::string>;

TEST(Resolvers, ResolvConfNamesItsIPv4ServersInOrder) {
  struct Case {
    const char* What;
    const char* Text;
    Servers Expected;
  } cases[] = {
      {"one server", "nameserver 192.0.2.53\n", {"192.0.2.53"}},
      {"in order, tabs, no final line break",
       "nameserver\t10.0.0.2\nnameserver  10.0.0.1",
       {"10.0.0.2", "10.0.0.1"}},
      {"comments, other keywords, IPv6 skipped",
       "# generated\n; old\nsearch example.org\noptions ndots:2\nnameserver ::1\n"
       "nameserver fe80::1%eth0\nnameserver 127.0.0.53\n",
       {"127.0.0.53"}},
      {"anything after the address ignored, CR LF lines",
       "nameserver 10.1.1.1 # office\r\nnameserver 10.1.1.2\r\n",
       {"10.1.1.1", "10.1.1.2"}},
      {"three at most, as the resolver library",
       "nameserver 10.0.0.1\nnameserver 10.0.0.2\nnameserver 10.0.0.3\nnameserver 10.0.0.4\n",
       {"10.0.0.1", "10.0.0.2", "10.0.0.3"}},
      {"malformed addresses skipped",
       "nameserver 256.0.0.1\nnameserver 1.2.3\nnameserver 1.2.3.4.5\nnameserver 01.2.3.4x\n"
       "nameserver 0001.2.3.4\nnameserver 10.0.0.9\n",
       {"10.0.0.9"}},
      {"keyword not alone: not a nameserver line",
       "nameservers 10.0.0.1\n nameserver 10.0.0.2\n",
       {"127.0.0.1"}},
      {"no nameserver line: the local machine", "search example.org\n", {"127.0.0.1"}},
      {"empty text: the local machine", "", {"127.0.0.1"}},
      {"nameserver lines, none IPv4: none", "nameserver ::1\n", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.What);
    EXPECT_EQ(netconfig::NameServersOfResolvConf(c.Text), c.Expected);
  }
}

TEST(Resolvers, IPv4AddressesAreFourNumbersUpTo255) {
  for (const char* good : {"0.0.0.0", "255.255.255.255", "10.0.0.1", "100.64.0.9"})
    EXPECT_TRUE(netconfig::IsIPv4Address(good)) << good;
  for (const char* bad :
       {"", "1.2.3", "1.2.3.4.", ".1.2.3.4", "1.2.3.256", "1..2.3", "1.2.3.4 ", "a.b.c.d",
        "1.2.3.0004", "-1.2.3.4", "::1", "192.168.001.010", "010.0.0.1"})
    EXPECT_FALSE(netconfig::IsIPv4Address(bad)) << bad;
}

TEST(Resolvers, TheSystemsServers) {
  if (testenv::kWindows) {
    // Windows asks the system (under Wine: the servers of the host).
    const Servers servers = netconfig::SystemNameServers("");
    ASSERT_FALSE(servers.empty());
    for (const std::string& s : servers) {
      EXPECT_TRUE(netconfig::IsIPv4Address(s)) << s;
      std::cout << "GetNetworkParams names " << s << "\n";
    }
    return;
  }
  const std::string dir = testenv::MakeTempDir("corvale-resolv-");
  const std::string conf = dir + "/resolv.conf";
  std::ofstream(conf) << "nameserver 10.0.0.2\nnameserver 10.0.0.1\n";
  EXPECT_EQ(netconfig::SystemNameServers(conf), (Servers{"10.0.0.2", "10.0.0.1"}));
  struct Case {
    const char* What;
    const char* Text;  // null: no file
    std::string Error;
  } cases[] = {
      {"missing", nullptr, "The DNS configuration " + conf + " cannot be read: File not found"},
      {"only IPv6", "nameserver ::1\n",
       "The DNS configuration " + conf + " names no IPv4 name server"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.What);
    std::filesystem::remove(conf);
    if (c.Text) std::ofstream(conf) << c.Text;
    try {
      netconfig::SystemNameServers(conf);
      ADD_FAILURE() << "no error";
    } catch (const EInOutError& e) {
      EXPECT_EQ(e.Message, c.Error);
    }
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
