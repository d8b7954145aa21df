#pragma once
// Buffered content coders (RFC 2045 base64 and quoted-printable, UU and XX) and
// the process-wide registry that finds a coder class by transfer encoding and
// content type.
//
// A coder collects input in a buffer and codes it block by block into output
// records. A record is data (kind 0) or a numbered notification; as text it is
// the kind, ";" and the payload ("0;" + coded bytes).
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "net/transport/IdException.h"
#include "platform/Component.h"

// A table-driven decoder met a character outside its table.
class EIdTableNotFound : public EIdException {
 public:
  EIdTableNotFound() : EIdException("Coding table entry not found.") {}
};

namespace coder_limits {
// Input buffered before a block is coded: large enough to amortise the
// per-record cost, small enough to keep memory flat for big inputs.
constexpr int kDefaultBufferSize = 4096;
// Bytes of an attachment coded per base64 line: 57 bytes give 76 characters,
// the longest line RFC 2045 allows.
constexpr int kBase64LineBytes = 57;
// Longest quoted-printable line before its soft break "=" (RFC 2045 6.7 allows
// 76 characters including the "=").
constexpr size_t kQpMaxPiece = 75;
// A quoted-printable buffer keeps a CR back as its first byte, so it needs
// room for at least one new byte beside it.
constexpr int kQpMinBufferSize = 2;
}  // namespace coder_limits

class TIdCoder : public TComponent {
 public:
  struct Record {
    int Kind = 0;  // 0 = data, anything else = notification number
    std::string Payload;
  };

  explicit TIdCoder(TComponent* AOwner = nullptr);

  // Feeds AText; codes every block that fills up. Answers TakeOutput, or with
  // CompleteOnEachCall set, EndInput.
  std::string CodeText(std::string_view AText);
  // Codes what is buffered and answers TakeOutput.
  virtual std::string EndInput();
  // The first data record's payload (skipping notifications when
  // IgnoreNotification is set); empty when none is ready.
  virtual std::string TakeData();
  // "0;" + every leading data record joined, or the first notification record
  // as text; empty when nothing is ready.
  virtual std::string TakeOutput();
  // Empties the buffer and the output.
  virtual void ResetCoder();
  virtual void SetKey(const std::string& AKey) { Key = AKey; }
  virtual void SetBufferSize(int ASize);
  int BufferSize() const { return static_cast<int>(Buffer.size()); }
  bool InputComplete() const { return FInputComplete; }
  size_t PendingRecords() const { return Output.size(); }

  // Each data record gets CR LF appended when it is made.
  bool AddLineEnd = false;
  // Records go to OnCodedData / OnNotification instead of the output list.
  bool UseEvent = false;
  bool IgnoreCodedData = false;
  bool IgnoreNotification = false;
  bool CompleteOnEachCall = false;
  std::string Key;
  std::string FileName;
  std::function<void(const std::string& AData)> OnCodedData;
  std::function<void(int ANumber, const std::string& AText)> OnNotification;

 protected:
  // Codes one full buffer (Buffer[0..BufferCount)) and empties it, except for
  // bytes a coder keeps back as the start of the next buffer. The base passes
  // the block through.
  virtual void CodeBlock();
  // Codes what is buffered at the end of input.
  virtual void CodeRest();
  // Codes a block straight from the caller's bytes (the buffer is empty); the
  // default copies through the buffer. Coders that can work in place override
  // it. Afterwards the buffer holds only what the coder keeps back.
  virtual void CodeBlockDirect(std::string_view ABlock);

  void OutputData(std::string AData);
  void OutputNotification(int ANumber, std::string AText);
  std::string_view Buffered() const { return std::string_view(Buffer.data(), BufferCount); }

  std::string Buffer;  // sized to the buffer size; the first BufferCount bytes are live
  size_t BufferCount = 0;
  std::deque<Record> Output;

 private:
  bool FInputComplete = false;
};

// A coder driven by a character table.
class TIdASCIICoder : public TIdCoder {
 public:
  using TIdCoder::TIdCoder;
  virtual void SetCodingTable(std::string_view ATable);
  const std::string& CodingTable() const { return Table; }

 protected:
  std::string Table;
  int16_t Reverse[256] = {};  // table position of each byte, -1 when absent
};

// Three bytes to four characters of a 64-character table, and back. The
// encoder carries a block's last one or two bytes into the next block, so the
// output is the coding of the whole input whatever the buffer size.
class TId3To4Coder : public TIdASCIICoder {
 public:
  explicit TId3To4Coder(TComponent* AOwner = nullptr, bool ADecoder = false);
  void ResetCoder() override;

  // Characters written for padding ("=" for base64, the table's first
  // character for UU and XX).
  char PadChar = '=';

 protected:
  void CodeBlock() override;
  void CodeRest() override;
  void CodeBlockDirect(std::string_view ABlock) override;
  void Encode(std::string_view AIn, bool AFinal);
  void Decode(std::string_view AIn, bool AFinal);

