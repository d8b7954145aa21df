#pragma once
// Builds DNS messages byte by byte for the tests, so each literal reads field
// by field: Msg().U16(0x1234).U16(0x8180) ... .Name("mx.example").Bytes().
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

class Msg {
 public:
  Msg& U8(uint8_t V) {
    B += static_cast<char>(V);
    return *this;
  }
  Msg& U16(uint16_t V) { return U8(static_cast<uint8_t>(V >> 8)).U8(static_cast<uint8_t>(V)); }
  Msg& U32(uint32_t V) { return U16(static_cast<uint16_t>(V >> 16)).U16(static_cast<uint16_t>(V)); }
  Msg& Raw(std::string_view S) {
    B += S;
    return *this;
  }
  // Labels of a dotted name, each behind its length byte; Root adds the zero.
  Msg& Labels(std::string_view Dotted) {
    while (!Dotted.empty()) {
      auto dot = Dotted.find('.');
      auto label = Dotted.substr(0, dot);
      U8(static_cast<uint8_t>(label.size())).Raw(label);
      Dotted = dot == std::string_view::npos ? std::string_view() : Dotted.substr(dot + 1);
    }
    return *this;
  }
  Msg& Name(std::string_view Dotted) { return Labels(Dotted).U8(0); }
  // A compression pointer to Offset.
  Msg& Ptr(uint16_t Offset) { return U16(static_cast<uint16_t>(0xC000 | Offset)); }
  // The twelve header bytes.
  Msg& Header(uint16_t Id, uint16_t Flags, uint16_t Qd, uint16_t An, uint16_t Ns, uint16_t Ar) {
    return U16(Id).U16(Flags).U16(Qd).U16(An).U16(Ns).U16(Ar);
  }
  // Name, type, class, TTL and RDLENGTH of a record (RDATA follows).
  Msg& Rr(std::string_view Owner, uint16_t Type, uint16_t RdLength, uint32_t Ttl = 3600) {
    return Name(Owner).U16(Type).U16(1).U32(Ttl).U16(RdLength);
  }
  size_t Size() const { return B.size(); }
  const std::string& Bytes() const { return B; }
  operator std::string() const { return B; }

 private:
  std::string B;
};
