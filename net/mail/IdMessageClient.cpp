// The message writer: RFC 822 header, RFC 2047 encoded words, RFC 2045/2046
// multipart bodies, RFC 1468 ISO-2022-JP, RFC 5321 4.5.2 transparency.
#include "net/mail/IdMessageClient.h"

#include <cmath>

#include "net/mail/IdCoder.h"
#include "net/transport/IdGlobal.h"
#include "platform/Locale.h"
#include "platform/Stream.h"
#include "platform/TempFile.h"
#include "platform/Text.h"

namespace {

enum class CharKind { Single, Utf8, ShiftJis, Dbcs };

CharKind KindOfTexts(const std::string& ACharset, THeaderTransfer ATransfer) {
  using text::SameText;
  if (ATransfer == THeaderTransfer::Iso2022Jp) return CharKind::ShiftJis;
  if (SameText(ACharset, "UTF-8") || SameText(ACharset, "CP65001")) return CharKind::Utf8;
  if (SameText(ACharset, "CP932") || SameText(ACharset, "Shift_JIS")) return CharKind::ShiftJis;
  if (SameText(ACharset, "CP936") || SameText(ACharset, "CP949") || SameText(ACharset, "CP950"))
    return CharKind::Dbcs;
  return CharKind::Single;
}

bool Between(unsigned char c, int lo, int hi) {
  return c >= lo && c <= hi;
}

// Length of the character that starts at S[I] in the texts' encoding (a
// malformed sequence counts byte by byte, so nothing is ever skipped).
size_t CharLength(std::string_view S, size_t I, CharKind K) {
  auto c = static_cast<unsigned char>(S[I]);
  size_t left = S.size() - I;
  switch (K) {
    case CharKind::Utf8: {
      size_t n = c < 0xC0 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : c < 0xF8 ? 4 : 1;
      size_t k = 1;
      while (k < n && k < left && (static_cast<unsigned char>(S[I + k]) & 0xC0) == 0x80) ++k;
      return k;
    }
    case CharKind::ShiftJis: {
      if ((Between(c, 129, 159) || Between(c, 224, 252)) && left >= 2) return 2;
      // A half-width kana and its sound mark become one character.
      if (Between(c, 161, 221) && left >= 2 &&
          (static_cast<unsigned char>(S[I + 1]) == 222 ||
           static_cast<unsigned char>(S[I + 1]) == 223))
        return 2;
      return 1;
    }
    case CharKind::Dbcs:
      return (Between(c, 0x81, 0xFE) && left >= 2) ? 2 : 1;
    case CharKind::Single:
      break;
  }
  return 1;
}

bool IsHeaderBlank(char c) {
  return c == ' ' || c == '\t';
}

// A value written into a header as it stands: each CR or LF becomes a blank,
// so that the header list cannot fold it into a line of its own (which would
// be a new header field).
std::string RawHeaderValue(std::string_view AValue) {
  std::string v(AValue);
  for (char& c : v)
    if (c == '\r' || c == '\n') c = ' ';
  return v;
}

// Codes 0 to 31 (CR and LF among them) and 127 to 255 always need an encoded
// word; so do the caller's specials.
bool NeedsEncoding(char c, std::string_view ASpecials) {
  auto u = static_cast<unsigned char>(c);
  return u < 32 || u > 126 || ASpecials.find(c) != std::string_view::npos;
}

constexpr char kHexDigits[] = "0123456789ABCDEF";

// Full-width JIS X 0208 codes of the JIS X 0201 half-width katakana 161..223.
constexpr uint16_t kHalfKana[63] = {
    0x2123, 0x2156, 0x2157, 0x2122, 0x2126, 0x2572, 0x2521, 0x2523, 0x2525, 0x2527, 0x2529,
    0x2563, 0x2565, 0x2567, 0x2543, 0x213C, 0x2522, 0x2524, 0x2526, 0x2528, 0x252A, 0x252B,
    0x252D, 0x252F, 0x2531, 0x2533, 0x2535, 0x2537, 0x2539, 0x253B, 0x253D, 0x253F, 0x2541,
    0x2544, 0x2546, 0x2548, 0x254A, 0x254B, 0x254C, 0x254D, 0x254E, 0x254F, 0x2552, 0x2555,
    0x2558, 0x255B, 0x255E, 0x255F, 0x2560, 0x2561, 0x2562, 0x2564, 0x2566, 0x2568, 0x2569,
    0x256A, 0x256B, 0x256C, 0x256D, 0x256F, 0x2573, 0x212B, 0x212C};

// The voiced form (with the dakuten) of a full-width katakana, or 0.
uint16_t VoicedForm(uint16_t Code) {
  if (Code == 0x2526) return 0x2574;  // U -> VU
  if ((Code >= 0x252B && Code <= 0x2541 && (Code - 0x252B) % 2 == 0) || Code == 0x2544 ||
      Code == 0x2546 || Code == 0x2548)
    return static_cast<uint16_t>(Code + 1);  // KA..TO rows
  if (Code >= 0x254F && Code <= 0x255B && (Code - 0x254F) % 3 == 0)
    return static_cast<uint16_t>(Code + 1);  // HA..HO row
  return 0;
}

}  // namespace

