// Query building and reply decoding on bytes alone.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>

#include "net/dns/IdDNSLimits.h"
#include "net/dns/IdDNSWire.h"
#include "net/transport/IdException.h"
#include "tests/net/dns/DnsBytes.h"
#include "tests/net/dns/DnsMalformed.h"
#include "tests/support/StepWatchdog.h"

namespace {

using namespace dnstest;

// Longest a single decode may take. A few hundred bytes decode in
// microseconds; a decoder caught in a pointer loop never returns, and the
// watchdog then ends the test program naming the reply instead of hanging.
constexpr std::chrono::milliseconds kDecodeLimit{3000};

// A header plus the four lists a reply decodes into.
struct Parsed {
  TIdDNSHeader Header;
  TIdDNSQuestionList Questions;
  TIdDNSResourceList Answers, Authority, Additional;
  explicit Parsed(uint16_t Id = kId) { Header.ID = Id; }
  size_t Parse(const std::string& Reply, size_t QueryLength = 0) {
    return ParseDNSReply(Reply, QueryLength,
                         TIdDNSReplyParts{Header, Questions, Answers, Authority, Additional});
  }
};

std::string ErrorOf(const std::string& Reply, size_t QueryLength = 0) {
  Parsed p;
  try {
    p.Parse(Reply, QueryLength);
  } catch (const EIdDnsResolverError& e) {
    return e.Message;
  }
  return "(no error)";
}

// The reply of a typical MX lookup: three answers whose names and exchanges
// point back at the question name (offset 12).
std::string TypicalMxReply() {
  return Msg()
      .Header(kId, kReplyFlags, 1, 3, 0, 0)  // id, QR RD RA, 1 question, 3 answers
      .Name("example.org")                   // 12: QNAME
      .U16(15)                               // 25: QTYPE MX
      .U16(1)                                // 27: QCLASS IN
      .Ptr(12)
      .U16(15)
      .U16(1)
      .U32(3600)
      .U16(8)  // 29: name -> 12, MX IN 3600, RDLENGTH 8
      .U16(20)
      .Labels("mx2")
      .Ptr(12)  // 41: pref 20, "mx2" + -> example.org
      .Ptr(12)
      .U16(15)
      .U16(1)
      .U32(3600)
      .U16(8)  // 49
      .U16(10)
      .Labels("mx1")
      .Ptr(12)  // 61
      .Ptr(12)
      .U16(15)
      .U16(1)
      .U32(3600)
      .U16(8)  // 69
      .U16(30)
      .Labels("mx3")
      .Ptr(12);  // 81, ends at 89
}

TEST(DNSQuery, MxQueryIsIdFlagsCountsLabelsTypeClass) {
  TIdDNSHeader h;
  h.SetQR(false);
  h.SetOpcode(0);
  h.SetRD(true);
  TIdDNSQuestionList qs;
  TQuestionItem* q = qs.Add();
  q->QName = "example.org";
  q->QType = 15;
  q->QClass = 1;
  std::string query = BuildDNSQuery(h, qs);
  std::string expected = Msg()
                             .U16(h.ID)    // identifier chosen for this query
                             .U16(0x0100)  // only RD set
                             .U16(1)       // one question
                             .U16(0)
                             .U16(0)
                             .U16(0)
                             .Labels("example.org")
                             .U8(0)         // end of name
                             .U16(0x000F)   // MX
                             .U16(0x0001);  // IN
  EXPECT_EQ(query, expected);
  EXPECT_EQ(query.size(), 12u + 12u + 1u + 4u);
  EXPECT_EQ(h.QDCount, 1);
  EXPECT_LT(h.ID, 62000);
}

TEST(DNSQuery, NameEncodings) {
  struct Case {
    std::string QName;
    uint16_t QType;
    std::string Encoded;  // without the terminating zero byte
  };
  const Case cases[] = {
      {"example.org.", 15, Msg().Labels("example.org")},  // trailing dot adds nothing
      {"1.2.3.4", 12, Msg().Labels("4.3.2.1.in-addr.arpa")},
      {"10.0.0.1.", 12, Msg().Labels("1.0.0.10.in-addr.arpa")},
      {".a", 1, Msg().U8(0).Labels("a")},  // empty label -> zero length byte
      {"a..b", 1, Msg().Labels("a").U8(0).Labels("b")},
      {"", 15, ""},
      {"x.y", 253, Msg().Labels("x.y")},  // MAILB: asked, only its replies fail
      {"x.y", 28, Msg().Labels("x.y")},   // types outside the table: labels too
      {std::string(63, 'a'), 1, std::string(1, 63) + std::string(63, 'a')},
  };
  for (const auto& c : cases) {
    std::string out;
    EncodeDNSQuestionName(out, c.QName, c.QType);
    EXPECT_EQ(out, c.Encoded) << c.QName << " type " << c.QType;
  }
}

TEST(DNSQuery, RefusesObsoleteTypesAndEmptyList) {
  const std::pair<uint16_t, const char*> cases[] = {
      {3, "MD is an Obsolete Command. Use MX."},
      {4, "MF is an Obsolete Command. USE MX."},
      {254, "MailA is an Obsolete Command. USE MX."},
  };
  for (const auto& [type, message] : cases) {
    TIdDNSHeader h;
    TIdDNSQuestionList qs;
    qs.Add()->QType = type;
    try {
      BuildDNSQuery(h, qs);
      ADD_FAILURE() << "type " << type << " was built";
    } catch (const EIdDnsResolverError& e) {
      EXPECT_EQ(e.Message, message);
    }
  }
  TIdDNSHeader h;
  TIdDNSQuestionList none;
  try {
    BuildDNSQuery(h, none);
    ADD_FAILURE() << "empty list was built";
  } catch (const EIdDnsResolverError& e) {
    EXPECT_EQ(e.Message, "Invaild Query Count 1");
  }
}

TEST(DNSQuery, RefusesALabelThatDoesNotFitItsLengthByte) {
  // 63 bytes is the longest label; 300 bytes would wrap the length byte to 44
  // and smuggle the rest of the label into the query as labels and fields.
  for (size_t n : {64u, 300u}) {
    TIdDNSHeader h;
    TIdDNSQuestionList qs;
    TQuestionItem* q = qs.Add();
    q->QName = "mail." + std::string(n, 'a') + ".test";
    q->QType = 15;
    q->QClass = 1;
    try {
      BuildDNSQuery(h, qs);
      ADD_FAILURE() << n << "-byte label was built";
    } catch (const EIdDnsResolverError& e) {
      EXPECT_EQ(e.Message, "Invalid domain name: label longer than 63 bytes");
    }
  }
  TIdDNSHeader h;
  TIdDNSQuestionList qs;
  TQuestionItem* q = qs.Add();
  q->QName = std::string(63, 'b') + ".test";
  q->QType = 15;
  q->QClass = 1;
  std::string built = BuildDNSQuery(h, qs);
  EXPECT_EQ(static_cast<uint8_t>(built[12]), 63);
}

TEST(DNSQuery, IdsAreFreshAndBelowBound) {
  TIdDNSHeader h;
  TIdDNSQuestionList qs;
  qs.Add()->QType = 15;
  std::set<uint16_t> seen;
  for (int i = 0; i < 200; ++i) {
    std::string q = BuildDNSQuery(h, qs);
    EXPECT_LT(h.ID, dnslimits::QueryIdBound);
    EXPECT_EQ(static_cast<uint8_t>(q[0]), h.ID >> 8);
    seen.insert(h.ID);
  }
  // 200 draws from 62000 values: a repeat or two is possible, a pattern is not.
  EXPECT_GT(seen.size(), 190u);

  // Two headers made in the same instant draw different sequences (a
  // generator seeded from the clock would repeat itself).
  TIdDNSHeader a;
  TIdDNSHeader b;
  std::vector<uint16_t> ida;
  std::vector<uint16_t> idb;
  for (int i = 0; i < 4; ++i) {
    BuildDNSQuery(a, qs);
    BuildDNSQuery(b, qs);
    ida.push_back(a.ID);
    idb.push_back(b.ID);
  }
  EXPECT_NE(ida, idb);
}

TEST(DNSHeader, FlagAccessorsAndClearCounts) {
  TIdDNSHeader h;
  EXPECT_LT(h.ID, dnslimits::InitialIdBound);
  h.Flags = 0x0001;
  h.SetQR(true);
  h.SetOpcode(0x1F);  // only the low four bits count
  h.SetRD(true);
  EXPECT_EQ(h.Flags, 0x8000 | 0x7800 | 0x0100 | 0x0001);
  EXPECT_EQ(h.Rcode(), 1);
  h.SetQR(false);
  h.SetOpcode(2);
  h.SetRD(false);
  EXPECT_EQ(h.Flags, 0x1001);
  h.ID = 77;
  h.QDCount = h.ANCount = h.NSCount = h.ARCount = 5;
  h.ClearCounts();
  EXPECT_EQ(h.ID, 77);
  EXPECT_EQ(h.Flags | h.QDCount | h.ANCount | h.NSCount | h.ARCount, 0);
}

TEST(DNSReply, TypicalMxReplyKeepsServerOrder) {
  Parsed p;
  std::string reply = TypicalMxReply();
  EXPECT_EQ(p.Parse(reply, 29), reply.size() + 1);
  EXPECT_EQ(p.Header.Flags, kReplyFlags);
  ASSERT_EQ(p.Questions.Count(), 1);
  EXPECT_EQ(p.Questions[0].QName, "example.org");
  EXPECT_EQ(p.Questions[0].QType, 15);
  EXPECT_EQ(p.Questions[0].QClass, 1);
  ASSERT_EQ(p.Answers.Count(), 3);
  const std::pair<int, const char*> expected[] = {
      {20, "mx2.example.org"}, {10, "mx1.example.org"}, {30, "mx3.example.org"}};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(p.Answers[i].Name, "example.org");
    EXPECT_EQ(p.Answers[i].TTL, 3600u);
    EXPECT_EQ(p.Answers[i].RDLength, 8);
    EXPECT_EQ(p.Answers[i].RData.MX.Preference, expected[i].first);
    EXPECT_EQ(p.Answers[i].RData.MX.Exchange, expected[i].second);
  }
  EXPECT_EQ(p.Answers.GetDNSMxExchangeNameEx(0), "   20 mx2.example.org");
  EXPECT_EQ(p.Answers.GetDNSMxExchangeNameEx(3), "");
  EXPECT_EQ(p.Answers.GetDNSMxExchangeNameEx(-1), "");
}

