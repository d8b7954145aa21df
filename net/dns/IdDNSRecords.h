#pragma once
// The parts of a DNS message as the resolver holds them (RFC 1035 4.1): the
// header, the question list and the record lists with their decoded RDATA.
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

// The fixed header. Flags is the second header word: QR bit 15, opcode bits
// 11-14, AA bit 10, TC bit 9, RD bit 8, RA bit 7, Z bits 4-6, RCODE bits 0-3.
class TIdDNSHeader {
 public:
  // ID starts as a random number from 0 to 9999.
  TIdDNSHeader();
  virtual ~TIdDNSHeader() = default;
  // Flags and the four counts become 0; ID stays.
  virtual void ClearCounts();

  void SetQR(bool Value);
  void SetOpcode(uint8_t Value);  // low 4 bits into bits 11-14
  void SetRD(bool Value);
  uint8_t Rcode() const { return static_cast<uint8_t>(Flags & 0x0F); }

  uint16_t ID = 0;
  uint16_t Flags = 0;
  uint16_t QDCount = 0;
  uint16_t ANCount = 0;
  uint16_t NSCount = 0;
  uint16_t ARCount = 0;
};

// Random numbers from a non-predictable source (an off-path attacker must not
// guess query ids). Opening the source can cost tens of microseconds, more
// than a whole lookup on loopback, while a draw is cheap, so a resolver keeps
// one for all its queries.
class TIdDNSRandom {
 public:
  // A number from 0 to Bound - 1.
  uint16_t Next(uint32_t Bound);

 private:
  std::random_device Source;
};

// A random number from 0 to Bound - 1 from a source opened for this draw.
uint16_t DNSRandomId(uint32_t Bound);

class TQuestionItem {
 public:
  std::string QName;  // dotted domain name
  uint16_t QType = 0;
  uint16_t QClass = 0;
};

// RDATA decoded by type; only the member of the record's type is filled.
struct TRdata {
  std::string DomainName;
  struct {
    std::string CPU, OS;
  } HInfo;
  struct {
    std::string RMailBox, EMailBox;
  } MInfo;
  struct {
    uint16_t Preference = 0;
    std::string Exchange;
  } MX;
  struct {
    std::string MName, RName;
    uint32_t Serial = 0, Refresh = 0, Retry = 0, Expire = 0, Minimum = 0;
  } SOA;
  struct {
    uint32_t Address = 0;
    uint8_t Protocol = 0;
    uint8_t BitMap[8] = {};
  } WKS;
  std::string HostAddress;  // dotted IPv4
};

class TIdDNSResourceItem {
 public:
  std::string Name;
  uint16_t RRType = 0;
  uint16_t RRClass = 0;
  uint32_t TTL = 0;
  uint16_t RDLength = 0;
  TRdata RData;
  std::string RawData;  // RDATA bytes of NULL, TXT, AXFR and ANY records
};

// A counted, indexed collection whose items keep their address while it grows.
template <class Item>
class TIdDNSCollection {
 public:
  int Count() const { return static_cast<int>(Items.size()); }
  // Appends a new empty item and returns it.
  Item* Add() {
    Items.push_back(std::make_unique<Item>());
    return Items.back().get();
  }
  void Clear() { Items.clear(); }
  // The item at Index; raises std::out_of_range outside 0..Count()-1.
  Item& operator[](int Index) { return *Items.at(static_cast<size_t>(Index)); }
  const Item& operator[](int Index) const { return *Items.at(static_cast<size_t>(Index)); }

 private:
  std::vector<std::unique_ptr<Item>> Items;
};

class TIdDNSQuestionList : public TIdDNSCollection<TQuestionItem> {};

class TIdDNSResourceList : public TIdDNSCollection<TIdDNSResourceItem> {
 public:
  // RData.DomainName of the record at Index; empty outside the list.
  std::string GetDNSRDataDomainName(int Index) const;
  // The MX preference right-aligned in five columns, a blank and the exchange
  // ("   10 mail.example"); empty outside the list.
  std::string GetDNSMxExchangeNameEx(int Index) const;
};
