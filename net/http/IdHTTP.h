#pragma once
// A blocking HTTP/1.0 and HTTP/1.1 client (RFC 1945, RFC 9110, RFC 9112): one
// call writes a small request and reads the status line, the header block and
// the body (by Content-Length, by chunks or up to the server's close) on the
// caller's thread.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <variant>

#include "net/transport/IdException.h"
#include "net/transport/IdHeaderList.h"
#include "net/transport/IdTCPClient.h"
#include "platform/DateTime.h"
#include "platform/Stream.h"
#include "platform/StringList.h"

// Limits and defaults of the HTTP client.
namespace IdHTTPDefaults {
// Redirect answers followed in a row before the last one is returned as is.
constexpr int RedirectMaximum = 15;
// Port of an "http" address without one (RFC 9110 section 4.2.1).
constexpr int HTTPPort = 80;
// Port of an "https" address without one (RFC 9110 section 4.2.2).
constexpr int HTTPSPort = 443;
// Header lines of one response accepted at most: far above any real server's,
// and it keeps a server that sends header lines forever from exhausting memory.
constexpr int MaxHeaderLines = 1000;
// Bytes of one header line or of the status line, line end not counted: twice
// the 8 KiB servers commonly allow a request's header line, so a long cookie
// or policy header still fits.
constexpr int MaxHeaderLineLength = 16 * 1024;
// Bytes of a response's header section, each line counted with a CR LF: real
// servers send a few KiB; the cap bounds what is held and walked by lookups.
constexpr int MaxHeaderBytes = 256 * 1024;
// Trailer lines after the last chunk accepted at most, for the same reason.
constexpr int MaxTrailerLines = 100;
// Receive size of the HTTP client (its RecvBufferSize): four times the TCP
// connection's, so a large body costs a quarter of the receive calls; a
// small reply is unaffected.
constexpr int RecvBufferSize = 131072;
// MaxBodySize value meaning "no cap" (the library's default).
constexpr int64_t NoBodyLimit = 0;
}  // namespace IdHTTPDefaults

// The response broke the message framing: a malformed, negative or overflowing
// Content-Length or chunk size, a missing line end after chunk data, too many
// header lines, a status or header line longer than MaxHeaderLineLength, a
// header section longer than MaxHeaderBytes.
class EIdHTTPProtocolError : public EIdException {
 public:
  using EIdException::EIdException;
};

// The response body grew past the client's MaxBodySize.
class EIdHTTPBodyTooLarge : public EIdException {
 public:
  explicit EIdHTTPBodyTooLarge(int64_t ALimit)
      : EIdException("Response body exceeds the limit of " + std::to_string(ALimit) + " bytes.") {}
};

// A request that cannot be written as asked: its target or host holds a blank
// or a control character, or a header line a control character other than TAB.
// Such bytes would end the request line or a header early and let the rest
// pass as lines of their own.
class EIdHTTPInvalidRequest : public EIdException {
 public:
  using EIdException::EIdException;
};

// A redirect from an "https" address to an "http" one: following it would
// carry the request, and take the answer, without TLS.
class EIdHTTPInsecureRedirect : public EIdException {
 public:
  EIdHTTPInsecureRedirect(const std::string& AFrom, const std::string& ATo)
      : EIdException("The redirect from " + AFrom + " to " + ATo +
                     " would leave the secure connection; it was not followed.") {}
};

enum class TIdHTTPProtocolVersion { pv1_0, pv1_1 };
enum class TIdHTTPMethod { hmHead, hmGet, hmPost };

// The headers of a request to send, or of the response just read.
class TIdHeaderInfo {
 public:
  TIdHeaderInfo();

  // Accept "text/html, */*", the library's User-Agent, every other value empty or 0.
  void ResetDefaults();
  // Replaces AList's lines with one raw line per non-empty property, in the
  // order of the request: Accept ... Content-Type, Content-Length (when not 0),
  // Range, Authorization, Proxy-Authorization, then ExtraHeaders.
  void WriteRequestHeaders(TIdHeaderList& AList) const;
  // Takes the known headers out of AList into the properties and puts the rest,
  // in order, into ExtraHeaders. Raises EIdHTTPProtocolError for a Content-Length
  // that is not a non-negative decimal number, EConvertError for a Content-Range
  // whose parts are not numbers, EIdFailedToRetreiveTimeZoneInfo when a date
  // needs the time zone and the platform cannot tell it.
  void TakeResponseHeaders(TIdHeaderList& AList);

  std::string Accept;
  std::string AcceptCharSet;
  std::string AcceptEncoding;
  std::string AcceptLanguage;
  std::string Connection;
  std::string ContentEncoding;
  std::string ContentLanguage;
  int64_t ContentLength = 0;
  // Whether the response carried a Content-Length header (a declared 0 is an
  // empty body, a missing one is not).
  bool HasContentLength = false;
  int64_t ContentRangeEnd = 0;
  int64_t ContentRangeStart = 0;
  std::string ContentType;
  std::string ContentVersion;
  TDateTime Date = 0;
  TDateTime Expires = 0;
  TIdHeaderList ExtraHeaders;
  std::string From;
  TDateTime LastModified = 0;
  std::string Location;
  std::string Password;
  std::string ProxyAuthenticate;
  std::string ProxyPassword;
  int ProxyPort = 0;
  std::string ProxyServer;
  std::string ProxyUsername;
  std::string Referer;
  std::string Server;
  std::string UserAgent;
  std::string Username;
  std::string WWWAuthenticate;

  static const char* const DefaultAccept;
  static const char* const DefaultUserAgent;
};

// What a POST sends: nothing (an error for POST), the lines of a list (each
// followed by CR LF) or the whole of a stream.
using TIdHTTPSource = std::variant<std::monostate, const TStringList*, TStream*>;