TEST(DNSReply, EveryRecordShape) {
  const uint8_t wksMap[] = {0x00, 0x00, 0x00, 0x40, 0x00, 0x00, 0x00, 0x01};
  std::string reply = Msg()
                          .Header(kId, kReplyFlags, 0, 16, 0, 0)
                          .Rr("a.z", 1, 4)
                          .U8(192)
                          .U8(0)
                          .U8(2)
                          .U8(255)  // A
                          .Rr("", 2, 6)
                          .Name("ns.z")  // NS, root owner
                          .Rr("c.z", 5, 5)
                          .Name("a.z")  // CNAME
                          .Rr("z", 6, 31)
                          .Name("ns.z")
                          .Name("h.z")  // SOA
                          .U32(2024010101)
                          .U32(7200)
                          .U32(900)
                          .U32(1209600)
                          .U32(300)
                          .Rr("b.z", 7, 5)
                          .Name("m.z")  // MB
                          .Rr("g.z", 8, 5)
                          .Name("n.z")  // MG
                          .Rr("r.z", 9, 5)
                          .Name("o.z")  // MR
                          .Rr("n.z", 10, 3)
                          .Raw("\x01\x02\x03")  // NULL
                          .Rr("w.z", 11, 14)
                          .U32(0x0A000001)
                          .U8(6)
                          .Raw(std::string(  // WKS, 9-byte map
                              reinterpret_cast<const char*>(wksMap), 8))
                          .U8(0x80)
                          .Rr("p.z", 12, 5)
                          .Name("q.z")  // PTR
                          .Rr("h.z", 13, 12)
                          .U8(5)
                          .Raw("PDP11")
                          .U8(5)
                          .Raw("UNIX5")  // HINFO
                          .Rr("i.z", 14, 12)
                          .Name("rm.z")
                          .Name("em.z")  // MINFO
                          .Rr("z", 15, 8)
                          .U16(65535)
                          .Name("mx.z")  // MX
                          .Rr("t.z", 16, 8)
                          .U8(3)
                          .Raw("one")
                          .U8(3)
                          .Raw("two")  // TXT
                          .Rr("v6.z", 28, 16)
                          .Raw(std::string(16, '\x01'))  // AAAA: not decoded
                          .Rr("o.z", 255, 2)
                          .Raw("ab");  // ANY
  Parsed p;
  p.Parse(reply);
  ASSERT_EQ(p.Answers.Count(), 16);
  const TIdDNSResourceList& a = p.Answers;
  EXPECT_EQ(a[0].RData.HostAddress, "192.0.2.255");
  EXPECT_EQ(a[1].Name, "");
  EXPECT_EQ(a[1].RData.DomainName, "ns.z");
  EXPECT_EQ(a.GetDNSRDataDomainName(2), "a.z");
  EXPECT_EQ(a.GetDNSRDataDomainName(16), "");
  const auto& soa = a[3].RData.SOA;
  EXPECT_EQ(soa.MName, "ns.z");
  EXPECT_EQ(soa.RName, "h.z");
  EXPECT_EQ(soa.Serial, 2024010101u);
  EXPECT_EQ(soa.Refresh, 7200u);
  EXPECT_EQ(soa.Retry, 900u);
  EXPECT_EQ(soa.Expire, 1209600u);
  EXPECT_EQ(soa.Minimum, 300u);
  EXPECT_EQ(a[4].RData.DomainName, "m.z");
  EXPECT_EQ(a[5].RData.DomainName, "n.z");
  EXPECT_EQ(a[6].RData.DomainName, "o.z");
  EXPECT_EQ(a[7].RawData, "\x01\x02\x03");
  EXPECT_EQ(a[8].RData.WKS.Address, 0x0A000001u);
  EXPECT_EQ(a[8].RData.WKS.Protocol, 6);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(a[8].RData.WKS.BitMap), 8),
            std::string(reinterpret_cast<const char*>(wksMap), 8));
  EXPECT_EQ(a[9].RData.DomainName, "q.z");
  EXPECT_EQ(a[10].RData.HInfo.CPU, "PDP11");
  EXPECT_EQ(a[10].RData.HInfo.OS, "UNIX5");
  EXPECT_EQ(a[11].RData.MInfo.RMailBox, "rm.z");
  EXPECT_EQ(a[11].RData.MInfo.EMailBox, "em.z");
  EXPECT_EQ(a.GetDNSMxExchangeNameEx(12), "65535 mx.z");
  EXPECT_EQ(a[13].RawData, "\x03one\x03two");  // TXT keeps its length bytes
  EXPECT_EQ(a[14].RRType, 28);
  EXPECT_EQ(a[14].RDLength, 16);
  EXPECT_EQ(a[14].RawData, "");
  EXPECT_EQ(a[14].RData.HostAddress, "");
  EXPECT_EQ(a[15].RawData, "ab");
}

