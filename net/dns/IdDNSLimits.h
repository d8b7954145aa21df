#pragma once
// Numbers of the DNS layer: RFC 1035 field sizes and type codes, and the
// limits this resolver sets for itself. Every limit carries its reason.
#include <cstddef>
#include <cstdint>

namespace dnslimits {

// RFC 1035 4.1.1: the fixed header is six 16-bit words.
constexpr size_t HeaderSize = 12;
// RFC 1035 4.1.1: the identifier is the header's first 16-bit word.
constexpr size_t IdSize = 2;
// RFC 1035 4.1.3: type, class, TTL and RDLENGTH before a record's RDATA.
constexpr size_t RecordFixedSize = 10;
// Query identifiers are drawn below this bound (0 to 61999), as the resolver
// has always done; any value fits the 16-bit field.
constexpr uint32_t QueryIdBound = 62000;
// The identifier a fresh header starts with is drawn below this bound.
constexpr uint32_t InitialIdBound = 10000;
// Texts of the decoded fields (HINFO, MINFO, MX exchange, SOA names) keep at
// most this many bytes: the width of the fields they are shown in.
constexpr size_t ShortTextMax = 255;
// A WKS record's bit map field holds exactly the first 64 ports' bits.
constexpr size_t WksBitMapSize = 8;
// RFC 1035 4.1.4: a label length byte is at most 63; every larger byte value
// is read as the first byte of a compression pointer.
constexpr uint8_t MaxLabelLength = 63;
// The low six bits of a pointer's first byte are the offset's high bits.
constexpr uint8_t PointerOffsetMask = 0x3F;
// Width of the preference column in GetDNSMxExchangeNameEx.
constexpr int MxPreferenceWidth = 5;
// UDP port of a DNS server (RFC 1035 4.2.1).
constexpr int DefaultPort = 53;
// How long Resolve waits for a reply unless told otherwise, in ms.
constexpr int DefaultReceiveTimeout = 4000;
// Datagrams already queued on the socket that one query discards before it is
// sent; this bounds the work a flood can cause, and any left over are still
// dropped by their identifier while the reply is awaited.
constexpr int MaxStaleDatagrams = 64;

}  // namespace dnslimits

// RFC 1035 3.2.2 / 3.2.3 type numbers this resolver knows.
namespace dnstype {
constexpr uint16_t A = 1;
constexpr uint16_t NS = 2;
constexpr uint16_t MD = 3;
constexpr uint16_t MF = 4;
constexpr uint16_t CNAME = 5;
constexpr uint16_t SOA = 6;
constexpr uint16_t MB = 7;
constexpr uint16_t MG = 8;
constexpr uint16_t MR = 9;
constexpr uint16_t NULL_ = 10;
constexpr uint16_t WKS = 11;
constexpr uint16_t PTR = 12;
constexpr uint16_t HINFO = 13;
constexpr uint16_t MINFO = 14;
constexpr uint16_t MX = 15;
constexpr uint16_t TXT = 16;
constexpr uint16_t AXFR = 252;
constexpr uint16_t MAILB = 253;
constexpr uint16_t MAILA = 254;
constexpr uint16_t ANY = 255;
}  // namespace dnstype

// The number each bounds check reports in "Invalid Packet Size %d" and the
// "too small" errors, so that a failure names the field that did not fit.
namespace dnscheck {
constexpr int NameByte = 2;         // a name's length byte or pointer
constexpr int LabelBytes = 3;       // the bytes of a label
constexpr int QuestionType = 4;     // QTYPE
constexpr int QuestionClassHi = 5;  // first byte of QCLASS
constexpr int QuestionClassLo = 6;  // second byte of QCLASS
constexpr int AAddress = 7;
constexpr int DomainName = 8;
constexpr int SoaRName = 9;
constexpr int SoaSerial = 10;  // then Refresh 11, Retry 12, Expire 13, Minimum 14
constexpr int WksAddress = 15;
constexpr int WksBitMap = 16;
constexpr int HinfoCpu = 17;
constexpr int HinfoOs = 18;
constexpr int MinfoRMailBox = 19;
constexpr int MinfoEMailBox = 20;
constexpr int MxPreference = 21;
constexpr int MxExchange = 22;
constexpr int RecordFixed = 23;  // the ten fixed bytes or the RDATA of a record
constexpr int Below4 = 28;
constexpr int Below12 = 29;
constexpr int BelowQuery = 30;
constexpr int NoRoomForAnswers = 31;
constexpr int NoRoomForAuthority = 32;
constexpr int NoRoomForAdditional = 33;
}  // namespace dnscheck
