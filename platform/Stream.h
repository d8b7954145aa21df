#pragma once
// Byte streams: a position, a size, reads and writes. The network library reads
// bodies into streams and writes streams to sockets.
#include <cstdint>
#include <cstdio>
#include <string>

class TStream {
 public:
  virtual ~TStream() = default;
  // Reads up to Count bytes at the position; returns how many were read.
  virtual int64_t Read(void* Buffer, int64_t Count) = 0;
  // Writes Count bytes at the position (growing the stream); returns Count.
  virtual int64_t Write(const void* Buffer, int64_t Count) = 0;
  virtual int64_t Size() const = 0;
  virtual void SetSize(int64_t NewSize) = 0;
  int64_t Position() const { return Pos; }
  virtual void SetPosition(int64_t P) { Pos = P; }

  void WriteString(const std::string& S) { Write(S.data(), static_cast<int64_t>(S.size())); }

 protected:
  int64_t Pos = 0;
};

// A stream in memory. Its bytes are a std::string so that a caller can take
// them as text without copying.
class TMemoryStream : public TStream {
 public:
  int64_t Read(void* Buffer, int64_t Count) override;
  int64_t Write(const void* Buffer, int64_t Count) override;
  int64_t Size() const override { return static_cast<int64_t>(Data.size()); }
  void SetSize(int64_t NewSize) override;
  void Clear() {
    Data.clear();
    Pos = 0;
  }

  std::string Data;
};

// A stream over a file on disk. Raises EInOutError when the file cannot be
// opened, read or written.
class TFileStream : public TStream {
 public:
  enum class Mode { OpenRead, Create };
  TFileStream(const std::string& Path, Mode M);
  ~TFileStream() override;
  TFileStream(const TFileStream&) = delete;
  TFileStream& operator=(const TFileStream&) = delete;

  int64_t Read(void* Buffer, int64_t Count) override;
  int64_t Write(const void* Buffer, int64_t Count) override;
  int64_t Size() const override;
  void SetSize(int64_t NewSize) override;
  // Hands the bytes still buffered to the system; raises EInOutError when it
  // refuses them (a full disk). A writer calls it before relying on the file:
  // closing cannot report an error.
  void Flush();

 private:
  std::FILE* File = nullptr;
  std::string Name;
};