TEST(DNSReply, NamesAndPointers) {
  // The exchange is a label plus a pointer to the question name; the next
  // record starts right after the two pointer bytes.
  std::string reply = Msg()
                          .Header(kId, kReplyFlags, 1, 2, 0, 0)
                          .Name("ex.org")
                          .U16(15)
                          .U16(1)  // 12..27
                          .Ptr(12)
                          .U16(15)
                          .U16(1)
                          .U32(0x00000E10)
                          .U16(9)
                          .U16(5)
                          .Labels("mail")
                          .Ptr(12)  // label + pointer
                          .Ptr(12)
                          .U16(15)
                          .U16(1)
                          .U32(60)
                          .U16(4)
                          .U16(7)
                          .Ptr(12);  // last record: bare pointer
  Parsed p;
  p.Parse(reply);
  ASSERT_EQ(p.Answers.Count(), 2);
  EXPECT_EQ(p.Answers[0].TTL, 3600u);  // 00 00 0E 10
  EXPECT_EQ(p.Answers[0].RData.MX.Exchange, "mail.ex.org");
  EXPECT_EQ(p.Answers[1].RData.MX.Exchange, "ex.org");

  // Any byte from 64 up starts a pointer: 0x40 0x0C points to offset 12.
  Parsed q;
  q.Parse(Msg()
              .Header(kId, kReplyFlags, 1, 1, 0, 0)
              .Name("ex.org")
              .U16(1)
              .U16(1)
              .U8(0x40)
              .U8(12)
              .U16(1)
              .U16(1)
              .U32(1)
              .U16(4)
              .U32(0x7F000001));
  EXPECT_EQ(q.Answers[0].Name, "ex.org");
  EXPECT_EQ(q.Answers[0].RData.HostAddress, "127.0.0.1");

  // Two questions: both listed.
  Parsed two;
  two.Parse(Msg()
                .Header(kId, kReplyFlags, 2, 0, 0, 0)
                .Name("a.b")
                .U16(1)
                .U16(1)
                .Labels("c")
                .Ptr(12)
                .U16(15)
                .U16(1));
  ASSERT_EQ(two.Questions.Count(), 2);
  EXPECT_EQ(two.Questions[1].QName, "c.a.b");
}

