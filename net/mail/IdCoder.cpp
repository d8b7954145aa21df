// Content coders of RFC 2045 (section 6.7 quoted-printable, section 6.8
// base64), the UU and XX three-to-four codings, and the coder registry.
#include "net/mail/IdCoder.h"

#include <algorithm>
#include <cstring>

#include "platform/Text.h"

namespace {

constexpr char kBase64Table[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kUUTable[] = "`!\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_";
constexpr char kXXTable[] = "+-0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
constexpr char kHex[] = "0123456789ABCDEF";

bool IsLineBlank(char c) {
  return c == '\r' || c == '\n' || c == ' ' || c == '\t';
}

// How the quoted-printable encoder writes each byte: true = as "=XX". The
// blank and the printable characters pass, except "=" and the characters that
// are not safe through every gateway (RFC 2045 6.7 rule 2, RFC 2049).
struct QpTable {
  bool Encode[256]{};
  constexpr QpTable() {
    for (int c = 0; c < 256; ++c) Encode[c] = !(c == ' ' || (c >= 33 && c <= 126));
    for (char c : std::string_view("=!#$[\\]^`{|}~@\""))
      Encode[static_cast<unsigned char>(c)] = true;
  }
};
constexpr QpTable kQp;

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

// ---------------------------------------------------------------- TIdCoder

TIdCoder::TIdCoder(TComponent* AOwner) : TComponent(AOwner) {
  Buffer.assign(coder_limits::kDefaultBufferSize, '\0');
}

void TIdCoder::SetBufferSize(int ASize) {
  // A buffer must hold at least one byte; what is buffered is coded first so
  // that no input is lost by shrinking.
  if (ASize < 1) ASize = 1;
  if (BufferCount > static_cast<size_t>(ASize)) CodeBlock();
  Buffer.resize(static_cast<size_t>(ASize));
}

std::string TIdCoder::CodeText(std::string_view AText) {
  const size_t size = Buffer.size();
  while (!AText.empty()) {
    if (BufferCount == 0 && AText.size() >= size) {
      // A whole block straight from the caller's bytes, without the copy.
      CodeBlockDirect(AText.substr(0, size));
      AText.remove_prefix(size);
      continue;
    }
    size_t n = std::min(size - BufferCount, AText.size());
    std::memcpy(Buffer.data() + BufferCount, AText.data(), n);
    BufferCount += n;
    AText.remove_prefix(n);
    if (BufferCount == size) CodeBlock();
  }
  return CompleteOnEachCall ? EndInput() : TakeOutput();
}

void TIdCoder::CodeBlockDirect(std::string_view ABlock) {
  std::memcpy(Buffer.data(), ABlock.data(), ABlock.size());
  BufferCount = ABlock.size();
  CodeBlock();
}

std::string TIdCoder::EndInput() {
  FInputComplete = true;
  CodeRest();
  BufferCount = 0;
  FInputComplete = false;
  return TakeOutput();
}

void TIdCoder::CodeBlock() {
  OutputData(std::string(Buffered()));
  BufferCount = 0;
}

void TIdCoder::CodeRest() {
  if (BufferCount > 0) OutputData(std::string(Buffered()));
}

void TIdCoder::OutputData(std::string AData) {
  if (AddLineEnd) AData += "\r\n";
  if (UseEvent) {
    if (OnCodedData) OnCodedData(AData);
    return;
  }
  Output.push_back(Record{0, std::move(AData)});
}

void TIdCoder::OutputNotification(int ANumber, std::string AText) {
  if (UseEvent) {
    if (OnNotification) OnNotification(ANumber, AText);
    return;
  }
  Output.push_back(Record{ANumber, std::move(AText)});
}

std::string TIdCoder::TakeOutput() {
  if (IgnoreCodedData && IgnoreNotification) {
    Output.clear();
    return std::string();
  }
  if (Output.empty()) return std::string();
  if (Output.front().Kind != 0) {
    Record r = std::move(Output.front());
    Output.pop_front();
    return std::to_string(r.Kind) + ";" + r.Payload;
  }
  size_t total = 2;
  for (const Record& r : Output) {
    if (r.Kind != 0) break;
    total += r.Payload.size();
  }
  std::string result;
  result.reserve(total);
  result = "0;";
  while (!Output.empty() && Output.front().Kind == 0) {
    result += Output.front().Payload;
    Output.pop_front();
  }
  return result;
}

std::string TIdCoder::TakeData() {
  if (IgnoreCodedData && IgnoreNotification) {
    Output.clear();
    return std::string();
  }
  if (!Output.empty() && Output.front().Kind != 0 && IgnoreNotification) {
    while (!Output.empty() && Output.front().Kind != 0) Output.pop_front();
  }
  if (Output.empty() || Output.front().Kind != 0) return std::string();
  std::string r = std::move(Output.front().Payload);
  Output.pop_front();
  return r;
}

void TIdCoder::ResetCoder() {
  BufferCount = 0;
  Output.clear();
}

// ----------------------------------------------------------- TIdASCIICoder

void TIdASCIICoder::SetCodingTable(std::string_view ATable) {
  Table.assign(ATable);
  std::fill(std::begin(Reverse), std::end(Reverse), static_cast<int16_t>(-1));
  for (size_t i = 0; i < Table.size(); ++i)
    Reverse[static_cast<unsigned char>(Table[i])] = static_cast<int16_t>(i);
}

// ------------------------------------------------------------ TId3To4Coder

TId3To4Coder::TId3To4Coder(TComponent* AOwner, bool ADecoder)
    : TIdASCIICoder(AOwner), FDecoder(ADecoder) {
  SetCodingTable(kBase64Table);
}

void TId3To4Coder::ResetCoder() {
  TIdASCIICoder::ResetCoder();
  Carry.clear();
  Ended = false;
}

void TId3To4Coder::CodeBlock() {
  CodeBlockDirect(Buffered());
}

void TId3To4Coder::CodeBlockDirect(std::string_view ABlock) {
  if (FDecoder)
    Decode(ABlock, false);
  else
    Encode(ABlock, false);
  BufferCount = 0;
}

void TId3To4Coder::CodeRest() {
  if (FDecoder)
    Decode(Buffered(), true);
  else
    Encode(Buffered(), true);
}

void TId3To4Coder::Encode(std::string_view AIn, bool AFinal) {
  const char* t = Table.data();
  std::string out;
  out.resize((Carry.size() + AIn.size() + 2) / 3 * 4);
  char* o = out.data();
  auto group = [&](unsigned b0, unsigned b1, unsigned b2) {
    o[0] = t[b0 >> 2];
    o[1] = t[((b0 & 3) << 4) | (b1 >> 4)];
    o[2] = t[((b1 & 15) << 2) | (b2 >> 6)];
    o[3] = t[b2 & 63];
    o += 4;
  };
  // Complete a group begun in the previous block.
  while (!Carry.empty() && Carry.size() < 3 && !AIn.empty()) {
    Carry += AIn.front();
    AIn.remove_prefix(1);
  }
  if (Carry.size() == 3) {
    const auto* c = reinterpret_cast<const unsigned char*>(Carry.data());
    group(c[0], c[1], c[2]);
    Carry.clear();
  }
  const auto* p = reinterpret_cast<const unsigned char*>(AIn.data());
  size_t whole = AIn.size() / 3 * 3;
  for (size_t i = 0; i < whole; i += 3) group(p[i], p[i + 1], p[i + 2]);
  Carry.append(AIn.substr(whole));
  if (AFinal && !Carry.empty()) {
    const auto* c = reinterpret_cast<const unsigned char*>(Carry.data());
    unsigned b1 = Carry.size() > 1 ? c[1] : 0;
    group(c[0], b1, 0);
    if (PadChar == '=') {
      // RFC 2045 6.8: "==" after one remaining byte, "=" after two.
      o[-1] = '=';
      if (Carry.size() == 1) o[-2] = '=';
    }
    Carry.clear();
  }
  out.resize(static_cast<size_t>(o - out.data()));
  if (!out.empty()) OutputData(std::move(out));
}

void TId3To4Coder::Decode(std::string_view AIn, bool AFinal) {
  std::string out;
  out.reserve((Carry.size() + AIn.size()) / 4 * 3 + 3);
  // A short last group: two characters give one byte, three give two.
  auto flushShort = [&] {
    const auto* c = reinterpret_cast<const unsigned char*>(Carry.data());
    if (Carry.size() >= 2) out += static_cast<char>((c[0] << 2) | (c[1] >> 4));
    if (Carry.size() == 3) out += static_cast<char>(((c[1] & 15) << 4) | (c[2] >> 2));
    Carry.clear();
  };
  for (char ch : AIn) {
    if (Ended) break;
    int v = Reverse[static_cast<unsigned char>(ch)];
    if (v < 0) {
      if (ch == PadChar) {
        // Padding ends the data; anything after it is not decoded.
        flushShort();
        Ended = true;
        break;
      }
      if (IsLineBlank(ch)) continue;
      throw EIdTableNotFound();
    }
    Carry += static_cast<char>(v);
    if (Carry.size() == 4) {
      const auto* c = reinterpret_cast<const unsigned char*>(Carry.data());
      out += static_cast<char>((c[0] << 2) | (c[1] >> 4));
      out += static_cast<char>(((c[1] & 15) << 4) | (c[2] >> 2));
      out += static_cast<char>(((c[2] & 3) << 6) | c[3]);
      Carry.clear();
    }
  }
  if (AFinal) {
    flushShort();
    Ended = false;
  }
  if (!out.empty()) OutputData(std::move(out));
}

TIdBase64Encoder::TIdBase64Encoder(TComponent* AOwner) : TId3To4Coder(AOwner, false) {}

TIdBase64Decoder::TIdBase64Decoder(TComponent* AOwner) : TId3To4Coder(AOwner, true) {}

TIdUUEncoder::TIdUUEncoder(TComponent* AOwner) : TId3To4Coder(AOwner, false) {
  SetCodingTable(kUUTable);
  PadChar = kUUTable[0];
}

TIdUUDecoder::TIdUUDecoder(TComponent* AOwner) : TId3To4Coder(AOwner, true) {
  SetCodingTable(kUUTable);
  PadChar = kUUTable[0];
  // The UU table uses "`" for zero; an old encoder's blank means the same.
  Reverse[static_cast<unsigned char>(' ')] = 0;
}

TIdXXEncoder::TIdXXEncoder(TComponent* AOwner) : TIdUUEncoder(AOwner) {
  SetCodingTable(kXXTable);
  PadChar = kXXTable[0];
}

TIdXXDecoder::TIdXXDecoder(TComponent* AOwner) : TIdUUDecoder(AOwner) {
  SetCodingTable(kXXTable);
  PadChar = kXXTable[0];
}

// ------------------------------------------------ TIdQuotedPrintableEncoder

void TIdQuotedPrintableEncoder::ResetCoder() {
  BufferCount = 0;
  Pending.clear();
}

void TIdQuotedPrintableEncoder::SetBufferSize(int ASize) {
  TIdCoder::SetBufferSize(std::max(ASize, coder_limits::kQpMinBufferSize));
}

void TIdQuotedPrintableEncoder::Write(std::string_view AIn, std::string& AOut) {
  AOut.reserve(AOut.size() + AIn.size() + AIn.size() / 4 + 8);
  const size_t n = AIn.size();
  for (size_t i = 0; i < n; ++i) {
    auto c = static_cast<unsigned char>(AIn[i]);
    if (!kQp.Encode[c]) {
      AOut += static_cast<char>(c);
    } else if (c == '\r' && i + 1 < n && AIn[i + 1] == '\n') {
      AOut += "\r\n";  // a hard line end
      ++i;
    } else {
      AOut += '=';
      AOut += kHex[c >> 4];
      AOut += kHex[c & 15];
    }
  }
}

void TIdQuotedPrintableEncoder::LineHandler(std::string_view AWritten) {
  Pending.append(AWritten);
  size_t start = 0;
  for (;;) {
    size_t e = Pending.find("\r\n", start);
    if (e == std::string::npos) break;
    std::string line = Pending.substr(start, e - start);
    // RFC 2045 6.7 rule 3: a blank at the end of a line would be lost in
    // transport, so it is written encoded.
    if (!line.empty() && (line.back() == ' ' || line.back() == '\t')) {
      const char* enc = line.back() == ' ' ? "=20" : "=09";
      line.pop_back();
      line += enc;
    }
    line += "\r\n";
    OutputData(std::move(line));
    start = e + 2;
  }
  Pending.erase(0, start);
  CutPieces();
}

void TIdQuotedPrintableEncoder::CutPieces() {
  // RFC 2045 6.7 rule 5: soft breaks keep every line within 76 characters,
  // never inside a three-character escape.
  using coder_limits::kQpMaxPiece;
  size_t start = 0;
  while (Pending.size() - start > kQpMaxPiece) {
    const char* p = Pending.data() + start;
    size_t len = kQpMaxPiece;
    if (p[kQpMaxPiece - 3] == '=')
      len = kQpMaxPiece - 3;
    else if (p[kQpMaxPiece - 2] == '=')
      len = kQpMaxPiece - 2;
    else if (p[kQpMaxPiece - 1] == '=')
      len = kQpMaxPiece - 1;
    std::string piece(p, len);
    piece += "=\r\n";
    OutputData(std::move(piece));
    start += len;
  }
  Pending.erase(0, start);
}

void TIdQuotedPrintableEncoder::CodeBlock() {
  CodeBlockDirect(Buffered());
}

void TIdQuotedPrintableEncoder::CodeBlockDirect(std::string_view ABlock) {
  // A CR that ends the block may be the first half of a line end whose LF
  // opens the next one. It is not written now but kept back as the first byte
  // of the next buffer, which then takes one new byte less: the blocks after
  // it start one byte earlier, and with them the soft breaks cut at the end of
  // each block, so the output depends only on the input, never on how the
  // caller split it.
  const bool keepCR = !ABlock.empty() && ABlock.back() == '\r';
  if (keepCR) ABlock.remove_suffix(1);
  std::string written;
  Write(ABlock, written);
  LineHandler(written);
  BufferCount = 0;
  if (keepCR) Buffer[BufferCount++] = '\r';
}

void TIdQuotedPrintableEncoder::CodeRest() {
  // A CR kept back with nothing after it is written as =0D.
  std::string written;
  Write(Buffered(), written);
  LineHandler(written);
  if (Pending.empty()) return;
  char last = Pending.back();
  if (last == ' ' || last == '\t') {
    Pending.pop_back();
    Pending += last == ' ' ? "=20" : "=09";
    CutPieces();
  }
  std::string rest = std::move(Pending);
  Pending.clear();
  OutputData(std::move(rest));
}

// ------------------------------------------------ TIdQuotedPrintableDecoder

void TIdQuotedPrintableDecoder::ResetCoder() {
  TIdCoder::ResetCoder();
  Carry.clear();
}

void TIdQuotedPrintableDecoder::CodeBlock() {
  Decode(Buffered(), false);
  BufferCount = 0;
}

void TIdQuotedPrintableDecoder::CodeRest() {
  Decode(Buffered(), true);
}

void TIdQuotedPrintableDecoder::Decode(std::string_view AIn, bool AFinal) {
  std::string in = std::move(Carry);
  Carry.clear();
  in.append(AIn);
  std::string out;
  out.reserve(in.size());
  const size_t n = in.size();
  size_t i = 0;
  while (i < n) {
    char c = in[i];
    if (c != '=') {
      out += c;
      ++i;
      continue;
    }
    // An "=" needs up to two more characters to be understood; at the end
    // of a block they are waited for.
    if (!AFinal && n - i < 3) {
      Carry.assign(in, i, std::string::npos);
      break;
    }
    if (i + 1 < n && in[i + 1] == '\n') {
      i += 2;  // soft line break with a bare LF
    } else if (i + 2 < n && in[i + 1] == '\r' && in[i + 2] == '\n') {
      i += 3;  // soft line break (RFC 2045 6.7 rule 5)
    } else if (i + 2 < n && HexValue(in[i + 1]) >= 0 && HexValue(in[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(in[i + 1]) * 16 + HexValue(in[i + 2]));
      i += 3;
    } else {
      out += '=';  // not an escape: kept as it stands
      ++i;
    }
  }
  if (!out.empty()) OutputData(std::move(out));
}

// --------------------------------------------------------------- registry

void TIdCoderCollection::RegisterCoder(TIdCoderClass AClass, uint8_t AKind, uint8_t APriority,
                                       std::string AContentTransferEncoding,
                                       std::string AContentType) {
  Items.push_back(TIdCoderItem{std::move(AClass), AKind, APriority,
                               std::move(AContentTransferEncoding), std::move(AContentType)});
}

const TIdCoderItem& TIdCoderCollection::FindCoder(std::string_view AContentType,
                                                  std::string_view AContentTransferEncoding,
                                                  uint8_t AKind) const {
  using text::SameText;
  for (const TIdCoderItem& i : Items)
    if (i.Kind == AKind && SameText(i.ContentTransferEncoding, AContentTransferEncoding) &&
        SameText(i.ContentType, AContentType))
      return i;
  if (!AContentTransferEncoding.empty())
    for (const TIdCoderItem& i : Items)
      if (i.Kind == AKind && SameText(i.ContentTransferEncoding, AContentTransferEncoding))
        return i;
  if (!AContentType.empty())
    for (const TIdCoderItem& i : Items)
      if (i.Kind == AKind && SameText(i.ContentType, AContentType)) return i;
  for (const TIdCoderItem& i : Items)
    if (i.Kind == AKind && i.ContentTransferEncoding.empty() &&
        SameText(i.ContentType, "application/octet-stream"))
      return i;
  // The standard entries always hold the pass-through coder of both kinds.
  return Items.front();
}

TIdCoderCollection& CoderCollection() {
  static TIdCoderCollection registry = [] {
    TIdCoderCollection r;
    const uint8_t E = CoderKindEncoder;
    const uint8_t D = CoderKindDecoder;
    r.RegisterCoder(CoderClassOf<TIdCoder>("TIdCoder"), E, 0, "", "application/octet-stream");
    r.RegisterCoder(CoderClassOf<TIdCoder>("TIdCoder"), D, 0, "", "application/octet-stream");
    r.RegisterCoder(CoderClassOf<TIdBase64Encoder>("TIdBase64Encoder"), E, 0, "base64", "");
    r.RegisterCoder(CoderClassOf<TIdBase64Decoder>("TIdBase64Decoder"), D, 0, "base64", "");
    r.RegisterCoder(CoderClassOf<TIdUUEncoder>("TIdUUEncoder"), E, 0, "x-uu", "");
    r.RegisterCoder(CoderClassOf<TIdUUDecoder>("TIdUUDecoder"), D, 0, "x-uu", "");
    r.RegisterCoder(CoderClassOf<TIdXXEncoder>("TIdXXEncoder"), E, 0, "x-xx", "");
    r.RegisterCoder(CoderClassOf<TIdXXDecoder>("TIdXXDecoder"), D, 0, "x-xx", "");
    for (const char* te : {"7bit", "8bit", "binary"})
      r.RegisterCoder(CoderClassOf<TIdCoder>("TIdCoder"), D, 0, te, "");
    r.RegisterCoder(CoderClassOf<TIdIMFDecoder>("TIdIMFDecoder"), D, 0, "8bit", "text/");
    r.RegisterCoder(CoderClassOf<TIdQuotedPrintableEncoder>("TIdQuotedPrintableEncoder"), E, 0,
                    "quoted-printable", "");
    r.RegisterCoder(CoderClassOf<TIdQuotedPrintableDecoder>("TIdQuotedPrintableDecoder"), D, 0,
                    "quoted-printable", "");
    return r;
  }();
  return registry;
}

void RegisterCoder(TIdCoderClass AClass, uint8_t AKind, uint8_t APriority,
                   std::string AContentTransferEncoding, std::string AContentType) {
  CoderCollection().RegisterCoder(std::move(AClass), AKind, APriority,
                                  std::move(AContentTransferEncoding), std::move(AContentType));
}

const TIdCoderItem& FindCoder(std::string_view AContentType,
                              std::string_view AContentTransferEncoding, uint8_t AKind) {
  return CoderCollection().FindCoder(AContentType, AContentTransferEncoding, AKind);
}

std::string EncodeBase64Text(std::string_view AText) {
  TIdBase64Encoder coder;
  // Each answer starts with the record kind "0;".
  std::string result;
  for (const std::string& part : {coder.CodeText(AText), coder.EndInput()})
    if (part.size() > 2) result.append(part, 2, std::string::npos);
  return result;
}
