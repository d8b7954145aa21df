#include "net/dns/IdDNSRecords.h"

#include <random>

#include "net/dns/IdDNSLimits.h"
#include "platform/Text.h"

namespace {
constexpr uint16_t QRBit = 0x8000;
constexpr uint16_t RDBit = 0x0100;
constexpr int OpcodeShift = 11;
constexpr uint16_t OpcodeMask = 0x0F;
}  // namespace

uint16_t TIdDNSRandom::Next(uint32_t Bound) {
  // std::random_device draws from the system's non-deterministic source (the
  // processor's random instruction or the kernel's), not from a generator
  // seeded from the clock, whose ids an attacker could predict.
  std::uniform_int_distribution<uint32_t> pick(0, Bound - 1);
  return static_cast<uint16_t>(pick(Source));
}

uint16_t DNSRandomId(uint32_t Bound) {
  TIdDNSRandom source;
  return source.Next(Bound);
}

TIdDNSHeader::TIdDNSHeader() : ID(DNSRandomId(dnslimits::InitialIdBound)) {}

void TIdDNSHeader::ClearCounts() {
  Flags = 0;
  QDCount = ANCount = NSCount = ARCount = 0;
}

void TIdDNSHeader::SetQR(bool Value) {
  Flags = static_cast<uint16_t>(Value ? (Flags | QRBit) : (Flags & ~QRBit));
}

void TIdDNSHeader::SetOpcode(uint8_t Value) {
  Flags = static_cast<uint16_t>((Flags & ~(OpcodeMask << OpcodeShift)) |
                                ((Value & OpcodeMask) << OpcodeShift));
}

void TIdDNSHeader::SetRD(bool Value) {
  Flags = static_cast<uint16_t>(Value ? (Flags | RDBit) : (Flags & ~RDBit));
}

std::string TIdDNSResourceList::GetDNSRDataDomainName(int Index) const {
  if (Index < 0 || Index >= Count()) return std::string();
  return (*this)[Index].RData.DomainName;
}

std::string TIdDNSResourceList::GetDNSMxExchangeNameEx(int Index) const {
  if (Index < 0 || Index >= Count()) return std::string();
  const auto& mx = (*this)[Index].RData.MX;
  return text::Format("%*u ", dnslimits::MxPreferenceWidth, unsigned{mx.Preference}) + mx.Exchange;
}