TIdMessageClient::TIdMessageClient(TComponent* AOwner) : TIdTCPClient(AOwner) {
  TUserLocale l = UserDefaultLocale();
  LocaleLanguage = l.Language;
  LocaleTerritory = l.Territory;
  TextCharset = TextEncoding();
}

// ------------------------------------------------------------- data filter

void TIdMessageClient::WriteDataText(std::string_view AText) {
  std::string out;
  out.reserve(AText.size() + 16);
  for (char c : AText) {
    if (DataPendingCR) {
      // A CR is always followed by LF on the wire.
      DataPendingCR = false;
      out += '\n';
      DataLineStart = true;
      if (c == '\n') continue;
    }
    if (c == '\r') {
      out += '\r';
      DataPendingCR = true;
    } else if (c == '\n') {
      out += "\r\n";
      DataLineStart = true;
    } else {
      // RFC 5321 4.5.2: a line that begins with "." gets another one, so no
      // content line can read as the end of the data.
      if (DataLineStart && c == '.') out += '.';
      DataLineStart = false;
      out += c;
    }
  }
  if (!out.empty()) WriteText(out);
}

void TIdMessageClient::EnsureDataLineStart() {
  if (DataPendingCR || !DataLineStart) WriteDataText("\r\n");
}

void TIdMessageClient::WriteHeaderLines(const TStringList& ALines) {
  for (std::string line : ALines.Lines) {
    for (char& c : line)
      if (c == '\r' || c == '\n') c = ' ';
    // An empty (or blank) line would end the header here.
    if (text::Trim(line).empty()) continue;
    WriteDataLine(line);
  }
}

void TIdMessageClient::WriteBodyLines(const TStringList& ABody, bool AIso2022Jp) {
  for (const std::string& line : ABody.Lines) {
    // A line holding CR or LF is written as the separate lines it holds.
    size_t start = 0;
    for (;;) {
      size_t e = line.find_first_of("\r\n", start);
      std::string_view piece = std::string_view(line).substr(start, e - start);
      WriteDataLine(AIso2022Jp ? ConvertToIso2022Jp(piece) : std::string(piece));
      if (e == std::string::npos) break;
      start = e + ((line[e] == '\r' && e + 1 < line.size() && line[e + 1] == '\n') ? 2 : 1);
    }
  }
}

// ---------------------------------------------------------------- charset

THeaderCharset TIdMessageClient::SelectHeaderCharset() const {
  const std::string& lang = LocaleLanguage;
  bool cjk = lang == "zh" || lang == "ja" || lang == "ko";
  if (KindOfTexts(TextCharset, THeaderTransfer::Bit8) == CharKind::Utf8)
    return {THeaderTransfer::Bit8, cjk ? 'B' : 'Q', "UTF-8"};
  if (lang == "zh") {
    bool simplified = LocaleTerritory == "CN" || LocaleTerritory == "SG";
    return {THeaderTransfer::Bit8, 'B', simplified ? "GB2312" : "Big5"};
  }
  if (lang == "ja") return {THeaderTransfer::Iso2022Jp, 'B', "ISO-2022-JP"};
  if (lang == "ko") return {THeaderTransfer::Bit8, 'B', "EUC-KR"};
  return {THeaderTransfer::Bit8, 'Q', "ISO-8859-1"};
}

