// HTTP client. Message syntax and framing: RFC 9112 (HTTP/1.1) and RFC 1945
// (HTTP/1.0); semantics, status classes and redirects: RFC 9110; dates:
// RFC 1123 section 5.2.14 (the RFC 822 date with a four-digit year); basic
// credentials: RFC 7617 over the base64 of RFC 2045.
#include "net/http/IdHTTP.h"

#include <array>
#include <climits>

#include "net/http/IdURI.h"
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

// A wait of no time at all: a look at what the socket already holds.
constexpr int kNoWait = 0;

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

// The response body on its way to the caller's stream: counts what arrives and
// refuses to grow past the client's cap. Reading and sizing go to the target.
class TBodySink : public TStream {
 public:
  TBodySink(TStream* ATarget, int64_t ALimit) : Target(ATarget), Limit(ALimit) {
    if (Target) Pos = Target->Position();
  }
  int64_t Read(void* Buffer, int64_t Count) override {
    return Target ? Target->Read(Buffer, Count) : 0;
  }
  int64_t Write(const void* Buffer, int64_t Count) override {
    if (Limit > 0 && Count > Limit - Written) throw EIdHTTPBodyTooLarge(Limit);
    Written += Count;
    if (!Target) return Count;
    Target->Write(Buffer, Count);
    Pos = Target->Position();
    return Count;
  }
  int64_t Size() const override { return Target ? Target->Size() : Pos; }
  void SetSize(int64_t NewSize) override {
    if (Target) Target->SetSize(NewSize);
  }
  void SetPosition(int64_t P) override {
    if (Target) Target->SetPosition(P);
    Pos = P;
  }
  // Bytes still allowed before the cap (INT64_MAX without one).
  int64_t Room() const { return Limit > 0 ? Limit - Written : INT64_MAX; }
  int64_t Written = 0;

 private:
  TStream* Target;
  int64_t Limit;
};

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
// TIdHTTP

TIdHTTP::TIdHTTP(TComponent* AOwner) : TIdTCPClient(AOwner) {}

std::string TIdHTTP::GetText(const std::string& AURL) {
  TMemoryStream body;
  GetToStream(AURL, &body);
  return std::move(body.Data);
}

void TIdHTTP::GetToStream(const std::string& AURL, TStream* AStream) {
  PerformRequest(TIdHTTPMethod::hmGet, AURL, AStream, TIdHTTPSource());
}

void TIdHTTP::Head(const std::string& AURL) {
  PerformRequest(TIdHTTPMethod::hmHead, AURL, nullptr, TIdHTTPSource());
}

void TIdHTTP::Post(const std::string& AURL, const TStringList& ASource, TStream* AResponse) {
  PerformRequest(TIdHTTPMethod::hmPost, AURL, AResponse, TIdHTTPSource(&ASource));
}

void TIdHTTP::Post(const std::string& AURL, TStream& ASource, TStream* AResponse) {
  PerformRequest(TIdHTTPMethod::hmPost, AURL, AResponse, TIdHTTPSource(&ASource));
}

bool TIdHTTP::SelectServer(const std::string& AProtocol, const std::string& AHost, int APort) {
  if (!Request.ProxyServer.empty()) {
    // Every request goes to the proxy; a connection to anything else is closed.
    if (IsConnected() && !(text::SameText(Host, Request.ProxyServer) && Port == Request.ProxyPort))
      CloseConnection();
    Host = Request.ProxyServer;
    Port = Request.ProxyPort;
    if (!AHost.empty()) RequestHost = AHost;
    if (!AProtocol.empty()) RequestProtocol = AProtocol;
    TunnelHost = AHost;
    TunnelPort = APort == -1 ? IdHTTPDefaults::HTTPSPort : APort;
    TunnelVersion = ProtocolVersion == TIdHTTPProtocolVersion::pv1_0 ? "1.0" : "1.1";
    if (auto* ssl = dynamic_cast<TIdSSLConnectionIntercept*>(Intercept))
      ssl->OnConnect = [this](TIdConnectionIntercept* ASender) { SendTunnelRequest(ASender); };
    else if (Intercept)
      Intercept->OnConnect = nullptr;
    return true;
  }
  const bool secure = text::SameText(AProtocol, "HTTPS");
  if (secure && !dynamic_cast<TIdSSLConnectionIntercept*>(Intercept))
    throw EIdInterceptPropInvalid();
  if (!AHost.empty()) {
    // An address without a port never matches the open connection, so such
    // requests always start on a fresh one.
    if (IsConnected() && !(text::SameText(AHost, Host) && APort == Port)) CloseConnection();
    Host = AHost;
    RequestHost = AHost;
    if (!AProtocol.empty()) RequestProtocol = AProtocol;
  } else {
    // A relative address stays on the current server, port included.
    RequestHost = Host;
    if (APort == -1) {
      if (secure) SetInterceptEnabled(true);
      return false;
    }
  }
  Port = APort != -1 ? APort : (secure ? IdHTTPDefaults::HTTPSPort : IdHTTPDefaults::HTTPPort);
  if (secure) SetInterceptEnabled(true);
  return false;
}

