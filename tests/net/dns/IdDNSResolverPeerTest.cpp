// The resolver against real DNS servers on loopback: dnsmasq for the MX
// lookups the program makes, NSD for every record type the resolver decodes.
// Every reply is decoded a second time by dnspython and the fields compared.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "net/dns/IdDNSResolver.h"
#include "tests/net/dns/DnsBytes.h"
#include "tests/support/DnsmasqServer.h"
#include "tests/support/HostProcess.h"
#include "tests/support/NsdServer.h"

namespace {

std::string Hex(const std::string& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

std::string Dotted(uint32_t a) {
  return std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 255) + "." +
         std::to_string((a >> 8) & 255) + "." + std::to_string(a & 255);
}

// The resolver's decoding in the line format of dns_decode.py.
std::string OurLines(const TIdDNSResolver& r) {
  std::ostringstream o;
  for (int i = 0; i < r.Questions.Count(); ++i)
    o << "Q " << r.Questions[i].QName << " " << r.Questions[i].QType << " " << r.Questions[i].QClass
      << "\n";
  auto section = [&](const char* tag, const TIdDNSResourceList& list) {
    for (int i = 0; i < list.Count(); ++i) {
      const TIdDNSResourceItem& it = list[i];
      const TRdata& d = it.RData;
      o << tag << " " << it.Name << " " << it.RRType << " " << it.RRClass << " " << it.TTL;
      switch (it.RRType) {
        case 1:
          o << " " << d.HostAddress;
          break;
        case 2:
        case 5:
        case 7:
        case 8:
        case 9:
        case 12:
          o << " " << d.DomainName;
          break;
        case 6:
          o << " " << d.SOA.MName << " " << d.SOA.RName << " " << d.SOA.Serial << " "
            << d.SOA.Refresh << " " << d.SOA.Retry << " " << d.SOA.Expire << " " << d.SOA.Minimum;
          break;
        case 11:
          o << " " << Dotted(d.WKS.Address) << " " << int{d.WKS.Protocol} << " "
            << Hex(std::string(reinterpret_cast<const char*>(d.WKS.BitMap), 8));
          break;
        case 13:
          o << " " << d.HInfo.CPU << " " << d.HInfo.OS;
          break;
        case 14:
          o << " " << d.MInfo.RMailBox << " " << d.MInfo.EMailBox;
          break;
        case 15:
          o << " " << d.MX.Preference << " " << d.MX.Exchange;
          break;
        case 16:
          o << " " << Hex(it.RawData);
          break;
        default:
          break;
      }
      o << "\n";
    }
  };
  section("AN", r.Answers);
  section("NS", r.Authority);
  section("AR", r.Additional);
  o << "--\n";
  return o.str();
}

// dnspython's decoding of the reply (hex on stdin); on the Linux side also for
// a Windows test (HostProcess.h).
std::string DnspythonLines(const std::string& reply) {
  return host::Run({"/usr/bin/python3", CORVALE_SOURCE_DIR "/tests/net/dns/dns_decode.py"},
                   Hex(reply) + "\n")
      .Output;
}

// With CORVALE_DNS_CORPUS_OUT set, every reply of the real servers is saved
// there as a seed for the fuzz target (tests/net/dns/corpus).
void SaveSeed(const std::string& name, const std::string& reply) {
  const char* dir = std::getenv("CORVALE_DNS_CORPUS_OUT");
  if (!dir) return;
  std::ofstream(std::string(dir) + "/" + name, std::ios::binary) << reply;
}

void Ask(TIdDNSResolver& r, uint16_t port, const std::string& name, uint16_t type) {
  r.Host = "127.0.0.1";
  r.Port = port;
  r.ReceiveTimeout = 5000;
  r.ClearResults();
  r.Header.SetQR(false);
  r.Header.SetOpcode(0);
  r.Header.SetRD(true);
  r.Questions.Clear();
  TQuestionItem* q = r.Questions.Add();
  q->QName = name;
  q->QType = type;
  q->QClass = 1;
  r.Resolve();
}

// Resolves, then checks that dnspython reads the same reply the same way.
void AskAndCompare(TIdDNSResolver& r, uint16_t port, const std::string& name, uint16_t type,
                   const std::string& seed) {
  Ask(r, port, name, type);
  SaveSeed(seed, r.ReplyPacket);
  EXPECT_EQ(OurLines(r), DnspythonLines(r.ReplyPacket)) << name << " type " << type;
}

class DnsmasqPeer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Server = new DnsmasqServer();
    // dnsmasq lists the records of a name in reverse order of its lines.
    Server->Options = {
        "mx-host=one.test,mail.one.test,10",
        "mx-host=several.test,low.several.test,10",
        "mx-host=several.test,high.several.test,20",
        "mx-host=target.test,mail.target.test,5",
        "cname=alias.test,target.test",
        "host-record=nomx.test,127.0.0.5",
    };
    Server->Start();
  }
  static void TearDownTestSuite() {
    delete Server;
    Server = nullptr;
  }
  static DnsmasqServer* Server;
  TIdDNSResolver R;
};
DnsmasqServer* DnsmasqPeer::Server = nullptr;