std::string TIdMessageClient::EncodeHeaderText(std::string_view AText, std::string_view ASpecials,
                                               const THeaderCharset& ACharset) const {
  const bool iso = ACharset.Transfer == THeaderTransfer::Iso2022Jp;
  const CharKind kind = KindOfTexts(TextCharset, ACharset.Transfer);
  const std::string opening = "=?" + ACharset.Charset + "?" + ACharset.Letter + "?";
  // The running length of a word with no payload yet: its opening and the
  // closing "?=" still to come.
  const size_t emptyWord = opening.size() + 2;
  const bool letterQ = ACharset.Letter == 'Q' || ACharset.Letter == 'q';

  auto quoted = [&](unsigned char c) {
    return NeedsEncoding(static_cast<char>(c), ASpecials) || c == '=' || c == '?' || c == '_';
  };
  // Length of BYTES as a word's payload: with Q one or three characters per
  // byte, with B four characters per group of three bytes (the last padded).
  auto encodedLength = [&](std::string_view bytes) {
    if (!letterQ) return (bytes.size() + 2) / 3 * 4;
    size_t n = 0;
    for (char c : bytes) n += quoted(static_cast<unsigned char>(c)) ? 3 : 1;
    return n;
  };
  auto payload = [&](std::string_view bytes) {
    if (!letterQ) return EncodeBase64Text(bytes);
    std::string out;
    for (char ch : bytes) {
      auto c = static_cast<unsigned char>(ch);
      if (c == ' ') {
        out += '_';
      } else if (quoted(c)) {
        out += '=';
        out += kHexDigits[c >> 4];
        out += kHexDigits[c & 15];
      } else {
        out += ch;
      }
    }
    return out;
  };
  // The bytes a word carries for S[a..b): ISO-2022-JP converts each word on
  // its own, so that every word opens and closes its own two-byte stretch.
  auto wordBytes = [&](size_t a, size_t b) {
    return iso ? ConvertToIso2022Jp(AText.substr(a, b - a)) : std::string(AText.substr(a, b - a));
  };

  std::string result;
  // Writes S[a..b) as encoded words (RFC 2047 2 and 5). A word grows by whole
  // characters while its running length stays within 75; the character that
  // would pass 75 starts a new word after "?=", CR LF and a TAB. With Q the
  // pieces of a character's bytes go into one word; with B the bytes go three
  // at a time into groups of four characters, so a word of whole groups holds
  // as many bytes as fit. A multi-byte character is never split between two
  // words: when the last group that fits would end inside a character, the
  // word ends before that character with its last group padded, and the next
  // word begins with the whole character.
  auto closeRun = [&](size_t a, size_t b) {
    result += opening;
    size_t wordStart = a;
    size_t i = a;
    while (i < b) {
      const size_t next = std::min(CharLength(AText, i, kind), b - i) + i;
      const size_t running = emptyWord + encodedLength(wordBytes(wordStart, next));
      if (i > wordStart && running > static_cast<size_t>(mime::kMaxEncodedWord)) {
        result += payload(wordBytes(wordStart, i));
        result += "?=\r\n\t";
        result += opening;
        wordStart = i;
      }
      i = next;
    }
    result += payload(wordBytes(wordStart, b));
    result += "?=";
  };

  const size_t L = AText.size();
  size_t P = 0;
  bool runOpen = false;
  size_t runStart = 0;
  while (P < L) {
    size_t Q = P;
    while (Q < L && IsHeaderBlank(AText[Q])) ++Q;
    size_t R = Q;
    bool encode = false;
    while (R < L && !IsHeaderBlank(AText[R])) {
      if (NeedsEncoding(AText[R], ASpecials)) encode = true;
      ++R;
    }
    if (encode) {
      if (!runOpen) {
        result.append(AText.substr(P, Q - P));
        runOpen = true;
        runStart = Q;
      }
    } else {
      if (runOpen) {
        closeRun(runStart, P);
        runOpen = false;
      }
      result.append(AText.substr(P, R - P));
    }
    P = R;
  }
  if (runOpen) closeRun(runStart, L);
  return result;
}

