#include "app/EchoSources.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <exception>
#include <limits>

#include "app/EchoReply.h"
#include "net/http/IdHTTP.h"
#include "platform/Text.h"

namespace echo {

namespace {

constexpr std::array<TEchoFormat, 3> kFormats{TEchoFormat::Markers, TEchoFormat::Plain,
                                              TEchoFormat::Trace};
constexpr double kSecondsPerDay = 86400.0;

bool IsBlank(char c) {
  return static_cast<unsigned char>(c) <= 32 || c == 127;
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// Text split at runs of blanks and control characters.
std::vector<std::string> Words(const std::string& Text) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < Text.size()) {
    while (i < Text.size() && IsBlank(Text[i])) ++i;
    const size_t start = i;
    while (i < Text.size() && !IsBlank(Text[i])) ++i;
    if (i > start) words.push_back(Text.substr(start, i - start));
  }
  return words;
}

// The four numbers of a dotted-decimal IPv4 address: each one to three
// decimal digits without a leading zero (which some readers take for octal),
// at most 255.
bool ParseDottedQuad(const std::string& Text, std::array<int, 4>& Octets) {
  size_t pos = 0;
  for (size_t k = 0; k < Octets.size(); ++k) {
    if (k > 0) {
      if (pos >= Text.size() || Text[pos] != '.') return false;
      ++pos;
    }
    const size_t start = pos;
    int value = 0;
    while (pos < Text.size() && IsDigit(Text[pos]) && pos - start < 3)
      value = value * 10 + (Text[pos++] - '0');
    const size_t digits = pos - start;
    if (digits == 0 || (digits > 1 && Text[start] == '0') || value > 255) return false;
    Octets[k] = value;
  }
  return pos == Text.size();
}

// Whether Text has the shape of an IPv6 address: hexadecimal digits and at
// least two colons, perhaps an IPv4 tail.
bool LooksLikeIPv6(const std::string& Text) {
  if (std::count(Text.begin(), Text.end(), ':') < 2) return false;
  return std::all_of(Text.begin(), Text.end(), [](char c) {
    return std::isxdigit(static_cast<unsigned char>(c)) != 0 || c == ':' || c == '.';
  });
}

bool LooksLikeAddress(const std::string& Text) {
  std::array<int, 4> octets{};
  return ParseDottedQuad(Text, octets) || LooksLikeIPv6(Text);
}

// The reason for a reply that holds more than one word.
std::string WordsRefusal(const std::vector<std::string>& Words) {
  const auto addresses = std::count_if(Words.begin(), Words.end(), LooksLikeAddress);
  return addresses > 1 ? "more than one address" : "more than an address";
}

}  // namespace

const char* FormatName(TEchoFormat Format) {
  switch (Format) {
    case TEchoFormat::Markers:
      return "markers";
    case TEchoFormat::Plain:
      return "plain";
    case TEchoFormat::Trace:
      return "trace";
  }
  return "";
}

bool ParseSource(const std::string& Line, TEchoSource& Source) {
  const std::vector<std::string> words = Words(Line);
  if (words.size() != 2) return false;
  // A control character is no blank in an address: it splits the line into a
  // third word, or the line is refused here.
  if (std::any_of(Line.begin(), Line.end(), [](char c) {
        return (static_cast<unsigned char>(c) < 32 && c != ' ' && c != '\t') || c == 127;
      }))
    return false;
  const std::string& url = words[1];
  const bool https = text::StartsText("https://", url);
  if (!https && !text::StartsText("http://", url)) return false;
  if (url.size() == std::string(https ? "https://" : "http://").size()) return false;
  for (TEchoFormat f : kFormats) {
    if (text::SameText(words[0], FormatName(f))) {
      Source = TEchoSource{f, url};
      return true;
    }
  }
  return false;
}

std::string SourceLine(const TEchoSource& Source) {
  return std::string(FormatName(Source.Format)) + " " + Source.Url;
}

std::vector<TEchoSource> PublicSources() {
  // Four operators, so that one service's outage, limit or end leaves three.
  // Each is asked over https, by a name that has only an IPv4 address where
  // the operator offers one. First the services made for this question,
  // then Cloudflare's diagnostic page, then one whose free use without an
  // account is the most limited.
  return {
      {TEchoFormat::Plain, "https://api.ipify.org"},                     // ipify
      {TEchoFormat::Plain, "https://checkip.amazonaws.com"},             // Amazon Web Services
      {TEchoFormat::Trace, "https://www.cloudflare.com/cdn-cgi/trace"},  // Cloudflare
      {TEchoFormat::Plain, "https://ipinfo.io/ip"},                      // IPinfo
  };
}