TEST_F(DnsmasqPeer, OneExchangerAndTheQueryBytes) {
  AskAndCompare(R, Server->Port(), "one.test", 15, "dnsmasq-one-mx");
  EXPECT_EQ(R.QueryPacket, std::string(Msg()
                                           .U16(R.Header.ID)
                                           .U16(0x0100)
                                           .U16(1)
                                           .U16(0)
                                           .U16(0)
                                           .U16(0)
                                           .Name("one.test")
                                           .U16(0x000F)
                                           .U16(0x0001)));
  ASSERT_EQ(R.Answers.Count(), 1);
  EXPECT_EQ(R.Answers[0].Name, "one.test");
  EXPECT_EQ(R.Answers[0].TTL, 3600u);
  EXPECT_EQ(R.Answers[0].RData.MX.Preference, 10);
  EXPECT_EQ(R.Answers[0].RData.MX.Exchange, "mail.one.test");
}

TEST_F(DnsmasqPeer, SeveralExchangersKeepTheServersOrder) {
  AskAndCompare(R, Server->Port(), "several.test", 15, "dnsmasq-several-mx");
  ASSERT_EQ(R.Answers.Count(), 2);
  EXPECT_EQ(R.Answers[0].RData.MX.Preference, 20);
  EXPECT_EQ(R.Answers[0].RData.MX.Exchange, "high.several.test");
  EXPECT_EQ(R.Answers[1].RData.MX.Preference, 10);
  EXPECT_EQ(R.Answers.GetDNSMxExchangeNameEx(1), "   10 low.several.test");
}

TEST_F(DnsmasqPeer, AliasAheadOfTheExchangers) {
  AskAndCompare(R, Server->Port(), "alias.test", 15, "dnsmasq-alias-mx");
  ASSERT_EQ(R.Answers.Count(), 2);
  EXPECT_EQ(R.Answers[0].RRType, 5);
  EXPECT_EQ(R.Answers.GetDNSRDataDomainName(0), "target.test");
  EXPECT_EQ(R.Answers[0].RData.MX.Exchange, "");  // what the program reads: "=0"
  EXPECT_EQ(R.Answers[0].RData.MX.Preference, 0);
  EXPECT_EQ(R.Answers[1].RData.MX.Exchange, "mail.target.test");
}

TEST_F(DnsmasqPeer, NameWithoutExchanger) {
  AskAndCompare(R, Server->Port(), "nomx.test", 15, "dnsmasq-no-mx");
  EXPECT_EQ(R.Answers.Count(), 0);
  EXPECT_EQ(R.Header.Rcode(), 0);
}

TEST_F(DnsmasqPeer, UnknownNameIsNameError) {
  try {
    Ask(R, Server->Port(), "missing.test", 15);
    ADD_FAILURE() << "no error";
  } catch (const EIdDnsResolverError& e) {
    EXPECT_EQ(e.Message, "DNS Server Reports Query Name Error");
  }
  SaveSeed("dnsmasq-nxdomain", R.ReplyPacket);
  EXPECT_EQ(R.Header.Rcode(), 3);
  EXPECT_EQ(R.Questions.Count() + R.Answers.Count() + R.Authority.Count(), 0);
}

// A zone holding every record type the resolver decodes into fields.
const char* kZone = R"(
$TTL 3600
@       IN SOA  ns1 hostmaster 2024010101 7200 900 1209600 300
@       IN NS   ns1
ns1     IN A    127.0.0.1
www     IN A    192.0.2.10
alias   IN CNAME www
mbox    IN MB   www
group   IN MG   alice
renamed IN MR   bob
host    IN HINFO "PDP-11" "UNIX"
list    IN MINFO owner errors
@       IN MX   20 mx2
@       IN MX   10 mx1
text    IN TXT  "hello world" "second"
www     IN WKS  192.0.2.10 TCP 25 80
)";

// The reverse zone of 192.0.2.0/24 (RFC 1035 3.5).
const char* kReverseZone = R"(
$TTL 3600
@       IN SOA  ns1.corvale.test. hostmaster.corvale.test. 1 7200 900 1209600 300
@       IN NS   ns1.corvale.test.
10      IN PTR  www.corvale.test.
)";