std::string TIdMessageClient::FormatAddress(const TIdEMailAddressItem& AItem,
                                            const THeaderCharset& ACharset) const {
  std::string address = RawHeaderValue(AItem.Address);
  if (AItem.Name.empty()) return address;
  bool plain = true;
  for (char c : AItem.Name)
    if (static_cast<unsigned char>(c) < 32 || static_cast<unsigned char>(c) > 126) plain = false;
  std::string name;
  if (plain) {
    // An RFC 822 quoted-string: backslash before backslash and double quote.
    name = "\"";
    for (char c : AItem.Name) {
      if (c == '\\' || c == '"') name += '\\';
      name += c;
    }
    name += '"';
  } else {
    name = EncodeHeaderText(AItem.Name, mime::kAddressSpecials, ACharset);
  }
  return name + " <" + address + ">";
}

std::string TIdMessageClient::FormatAddressList(const TIdEMailAddressList& AList,
                                                const THeaderCharset& ACharset) const {
  std::string out;
  for (int i = 0; i < AList.Count(); ++i) {
    if (i > 0) out += ", ";
    out += FormatAddress(AList.Item(i), ACharset);
  }
  return out;
}

// ------------------------------------------------------------------- dates

std::string TIdMessageClient::FormatZoneOffset(TDateTime AOffset, bool AUseGMT) {
  constexpr double kMinutesPerDay = 1440.0;
  long minutes = std::lround(std::fabs(AOffset) * kMinutesPerDay);
  if (AUseGMT && minutes == 0) return "GMT";
  std::string s = text::Format(" %0.2ld%0.2ld", minutes / 60, minutes % 60);
  s[0] = (AOffset < 0 && minutes != 0) ? '-' : '+';
  return s;
}

std::string TIdMessageClient::FormatMailDate(TDateTime ADate) {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  int y = 0;
  int mo = 0;
  int d = 0;
  int h = 0;
  int mi = 0;
  int s = 0;
  int ms = 0;
  DecodeDate(ADate, y, mo, d);
  DecodeTime(ADate, h, mi, s, ms);
  if (mo < 1 || mo > 12) mo = 1;
  std::string zone = FormatZoneOffset(LocalUtcOffset(), false);
  return text::Format("%s, %d %s %d %s %s", kDays[DayOfWeek(ADate) - 1], d, kMonths[mo - 1], y,
                      text::Format("%02d:%02d:%02d", h, mi, s).c_str(), zone.c_str());
}

// ---------------------------------------------------------- ISO-2022-JP

std::string TIdMessageClient::ConvertToIso2022Jp(std::string_view AText) {
  static constexpr char kToJis[] = "\x1b$B";
  static constexpr char kToAscii[] = "\x1b(B";
  std::string out;
  out.reserve(AText.size() + 8);
  bool open = false;
  auto two = [&](int b1, int b2) {
    if (!open) {
      out += kToJis;
      open = true;
    }
    out += static_cast<char>(b1);
    out += static_cast<char>(b2);
  };
  const size_t n = AText.size();
  for (size_t i = 0; i < n; ++i) {
    auto c = static_cast<unsigned char>(AText[i]);
    if (c < 128) {
      if (open) {
        out += kToAscii;
        open = false;
      }
      out += static_cast<char>(c);
    } else if (Between(c, 129, 159) || Between(c, 224, 239)) {
      if (i + 1 >= n) break;  // a lead byte without its trail byte
      auto t = static_cast<unsigned char>(AText[++i]);
      if (!(Between(t, 64, 126) || Between(t, 128, 252))) continue;
      int lead = c >= 224 ? c - 64 : c;
      int b1 = (lead - 129) * 2 + 33;
      int b2;
      if (t >= 159) {
        ++b1;
        b2 = t - 126;
      } else if (t >= 128) {
        b2 = t - 32;
      } else {
        b2 = t - 31;
      }
      two(b1, b2);
    } else if (Between(c, 161, 223)) {
      uint16_t code = kHalfKana[c - 161];
      if (i + 1 < n) {
        auto mark = static_cast<unsigned char>(AText[i + 1]);
        uint16_t voiced = VoicedForm(code);
        if (mark == 222 && voiced) {
          code = voiced;
          ++i;
        } else if (mark == 223 && voiced >= 0x2550 && voiced <= 0x255C) {
          code = static_cast<uint16_t>(voiced + 1);
          ++i;
        }
      }
      two(code >> 8, code & 0xFF);
    } else if (Between(c, 240, 252)) {
      ++i;  // user-defined area: dropped with its trail byte
    }
    // 128, 160 and 253..255 are dropped.
  }
  if (open) out += kToAscii;
  return out;
}