bool TIdHTTP::ConfirmRedirect(std::string& ADest, int ADepth) {
  bool handled = HandleRedirects;
  if (OnRedirect) OnRedirect(this, ADest, ADepth, handled);
  return handled;
}

void TIdHTTP::SendTunnelRequest(TIdConnectionIntercept*) {
  // CONNECT (RFC 9110 section 9.3.6) goes to the proxy in clear text.
  SetInterceptEnabled(false);
  WriteText("CONNECT " + TunnelHost + ":" + std::to_string(TunnelPort) + " HTTP/" + TunnelVersion +
            "\r\n\r\n");
  for (int i = 0; i < 3; ++i) ReadLine();
  SetInterceptEnabled(true);
}

void TIdHTTP::PerformRequest(TIdHTTPMethod AMethod, const std::string& AURL, TStream* ADestination,
                             const TIdHTTPSource& ASource) {
  ++RedirectDepth;
  try {
    const TIdURIParts parts = TIdURI::SplitAddress(AURL);
    // The bookmark never leaves the client; a query stays in the document.
    std::string target = parts.Path + parts.Document;
    int port = -1;
    if (!text::TryStrToInt(parts.Port, port)) port = -1;
    if (SelectServer(parts.Protocol, parts.Host, port)) {
      // Through a proxy the target is the absolute address (RFC 9112 section 3.2.2).
      const std::string& host = parts.Host.empty() ? RequestHost : parts.Host;
      const std::string& proto = parts.Protocol.empty() ? RequestProtocol : parts.Protocol;
      target = proto + "://" + host + target;
    }

    // The source is checked before anything touches the network.
    switch (AMethod) {
      case TIdHTTPMethod::hmHead:
      case TIdHTTPMethod::hmGet:
        Request.ContentLength = 0;
        break;
      case TIdHTTPMethod::hmPost:
        if (auto* list = std::get_if<const TStringList*>(&ASource); list && *list)
          Request.ContentLength = static_cast<int64_t>((*list)->Text().size());
        else if (auto* stream = std::get_if<TStream*>(&ASource); stream && *stream)
          Request.ContentLength = (*stream)->Size();
        else
          throw EIdObjectTypeNotSupported();
        break;
    }
    StartExchange();
    // A kept connection is looked at once more before it carries a request:
    // the server may have closed it since the last response, and bytes that
    // arrived after that response mean the two sides are out of step.
    if (SocketHandle->IsOpen) {
      LookForPeerClose();
      if (BufferedByteCount() > 0) CloseConnection();
    }
    CheckPeerClosed(false, false);
    if (!IsConnected()) OpenConnection();

    RawHeaders.Clear();
    Request.WriteRequestHeaders(RawHeaders);

    // The request line and the header block go out in one send: several small
    // writes would wait on Nagle's algorithm and the server's delayed ACK.
    static constexpr const char* kMethodWords[] = {"HEAD ", "GET ", "POST "};
    std::string head = kMethodWords[static_cast<int>(AMethod)] + target + " HTTP/" +
                       (ProtocolVersion == TIdHTTPProtocolVersion::pv1_0 ? "1.0" : "1.1") +
                       "\r\nHost: " + RequestHost + "\r\n";
    for (const std::string& line : RawHeaders.Lines) head += line + "\r\n";
    head += "\r\n";
    WriteText(head);
    if (AMethod == TIdHTTPMethod::hmPost) {
      if (auto* list = std::get_if<const TStringList*>(&ASource))
        WriteLines(**list);
      else
        WriteFromStream(std::get<TStream*>(ASource), true, false);
    }

    // Status line (RFC 9112 section 4): "HTTP/1.1 404 Not Found".
    ResponseLine = ReadLine();
    if (LineTimedOut) throw EIdConnClosedGracefully();
    const bool response10 =
        ResponseLine.size() >= 8 && text::SameText(ResponseLine.substr(5, 3), "1.0");
    if (const size_t blank = ResponseLine.find(' '); blank != std::string::npos)
      ResponseLine.erase(0, blank + 1);
    StatusCode = text::StrToInt(ResponseLine.substr(0, ResponseLine.find(' ')));
    ReadResponseHeaders();

    const int statusClass = StatusCode / 100;
    const bool hasBody = ResponseHasBody(AMethod);
    if ((statusClass != 3 || StatusCode == 304) && ResponseInfo.Location.empty()) {
      if (hasBody) ReadBody(ADestination);
      FinishResponse(response10);
      if (statusClass != 2) {
        if (GetInterceptEnabled()) CloseConnection();
        throw EIdProtocolReplyError(StatusCode, ResponseLine);
      }
    } else {
      if (hasBody) ReadBody(ADestination);
      std::string dest = ResponseInfo.Location;
      if (HandleRedirects && RedirectDepth < RedirectMaximum) {
        if (ADestination) ADestination->SetPosition(0);
        if (ConfirmRedirect(dest, RedirectDepth)) {
          if (ProtocolVersion == TIdHTTPProtocolVersion::pv1_0 || response10) {
            CloseConnection();
          } else {
            FinishResponse(response10);
          }
          // The body of the redirect answer gives way to the final one.
          if (ADestination) ADestination->SetSize(0);
          PerformRequest(AMethod, dest, ADestination, ASource);
        } else {
          FinishResponse(response10);
        }
      } else {
        FinishResponse(response10);
        if (!ConfirmRedirect(dest, RedirectDepth))
          throw EIdProtocolReplyError(StatusCode, ResponseLine);
        ResponseInfo.Location = dest;
      }
    }
  } catch (const EIdProtocolReplyError&) {
    // The whole response has been read: the connection is in step.
    RedirectDepth = 0;
    throw;
  } catch (...) {
    // Anything else leaves the connection at an unknown point of a message;
    // it cannot carry another request.
    RedirectDepth = 0;
    try {
      CloseConnection();
    } catch (...) {
      // The original failure is the one worth reporting.
    }
    throw;
  }
  RedirectDepth = 0;
}