class TIdHTTP : public TIdTCPClient {
 public:
  explicit TIdHTTP(TComponent* AOwner = nullptr);

  // GETs AURL and returns the body as text. Raises what GetToStream raises.
  std::string GetText(const std::string& AURL);
  // GETs AURL into AStream.
  void GetToStream(const std::string& AURL, TStream* AStream);
  // HEADs AURL: status and headers only.
  void Head(const std::string& AURL);
  // POSTs ASource to AURL; the response body goes to AResponse (may be null).
  void Post(const std::string& AURL, const TStringList& ASource, TStream* AResponse);
  void Post(const std::string& AURL, TStream& ASource, TStream* AResponse);

  // One request and its response (redirects included). Raises
  // EIdProtocolReplyError (ReplyCode = status, message = status line without its
  // version) for every status outside 2xx that is not a followed redirect;
  // EConvertError when the status is not a number; EIdConnClosedGracefully when
  // the server closes before the status line, after a complete header line or
  // before a declared body is complete; EIdHTTPProtocolError for a broken
  // framing or a response head past its caps (IdHTTPDefaults);
  // EIdHTTPBodyTooLarge past MaxBodySize; EIdSocketError for socket
  // failures (10060 when ConnectTimeout, ReadTimeout or ExchangeTimeout
  // strikes); EIdObjectTypeNotSupported for a POST without a source;
  // EIdHTTPInvalidRequest for a target, host or header line that would break
  // the request's lines (nothing is sent then);
  // EIdInterceptPropInvalid for "https" without a secure intercept unless
  // BuiltInTLS; with BuiltInTLS the EIdTLSError family (IdTLS.h) for a
  // failed handshake, EIdTLSTruncated for a body that ends at a close
  // without close_notify, and EIdHTTPInsecureRedirect for a redirect from
  // "https" to "http" that would be followed.
  // After a failure RawHeaders is empty, and so is ResponseInfo.ExtraHeaders
  // unless the failure is EIdProtocolReplyError (a whole response was read,
  // and ResponseInfo describes it).
  void PerformRequest(TIdHTTPMethod AMethod, const std::string& AURL, TStream* ADestination,
                      const TIdHTTPSource& ASource);

  // Sets Host and Port for an address's protocol, host and port (-1: none) and
  // closes an open connection to another server, or to the same host when the
  // address names no port. Returns whether the request goes through a proxy.
  bool SelectServer(const std::string& AProtocol, const std::string& AHost, int APort);
  // HandleRedirects, or what OnRedirect makes of it (it may change ADest).
  bool ConfirmRedirect(std::string& ADest, int ADepth);
  // Writes the CONNECT request of a proxy tunnel through the intercept.
  void SendTunnelRequest(TIdConnectionIntercept* ASender);

  std::function<void(TIdHTTP* Sender, std::string& ADest, int ANumRedirect, bool& AHandled)>
      OnRedirect;

  TIdHeaderList RawHeaders;
  TIdHTTPProtocolVersion ProtocolVersion = TIdHTTPProtocolVersion::pv1_1;
  int RedirectDepth = 0;
  int RedirectMaximum = IdHTTPDefaults::RedirectMaximum;
  TIdHeaderInfo Request;
  TIdHeaderInfo ResponseInfo;
  int StatusCode = 0;
  std::string ResponseLine;
  bool HandleRedirects = false;
  std::string RequestHost;
  std::string RequestProtocol;
  std::string TunnelHost;
  int TunnelPort = 0;
  std::string TunnelVersion;
  // Largest response body accepted, in bytes (NoBodyLimit: none). A declared
  // length above it raises at once; a chunked or close-delimited body raises
  // when it grows past it.
  int64_t MaxBodySize = IdHTTPDefaults::NoBodyLimit;
  // Whether "https" addresses are fetched over the library's own TLS
  // (StartTLS, judged by TLSOptions; the handshake also bounded by
  // ConnectTimeout) when no secure intercept is set. Off (the default), such
  // an address raises EIdInterceptPropInvalid, as without TLS.
  bool BuiltInTLS = false;

 private:
  // Whether a request to an address of AProtocol goes over the library's own TLS.
  bool UsesBuiltInTLS(const std::string& AProtocol) const;
  // One line of the response head, at most MaxHeaderLineLength bytes (and no
  // more than that is buffered while it arrives); AWhat names the line in the
  // EIdHTTPProtocolError raised past the cap.
  std::string ReadHeadLine(const char* AWhat);
  void ReadResponseHeaders();
  // Whether the response has a body at all (RFC 9112 section 6.3).
  bool ResponseHasBody(TIdHTTPMethod AMethod) const;
  void ReadBody(TStream* ADestination);
  void ReadChunkedBody(TStream* ASink);
  int64_t ReadChunkSize();
  void FinishResponse(bool AResponseIs10);
  // Takes in, without waiting, what the server has sent since (a close).
  void LookForPeerClose();
};

// The size on a chunk-size line of a chunked body (RFC 9112 section 7.1):
// hexadecimal digits, then optionally blanks and/or ";" extensions. Raises
// EIdHTTPProtocolError for a line without digits, with other characters in
// them, or for a size beyond 63 bits.
int64_t HTTPChunkSize(std::string_view ALine);

// The local date-time of an RFC 1123 date ("Sun, 06 Nov 1994 08:49:37 GMT",
// with a numeric zone such as "+0200" honoured and a two-digit year read as
// 1980-2079). Any other form, an unknown month or an impossible date gives 0.
// Raises EIdFailedToRetreiveTimeZoneInfo when the platform cannot tell the
// local time zone.
TDateTime InternetDateToLocal(std::string_view AText);
