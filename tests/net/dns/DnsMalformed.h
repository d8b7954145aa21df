#pragma once
// Malformed replies, each beside the error the decoder must raise for it.
// Shared by the decoder's tests (bytes in) and the resolver's (bytes over UDP).
#include <string>
#include <vector>

#include "tests/net/dns/DnsBytes.h"

namespace dnstest {

constexpr uint16_t kId = 0x1234;          // 4660, the id the tables' replies carry
constexpr uint16_t kReplyFlags = 0x8180;  // QR, RD, RA, RCODE 0

// Every malformed reply beside the error it must raise. Ids are kId unless
// the case is about the id.
struct Malformed {
  const char* What;
  std::string Reply;
  std::string Error;
  size_t QueryLength = 0;
};

inline Msg H(uint16_t Qd, uint16_t An, uint16_t Ns = 0, uint16_t Ar = 0) {
  return Msg().Header(kId, kReplyFlags, Qd, An, Ns, Ar);
}

inline std::vector<Malformed> MalformedTable() {
  const std::string size = "Invalid Packet Size ";
  std::vector<Malformed> t = {
      {"empty", "", "Received Packet is too small. Less than 4 bytes 28"},
      {"3 bytes", Msg().U16(kId).U8(0x81), "Received Packet is too small. Less than 4 bytes 28"},
      {"other id", Msg().Header(0x4321, kReplyFlags, 0, 0, 0, 0), "Invalid Header Id 4660"},
      {"4 bytes", Msg().U16(kId).U16(0x8180),
       "Received Packet is too small. Less than 12 bytes 29"},
      {"11 bytes", Msg().U16(kId).U16(0x8180).U32(0).U16(0).U8(0),
       "Received Packet is too small. Less than 12 bytes 29"},
      {"shorter than query", H(0, 0), "Received Packet is too small. Less than 12 bytes 30", 13},
      {"no question name", H(1, 0), size + "2"},
      {"pointer to itself", H(1, 0).Ptr(12).U16(1).U16(1), size + "2"},
      {"forward pointer chain", H(1, 0).Ptr(14).Ptr(16).Name("a").U16(1).U16(1), size + "2"},
      {"label then pointer back to it", H(1, 0).Labels("a").Ptr(12).U16(1).U16(1), size + "2"},
      {"pointer loop across two names",
       H(1, 1).Labels("a").Ptr(18).U16(1).U16(1).Labels("b").Ptr(12).U16(1).U16(1).U32(0).U16(0),
       size + "2"},
      {"half a pointer", H(1, 0).U8(0xC0), size + "2"},
      {"label past the end", H(1, 0).U8(5).Raw("ab"), size + "3"},
      {"no qtype", H(1, 0).Name("a").U8(0), size + "4"},
      {"no qclass", H(1, 0).Name("a").U16(1), size + "5"},
      {"half a qclass", H(1, 0).Name("a").U16(1).U8(0), size + "6"},
      {"answers, no room", H(0, 1).U8(0), "Received Packet is too small. 31"},
      {"authority, no room", H(0, 1, 1).Rr("", 99, 0), "Received Packet is too small. 32"},
      {"additional, no room", H(0, 1, 1, 1).Rr("", 99, 0).Rr("", 99, 0),
       "Received Packet is too small. 33"},
      {"short fixed fields", H(0, 1).U8(0).U32(0x00010001), size + "23"},
      {"rdata past the end", H(0, 1).Rr("", 1, 10).U16(0), size + "23"},
      {"A without address", H(0, 1).Rr("", 1, 0), size + "7"},
      {"NS without name", H(0, 1).Rr("", 2, 0), size + "8"},
      {"NS label past the end", H(0, 1).Rr("", 2, 2).U8(5).U8('a'), size + "3"},
      {"SOA without RNAME", H(0, 1).Rr("", 6, 1).U8(0), size + "9"},
      {"WKS without address", H(0, 1).Rr("", 11, 3).U16(0).U8(0), size + "15"},
      {"WKS short bit map", H(0, 1).Rr("", 11, 12).U32(1).U8(6).Raw("1234567"), size + "16"},
      {"HINFO without CPU", H(0, 1).Rr("", 13, 2).U8(5).U8('a'), size + "17"},
      {"HINFO without OS", H(0, 1).Rr("", 13, 2).U8(1).U8('x'), size + "18"},
      {"MINFO without RMAILBX", H(0, 1).Rr("", 14, 0), size + "19"},
      {"MINFO without EMAILBX", H(0, 1).Rr("", 14, 1).U8(0), size + "20"},
      {"MX without preference", H(0, 1).Rr("", 15, 1).U8(0), size + "21"},
      {"MX without exchange", H(0, 1).Rr("", 15, 2).U16(10), size + "22"},
      {"MD record", H(0, 1).Rr("", 3, 0), "MD is an Obsolete Command. Use MX."},
      {"MF record", H(0, 1).Rr("", 4, 0), "MF is an Obsolete Command. USE MX."},
      {"MAILB record", H(0, 1).Rr("", 253, 0), "-Err 501 MailB is not implemented"},
      {"MAILA record", H(0, 1).Rr("", 254, 0), "MailA is an Obsolete Command. USE MX."},
  };
  // SOA cut inside each of its five numbers: checks 10 to 14.
  for (int n = 0; n < 5; ++n) {
    Msg m = H(0, 1).Rr("", 6, static_cast<uint16_t>(2 + 4 * n)).U8(0).U8(0);
    for (int i = 0; i < n; ++i) m.U32(1);
    t.push_back({"SOA number cut", m, size + std::to_string(10 + n)});
  }
  const char* rcodes[] = {nullptr,
                          "DNS Server Reports Query Format Error",
                          "DNS Server Reports Query Server Error",
                          "DNS Server Reports Query Name Error",
                          "DNS Server Reports Query Not Implemented Error",
                          "DNS Server Reports Query Refused Error"};
  for (uint16_t rc = 1; rc < 16; ++rc)
    t.push_back({"rcode", Msg().Header(kId, static_cast<uint16_t>(kReplyFlags | rc), 0, 0, 0, 0),
                 rc < 6 ? rcodes[rc] : "Server Returned Unknown Error"});
  return t;
}

}  // namespace dnstest
