#pragma once
// What the end-to-end tests of the built program expect, the same on every
// system: the sandbox the servers are pinned to, the mail exchangers the DNS
// server knows, the echo pages and settings files the cases start from, and
// the mail and settings file the first check must produce. The Linux test
// (tests/app/CorvaleE2ETest.cpp) and the Windows one under Wine
// (tests/ui/win32/CorvaleWin32E2ETest.cpp) differ only in how they start, watch
// and end the program.
#include <string>
#include <vector>

namespace e2e {

// A build without a configured echo host talks to this address on the real
// ports: 80 (echo page), 53 (DNS) and 25 (mail).
inline constexpr const char* kSandbox = "127.7.0.1";

// The DNS server's mail exchangers: two domains on the sandbox, one on an
// address where nothing listens (its mail is refused). Any other domain has
// none.
inline const std::vector<std::string> kExchangers = {"mx-host=a.test,127.7.0.1,10",
                                                     "mx-host=b.test,127.7.0.1,10",
                                                     "mx-host=refused.test,127.7.0.2,10"};

// Echo pages: an address with the blanks around it that the program keeps,
// and one without.
inline constexpr const char* kPaddedReply = "BEGINIP 203.0.113.7 ENDIP";
inline constexpr const char* kPaddedAddress = " 203.0.113.7 ";
inline constexpr const char* kPlainReply = "BEGINIP203.0.113.9ENDIP";
inline constexpr const char* kPlainAddress = "203.0.113.9";
// The address the settings files hold before a change.
inline constexpr const char* kOldAddress = "198.51.100.1";

// The settings file as the program writes it, byte for byte.
inline std::string Settings(const std::string& Email, const std::string& IP) {
  return "Name          Eve Example\r\nEmail         " + Email +
         "\r\nSchedule      3600\r\nStart Min     0\r\nIP            " + IP + "\r\n";
}

// Whether a settings file holds IP as its stored address.
inline bool Holds(const std::string& Ini, const std::string& IP) {
  return Ini.find("\r\nIP            " + IP + "\r\n") != std::string::npos;
}

// The lines the first check's mail to eve@a.test must hold, after a change
// from kOldAddress to kPaddedAddress.
inline const std::vector<std::string> kFirstMailLines = {
    "From: \"Eve Example\" <eve@a.test>\r\n", "Subject: Your IP Address is  203.0.113.7\r\n",
    "To: \"Eve Example\" <eve@a.test>\r\n", "Content-Type: text/html;\r\n",
    // The body is one entry, written across lines.
    // NOLINTNEXTLINE(bugprone-suspicious-missing-comma)
    "\r\n\r\n<div align=\"center\"><p><font size=\"5\"><strong>Hello Eve Example<br>\r\n"
    "Your Old IP Address is 198.51.100.1<br>\r\n"
    "Your New IP Address is  203.0.113.7 <br>\r\n"
    "Thank you for using Corvale</strong></p></div>\r\n"};

// The program's request for the echo page, exactly as it asks for it.
inline constexpr const char* kEchoPage = "GetMyIP.pl";
inline constexpr const char* kRequestLine = "GET /GetMyIP.pl HTTP/1.1";
inline constexpr const char* kUserAgent = "Mozilla/3.0 (compatible; Corvale Net Library)";

}  // namespace e2e
