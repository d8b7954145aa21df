#pragma once
// The one way the DNS decoder reads a reply: a view of the bytes plus an
// offset. Every fetch checks the remaining length first and raises
// EIdDnsResolverError "Invalid Packet Size %d" with the caller's check number
// when the field would lie outside the reply.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

class TIdDNSReader {
 public:
  explicit TIdDNSReader(std::string_view AData) : Data(AData) {}

  size_t Size() const { return Data.size(); }
  size_t Offset() const { return Pos; }
  // Moves to an offset; reads there are checked, so it may lie past the end.
  void Seek(size_t AOffset) { Pos = AOffset; }
  // Bytes from the offset to the end (0 when the offset is past it).
  size_t Remaining() const { return Pos < Data.size() ? Data.size() - Pos : 0; }
  bool Has(size_t Count) const { return Remaining() >= Count; }
  // Raises check Check unless Count bytes lie at the offset.
  void Require(size_t Count, int Check) const;

  uint8_t U8(int Check);
  uint16_t U16(int Check);  // big-endian
  uint32_t U32(int Check);  // big-endian
  std::string_view Bytes(size_t Count, int Check);
  // A character-string (RFC 1035 3.3): a length byte and that many bytes.
  std::string CharString(int Check);
  // A domain name at the offset, labels joined by "." (the empty text for the
  // root). Follows compression pointers; a pointer must lead before the portion
  // of the name read so far, which bounds every name by the reply's size.
  // Leaves the offset after the name (after its first pointer, if any).
  // Raises check 2 for a missing length byte, pointer byte or a pointer loop,
  // check 3 for a label running past the end.
  std::string Name();

  [[noreturn]] static void Fail(int Check);

 private:
  std::string_view Data;
  size_t Pos = 0;
};
