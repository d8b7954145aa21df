// The address services' rules apart from the window: the list's lines, the
// three reply formats with their checks, and the rest after a 403 or 429.
#include <gtest/gtest.h>

#include <set>

#include "app/EchoSources.h"
#include "net/http/IdHTTP.h"

namespace {

using echo::TEchoFormat;

TEST(EchoSources, RepliesAreReadAndCheckedByFormat) {
  struct Case {
    TEchoFormat Format;
    std::string Body;
    std::string Address;  // "" when refused
    std::string Reason;   // "" when accepted
  };
  const auto M = TEchoFormat::Markers;
  const auto P = TEchoFormat::Plain;
  const auto T = TEchoFormat::Trace;
  const Case cases[] = {
      // The echo page's markers keep their own rules: blanks kept, no range check.
      {M, "<b>BEGINIP 10.1.2.3 ENDIP</b>", " 10.1.2.3 ", ""},
      {M, "10.1.2.3", "", "no address between BEGINIP and ENDIP"},
      {P, "203.0.113.7\n", "203.0.113.7", ""},
      {P, " \t203.0.113.7\r\n", "203.0.113.7", ""},
      {P, "", "", "no address"},
      {P, "<html><body>Sign in</body></html>", "", "an HTML page"},
      {P, "203.0.113.7 198.51.100.9", "", "more than one address"},
      {P, "203.0.113.7\n2001:db8::7", "", "more than one address"},
      {P, "203.0.113.7 OK", "", "more than an address"},
      {P, "2001:db8::7", "", "an IPv6 address"},
      {P, "::ffff:203.0.113.7", "", "an IPv6 address"},
      {P, "256.1.1.1", "", "not an IPv4 address"},
      {P, "203.0.113.07", "", "not an IPv4 address"},
      {P, "203.0.113", "", "not an IPv4 address"},
      {P, "203.0.113.7.1", "", "not an IPv4 address"},
      {P, "1234.0.113.7", "", "not an IPv4 address"},
      {P, "ip.example", "", "not an IPv4 address"},
      // Each range at its edges and one past.
      {P, "10.255.255.255", "", "a private address"},
      {P, "11.0.0.0", "11.0.0.0", ""},
      {P, "172.15.255.255", "172.15.255.255", ""},
      {P, "172.16.0.0", "", "a private address"},
      {P, "172.31.255.255", "", "a private address"},
      {P, "172.32.0.0", "172.32.0.0", ""},
      {P, "192.168.0.1", "", "a private address"},
      {P, "192.169.0.1", "192.169.0.1", ""},
      {P, "127.0.0.1", "", "a loopback address"},
      {P, "169.254.9.9", "", "a link-local address"},
      {P, "169.253.9.9", "169.253.9.9", ""},
      {P, "100.63.255.255", "100.63.255.255", ""},
      {P, "100.64.0.0", "", "a shared address (100.64.0.0/10)"},
      {P, "100.127.255.255", "", "a shared address (100.64.0.0/10)"},
      {P, "100.128.0.0", "100.128.0.0", ""},
      {P, "0.1.2.3", "", "not a unicast address"},
      {P, "223.255.255.255", "223.255.255.255", ""},
      {P, "224.0.0.1", "", "not a unicast address"},
      {P, "255.255.255.255", "", "not a unicast address"},
      {T, "fl=29f1\nh=www.cloudflare.com\nip=198.51.100.9\nts=1.5\n", "198.51.100.9", ""},
      {T, "h=x\r\nip=198.51.100.9\r\n\r\n", "198.51.100.9", ""},
      {T, "fl=29f1\nts=1.5\n", "", "no ip line"},
      {T, "ip=198.51.100.9\nip=203.0.113.7\n", "", "more than one address"},
      {T, "ip=192.168.1.20\n", "", "a private address"},
      {T, "ip=2001:db8::7\n", "", "an IPv6 address"},
      {T, "ip= 198.51.100.9\n", "", "not an IPv4 address"},
      {T, "Welcome\nip=198.51.100.9\n", "", "not key=value lines"},
      {T, "<html>ip=198.51.100.9</html>", "", "an HTML page"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(echo::FormatName(c.Format)) + " " + c.Body);
    const echo::TEchoAnswer a = echo::ReadReply(c.Format, c.Body);
    EXPECT_EQ(a.Accepted, c.Reason.empty());
    EXPECT_EQ(a.Address, c.Address);
    EXPECT_EQ(a.Reason, c.Reason);
  }
}

TEST(EchoSources, ListLinesAndTheBuildsList) {
  struct Case {
    std::string Line;
    bool Read;
    TEchoFormat Format;
    std::string Url;
  };
  const Case cases[] = {
      {"plain https://api.ipify.org", true, TEchoFormat::Plain, "https://api.ipify.org"},
      {"  trace\thttp://127.0.0.1:8080/cdn-cgi/trace ", true, TEchoFormat::Trace,
       "http://127.0.0.1:8080/cdn-cgi/trace"},
      {"Markers HTTP://ip.example/GetMyIP.pl", true, TEchoFormat::Markers,
       "HTTP://ip.example/GetMyIP.pl"},
      {"json https://ip.example", false, {}, ""},
      {"plain ftp://ip.example", false, {}, ""},
      {"plain https://", false, {}, ""},
      {"plain", false, {}, ""},
      {"plain https://ip.example extra", false, {}, ""},
      {"plain https://ip.example\x01", false, {}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Line);
    echo::TEchoSource s{TEchoFormat::Trace, "untouched"};
    ASSERT_EQ(echo::ParseSource(c.Line, s), c.Read);
    if (c.Read) {
      EXPECT_EQ(s, (echo::TEchoSource{c.Format, c.Url}));
      echo::TEchoSource back;
      EXPECT_TRUE(echo::ParseSource(echo::SourceLine(s), back));
      EXPECT_EQ(back, s);
    } else {
      EXPECT_EQ(s.Url, "untouched");
    }
  }
  EXPECT_TRUE(echo::BuildSources("").empty());
  EXPECT_EQ(echo::BuildSources("plain http://a/ip|bogus|trace https://b/t"),
            (std::vector<echo::TEchoSource>{{TEchoFormat::Plain, "http://a/ip"},
                                            {TEchoFormat::Trace, "https://b/t"}}));

  // A package or release build: four or more services over https, each on a
  // host of its own, in a format that the checks hold to one IPv4 address.
  const std::vector<echo::TEchoSource> pub = echo::BuildSources("public");
  EXPECT_EQ(pub, echo::PublicSources());
  EXPECT_GE(pub.size(), 4u);
  std::set<std::string> hosts;
  for (const echo::TEchoSource& s : pub) {
    SCOPED_TRACE(s.Url);
    EXPECT_EQ(s.Url.rfind("https://", 0), 0u);
    EXPECT_NE(s.Format, TEchoFormat::Markers);
    hosts.insert(echo::UrlHost(s.Url));
  }
  EXPECT_EQ(hosts.size(), pub.size());
  EXPECT_EQ(echo::UrlHost("http://127.0.0.1:8080/ip?x=1"), "127.0.0.1:8080");
  EXPECT_EQ(echo::OneLine("Socket Error # 10060\r\nConnection timed out.\r\n"),
            "Socket Error # 10060: Connection timed out.");
}

TEST(EchoSources, A403Or429RestsAnHourOrItsRetryAfterUpToADay) {
  // The reply's own date, 2026-01-01 12:00:00 UTC (a Thursday), read the way
  // a Retry-After date is read, so the difference holds in any time zone.
  const TDateTime date = InternetDateToLocal("Thu, 01 Jan 2026 12:00:00 GMT");
  ASSERT_NE(date, 0);
  struct Case {
    int Status;
    std::string RetryAfter;
    int64_t Seconds;
  };
  const Case cases[] = {
      {200, "", 0},
      {503, "7200", 0},
      {404, "", 0},
      {403, "", 3600},
      {429, "", 3600},
      {429, "60", 3600},
      {429, "3599", 3600},
      {429, "3601", 3601},
      {403, " 7200 ", 7200},
      {429, "86400", 86400},
      {429, "86401", 86400},
      {429, "99999999999999999999999", 86400},
      {429, "soon", 3600},
      {429, "-7200", 3600},
      {429, "Thu, 01 Jan 2026 14:30:00 GMT", 9000},
      {429, "Thu, 01 Jan 2026 11:00:00 GMT", 3600},
      {429, "Fri, 02 Jan 2026 12:00:00 GMT", 86400},
      {429, "Fri, 02 Jan 2026 12:00:01 GMT", 86400},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.Status) + " " + c.RetryAfter);
    EXPECT_EQ(echo::RestSeconds(c.Status, c.RetryAfter, date), c.Seconds);
  }

  // A rest ends at its moment, to the millisecond.
  const echo::TRests rests{{"https://a", date + 3600.0 / 86400}};
  EXPECT_TRUE(echo::Resting(rests, "https://a", date + 3599.999 / 86400));
  EXPECT_FALSE(echo::Resting(rests, "https://a", date + 3600.0 / 86400));
  EXPECT_FALSE(echo::Resting(rests, "https://b", date));
}

}  // namespace
