// HTTP client. Message syntax and framing: RFC 9112 (HTTP/1.1) and RFC 1945
// (HTTP/1.0); semantics, status classes and redirects: RFC 9110. The header
// side (request lines, response headers, chunk sizes, dates) is in
// IdHeaderInfo.cpp.
#include "net/http/IdHTTP.h"

#include <climits>
#include <string>
#include <vector>

#include "net/http/IdURI.h"
#include "platform/Exception.h"
#include "platform/Text.h"

namespace {

// A wait of no time at all: a look at what the socket already holds.
constexpr int kNoWait = 0;

// Refuses a request part that would not stay on its own line: CR, LF, NUL and
// the other controls end or corrupt a line (RFC 9112 section 2.2); a blank
// would split the request line (RFC 9112 section 3). TAB is allowed inside
// header values (RFC 9110 section 5.5).
void CheckRequestPart(std::string_view APart, const char* AWhat, bool ABlankAllowed) {
  for (char ch : APart) {
    const auto c = static_cast<unsigned char>(ch);
    const bool control = (c < 0x20 && !(ABlankAllowed && c == '\t')) || c == 0x7F;
    if (control || (!ABlankAllowed && c == ' '))
      throw EIdHTTPInvalidRequest(std::string("The request's ") + AWhat +
                                  " holds a character not allowed there.");
  }
}

// A line end as the header section's byte count counts it: CR LF, the form
// RFC 9112 section 2.1 gives (a bare LF, also accepted, counts the same).
constexpr size_t kCountedLineEnd = 2;

// Empties a list and gives back its storage, so that the lines of a response
// the caller never receives do not stay held until the next request.
void ReleaseLines(TStringList& AList) {
  std::vector<std::string>().swap(AList.Lines);
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
// TIdHTTP

TIdHTTP::TIdHTTP(TComponent* AOwner) : TIdTCPClient(AOwner) {
  SetRecvBufferSize(IdHTTPDefaults::RecvBufferSize);
}

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
  const bool builtIn = UsesBuiltInTLS(AProtocol);
  if (secure && !builtIn && !dynamic_cast<TIdSSLConnectionIntercept*>(Intercept))
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
      if (secure && !builtIn) SetInterceptEnabled(true);
      return false;
    }
  }
  Port = APort != -1 ? APort : (secure ? IdHTTPDefaults::HTTPSPort : IdHTTPDefaults::HTTPPort);
  if (secure && !builtIn) SetInterceptEnabled(true);
  return false;
}

bool TIdHTTP::UsesBuiltInTLS(const std::string& AProtocol) const {
  return BuiltInTLS && text::SameText(AProtocol, "HTTPS") && Request.ProxyServer.empty() &&
         !dynamic_cast<TIdSSLConnectionIntercept*>(Intercept);
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
    // A relative address keeps the protocol of the request before it.
    const bool builtInTLS =
        UsesBuiltInTLS(parts.Protocol.empty() ? RequestProtocol : parts.Protocol);
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
        if (const auto* list = std::get_if<const TStringList*>(&ASource); list && *list)
          Request.ContentLength = static_cast<int64_t>((*list)->Text().size());
        else if (const auto* stream = std::get_if<TStream*>(&ASource); stream && *stream)
          Request.ContentLength = (*stream)->Size();
        else
          throw EIdObjectTypeNotSupported();
        break;
    }
    CheckRequestPart(target, "target", false);
    CheckRequestPart(RequestHost, "host", false);
    RawHeaders.Clear();
    Request.WriteRequestHeaders(RawHeaders);
    for (const std::string& line : RawHeaders.Lines) CheckRequestPart(line, "header", true);

    StartExchange();
    // A kept connection is looked at once more before it carries a request:
    // the server may have closed it since the last response, and bytes that
    // arrived after that response mean the two sides are out of step.
    if (SocketHandle->IsOpen) {
      LookForPeerClose();
      // A kept connection in clear never carries an "https" request, nor a
      // secure one an "http" request.
      if (BufferedByteCount() > 0 || IsTLSActive() != builtInTLS) CloseConnection();
    }
    CheckPeerClosed(false, false);
    if (!IsConnected()) {
      OpenConnection();
      if (builtInTLS) StartTLS(Host, ConnectTimeout);
    }

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
      if (const auto* list = std::get_if<const TStringList*>(&ASource))
        WriteLines(**list);
      else
        WriteFromStream(std::get<TStream*>(ASource), true, false);
    }

    // Status line (RFC 9112 section 4): "HTTP/1.1 404 Not Found".
    ResponseLine = ReadHeadLine("The status line");
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
          // Leaving the library's TLS for http would send the next request,
          // and take its answer, in clear (RFC 9110 section 15.4 leaves the
          // choice to the client; this one refuses).
          if (builtInTLS && text::SameText(TIdURI::SplitAddress(dest).Protocol, "HTTP"))
            throw EIdHTTPInsecureRedirect(AURL, dest);
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
    // The whole response has been read: the connection is in step, and
    // ResponseInfo describes that response. The scratch lines are not needed.
    RedirectDepth = 0;
    ReleaseLines(RawHeaders);
    throw;
  } catch (...) {
    // Anything else leaves the connection at an unknown point of a message;
    // it cannot carry another request. Nothing of the half-read response is
    // kept for the caller either.
    RedirectDepth = 0;
    ReleaseLines(RawHeaders);
    ReleaseLines(ResponseInfo.ExtraHeaders);
    try {
      CloseConnection();
    } catch (...) {
      // The original failure is the one worth reporting.
    }
    throw;
  }
  RedirectDepth = 0;
}