// The short texts (MX exchange, SOA and MINFO names) keep 255 bytes: a name
// of exactly 255 bytes whole, one of 256 cut after its 255th byte.
TEST(DNSReply, ShortTextsAt255BytesAndOnePast) {
  const std::string l63(63, 'x');
  const std::string n255 = l63 + "." + l63 + "." + l63 + "." + l63;
  const std::string n256 = l63 + "." + l63 + "." + l63 + "." + std::string(62, 'x') + ".y";
  ASSERT_EQ(n255.size(), 255u);
  ASSERT_EQ(n256.size(), 256u);
  for (const auto& [name, kept] : {std::pair(n255, n255), std::pair(n256, n256.substr(0, 255))}) {
    SCOPED_TRACE(name.size());
    const auto wire = static_cast<uint16_t>(name.size() + 2);  // length bytes and the root
    Parsed p;
    p.Parse(Msg()
                .Header(kId, kReplyFlags, 0, 3, 0, 0)
                .Rr("z", 15, static_cast<uint16_t>(2 + wire))
                .U16(10)
                .Name(name)  // MX
                .Rr("z", 6, static_cast<uint16_t>(2 * wire + 20))
                .Name(name)
                .Name(name)
                .U32(1)
                .U32(2)
                .U32(3)
                .U32(4)
                .U32(5)  // SOA
                .Rr("z", 14, static_cast<uint16_t>(2 * wire))
                .Name(name)
                .Name(name));  // MINFO
    ASSERT_EQ(p.Answers.Count(), 3);
    EXPECT_EQ(p.Answers[0].RData.MX.Exchange, kept);
    EXPECT_EQ(p.Answers[1].RData.SOA.MName, kept);
    EXPECT_EQ(p.Answers[1].RData.SOA.RName, kept);
    EXPECT_EQ(p.Answers[1].RData.SOA.Minimum, 5u);
    EXPECT_EQ(p.Answers[2].RData.MInfo.RMailBox, kept);
    EXPECT_EQ(p.Answers[2].RData.MInfo.EMailBox, kept);
  }
}

