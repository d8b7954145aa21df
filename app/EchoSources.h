#pragma once
// The address services a check may ask, apart from the window: the list's
// lines, the three reply formats with their checks, and how long a service
// that turned us away rests. Plain values in and out, so each rule can be
// tested without a window or a socket.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/DateTime.h"

namespace echo {

// How a service's reply carries the address.
enum class TEchoFormat {
  Markers,  // between "BEGINIP" and "ENDIP", the echo page's own form
  Plain,    // the body, trimmed, is the address
  Trace,    // key=value lines; the value of "ip"
};

// One service: its address (http:// or https://) and reply format.
struct TEchoSource {
  TEchoFormat Format = TEchoFormat::Markers;
  std::string Url;
  bool operator==(const TEchoSource&) const = default;
};

// The settings file's key of the list's lines, one source per line.
constexpr const char* kSourceKey = "Echo Source";

// "markers", "plain" or "trace".
const char* FormatName(TEchoFormat Format);

// A source from its line "<format> <address>": one of the format names, then
// blanks, then an http:// or https:// address without blanks or control
// characters. False (Source unchanged) for any other line.
bool ParseSource(const std::string& Line, TEchoSource& Source);
// The line ParseSource reads back.
std::string SourceLine(const TEchoSource& Source);

// The well-known public services a build without an echo page of its own
// asks, in order: each over https, each run by another operator, each
// answering the caller's IPv4 address in plain or trace form.
std::vector<TEchoSource> PublicSources();

// The list a build names: "" names none (the build's echo page is asked),
// "public" the public services, anything else source lines separated by '|'
// (lines that do not read as a source are left out).
std::vector<TEchoSource> BuildSources(const std::string& List);

// What a check makes of one service's reply.
struct TEchoAnswer {
  bool Accepted = false;
  std::string Address;  // what the reply names, when Accepted
  std::string Reason;   // why it was refused, when not
};

// Reads Body in Format. Markers follows the echo page's rules exactly
// (formtext::ExtractAddress); Plain and Trace accept exactly one public IPv4
// address in dotted-decimal form and nothing else: an HTML page, two
// addresses, an IPv6 address, a private, loopback, link-local, shared
// (100.64.0.0/10) or non-unicast address is refused, with its reason.
TEchoAnswer ReadReply(TEchoFormat Format, const std::string& Body);

// Why Text is not one public IPv4 address in dotted-decimal form (four
// decimal numbers up to 255, no leading zeros), or "" when it is.
std::string AddressRefusal(const std::string& Text);

// A service that answers 403 or 429 rests at least an hour, longer when its
// Retry-After asks it, never more than a day.
constexpr int64_t kRestMinSeconds = 3600;
constexpr int64_t kRestMaxSeconds = 86400;

// How many seconds a service rests after answering Status with the
// Retry-After value RetryAfter ("" when absent): 0 for a status other than
// 403 and 429. RetryAfter is a number of seconds or an HTTP date, which
// counts from Reference (the reply's own Date when it has one, else now);
// a value of neither form counts as absent.
int64_t RestSeconds(int Status, const std::string& RetryAfter, TDateTime Reference);

// Until when each resting service (by address) is skipped, on the
// application's clock.
using TRests = std::map<std::string, TDateTime>;

// Whether the service at Url still rests at Now: until the moment its rest
// ends, to the millisecond (the clock's days carry rounding far below one).
bool Resting(const TRests& Rests, const std::string& Url, TDateTime Now);

// A failure's message on one line, for the status bar: its lines trimmed
// and joined with ": " ("Socket Error # 10060\r\nConnection timed out." ->
// "Socket Error # 10060: Connection timed out.").
std::string OneLine(const std::string& Message);

// The host part of a source's address, for messages ("api.ipify.org").
std::string UrlHost(const std::string& Url);

}  // namespace echo
