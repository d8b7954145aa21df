#include "platform/Stream.h"

#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "platform/Exception.h"
#ifdef _WIN32
#include "platform/WidePath.h"
#endif

namespace {

// Opens a file through the C runtime. On Windows a path is UTF-8 and the
// narrow call would read it in the ANSI code page: the wide one takes it.
std::FILE* Open(const std::string& Path, const char* Mode) {
#ifdef _WIN32
  return _wfopen(files::WidePath(Path).c_str(), files::WidePath(Mode).c_str());
#else
  return std::fopen(Path.c_str(), Mode);
#endif
}

}  // namespace

int64_t TMemoryStream::Read(void* Buffer, int64_t Count) {
  if (Count <= 0 || Pos >= Size()) return 0;
  int64_t n = std::min(Count, Size() - Pos);
  std::memcpy(Buffer, Data.data() + Pos, static_cast<size_t>(n));
  Pos += n;
  return n;
}

int64_t TMemoryStream::Write(const void* Buffer, int64_t Count) {
  if (Count <= 0) return 0;
  if (Pos + Count > Size()) Data.resize(static_cast<size_t>(Pos + Count));
  std::memcpy(Data.data() + Pos, Buffer, static_cast<size_t>(Count));
  Pos += Count;
  return Count;
}

void TMemoryStream::SetSize(int64_t NewSize) {
  Data.resize(static_cast<size_t>(NewSize < 0 ? 0 : NewSize));
  if (Pos > NewSize) Pos = NewSize;
}

TFileStream::TFileStream(const std::string& Path, Mode M) : Name(Path) {
  File = Open(Path, M == Mode::Create ? "w+b" : "rb");
  if (!File)
    throw EInOutError("Cannot open file \"" + Path + "\". " +
                      std::generic_category().message(errno));
}

TFileStream::~TFileStream() {
  // A write that did not reach the file was reported by Flush.
  if (File) (void)std::fclose(File);
}

int64_t TFileStream::Read(void* Buffer, int64_t Count) {
  if (Count <= 0) return 0;
  if (std::fseek(File, static_cast<long>(Pos), SEEK_SET) != 0)
    throw EInOutError("Read error on \"" + Name + "\"");
  size_t n = std::fread(Buffer, 1, static_cast<size_t>(Count), File);
  if (n == 0 && std::ferror(File)) throw EInOutError("Read error on \"" + Name + "\"");
  Pos += static_cast<int64_t>(n);
  return static_cast<int64_t>(n);
}

int64_t TFileStream::Write(const void* Buffer, int64_t Count) {
  if (Count <= 0) return 0;
  // Writing anywhere but at the position would corrupt the file.
  if (std::fseek(File, static_cast<long>(Pos), SEEK_SET) != 0)
    throw EInOutError("Write error on \"" + Name + "\"");
  size_t n = std::fwrite(Buffer, 1, static_cast<size_t>(Count), File);
  if (n != static_cast<size_t>(Count)) throw EInOutError("Write error on \"" + Name + "\"");
  Pos += Count;
  return Count;
}

int64_t TFileStream::Size() const {
  const long here = std::ftell(File);
  if (here < 0 || std::fseek(File, 0, SEEK_END) != 0)
    throw EInOutError("Read error on \"" + Name + "\"");
  const long end = std::ftell(File);
  if (end < 0 || std::fseek(File, here, SEEK_SET) != 0)
    throw EInOutError("Read error on \"" + Name + "\"");
  return end;
}

void TFileStream::Flush() {
  if (std::fflush(File) != 0) throw EInOutError("Write error on \"" + Name + "\"");
}

void TFileStream::SetSize(int64_t NewSize) {
  Flush();
  if (ftruncate(fileno(File), static_cast<off_t>(NewSize)) != 0)
    throw EInOutError("Cannot resize \"" + Name + "\"");
  if (Pos > NewSize) Pos = NewSize;
}