void TIdHTTP::ReadResponseHeaders() {
  RawHeaders.Clear();
  for (;;) {
    // A close in the middle of a header line leaves the header block (and
    // so the body's framing) incomplete, like a close between lines.
    std::string line = ReadLine();
    if (LineTimedOut) throw EIdConnClosedGracefully();
    if (line.empty()) break;
    if (RawHeaders.Count() >= IdHTTPDefaults::MaxHeaderLines)
      throw EIdHTTPProtocolError("The response has more than " +
                                 std::to_string(IdHTTPDefaults::MaxHeaderLines) + " header lines.");
    RawHeaders.Add(std::move(line));
  }
  ResponseInfo.TakeResponseHeaders(RawHeaders);
}

bool TIdHTTP::ResponseHasBody(TIdHTTPMethod AMethod) const {
  // RFC 9112 section 6.3: the answer to HEAD, every 1xx, 204 and 304 end with
  // the header block whatever their headers say. Waiting for a close instead
  // would hold the caller until a keep-alive server gives up the connection.
  if (AMethod == TIdHTTPMethod::hmHead) return false;
  return !(StatusCode / 100 == 1 || StatusCode == 204 || StatusCode == 304);
}

void TIdHTTP::ReadBody(TStream* ADestination) {
  // Without a destination the body is still read (and dropped), so that the
  // connection stays in step for the next request.
  TBodySink sink(ADestination, MaxBodySize);
  if (ResponseInfo.HasContentLength) {
    const int64_t length = ResponseInfo.ContentLength;
    if (length == 0) return;
    if (length > sink.Room()) throw EIdHTTPBodyTooLarge(MaxBodySize);
    // The stream grows with the bytes that arrive, never with the length a
    // server announces.
    ReadToStream(&sink, length, false);
    if (sink.Written < length) throw EIdConnClosedGracefully();
    return;
  }
  // Transfer codings are case-insensitive (RFC 9112 section 7), but this
  // client recognises only the exact token "chunked": any other spelling is
  // read as a body that ends at the close.
  if (ResponseInfo.ExtraHeaders.ValueOf("Transfer-Encoding").find("chunked") != std::string::npos) {
    ReadChunkedBody(&sink);
    return;
  }
  ReadToStream(&sink, -1, true);
}

