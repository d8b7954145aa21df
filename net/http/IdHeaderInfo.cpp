// The header side of HTTP messages, kept apart from the connection so that it
// can be fed bytes directly (tests, fuzzing): request header lines, response
// header taking (RFC 9110 sections 8 and 14; Content-Length: RFC 9112 section
// 6.3), chunk-size lines (RFC 9112 section 7.1) and RFC 1123 dates (RFC 1123
// section 5.2.14, the RFC 822 date with a four-digit year). Basic credentials:
// RFC 7617 over the base64 of RFC 2045.
#include <array>
#include <climits>

#include "net/http/IdHTTP.h"
#include "net/transport/IdGlobal.h"
#include "platform/Exception.h"
#include "platform/Text.h"

const char* const TIdHeaderInfo::DefaultAccept = "text/html, */*";
const char* const TIdHeaderInfo::DefaultUserAgent = "Mozilla/3.0 (compatible; Corvale Net Library)";

namespace {

std::string Base64(std::string_view AIn) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((AIn.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= AIn.size(); i += 3) {
    uint32_t v = (static_cast<uint8_t>(AIn[i]) << 16) | (static_cast<uint8_t>(AIn[i + 1]) << 8) |
                 static_cast<uint8_t>(AIn[i + 2]);
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  const size_t rest = AIn.size() - i;
  if (rest > 0) {
    uint32_t v = static_cast<uint8_t>(AIn[i]) << 16;
    if (rest == 2) v |= static_cast<uint8_t>(AIn[i + 1]) << 8;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A non-negative decimal number without sign or blanks inside (RFC 9110
// section 8.6: Content-Length = 1*DIGIT); false for anything else and for a
// value beyond 63 bits.
bool ParseDecimalLength(std::string_view S, int64_t& AValue) {
  if (S.empty()) return false;
  int64_t v = 0;
  for (char c : S) {
    if (!IsDigit(c)) return false;
    const int d = c - '0';
    if (v > (INT64_MAX - d) / 10) return false;
    v = v * 10 + d;
  }
  AValue = v;
  return true;
}

int64_t RangeNumber(const std::string& S) {
  int64_t v;
  if (!text::TryStrToInt64(S, v)) throw EConvertError("'" + S + "' is not a valid integer value");
  return v;
}

}  // namespace

// ---------------------------------------------------------------------------
// TIdHeaderInfo

TIdHeaderInfo::TIdHeaderInfo() {
  ResetDefaults();
}

void TIdHeaderInfo::ResetDefaults() {
  Accept = DefaultAccept;
  UserAgent = DefaultUserAgent;
  ContentLength = ContentRangeStart = ContentRangeEnd = 0;
  HasContentLength = false;
  Date = LastModified = Expires = 0;
  ProxyPort = 0;
  for (std::string* s : {&AcceptCharSet, &Location, &Server, &Connection, &ContentVersion,
                         &WWWAuthenticate, &ContentEncoding, &ContentLanguage, &ContentType,
                         &ProxyServer, &ProxyUsername, &ProxyPassword, &ProxyAuthenticate})
    s->clear();
  ExtraHeaders.Clear();
}

void TIdHeaderInfo::WriteRequestHeaders(TIdHeaderList& AList) const {
  AList.Clear();
  // Lines are added raw: a request header is never folded (RFC 9112 section
  // 5.2 deprecates obsolete line folding).
  const std::pair<const char*, const std::string*> named[] = {
      {"Accept: ", &Accept},
      {"Accept-Charset: ", &AcceptCharSet},
      {"Accept-Encoding: ", &AcceptEncoding},
      {"Accept-Language: ", &AcceptLanguage},
      {"From: ", &From},
      {"Referer: ", &Referer},
      {"User-Agent: ", &UserAgent},
      {"Connection: ", &Connection},
      {"Content-Version: ", &ContentVersion},
      {"Content-Encoding: ", &ContentEncoding},
      {"Content-Language: ", &ContentLanguage},
      {"Content-Type: ", &ContentType},
  };
  for (const auto& [name, value] : named)
    if (!value->empty()) AList.Add(name + *value);
  if (ContentLength != 0) AList.Add("Content-Length: " + text::IntToStr(ContentLength));
  if (ContentRangeStart != 0 || ContentRangeEnd != 0) {
    std::string range =
        "Range: bytes=" + std::to_string(static_cast<uint64_t>(ContentRangeStart)) + "-";
    if (ContentRangeEnd != 0) range += std::to_string(static_cast<uint64_t>(ContentRangeEnd));
    AList.Add(range);
  }
  if (!Username.empty()) AList.Add("Authorization: Basic " + Base64(Username + ":" + Password));
  if (!ProxyServer.empty() && !ProxyUsername.empty())
    AList.Add("Proxy-Authorization: Basic " + Base64(ProxyUsername + ":" + ProxyPassword));
  AList.AddStrings(ExtraHeaders);
}

void TIdHeaderInfo::TakeResponseHeaders(TIdHeaderList& AList) {
  ExtraHeaders.Clear();
  auto take = [&AList](const char* AName) {
    std::string v = AList.ValueOf(AName);
    AList.SetValueOf(AName, "");
    return v;
  };
  Location = take("Location");
  Server = take("Server");
  Connection = take("Connection");
  ContentVersion = take("Content-Version");
  WWWAuthenticate = take("WWW-Authenticate");
  ContentEncoding = take("Content-Encoding");
  ContentLanguage = take("Content-Language");
  ContentType = take("Content-Type");

  // A length that is not a plain decimal number leaves the body's end unknown:
  // refusing it is the only safe reading (RFC 9112 section 6.3, point 5).
  const std::string length = text::Trim(take("Content-Length"));
  HasContentLength = !length.empty();
  ContentLength = 0;
  if (HasContentLength && !ParseDecimalLength(length, ContentLength))
    throw EIdHTTPProtocolError("Invalid Content-Length in the response: '" + length + "'.");

  // "bytes 0-499/1234" (RFC 9110 section 14.4).
  std::string range = take("Content-Range");
  ContentRangeStart = ContentRangeEnd = 0;
  if (!range.empty()) {
    text::Fetch(range, " ");
    ContentRangeStart = RangeNumber(text::Fetch(range, "-"));
    ContentRangeEnd = RangeNumber(text::Fetch(range, "/"));
  }
  Date = InternetDateToLocal(take("Date"));
  LastModified = InternetDateToLocal(take("Last-Modified"));
  Expires = InternetDateToLocal(take("Expires"));
  ProxyAuthenticate = take("Proxy-Authenticate");
  ExtraHeaders.AddStrings(AList);
}

// ---------------------------------------------------------------------------
// Chunk sizes

int64_t HTTPChunkSize(std::string_view ALine) {
  // The size is the hexadecimal number before any extension (";name=value",
  // RFC 9112 section 7.1.1), blanks around it allowed.
  std::string digits = text::Trim(ALine.substr(0, ALine.find(';')));
  if (const size_t blank = digits.find_first_of(" \t"); blank != std::string::npos)
    digits.resize(blank);
  const auto bad = [ALine](const char* AWhy) {
    return EIdHTTPProtocolError(std::string("Invalid chunk size in the response (") + AWhy +
                                "): '" + std::string(ALine) + "'.");
  };
  if (digits.empty()) throw bad("no number");
  int64_t size = 0;
  for (char c : digits) {
    const int d = HexDigit(c);
    if (d < 0) throw bad("not hexadecimal");
    if (size > (INT64_MAX - d) / 16) throw bad("too large");
    size = size * 16 + d;
  }
  return size;
}

// ---------------------------------------------------------------------------
// Dates

TDateTime InternetDateToLocal(std::string_view AText) {
  static constexpr std::array<const char*, 7> kDays = {"SUN", "MON", "TUE", "WED",
                                                       "THU", "FRI", "SAT"};
  static constexpr std::array<const char*, 12> kMonths = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                                          "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
  // Two-digit years below this are 20xx, from it to 99 19xx.
  constexpr int kTwoDigitYearPivot = 80;
  constexpr double kMinutesPerDay = 1440.0;

  std::string s = text::Trim(AText);
  if (s.empty()) return 0;
  // "Sun, 06 Nov 1994 08:49:37 GMT": weekday, day, month, year, time, zone.
  const std::string head = text::UpperCase(s.substr(0, 3));
  for (const char* d : kDays)
    if (head == d) {
      text::Fetch(s, " ");
      break;
    }
  int day;
  if (!text::TryStrToInt(text::Fetch(s, " "), day)) day = 1;
  s = text::TrimLeft(s);
  const std::string monthWord = text::UpperCase(text::Fetch(s, " "));
  int month = 0;
  for (int i = 0; i < 12; ++i)
    if (monthWord == kMonths[static_cast<size_t>(i)]) month = i + 1;
  if (month == 0) return 0;
  s = text::TrimLeft(s);
  int year;
  if (!text::TryStrToInt(text::Fetch(s, " "), year)) year = 1900;
  if (year >= 0 && year < kTwoDigitYearPivot)
    year += 2000;
  else if (year >= kTwoDigitYearPivot && year < 100)
    year += 1900;
  int hour = 0;
  int minute = 0;
  int second = 0;
  s = text::TrimLeft(s);
  if (s.find(':') != std::string::npos) {
    std::string time = text::Fetch(s, " ");
    if (!text::TryStrToInt(text::Fetch(time, ":"), hour)) hour = 0;
    if (!text::TryStrToInt(text::Fetch(time, ":"), minute)) minute = 0;
    if (!text::TryStrToInt(time, second)) second = 0;
  }
  TDateTime date;
  TDateTime time;
  if (!TryEncodeDate(year, month, day, date) || !TryEncodeTime(hour, minute, second, 0, time))
    return 0;
  TDateTime parsed = date + time;

  // A numeric zone "+hhmm" / "-hhmm" (RFC 5322 section 3.3); "GMT", "UT" and
  // other names count as UTC.
  const std::string zone = text::Trim(s);
  TDateTime zoneOffset = 0;
  if (zone.size() > 4 && (zone[0] == '+' || zone[0] == '-')) {
    if (IsDigit(zone[1]) && IsDigit(zone[2]) && IsDigit(zone[3]) && IsDigit(zone[4])) {
      const int hh = (zone[1] - '0') * 10 + (zone[2] - '0');
      const int mm = (zone[3] - '0') * 10 + (zone[4] - '0');
      zoneOffset = (hh * 60 + mm) / kMinutesPerDay;
      if (zone[0] == '-') zoneOffset = -zoneOffset;
    }
  }
  return parsed - zoneOffset + LocalUtcOffset();
}