// A compression pointer must lead before the portion of the name it ends: to
// the byte just before it at the nearest, for the name's own first pointer
// and for a pointer met after a jump alike. One byte later is the portion's
// own start, a loop, and raises check 2.
TEST(DNSReply, PointersAtTheirLimitAndOnePast) {
  // The second record's owner name is a pointer to offset Target (28 when
  // the first record is an MX record of exchange "m", 26 after a NULL record
  // whose three bytes are a root name and a pointer to JumpTarget).
  const auto afterMx = [](uint16_t Target) {
    return Msg()
        .Header(kId, kReplyFlags, 0, 2, 0, 0)
        .Rr("", 15, 5)
        .U16(10)
        .Name("m")    // 23: preference, 25: "m" ending with the root at 27
        .Ptr(Target)  // 28
        .U16(1)
        .U16(1)
        .U32(0)
        .U16(4)
        .U32(0x7F000001);
  };
  const auto afterJump = [](uint16_t JumpTarget) {
    return Msg()
        .Header(kId, kReplyFlags, 0, 2, 0, 0)
        .Rr("", 10, 3)
        .U8(0)            // 23: a root name
        .Ptr(JumpTarget)  // 24
        .Ptr(24)          // 26: jumps to the pointer at 24
        .U16(1)
        .U16(1)
        .U32(0)
        .U16(4)
        .U32(0x7F000001);
  };
  struct Case {
    const char* What;
    std::string Reply;
    const char* Error;  // null: decoded
  } cases[] = {
      {"first pointer to the byte before its name", afterMx(27), nullptr},
      {"first pointer to its own name", afterMx(28), "Invalid Packet Size 2"},
      {"pointer after a jump to the byte before it", afterJump(23), nullptr},
      {"pointer after a jump to itself", afterJump(24), "Invalid Packet Size 2"},
  };
  testsupport::StepWatchdog dog(kDecodeLimit);
  for (const Case& c : cases) {
    dog.Step(c.What);
    if (c.Error) {
      EXPECT_EQ(ErrorOf(c.Reply), c.Error) << c.What;
      continue;
    }
    Parsed p;
    p.Parse(c.Reply);
    ASSERT_EQ(p.Answers.Count(), 2) << c.What;
    EXPECT_EQ(p.Answers[1].Name, "") << c.What;
    EXPECT_EQ(p.Answers[1].RData.HostAddress, "127.0.0.1") << c.What;
  }
}

