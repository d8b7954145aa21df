#pragma once
// A growable byte buffer. Bytes are appended at the end and consumed from the
// front; consuming only moves a start offset, and the storage is compacted when
// the consumed part outgrows the rest, so reading a long stream line by line
// costs time linear in its length.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

class TIdBuffer {
 public:
  int64_t Size() const { return static_cast<int64_t>(Bytes.size() - Start); }
  bool Empty() const { return Bytes.size() == Start; }
  // Resizes the held bytes (new bytes are zero).
  void SetSize(int64_t NewSize);
  char* Memory() { return Bytes.data() + Start; }
  const char* Memory() const { return Bytes.data() + Start; }
  std::string_view View() const { return std::string_view(Bytes).substr(Start); }
  void Append(const char* Data, size_t Count) { Bytes.append(Data, Count); }
  void Clear() {
    Bytes.clear();
    Start = 0;
  }
  // Removes the first N bytes; raises EIdNotEnoughDataInBuffer when fewer are held.
  void DiscardFront(int64_t N);

 private:
  std::string Bytes;
  size_t Start = 0;
};
