// libFuzzer target for the mail layer's decoders and parsers, and for the
// properties the writer must keep whatever the content. The first byte picks
// the target; the rest is its input.
//
//   0  base64 decoder (fed in pieces), 1 quoted-printable decoder,
//   2  UU or XX decoder (each of 0 to 2 run again after a reset must give the
//      same output), 3 address list and address text reader,
//   4  base64 and quoted-printable encode/decode round trip,
//   5  message writer: subject, name, body lines and (with parts) an
//      attachment from the input, under one of several locales; the data must
//      stay transparent (no bare CR or LF, no line ".") and every header line a
//      header or a continuation.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string>
#include <string_view>

#include "net/mail/IdCoder.h"
#include "net/mail/IdMessage.h"
#include "net/mail/IdMessageClient.h"
#include "platform/TempFile.h"

namespace {

void Check(bool Ok) {
  if (!Ok) std::abort();
}

std::string Run(TIdCoder& C, std::string_view In, size_t Piece) {
  std::string out;
  auto take = [&out](const std::string& s) {
    if (s.size() > 2) out.append(s, 2, std::string::npos);
  };
  for (size_t i = 0; i < In.size(); i += Piece) take(C.CodeText(In.substr(i, Piece)));
  take(C.EndInput());
  return out;
}

// A reset coder codes the same input to the same output: nothing of the first
// run stays behind.
void DecodesAgainAfterReset(TIdCoder& C, std::string_view In, size_t Piece) {
  const std::string first = Run(C, In, Piece);
  C.ResetCoder();
  Check(Run(C, In, Piece) == first);
}

struct Capture : TIdMessageClient {
  void WriteText(const std::string& AText) override { Out += AText; }
  std::string Out;
};

void WriterKeepsTransparency(std::string_view In, uint8_t Flags) {
  static Capture c;
  c.Out.clear();
  c.TextCharset = (Flags & 1) ? "CP1252" : "UTF-8";
  // The user's locale picks the header charset (ISO-2022-JP for Japanese with
  // a non-UTF-8 text charset).
  static const char* const kLocales[][2] = {
      {"", ""}, {"ja", "JP"}, {"zh", "CN"}, {"zh", "TW"}, {"ko", "KR"}};
  const auto& locale = kLocales[(Flags >> 2) % std::size(kLocales)];
  c.LocaleLanguage = locale[0];
  c.LocaleTerritory = locale[1];
  TIdMessage m;
  // The attachment's file, removed when the message is written or fails to be.
  struct TempInput {
    std::string Path;
    ~TempInput() {
      if (!Path.empty()) files::DeleteFile(Path);
    }
  } attachment;
  size_t third = In.size() / 3;
  m.Subject = std::string(In.substr(0, third));
  m.From.Name = std::string(In.substr(third, third));
  m.From.Address = "a@example.test";
  m.References = std::string(In.substr(0, third));
  m.Sender.Address = std::string(In.substr(third, third));
  m.Recipients.Add().Address = std::string(In.substr(2 * third));
  m.ExtraHeaders.SetValueOf("X-Mailer", "fuzz");
  m.Body.SetText(std::string(In.substr(2 * third)));
  m.Body.Add(std::string(In));  // raw, CR and LF included
  if (Flags & 2) {
    m.MessageParts.Add<TIdText>().Body.Add(std::string(In));
    m.MessageParts.Add<TIdText>().Body.Add(std::string(In.substr(third)));
  }
  // For every fourth input length, an attachment whose file holds the input, in
  // one of the transfer encodings (7bit copies it through the data's
  // transparency rules); the file costs more than the rest of the run.
  if ((Flags & 2) && In.size() % 4 == 0) {
    const std::string path = files::CreateTempFile("CrvFuzz");
    // A file that could not be written whole would make the checks below
    // judge the writer by a wrong input: the run stops instead.
    FILE* f = std::fopen(path.c_str(), "wb");
    Check(f != nullptr);
    const bool written = std::fwrite(In.data(), 1, In.size(), f) == In.size();
    Check(std::fclose(f) == 0 && written);
    static const char* const kTransfers[] = {"base64", "quoted-printable", "7bit"};
    auto& a = m.MessageParts.Add<TIdAttachment>();
    a.FileName = path;
    a.SetContentTransfer(kTransfers[In.size() % std::size(kTransfers)]);
    attachment.Path = path;
  }
  c.WriteMessage(m);
  const std::string& o = c.Out;
  bool inHeader = true;
  size_t p = 0;
  while (p < o.size()) {
    size_t e = o.find("\r\n", p);
    Check(e != std::string::npos);  // everything ends with CR LF
    std::string_view line(o.data() + p, e - p);
    Check(line.find_first_of("\r\n") == std::string_view::npos);
    Check(line != ".");
    if (!line.empty() && line[0] == '.') Check(line.size() > 1 && line[1] == '.');
    if (inHeader) {
      if (line.empty()) {
        inHeader = false;
      } else if (line[0] != ' ' && line[0] != '\t') {
        // A field name (RFC 5322 2.2: printable, no blank) and its colon.
        size_t colon = line.find(':');
        Check(colon != std::string_view::npos && colon > 0);
        for (char ch : line.substr(0, colon)) Check(ch > 32 && ch < 127);
        // Only the fields the writer makes: nothing from the content can
        // start a field of its own.
        static const std::string_view kFields[] = {
            "From",   "Subject", "To",         "Content-Type", "MIME-Version", "References",
            "Sender", "Date",    "X-Priority", "X-Library",    "X-Mailer"};
        Check(std::find(std::begin(kFields), std::end(kFields), line.substr(0, colon)) !=
              std::end(kFields));
      }
    }
    p = e + 2;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size == 0) return 0;
  const uint8_t sel = Data[0];
  const std::string_view in(reinterpret_cast<const char*>(Data + 1), Size - 1);
  const size_t piece = 1 + (sel >> 3);  // 1..32 bytes per CodeText call
  try {
    switch (sel % 6) {
      case 0: {
        TIdBase64Decoder d;
        d.SetBufferSize(static_cast<int>(piece));
        DecodesAgainAfterReset(d, in, piece);
        break;
      }
      case 1: {
        TIdQuotedPrintableDecoder d;
        d.SetBufferSize(static_cast<int>(piece));
        DecodesAgainAfterReset(d, in, piece);
        break;
      }
      case 2: {
        if ((sel >> 3) & 1) {
          TIdXXDecoder d;
          DecodesAgainAfterReset(d, in, piece);
        } else {
          TIdUUDecoder d;
          DecodesAgainAfterReset(d, in, piece);
        }
        break;
      }
      case 3: {
        TIdEMailAddressList l;
        l.SetEMailAddresses(in);
        for (int i = 0; i < l.Count(); ++i) {
          TIdEMailAddressItem again;
          again.SetText(l[i].GetText());
        }
        break;
      }
      case 4: {
        TIdBase64Encoder be;
        be.SetBufferSize(static_cast<int>(piece));
        TIdBase64Decoder bd;
        Check(Run(bd, Run(be, in, piece), 4096) == in);
        TIdQuotedPrintableEncoder qe;
        qe.SetBufferSize(static_cast<int>(piece));
        TIdQuotedPrintableDecoder qd;
        Check(Run(qd, Run(qe, in, piece), piece) == in);
        // The one-call form the mail client's authentication uses.
        TIdBase64Decoder bd2;
        Check(Run(bd2, EncodeBase64Text(in), 4096) == in);
        break;
      }
      case 5:
        WriterKeepsTransparency(in, static_cast<uint8_t>(sel >> 3));
        break;
    }
  } catch (const EIdTableNotFound&) {
    // The decoders' one expected failure on foreign characters.
  }
  return 0;
}