void TIdHTTP::ReadChunkedBody(TStream* ASink) {
  auto& sink = static_cast<TBodySink&>(*ASink);
  SignalStatus(TIdStatus::StatusText, "Chunk Started");
  // RFC 9112 section 7.1: chunk-size [ext] CRLF data CRLF ... "0" CRLF
  // trailers CRLF.
  for (int64_t size = ReadChunkSize(); size > 0; size = ReadChunkSize()) {
    if (size > sink.Room()) throw EIdHTTPBodyTooLarge(MaxBodySize);
    const int64_t before = sink.Written;
    ReadToStream(&sink, size, false);
    if (sink.Written - before < size) throw EIdConnClosedGracefully();
    std::string end = ReadLine();
    if (LineTimedOut) throw EIdConnClosedGracefully();
    if (!end.empty())
      throw EIdHTTPProtocolError("A chunk of the response is longer than its size.");
  }
  // Trailer lines up to the empty line that ends the message. A server that
  // closes right after the last chunk has still sent the whole body.
  for (int n = 0;; ++n) {
    if (!IsConnected() && BufferedByteCount() == 0) return;
    std::string line = ReadLine();
    if (line.empty()) return;
    if (n >= IdHTTPDefaults::MaxTrailerLines)
      throw EIdHTTPProtocolError("The response has more than " +
                                 std::to_string(IdHTTPDefaults::MaxTrailerLines) +
                                 " trailer lines.");
  }
}

int64_t TIdHTTP::ReadChunkSize() {
  const std::string line = ReadLine();
  if (LineTimedOut) throw EIdConnClosedGracefully();
  // The size is the hexadecimal number before any extension (";name=value",
  // RFC 9112 section 7.1.1), blanks around it allowed.
  std::string digits = line.substr(0, line.find(';'));
  digits = text::Trim(digits);
  digits = digits.substr(0, digits.find_first_of(" \t"));
  const auto bad = [&line](const char* AWhy) {
    return EIdHTTPProtocolError(std::string("Invalid chunk size in the response (") + AWhy +
                                "): '" + line + "'.");
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

void TIdHTTP::FinishResponse(bool AResponseIs10) {
  // HTTP/1.0 closes after every exchange unless both sides agree otherwise,
  // which this client never asks for (RFC 1945 section 1.3; RFC 9112 section 9.3).
  if (ProtocolVersion == TIdHTTPProtocolVersion::pv1_0 || AResponseIs10) {
    CloseConnection();
    return;
  }
  if (text::SameText(text::Trim(ResponseInfo.Connection), "close")) {
    if (IsConnected()) CloseConnection();
    return;
  }
  // Notice a close the server has already sent, so that the next request does
  // not write into a dead connection.
  LookForPeerClose();
}

void TIdHTTP::LookForPeerClose() {
  // The look does not wait: a pause here would be paid by every request. A
  // connection the look finds broken (a reset, the exchange deadline passed)
  // is simply given up; the next request opens a new one.
  try {
    ReceiveFromSocket(false, kNoWait, true, nullptr);
  } catch (const EIdSocketError&) {
    CloseConnection();
  }
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
  int hour = 0, minute = 0, second = 0;
  s = text::TrimLeft(s);
  if (s.find(':') != std::string::npos) {
    std::string time = text::Fetch(s, " ");
    if (!text::TryStrToInt(text::Fetch(time, ":"), hour)) hour = 0;
    if (!text::TryStrToInt(text::Fetch(time, ":"), minute)) minute = 0;
    if (!text::TryStrToInt(time, second)) second = 0;
  }
  TDateTime date, time;
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
