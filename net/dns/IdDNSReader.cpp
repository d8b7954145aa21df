// Bounds-checked reading of DNS messages (RFC 1035 4.1: names, labels and
// compression pointers; integers are in network order).
#include "net/dns/IdDNSReader.h"

#include "net/dns/IdDNSLimits.h"
#include "net/transport/IdException.h"
#include "platform/Text.h"

void TIdDNSReader::Fail(int Check) {
  throw EIdDnsResolverError(text::Format("Invalid Packet Size %d", Check));
}

void TIdDNSReader::Require(size_t Count, int Check) const {
  if (!Has(Count)) Fail(Check);
}

uint8_t TIdDNSReader::U8(int Check) {
  Require(1, Check);
  return static_cast<uint8_t>(Data[Pos++]);
}

uint16_t TIdDNSReader::U16(int Check) {
  Require(2, Check);
  auto v = static_cast<uint16_t>((static_cast<uint8_t>(Data[Pos]) << 8) |
                                 static_cast<uint8_t>(Data[Pos + 1]));
  Pos += 2;
  return v;
}

uint32_t TIdDNSReader::U32(int Check) {
  Require(4, Check);
  uint32_t v = 0;
  for (size_t i = 0; i < 4; ++i) v = (v << 8) | static_cast<uint8_t>(Data[Pos + i]);
  Pos += 4;
  return v;
}

std::string_view TIdDNSReader::Bytes(size_t Count, int Check) {
  Require(Count, Check);
  std::string_view v = Data.substr(Pos, Count);
  Pos += Count;
  return v;
}

std::string TIdDNSReader::CharString(int Check) {
  Require(1, Check);
  size_t n = static_cast<uint8_t>(Data[Pos]);
  Require(1 + n, Check);
  std::string v(Data.substr(Pos + 1, n));
  Pos += 1 + n;
  return v;
}

std::string TIdDNSReader::Name() {
  std::string out;
  bool first = true;
  bool jumped = false;
  size_t resume = 0;
  // Offset where the portion of the name being read begins. RFC 1035 4.1.4 lets a
  // pointer refer only to a prior occurrence of a name, so every pointer must
  // lead below this offset; targets then strictly fall and no chain of
  // pointers can loop or run longer than the reply.
  size_t segmentStart = Pos;
  for (;;) {
    if (Pos >= Data.size()) Fail(dnscheck::NameByte);
    auto b = static_cast<uint8_t>(Data[Pos]);
    if (b == 0) {
      ++Pos;
      break;
    }
    if (b > dnslimits::MaxLabelLength) {
      // Every byte above 63 starts a pointer, not only those with both top
      // bits set.
      if (Pos + 1 >= Data.size()) Fail(dnscheck::NameByte);
      size_t target = (static_cast<size_t>(b & dnslimits::PointerOffsetMask) << 8) |
                      static_cast<uint8_t>(Data[Pos + 1]);
      if (target >= segmentStart) Fail(dnscheck::NameByte);
      if (!jumped) {
        resume = Pos + 2;
        jumped = true;
      }
      Pos = target;
      segmentStart = target;
      continue;
    }
    if (Data.size() - Pos - 1 < b) Fail(dnscheck::LabelBytes);
    if (!first) out += '.';
    out.append(Data.substr(Pos + 1, b));
    first = false;
    Pos += 1 + b;
    if (Pos >= Data.size()) break;  // a name cut off by the end of the reply ends there
  }
  if (jumped) Pos = resume;
  return out;
}
