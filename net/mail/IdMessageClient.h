#pragma once
// Writes a TIdMessage as the text sent after "Data": the header lines
// (RFC 822, with RFC 2047 encoded words), an empty line and the body, single
// part or MIME multipart (RFC 2045/2046).
//
// Everything written for a message passes one filter that keeps message
// content from ending the data early (RFC 5321 4.5.2): every line end is
// written as CR LF, a lone CR or LF becomes a line end of its own, and every
// line that begins with "." gets one more "." in front.
#include <memory>
#include <string>
#include <string_view>

#include "net/mail/IdMessage.h"
#include "net/transport/IdHeaderList.h"
#include "net/transport/IdTCPClient.h"

enum class THeaderTransfer { Bit8, Iso2022Jp };

// The charset of header texts, as SelectHeaderCharset chooses it.
struct THeaderCharset {
  THeaderTransfer Transfer = THeaderTransfer::Bit8;
  char Letter = 'Q';  // encoded-word encoding: 'Q' or 'B'
  std::string Charset;
};

// How many parts of each kind a message has (WriteHeader's count).
struct TPartCounts {
  int Attachments = 0;
  int RelatedAttachments = 0;  // attachments with a "Content-ID"
  int Texts = 0;
};

class EIdTextInvalidCount : public EIdException {
 public:
  EIdTextInvalidCount() : EIdException("Invalid Text count. TIdText must be greater than 1") {}
};

namespace mime {
// The boundaries and content types of the multipart shapes.
inline constexpr char kBoundary[] = "=_NextPart_2rfkcrvlsadvnqw3nerasdf";
inline constexpr char kRelatedBoundary[] = "=_NextPart_2relrfksadvnqcrvlw3nerasdf";
inline constexpr char kAltBoundary[] = "=_NextPart_2altrfkcrvlsadvnqw3nerasdf";
inline constexpr char kRelatedType[] =
    "multipart/related; type=\"multipart/alternative\"; "
    "boundary=\"=_NextPart_2relrfksadvnqcrvlw3nerasdf\"";
inline constexpr char kMixedType[] =
    "multipart/mixed; boundary=\"=_NextPart_2rfkcrvlsadvnqw3nerasdf\"";
inline constexpr char kAlternativeType[] =
    "multipart/alternative; boundary=\"=_NextPart_2rfkcrvlsadvnqw3nerasdf\"";
inline constexpr char kPreamble[] = "This is a multi-part message in MIME format";
inline constexpr char kLibrary[] = "Corvale Net 1.0";
// The RFC 822 specials, encoded inside display names.
inline constexpr char kAddressSpecials[] = "()<>@,;:\\\".[]";
// Longest encoded word (RFC 2047 section 2).
constexpr int kMaxEncodedWord = 75;
}  // namespace mime

class TIdMessageClient : public TIdTCPClient {
 public:
  explicit TIdMessageClient(TComponent* AOwner = nullptr);

  // Header, empty line, body. Raises EIdTextInvalidCount (after the header) for
  // a message with exactly one text part; file errors of attachments and the
  // connection's write errors pass unchanged.
  virtual void WriteMessage(TIdMessage& AMsg);
  // Counts the parts, settles the content type and writes the header lines.
  virtual TPartCounts WriteHeader(TIdMessage& AMsg);
  virtual void WriteBody(TIdMessage& AMsg, const TPartCounts& ACounts);
  // The header lines of AMsg (with the content type WriteHeader settles).
  // Raises EIdFailedToRetreiveTimeZoneInfo when the "Date" cannot be made.
  std::unique_ptr<TIdHeaderList> BuildHeaderList(TIdMessage& AMsg);
  void WriteTextPart(TIdText& APart);
  // Encodes the attachment's file into a temporary file ("Crv..." in the
  // temporary folder), writes it, and deletes it again, also after a failure.
  void WriteAttachment(TIdAttachment& APart);

  static TPartCounts CountParts(const TIdMessage& AMsg);
  static std::string SettledContentType(const TIdMessage& AMsg, const TPartCounts& ACounts);

  // The charset for header texts, chosen from Locale and TextCharset: under
  // UTF-8 texts "UTF-8" (B for Chinese, Japanese and Korean, else Q); under a
  // Windows code page by language: GB2312/Big5/EUC-KR with B, ISO-2022-JP with
  // B and the Shift-JIS conversion, else ISO-8859-1 with Q.
  THeaderCharset SelectHeaderCharset() const;
  // RFC 2047 encoded words for the words of AText that hold a control
  // character, a byte above 126 or one of ASpecials. A word never splits a
  // character of the texts' encoding, and never exceeds 75 characters; a run
  // that needs more goes on in a new word after "?=", CR LF and a TAB.
  std::string EncodeHeaderText(std::string_view AText, std::string_view ASpecials,
                               const THeaderCharset& ACharset) const;
  std::string FormatAddress(const TIdEMailAddressItem& AItem, const THeaderCharset& ACharset) const;
  std::string FormatAddressList(const TIdEMailAddressList& AList,
                                const THeaderCharset& ACharset) const;
  // RFC 822 date-time of ADate with the machine's current UTC offset, e.g.
  // "Sun, 6 Dec 2026 19:04:55 +0100".
  static std::string FormatMailDate(TDateTime ADate);
  // " +hhmm" / "-hhmm" of an offset (a signed time of day); "GMT" for 0 when
  // AUseGMT.
  static std::string FormatZoneOffset(TDateTime AOffset, bool AUseGMT);
  // Shift-JIS to ISO-2022-JP (RFC 1468).
  static std::string ConvertToIso2022Jp(std::string_view AText);

  // The user's locale (language "ja", territory "JP") and the encoding of the
  // message's texts ("UTF-8", or a Windows code page such as "CP1252",
  // "CP932"); taken from the platform at construction.
  std::string LocaleLanguage;
  std::string LocaleTerritory;
  std::string TextCharset;

 protected:
  // The one way message text reaches the connection: normalises line ends to
  // CR LF and doubles a "." that begins a line.
  void WriteDataText(std::string_view AText);
  void WriteDataLine(std::string_view AText) {
    // One write per line: the line and its end go out together.
    std::string line(AText);
    line += "\r\n";
    WriteDataText(line);
  }
  // Ends a line that is still open, so that what follows starts a line.
  void EnsureDataLineStart();
  // Header lines, with any CR or LF inside a line turned into a blank and
  // empty lines left out, so that no header line can end the header or add one.
  void WriteHeaderLines(const TStringList& ALines);
  void ResetDataFilter() {
    DataLineStart = true;
    DataPendingCR = false;
  }

 private:
  // Splits each body line at CR, LF or CR LF and writes the pieces as lines.
  void WriteBodyLines(const TStringList& ABody, bool AIso2022Jp);

  bool DataLineStart = true;
  bool DataPendingCR = false;
};