// ----------------------------------------------------------------- header

TPartCounts TIdMessageClient::CountParts(const TIdMessage& AMsg) {
  TPartCounts c;
  for (int i = 0; i < AMsg.MessageParts.Count(); ++i) {
    TIdMessagePart& p = AMsg.MessageParts.Item(i);
    if (dynamic_cast<TIdText*>(&p)) {
      ++c.Texts;
    } else if (dynamic_cast<TIdAttachment*>(&p)) {
      ++c.Attachments;
      if (!p.ExtraHeaders.ValueOf("Content-ID").empty()) ++c.RelatedAttachments;
    }
  }
  return c;
}

std::string TIdMessageClient::SettledContentType(const TIdMessage& AMsg,
                                                 const TPartCounts& ACounts) {
  std::string value;
  if (ACounts.RelatedAttachments > 0)
    value = mime::kRelatedType;
  else if (ACounts.Attachments > 0)
    value = mime::kMixedType;
  else if (ACounts.Texts > 0)
    value = mime::kAlternativeType;
  else
    value = AMsg.ContentType;
  return value.empty() ? AMsg.CharSet : value + ";" + AMsg.CharSet;
}

std::unique_ptr<TIdHeaderList> TIdMessageClient::BuildHeaderList(TIdMessage& AMsg) {
  const THeaderCharset cs = SelectHeaderCharset();
  const TPartCounts counts = CountParts(AMsg);
  // The date first: when the time zone is unknown nothing is built.
  const std::string date = FormatMailDate(AMsg.Date == 0 ? SystemNow() : AMsg.Date);

  std::string groups;
  if (AMsg.NewsGroups.Count() == 1 && AMsg.NewsGroups.Strings(0).empty()) {
    groups = "\"\"";
  } else {
    for (int i = 0; i < AMsg.NewsGroups.Count(); ++i) {
      const std::string& g = AMsg.NewsGroups.Strings(i);
      bool quote = false;
      for (char c : g)
        if (static_cast<unsigned char>(c) < 32 || c == ' ' || c == ',' || c == '"') quote = true;
      if (i > 0) groups += ',';
      if (!quote) {
        groups += g;
        continue;
      }
      groups += '"';
      for (char c : g) {
        if (c == '"') groups += '"';
        groups += c;
      }
      groups += '"';
    }
  }

  auto h = std::make_unique<TIdHeaderList>();
  h->SetValueOf("From", FormatAddress(AMsg.From, cs));
  h->SetValueOf("Subject", EncodeHeaderText(AMsg.Subject, "", cs));
  h->SetValueOf("To", FormatAddressList(AMsg.Recipients, cs));
  h->SetValueOf("Cc", FormatAddressList(AMsg.CCList, cs));
  h->SetValueOf("Newsgroups", RawHeaderValue(groups));
  h->SetValueOf("Content-Type", RawHeaderValue(SettledContentType(AMsg, counts)));
  if (AMsg.MessageParts.Count() > 0) h->SetValueOf("MIME-Version", "1.0");
  h->SetValueOf("Content-Transfer-Encoding", RawHeaderValue(AMsg.ContentTransferEncoding));
  h->SetValueOf("Sender", RawHeaderValue(AMsg.Sender.GetText()));
  h->SetValueOf("Reply-To", FormatAddressList(AMsg.ReplyTo, cs));
  h->SetValueOf("Organization", EncodeHeaderText(AMsg.Organization, "", cs));
  h->SetValueOf("Disposition-Notification-To", FormatAddress(AMsg.ReceiptRecipient, cs));
  h->SetValueOf("References", RawHeaderValue(AMsg.References));
  h->SetValueOf("Date", date);
  h->SetValueOf("X-Priority", std::to_string(static_cast<int>(AMsg.Priority) + 1));
  h->SetValueOf("X-Library", mime::kLibrary);
  for (const std::string& line : AMsg.ExtraHeaders.Lines) h->Add(line);
  return h;
}

TPartCounts TIdMessageClient::WriteHeader(TIdMessage& AMsg) {
  TPartCounts counts = CountParts(AMsg);
  std::unique_ptr<TIdHeaderList> h = BuildHeaderList(AMsg);
  WriteHeaderLines(*h);
  return counts;
}

