#include "platform/FileVersion.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>

namespace {

// ELF64 layout (System V ABI, little-endian only: the machines Corvale runs on).
constexpr size_t kElfHeaderSize = 64;
constexpr size_t kSectionHeaderSize = 64;
constexpr uint8_t kElfClass64 = 2;
constexpr uint8_t kElfDataLittle = 1;
constexpr uint32_t kSectionNoBits = 8;            // SHT_NOBITS: no bytes in the file
constexpr uint16_t kSectionIndexEscape = 0xFFFF;  // SHN_XINDEX: the index is in section 0
// A version block is under a hundred bytes; a section far larger is not ours.
constexpr uint64_t kMaxVersionInfo = uint64_t{64} * 1024;
// Section names of real executables take a few hundred bytes.
constexpr uint64_t kMaxNameTable = uint64_t{1024} * 1024;
// More sections than this is a damaged file, not a program.
constexpr uint64_t kMaxSections = 65536;

// The root block's key, the one value it holds is the fixed file information.
constexpr std::u16string_view kRootKey = u"VS_VERSION_INFO";
constexpr size_t kBlockHeaderSize = 6;

struct Malformed {};

// Bounds-checked little-endian reads from a byte view.
class Reader {
 public:
  explicit Reader(std::string_view Data) : FData(Data) {}
  uint16_t U16(size_t At) const { return static_cast<uint16_t>(Get(At, 2)); }
  uint32_t U32(size_t At) const { return static_cast<uint32_t>(Get(At, 4)); }
  uint64_t U64(size_t At) const { return Get(At, 8); }

 private:
  uint64_t Get(size_t At, size_t N) const {
    if (At > FData.size() || N > FData.size() - At) throw Malformed{};
    uint64_t v = 0;
    for (size_t i = 0; i < N; ++i)
      v |= static_cast<uint64_t>(static_cast<uint8_t>(FData[At + i])) << (8 * i);
    return v;
  }
  std::string_view FData;
};

// Reads N bytes at Offset of an open file, or throws Malformed when the file
// is shorter.
class FileBytes {
 public:
  explicit FileBytes(const char* FileName) : FIn(FileName, std::ios::binary) {
    if (!FIn) throw Malformed{};
    FIn.seekg(0, std::ios::end);
    const std::streamoff end = FIn.tellg();
    if (end < 0) throw Malformed{};
    FSize = static_cast<uint64_t>(end);
  }
  std::string Read(uint64_t Offset, uint64_t N) {
    if (Offset > FSize || N > FSize - Offset) throw Malformed{};
    std::string out(static_cast<size_t>(N), '\0');
    FIn.seekg(static_cast<std::streamoff>(Offset));
    if (!FIn.read(out.data(), static_cast<std::streamsize>(N))) throw Malformed{};
    return out;
  }

 private:
  std::ifstream FIn;
  uint64_t FSize = 0;
};

// The contents of the version section of an ELF file, or nothing when the file
// is not a 64-bit little-endian ELF file or has no such section.
std::optional<std::string> ReadVersionSection(const char* FileName) {
  if (!FileName) return std::nullopt;
  try {
    FileBytes file(FileName);
    const std::string header = file.Read(0, kElfHeaderSize);
    if (header.compare(0, 4,
                       "\x7F"
                       "ELF") != 0 ||
        static_cast<uint8_t>(header[4]) != kElfClass64 ||
        static_cast<uint8_t>(header[5]) != kElfDataLittle)
      return std::nullopt;
    Reader h(header);
    const uint64_t tableAt = h.U64(0x28);
    const uint64_t entrySize = h.U16(0x3A);
    uint64_t count = h.U16(0x3C);
    uint64_t namesIndex = h.U16(0x3E);
    if (tableAt == 0 || entrySize < kSectionHeaderSize) return std::nullopt;

    auto sectionHeader = [&](uint64_t Index) {
      return file.Read(tableAt + Index * entrySize, kSectionHeaderSize);
    };
    // Extended numbering: a count or index too large for the header is kept in
    // section 0 (sh_size and sh_link).
    if (count == 0 || namesIndex == kSectionIndexEscape) {
      const std::string first = sectionHeader(0);
      Reader s0(first);
      if (count == 0) count = s0.U64(0x20);
      if (namesIndex == kSectionIndexEscape) namesIndex = s0.U32(0x28);
    }
    if (count == 0 || count > kMaxSections || namesIndex >= count) return std::nullopt;

    const std::string table = file.Read(tableAt, count * entrySize);
    Reader t(table);
    auto contents = [&](uint64_t Index, uint64_t Cap) -> std::optional<std::string> {
      const auto at = static_cast<size_t>(Index * entrySize);
      if (t.U32(at + 4) == kSectionNoBits) return std::nullopt;
      const uint64_t size = t.U64(at + 0x20);
      if (size > Cap) return std::nullopt;
      return file.Read(t.U64(at + 0x18), size);
    };
    const std::optional<std::string> names = contents(namesIndex, kMaxNameTable);
    if (!names) return std::nullopt;
    const std::string_view wanted = kVersionSection;
    for (uint64_t i = 0; i < count; ++i) {
      const uint32_t nameAt = t.U32(static_cast<size_t>(i * entrySize));
      if (nameAt >= names->size()) continue;
      const size_t end = names->find('\0', nameAt);
      if (end == std::string::npos) continue;
      if (std::string_view(*names).substr(nameAt, end - nameAt) == wanted)
        return contents(i, kMaxVersionInfo);
    }
    return std::nullopt;
  } catch (const Malformed&) {
    return std::nullopt;
  }
}

}  // namespace

uint32_t GetFileVersionInfoSizeA(const char* FileName, uint32_t* Handle) {
  if (Handle) *Handle = 0;
  const auto data = ReadVersionSection(FileName);
  return data ? static_cast<uint32_t>(data->size()) : 0;
}

bool GetFileVersionInfoA(const char* FileName, uint32_t Handle, uint32_t Len, void* Data) {
  (void)Handle;
  const auto data = ReadVersionSection(FileName);
  if (!data || !Data) return false;
  const size_t copied = std::min<size_t>(Len, data->size());
  // VerQueryValueA trusts the block's own length; a block that claims more
  // bytes than were copied would make it read past the caller's buffer.
  if (copied < sizeof(uint16_t)) return false;
  if (Reader(*data).U16(0) > copied) return false;
  std::memcpy(Data, data->data(), copied);
  return true;
}

bool VerQueryValueA(const void* Block, const char* SubBlock, void** Buffer, uint32_t* Len) {
  if (!Block || !SubBlock || !Buffer || !Len) return false;
  // Only the root block exists in what the build embeds.
  if (std::string_view(SubBlock) != "\\") return false;
  const auto* bytes = static_cast<const char*>(Block);
  uint16_t total;
  std::memcpy(&total, bytes, sizeof total);
  try {
    // The block's own length bounds every read.
    Reader r(std::string_view(bytes, total));
    const uint16_t valueLength = r.U16(2);
    size_t at = kBlockHeaderSize;
    std::u16string key;
    for (;;) {
      const auto c = static_cast<char16_t>(r.U16(at));
      at += 2;
      if (c == 0) break;
      key.push_back(c);
    }
    if (key != kRootKey) return false;
    at = (at + 3) & ~size_t{3};  // the value starts on a 4-byte boundary
    if (valueLength == 0 || at > total || valueLength > total - at) return false;
    *Buffer = const_cast<char*>(bytes + at);
    *Len = valueLength;
    return true;
  } catch (const Malformed&) {
    return false;
  }
}