TEST(DNSReply, LongTextsKeep255Bytes) {
  std::string label(63, 'x');
  std::string longName = label + "." + label + "." + label + "." + label + "." + label;  // 319
  Msg m;
  m.Header(kId, kReplyFlags, 0, 2, 0, 0)
      .Rr("z", 15, static_cast<uint16_t>(2 + longName.size() + 2))
      .U16(1)
      .Name(longName)
      .Rr("z", 5, static_cast<uint16_t>(longName.size() + 2))
      .Name(longName);
  Parsed p;
  p.Parse(m);
  EXPECT_EQ(p.Answers[0].RData.MX.Exchange, longName.substr(0, 255));
  EXPECT_EQ(p.Answers[1].RData.DomainName, longName);  // a plain domain name is not cut
}

TEST(DNSReply, SectionsAndCounts) {
  // RCODE 0, no answer, an SOA in the authority section: no error.
  Parsed nodata;
  nodata.Parse(Msg()
                   .Header(kId, 0x8580, 1, 0, 1, 0)
                   .Name("ex.org")
                   .U16(15)
                   .U16(1)
                   .Ptr(12)
                   .U16(6)
                   .U16(1)
                   .U32(300)
                   .U16(24)
                   .Name("ns")
                   .Ptr(12)
                   .U32(1)
                   .U32(2)
                   .U32(3)
                   .U32(4)
                   .U32(5));
  EXPECT_EQ(nodata.Answers.Count(), 0);
  ASSERT_EQ(nodata.Authority.Count(), 1);
  EXPECT_EQ(nodata.Authority[0].RData.SOA.MName, "ns");
  EXPECT_EQ(nodata.Authority[0].RData.SOA.RName, "ex.org");
  EXPECT_EQ(nodata.Authority[0].RData.SOA.Minimum, 5u);

  // Three answers announced, two present: decoding stops at the end quietly.
  std::string typical = TypicalMxReply();
  Parsed cut;
  cut.Parse(typical.substr(0, 69));
  EXPECT_EQ(cut.Answers.Count(), 2);

  // Additional records land in Additional.
  Parsed extra;
  extra.Parse(Msg().Header(kId, kReplyFlags, 0, 0, 0, 1).Rr("a", 1, 4).U32(0x01020304));
  ASSERT_EQ(extra.Additional.Count(), 1);
  EXPECT_EQ(extra.Additional[0].RData.HostAddress, "1.2.3.4");
}