void TIdMessageClient::WriteMessage(TIdMessage& AMsg) {
  ResetDataFilter();
  TPartCounts counts = WriteHeader(AMsg);
  if (counts.Texts == 1) {
    EnsureDataLineStart();
    throw EIdTextInvalidCount();
  }
  WriteDataLine("");
  WriteBody(AMsg, counts);
  EnsureDataLineStart();
}

// ------------------------------------------------------------------- body

void TIdMessageClient::WriteBody(TIdMessage& AMsg, const TPartCounts& ACounts) {
  const THeaderCharset cs = SelectHeaderCharset();
  const bool iso = cs.Transfer == THeaderTransfer::Iso2022Jp;
  StartWork(WorkWrite, 0);
  struct Finish {
    TIdMessageClient* C;
    ~Finish() { C->FinishWork(WorkWrite); }
  } finish{this};

  auto eachPart = [&AMsg](auto&& F) {
    for (int i = 0; i < AMsg.MessageParts.Count(); ++i) F(AMsg.MessageParts.Item(i));
  };
  auto writeTexts = [&](const char* ADelimiter) {
    eachPart([&](TIdMessagePart& p) {
      if (auto* t = dynamic_cast<TIdText*>(&p)) {
        WriteDataLine(ADelimiter);
        SignalStatus(TIdStatus::StatusText, "Encoding text");
        WriteTextPart(*t);
      }
    });
  };

  if (ACounts.Attachments == 0 && ACounts.Texts == 0) {
    SignalStatus(TIdStatus::StatusText, "Encoding text");
    WriteBodyLines(AMsg.Body, iso);
    return;
  }
  WriteDataLine(mime::kPreamble);
  WriteDataLine("");
  if (ACounts.Attachments == 0) {
    writeTexts((std::string("--") + mime::kBoundary).c_str());
    WriteDataLine(std::string("--") + mime::kBoundary + "--");
    return;
  }
  const std::string B = ACounts.RelatedAttachments > 0 ? mime::kRelatedBoundary : mime::kBoundary;
  WriteDataLine("--" + B);
  if (ACounts.Texts == 0) {
    WriteDataLine("Content-Type: text/plain");
    WriteDataLine("Content-Transfer-Encoding: 7bit");
    WriteDataLine("");
    WriteBodyLines(AMsg.Body, false);
  } else if (ACounts.Texts >= 2) {
    WriteDataLine("Content-Type: multipart/alternative; ");
    WriteDataLine(std::string("        boundary=\"") + mime::kAltBoundary + "\"");
    WriteDataLine("");
    writeTexts((std::string("--") + mime::kAltBoundary).c_str());
    WriteDataLine(std::string("--") + mime::kAltBoundary + "--");
  }
  eachPart([&](TIdMessagePart& p) {
    if (auto* a = dynamic_cast<TIdAttachment*>(&p)) {
      WriteDataLine("");
      WriteDataLine("--" + B);
      SignalStatus(TIdStatus::StatusText, "Encoding attachment");
      WriteAttachment(*a);
    }
  });
  WriteDataLine("--" + B + "--");
}

void TIdMessageClient::WriteTextPart(TIdText& APart) {
  if (APart.GetContentType().empty()) APart.SetContentType("text/plain");
  if (APart.GetContentTransfer().empty()) APart.SetContentTransfer("quoted-printable");
  const std::string ct = APart.GetContentType();
  const std::string te = APart.GetContentTransfer();
  const bool iso = SelectHeaderCharset().Transfer == THeaderTransfer::Iso2022Jp;
  TStringList head;
  head.Add("Content-Type: " + ct);
  head.Add("Content-Transfer-Encoding: " + te);
  WriteHeaderLines(head);
  WriteHeaderLines(APart.ExtraHeaders);
  WriteDataLine("");

  std::unique_ptr<TIdCoder> coder = FindCoder(ct, te, CoderKindEncoder).CoderClass.Create(nullptr);
  if (dynamic_cast<TId3To4Coder*>(coder.get())) {
    // Base64 text in lines of 76 characters (RFC 2045 6.8).
    coder->AddLineEnd = true;
    coder->SetBufferSize(coder_limits::kBase64LineBytes);
  }
  auto put = [&](const std::string& out) {
    if (out.size() <= 2) return;  // nothing after the record kind "0;"
    std::string_view data = std::string_view(out).substr(2);
    WriteDataText(iso ? ConvertToIso2022Jp(data) : std::string(data));
  };
  for (const std::string& line : APart.Body.Lines) {
    // The pieces between CR and LF characters are separate lines.
    size_t start = 0;
    for (;;) {
      size_t e = line.find_first_of("\r\n", start);
      put(coder->CodeText(line.substr(start, e == std::string::npos ? e : e - start) + "\r\n"));
      if (e == std::string::npos) break;
      start = e + ((line[e] == '\r' && e + 1 < line.size() && line[e + 1] == '\n') ? 2 : 1);
    }
  }
  put(coder->EndInput());
  EnsureDataLineStart();
  WriteDataLine("");
}