std::vector<TEchoSource> BuildSources(const std::string& List) {
  if (List == "public") return PublicSources();
  std::vector<TEchoSource> sources;
  std::string rest = List;
  while (!rest.empty()) {
    TEchoSource s;
    if (ParseSource(text::Fetch(rest, "|"), s)) sources.push_back(s);
  }
  return sources;
}

std::string AddressRefusal(const std::string& Text) {
  std::array<int, 4> o{};
  if (!ParseDottedQuad(Text, o)) {
    if (LooksLikeIPv6(Text)) return "an IPv6 address";
    return Text.empty() ? "no address" : "not an IPv4 address";
  }
  if (o[0] == 10 || (o[0] == 172 && o[1] >= 16 && o[1] <= 31) || (o[0] == 192 && o[1] == 168))
    return "a private address";
  if (o[0] == 127) return "a loopback address";
  if (o[0] == 169 && o[1] == 254) return "a link-local address";
  if (o[0] == 100 && o[1] >= 64 && o[1] <= 127) return "a shared address (100.64.0.0/10)";
  // "This network", multicast, reserved and broadcast never name a host on
  // the internet.
  if (o[0] == 0 || o[0] >= 224) return "not a unicast address";
  return "";
}

TEchoAnswer ReadReply(TEchoFormat Format, const std::string& Body) {
  TEchoAnswer a;
  if (Format == TEchoFormat::Markers) {
    a.Accepted = formtext::ExtractAddress(Body, a.Address);
    if (!a.Accepted) a.Reason = "no address between BEGINIP and ENDIP";
    return a;
  }
  // A captive portal, a sign-in or a challenge page answers with markup.
  if (Body.find('<') != std::string::npos) {
    a.Reason = "an HTML page";
    return a;
  }
  std::string value;
  if (Format == TEchoFormat::Plain) {
    const std::vector<std::string> words = Words(Body);
    if (words.size() > 1) {
      a.Reason = WordsRefusal(words);
      return a;
    }
    value = words.empty() ? std::string() : words[0];
  } else {
    int found = 0;
    std::string rest = Body;
    while (!rest.empty()) {
      std::string line = text::Fetch(rest, "\n");
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.empty()) continue;
      const size_t eq = line.find('=');
      if (eq == std::string::npos || eq == 0) {
        a.Reason = "not key=value lines";
        return a;
      }
      if (line.compare(0, eq, "ip") == 0) {
        ++found;
        value = line.substr(eq + 1);
      }
    }
    if (found != 1) {
      a.Reason = found == 0 ? "no ip line" : "more than one address";
      return a;
    }
  }
  a.Reason = AddressRefusal(value);
  a.Accepted = a.Reason.empty();
  if (a.Accepted) a.Address = value;
  return a;
}

int64_t RestSeconds(int Status, const std::string& RetryAfter, TDateTime Reference) {
  if (Status != 403 && Status != 429) return 0;
  const std::string value = text::Trim(RetryAfter);
  int64_t asked = 0;
  if (!value.empty() && std::all_of(value.begin(), value.end(), IsDigit)) {
    // More digits than fit are more than a day.
    if (!text::TryStrToInt64(value, asked)) asked = kRestMaxSeconds;
  } else if (!value.empty()) {
    try {
      const TDateTime until = InternetDateToLocal(value);
      if (until != 0) asked = std::llround((until - Reference) * kSecondsPerDay);
    } catch (const std::exception&) {
      // Without the time zone the date cannot be placed: as if absent.
    }
  }
  return std::clamp(asked, kRestMinSeconds, kRestMaxSeconds);
}

bool Resting(const TRests& Rests, const std::string& Url, TDateTime Now) {
  const auto rest = Rests.find(Url);
  return rest != Rests.end() && (rest->second - Now) * kSecondsPerDay * 1000 >= 0.5;
}

std::string OneLine(const std::string& Message) {
  std::string out;
  std::string rest = Message;
  while (!rest.empty()) {
    std::string line = text::Trim(text::Fetch(rest, "\n"));
    if (line.empty()) continue;
    if (!out.empty()) out += ": ";
    out += line;
  }
  return out;
}

std::string UrlHost(const std::string& Url) {
  const size_t scheme = Url.find("://");
  const size_t from = scheme == std::string::npos ? 0 : scheme + 3;
  return Url.substr(from, Url.find_first_of("/?#", from) - from);
}

}  // namespace echo