TEST(DNSReply, MalformedRepliesRaiseTheirCheck) {
  // With CORVALE_DNS_CORPUS_OUT set, the table and the typical reply are also
  // written there as seeds for the fuzz target (tests/net/dns/corpus).
  const char* out = std::getenv("CORVALE_DNS_CORPUS_OUT");
  int n = 0;
  testsupport::StepWatchdog dog(kDecodeLimit);
  for (const auto& c : MalformedTable()) {
    dog.Step(c.What);
    EXPECT_EQ(ErrorOf(c.Reply, c.QueryLength), c.Error) << c.What;
    if (out) std::ofstream(std::string(out) + "/crafted-" + std::to_string(n++)) << c.Reply;
  }
  if (out) std::ofstream(std::string(out) + "/crafted-typical-mx") << TypicalMxReply();
}

TEST(DNSReply, RcodeLeavesFlagsAndEmptyLists) {
  Parsed p;
  EXPECT_THROW(p.Parse(Msg().Header(kId, 0x8183, 1, 1, 0, 0).Name("x").U16(15).U16(1)),
               EIdDnsResolverError);
  EXPECT_EQ(p.Header.Flags, 0x8183);
  EXPECT_EQ(p.Questions.Count() + p.Answers.Count(), 0);
  EXPECT_EQ(DNSRcodeText(0), "RCode NO Error");
}

TEST(DNSReply, FailedRecordStaysInItsList) {
  Parsed p;
  EXPECT_THROW(
      p.Parse(
          Msg().Header(kId, kReplyFlags, 0, 2, 0, 0).Rr("ok", 1, 4).U32(1).Rr("bad", 15, 1).U8(0)),
      EIdDnsResolverError);
  ASSERT_EQ(p.Answers.Count(), 2);
  EXPECT_EQ(p.Answers[0].RData.HostAddress, "0.0.0.1");
  EXPECT_EQ(p.Answers[1].Name, "bad");
}

TEST(DNSReply, EveryTruncationRaisesOrDecodesAPrefix) {
  std::string full = TypicalMxReply();
  Parsed whole;
  whole.Parse(full);
  testsupport::StepWatchdog dog(kDecodeLimit);
  for (size_t n = 0; n < full.size(); ++n) {
    dog.Step("cut to " + std::to_string(n) + " bytes");
    Parsed p;
    try {
      p.Parse(full.substr(0, n));
    } catch (const EIdDnsResolverError&) {
      continue;
    }
    ASSERT_LT(p.Answers.Count(), 3) << n;
    for (int i = 0; i < p.Answers.Count(); ++i)
      EXPECT_EQ(p.Answers[i].RData.MX.Exchange, whole.Answers[i].RData.MX.Exchange) << n;
  }
}

TEST(DNSReply, EveryByteCorruptedStaysInBounds) {
  // Each byte takes a few telling values; the decoder must either decode or
  // raise its own error (the sanitizers watch the reads).
  std::string full = TypicalMxReply();
  testsupport::StepWatchdog dog(kDecodeLimit);
  for (size_t i = 0; i < full.size(); ++i)
    for (uint8_t v : {0x00, 0x01, 0x3F, 0x40, 0xC0, 0xFF}) {
      dog.Step("byte " + std::to_string(i) + " set to " + std::to_string(v));
      std::string bad = full;
      bad[i] = static_cast<char>(v);
      Parsed p;
      try {
        p.Parse(bad);
      } catch (const EIdDnsResolverError&) {
      }
    }
}

// The fuzz target's seed corpus (replies of the real servers and crafted
// faults) goes through the decoder on every test run.
TEST(DNSReply, SeedCorpusDecodesOrRaisesItsOwnError) {
  namespace fs = std::filesystem;
  fs::path dir = fs::path(CORVALE_SOURCE_DIR) / "tests/net/dns/corpus";
  int files = 0;
  testsupport::StepWatchdog dog(kDecodeLimit);
  for (const auto& entry : fs::directory_iterator(dir)) {
    dog.Step(entry.path().filename().string());
    std::ifstream in(entry.path(), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    uint16_t id = bytes.size() >= 2 ? static_cast<uint16_t>((static_cast<uint8_t>(bytes[0]) << 8) |
                                                            static_cast<uint8_t>(bytes[1]))
                                    : 0;
    Parsed p(id);
    try {
      p.Parse(bytes);
    } catch (const EIdDnsResolverError&) {
    }
    ++files;
  }
  EXPECT_GT(files, 10);
}

}  // namespace