  bool FDecoder;
  std::string Carry;   // bytes (or character values) not yet forming a whole group
  bool Ended = false;  // a decoder met padding: the rest of the input is not data
};

class TIdBase64Encoder : public TId3To4Coder {
 public:
  explicit TIdBase64Encoder(TComponent* AOwner = nullptr);
};

// Decodes base64 text; line ends and blanks between groups are skipped, "="
// ends the data. Raises EIdTableNotFound for any other foreign character.
class TIdBase64Decoder : public TId3To4Coder {
 public:
  explicit TIdBase64Decoder(TComponent* AOwner = nullptr);
};

class TIdUUEncoder : public TId3To4Coder {
 public:
  explicit TIdUUEncoder(TComponent* AOwner = nullptr);
};

class TIdUUDecoder : public TId3To4Coder {
 public:
  explicit TIdUUDecoder(TComponent* AOwner = nullptr);
};

class TIdXXEncoder : public TIdUUEncoder {
 public:
  explicit TIdXXEncoder(TComponent* AOwner = nullptr);
};

class TIdXXDecoder : public TIdUUDecoder {
 public:
  explicit TIdXXDecoder(TComponent* AOwner = nullptr);
};

// RFC 2045 6.7 quoted-printable: hard line ends pass as CR LF, lines longer
// than 76 characters get soft breaks, trailing blanks are encoded. A CR that
// ends a full buffer is kept back as the first byte of the next one. The
// buffer holds at least kQpMinBufferSize bytes.
class TIdQuotedPrintableEncoder : public TIdCoder {
 public:
  using TIdCoder::TIdCoder;
  void ResetCoder() override;
  void SetBufferSize(int ASize) override;

 protected:
  void CodeBlock() override;
  void CodeRest() override;
  void CodeBlockDirect(std::string_view ABlock) override;
  // Appends AWritten to the pending output and emits every complete line and
  // every soft-broken piece it makes.
  virtual void LineHandler(std::string_view AWritten);

  std::string Pending;  // written text after the last emitted line end

 private:
  // Step one of the coding: every byte as itself, "=XX" or (CR LF) a line end.
  void Write(std::string_view AIn, std::string& AOut);
  void CutPieces();
};

// Quoted-printable decoding: "=" and two hex digits give the byte, "=" at the
// end of a line joins it to the next, "=" before anything else is kept.
class TIdQuotedPrintableDecoder : public TIdCoder {
 public:
  using TIdCoder::TIdCoder;
  void ResetCoder() override;

 protected:
  void CodeBlock() override;
  void CodeRest() override;

 private:
  void Decode(std::string_view AIn, bool AFinal);
  std::string Carry;  // an "=" sequence cut by the block boundary
};

// The decoder registered for 8-bit text: passes the text through as data.
class TIdIMFDecoder : public TIdCoder {
 public:
  using TIdCoder::TIdCoder;
};

// Kinds of registry entries.
constexpr uint8_t CoderKindEncoder = 0;
constexpr uint8_t CoderKindDecoder = 128;

// A coder class: its name and how to make one.
struct TIdCoderClass {
  std::string ClassName;
  std::function<std::unique_ptr<TIdCoder>(TComponent* AOwner)> Create;
};

template <class T>
TIdCoderClass CoderClassOf(std::string AName) {
  return TIdCoderClass{std::move(AName), [](TComponent* AOwner) -> std::unique_ptr<TIdCoder> {
                         return std::make_unique<T>(AOwner);
                       }};
}

struct TIdCoderItem {
  TIdCoderClass CoderClass;
  uint8_t Kind = CoderKindEncoder;
  uint8_t Priority = 0;  // stored, not consulted
  std::string ContentTransferEncoding;
  std::string ContentType;
};

// The coder registry. One process-wide instance (CoderCollection()), filled
// with the standard coders on first use.
class TIdCoderCollection {
 public:
  void RegisterCoder(TIdCoderClass AClass, uint8_t AKind, uint8_t APriority,
                     std::string AContentTransferEncoding, std::string AContentType);
  // The entry for a content type and transfer encoding (case-insensitive):
  // an exact match of both, else the first of the transfer encoding, else the
  // first of the content type, else the pass-through coder.
  const TIdCoderItem& FindCoder(std::string_view AContentType,
                                std::string_view AContentTransferEncoding, uint8_t AKind) const;
  int Count() const { return static_cast<int>(Items.size()); }
  const TIdCoderItem& Item(int Index) const { return Items.at(static_cast<size_t>(Index)); }

 private:
  std::vector<TIdCoderItem> Items;
};

// The registry, made with the standard entries on first use.
TIdCoderCollection& CoderCollection();

// Shorthands over the registry.
void RegisterCoder(TIdCoderClass AClass, uint8_t AKind, uint8_t APriority,
                   std::string AContentTransferEncoding, std::string AContentType);
const TIdCoderItem& FindCoder(std::string_view AContentType,
                              std::string_view AContentTransferEncoding, uint8_t AKind);

// The base64 text of AText on one line, padded, without line breaks.
std::string EncodeBase64Text(std::string_view AText);