std::string TIdHTTP::ReadHeadLine(const char* AWhat) {
  constexpr int kCap = IdHTTPDefaults::MaxHeaderLineLength;
  const auto tooLong = [AWhat] {
    return EIdHTTPProtocolError(std::string(AWhat) + " of the response is longer than " +
                                std::to_string(kCap) + " bytes.");
  };
  // The connection's own line cap bounds the buffering: one byte above ours
  // leaves room for the CR of a line exactly at the cap. A smaller cap the
  // caller has set stays in force and raises its own error.
  const int callerCap = MaxLineLength;
  const bool oursIsTighter = callerCap <= 0 || callerCap > kCap + 1;
  struct RestoreCap {
    int& Field;
    int Value;
    ~RestoreCap() { Field = Value; }
  } restore{MaxLineLength, callerCap};
  if (oursIsTighter) MaxLineLength = kCap + 1;
  std::string line;
  try {
    line = ReadLine();
  } catch (const EIdReadLineMaxLineLengthExceeded&) {
    if (oursIsTighter) throw tooLong();
    throw;
  }
  // A line that arrived whole in one receive was never held unterminated.
  if (line.size() > static_cast<size_t>(kCap)) throw tooLong();
  return line;
}

void TIdHTTP::ReadResponseHeaders() {
  RawHeaders.Clear();
  size_t sectionBytes = 0;
  for (;;) {
    // A close in the middle of a header line leaves the header block (and
    // so the body's framing) incomplete, like a close between lines.
    std::string line = ReadHeadLine("A header line");
    if (LineTimedOut) throw EIdConnClosedGracefully();
    if (line.empty()) break;
    if (RawHeaders.Count() >= IdHTTPDefaults::MaxHeaderLines)
      throw EIdHTTPProtocolError("The response has more than " +
                                 std::to_string(IdHTTPDefaults::MaxHeaderLines) + " header lines.");
    sectionBytes += line.size() + kCountedLineEnd;
    if (sectionBytes > static_cast<size_t>(IdHTTPDefaults::MaxHeaderBytes))
      throw EIdHTTPProtocolError("The header section of the response is longer than " +
                                 std::to_string(IdHTTPDefaults::MaxHeaderBytes) + " bytes.");
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
  // A body that ends at the close needs TLS's close_notify to be known whole
  // (RFC 9112 section 9.8).
  if (TLSTruncated()) throw EIdTLSTruncated(Host);
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
  return HTTPChunkSize(line);
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
  } catch (const EIdTLSError&) {
    CloseConnection();
  }
}