void TIdMessageClient::WriteAttachment(TIdAttachment& APart) {
  if (APart.GetContentTransfer().empty()) APart.SetContentTransfer("base64");
  if (APart.GetContentDisposition().empty()) APart.SetContentDisposition("attachment");
  if (text::SameText(APart.GetContentTransfer(), "base64") && APart.GetContentType().empty())
    APart.SetContentType("application/octet-stream");
  const std::string ct = APart.GetContentType();
  const std::string te = APart.GetContentTransfer();

  APart.StoredPathName = files::CreateTempFile("Crv");
  struct Remove {
    std::string Path;
    ~Remove() { files::DeleteFile(Path); }
  } remove{APart.StoredPathName};

  {
    TFileStream in(APart.FileName, TFileStream::Mode::OpenRead);
    TFileStream out(APart.StoredPathName, TFileStream::Mode::Create);
    std::unique_ptr<TIdCoder> coder =
        FindCoder(ct, te, CoderKindEncoder).CoderClass.Create(nullptr);
    // Three-to-four coders make one line of each 57-byte piece; the others
    // (quoted-printable makes its own lines, 7bit/8bit pass through) get the
    // content as it is, since added line ends would change it.
    const bool perLine = dynamic_cast<TId3To4Coder*>(coder.get()) != nullptr;
    coder->AddLineEnd = perLine;
    coder->CompleteOnEachCall = perLine;
    auto put = [&out](const std::string& s) {
      if (s.size() > 2) out.Write(s.data() + 2, static_cast<int64_t>(s.size() - 2));
    };
    char piece[coder_limits::kBase64LineBytes];
    for (;;) {
      int64_t n = in.Read(piece, sizeof piece);
      if (n <= 0) break;
      put(coder->CodeText(std::string_view(piece, static_cast<size_t>(n))));
    }
    if (!perLine) put(coder->EndInput());
    // The part is sent from this file: a write the disk refused must fail
    // here, not leave a shorter attachment to go out as if whole.
    out.Flush();
  }

  std::string F = APart.FileName;
  if (size_t slash = F.find_last_of("/\\"); slash != std::string::npos) F.erase(0, slash + 1);
  // The name goes into RFC 822 quoted-strings: a backslash before "\" and '"'.
  for (size_t i = 0; i < F.size(); ++i)
    if (F[i] == '"' || F[i] == '\\') F.insert(i++, 1, '\\');
  TStringList head;
  head.Add("Content-Type: " + ct + ";");
  head.Add("        name=\"" + F + "\"");
  head.Add("Content-Transfer-Encoding: " + te);
  head.Add("Content-Disposition: " + APart.GetContentDisposition() + ";");
  head.Add("        filename=\"" + F + "\"");
  WriteHeaderLines(head);
  WriteHeaderLines(APart.ExtraHeaders);
  WriteDataLine("");
  {
    TFileStream encoded(APart.StoredPathName, TFileStream::Mode::OpenRead);
    // Large enough to move the file in few calls, small enough to stay flat.
    constexpr size_t kCopyChunk = 32768;
    std::string chunk(kCopyChunk, '\0');
    for (;;) {
      int64_t n = encoded.Read(chunk.data(), static_cast<int64_t>(chunk.size()));
      if (n <= 0) break;
      WriteDataText(std::string_view(chunk.data(), static_cast<size_t>(n)));
    }
  }
  EnsureDataLineStart();
  WriteDataLine("");
}