class NsdPeer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Server = new NsdServer();
    Server->Zones = {{"corvale.test", kZone}, {"2.0.192.in-addr.arpa", kReverseZone}};
    Server->Start();
  }
  static void TearDownTestSuite() {
    delete Server;
    Server = nullptr;
  }
  static NsdServer* Server;
  TIdDNSResolver R;
  void Get(const std::string& name, uint16_t type) {
    AskAndCompare(R, Server->Port(), name, type, "nsd-" + name + "-" + std::to_string(type));
    ASSERT_GE(R.Answers.Count(), 1) << name;
    EXPECT_EQ(R.Answers[0].RRType, type);
    EXPECT_EQ(R.Answers[0].TTL, 3600u);
  }
};
NsdServer* NsdPeer::Server = nullptr;

TEST_F(NsdPeer, SoaAndNs) {
  Get("corvale.test", 6);
  const auto& soa = R.Answers[0].RData.SOA;
  EXPECT_EQ(soa.MName, "ns1.corvale.test");
  EXPECT_EQ(soa.RName, "hostmaster.corvale.test");
  EXPECT_EQ(soa.Serial, 2024010101u);
  EXPECT_EQ(soa.Refresh, 7200u);
  EXPECT_EQ(soa.Retry, 900u);
  EXPECT_EQ(soa.Expire, 1209600u);
  EXPECT_EQ(soa.Minimum, 300u);
  Get("corvale.test", 2);
  EXPECT_EQ(R.Answers.GetDNSRDataDomainName(0), "ns1.corvale.test");
}

TEST_F(NsdPeer, AddressAliasAndMailboxNames) {
  Get("www.corvale.test", 1);
  EXPECT_EQ(R.Answers[0].RData.HostAddress, "192.0.2.10");
  const std::pair<const char*, uint16_t> names[] = {
      {"alias", 5}, {"mbox", 7}, {"group", 8}, {"renamed", 9}};
  const char* targets[] = {"www.corvale.test", "www.corvale.test", "alice.corvale.test",
                           "bob.corvale.test"};
  for (size_t i = 0; i < 4; ++i) {
    Get(std::string(names[i].first) + ".corvale.test", names[i].second);
    EXPECT_EQ(R.Answers[0].RData.DomainName, targets[i]) << names[i].first;
  }
}

TEST_F(NsdPeer, PtrQuestionIsReversedUnderInAddrArpa) {
  // The question 192.0.2.10 is asked as 10.2.0.192.in-addr.arpa.
  Get("192.0.2.10", 12);
  EXPECT_EQ(R.QueryPacket, std::string(Msg()
                                           .U16(R.Header.ID)
                                           .U16(0x0100)
                                           .U16(1)
                                           .U16(0)
                                           .U16(0)
                                           .U16(0)
                                           .Name("10.2.0.192.in-addr.arpa")
                                           .U16(12)
                                           .U16(1)));
  EXPECT_EQ(R.Answers[0].Name, "10.2.0.192.in-addr.arpa");
  EXPECT_EQ(R.Answers.GetDNSRDataDomainName(0), "www.corvale.test");
}

TEST_F(NsdPeer, HinfoMinfoMxTxtWks) {
  Get("host.corvale.test", 13);
  EXPECT_EQ(R.Answers[0].RData.HInfo.CPU, "PDP-11");
  EXPECT_EQ(R.Answers[0].RData.HInfo.OS, "UNIX");
  Get("list.corvale.test", 14);
  EXPECT_EQ(R.Answers[0].RData.MInfo.RMailBox, "owner.corvale.test");
  EXPECT_EQ(R.Answers[0].RData.MInfo.EMailBox, "errors.corvale.test");
  Get("corvale.test", 15);
  ASSERT_EQ(R.Answers.Count(), 2);
  Get("text.corvale.test", 16);
  EXPECT_EQ(R.Answers[0].RawData, std::string("\x0bhello world\x06second"));
  Get("www.corvale.test", 11);
  const auto& wks = R.Answers[0].RData.WKS;
  EXPECT_EQ(Dotted(wks.Address), "192.0.2.10");
  EXPECT_EQ(wks.Protocol, 6);
  EXPECT_EQ(wks.BitMap[3], 0x40);                // port 25
  EXPECT_EQ(R.Answers[0].RDLength, 4 + 1 + 11);  // bit map up to port 80
}

TEST_F(NsdPeer, NoDataAnswerCarriesTheSoa) {
  Ask(R, Server->Port(), "www.corvale.test", 15);
  SaveSeed("nsd-nodata", R.ReplyPacket);
  EXPECT_EQ(R.Answers.Count(), 0);
  ASSERT_EQ(R.Authority.Count(), 1);
  EXPECT_EQ(R.Authority[0].RData.SOA.Serial, 2024010101u);
  EXPECT_EQ(OurLines(R), DnspythonLines(R.ReplyPacket));
}

}  // namespace
