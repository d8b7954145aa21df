// The user's locale and time zone as the process found them when it started,
// and what the mail and web layers make of them. CTest runs this program once
// per environment (LC_ALL and TZ, see CMakeLists.txt). Under Wine those
// variables of the Wine process choose the Windows locale, the ANSI code page
// and the time zone, so the same cases check the Windows services; on Linux
// the texts stay UTF-8 whatever the language.
#include <cstdlib>
#include <string>

#include "gtest/gtest.h"
#include "net/http/IdURI.h"
#include "net/mail/IdMessageClient.h"
#include "net/transport/IdGlobal.h"
#include "platform/DateTime.h"
#include "platform/Locale.h"

namespace {

std::string Env(const char* Name) {
  const char* v = std::getenv(Name);
  return v ? v : "";
}

// What one system makes of a locale: the encoding of the texts, the header
// charset, a name in that encoding with its encoded word, and whether the
// byte 0x95 starts a double-byte character.
struct TTextRule {
  const char* Encoding;
  THeaderTransfer Transfer;
  char Letter;
  const char* Charset;
  const char* Name;
  const char* Encoded;
  bool LeadByte95;
};

struct TLocaleCase {
  const char* LcAll;
  const char* Language;
  const char* Territory;
  TTextRule Windows;  // the ANSI code page of the locale
  TTextRule Linux;    // UTF-8
};

// The names: Jürgen Müller, 日本 (Japan), Иван (Ivan). The Windows forms are
// the bytes of code pages 1252, 932 (Shift-JIS) and 1251; Japanese headers
// carry ISO-2022-JP (ESC $ B, the JIS X 0208 codes 0x467C 0x4B5C, ESC ( B) in
// base64; the table has Russian under ISO-8859-1, as the program has always
// written it.
const TLocaleCase kLocales[] = {
    {"de_DE.UTF-8",
     "de",
     "DE",
     {"CP1252", THeaderTransfer::Bit8, 'Q', "ISO-8859-1", "J\xFCrgen M\xFCller",
      "=?ISO-8859-1?Q?J=FCrgen_M=FCller?=", false},
     {"UTF-8", THeaderTransfer::Bit8, 'Q', "UTF-8", "J\xC3\xBCrgen M\xC3\xBCller",
      "=?UTF-8?Q?J=C3=BCrgen_M=C3=BCller?=", false}},
    {"ja_JP.UTF-8",
     "ja",
     "JP",
     {"CP932", THeaderTransfer::Iso2022Jp, 'B', "ISO-2022-JP", "\x93\xFA\x96\x7B",
      "=?ISO-2022-JP?B?GyRCRnxLXBsoQg==?=", true},
     {"UTF-8", THeaderTransfer::Bit8, 'B', "UTF-8", "\xE6\x97\xA5\xE6\x9C\xAC",
      "=?UTF-8?B?5pel5pys?=", false}},
    {"ru_RU.UTF-8",
     "ru",
     "RU",
     {"CP1251", THeaderTransfer::Bit8, 'Q', "ISO-8859-1", "\xC8\xE2\xE0\xED",
      "=?ISO-8859-1?Q?=C8=E2=E0=ED?=", false},
     {"UTF-8", THeaderTransfer::Bit8, 'Q', "UTF-8", "\xD0\x98\xD0\xB2\xD0\xB0\xD0\xBD",
      "=?UTF-8?Q?=D0=98=D0=B2=D0=B0=D0=BD?=", false}},
};

struct TZoneCase {
  const char* Tz;
  int Minutes;         // east of UTC
  const char* Suffix;  // of the mail date
};

// A zone without daylight saving and a half hour in its offset; one whose
// daylight time is in force all year (standard UTC-5, daylight UTC-4); UTC.
const TZoneCase kZones[] = {
    {"IST-5:30", 330, "+0530"},
    {"XST+5XDT,J1/0,J365/24", -240, "-0400"},
    {"UTC0", 0, "+0000"},
};

const TLocaleCase* StartedLocale() {
  for (const TLocaleCase& c : kLocales)
    if (Env("LC_ALL") == c.LcAll) return &c;
  return nullptr;
}

const TZoneCase* StartedZone() {
  for (const TZoneCase& c : kZones)
    if (Env("TZ") == c.Tz) return &c;
  return nullptr;
}

#ifdef _WIN32
const TTextRule& RuleOf(const TLocaleCase& C) {
  return C.Windows;
}
#else
const TTextRule& RuleOf(const TLocaleCase& C) {
  return C.Linux;
}
#endif

TEST(StartedLocale, LanguageEncodingAndHeaderCharset) {
  const TLocaleCase* c = StartedLocale();
  if (!c) GTEST_SKIP() << "LC_ALL '" << Env("LC_ALL") << "' is not one of the cases";
  const TTextRule& rule = RuleOf(*c);
  const TUserLocale locale = UserDefaultLocale();
  EXPECT_EQ(locale.Language, c->Language);
  EXPECT_EQ(locale.Territory, c->Territory);
  EXPECT_EQ(TextEncoding(), rule.Encoding);

  // The mail writer takes the locale and the encoding when it is made.
  TIdMessageClient writer;
  const THeaderCharset cs = writer.SelectHeaderCharset();
  EXPECT_EQ(cs.Transfer, rule.Transfer);
  EXPECT_EQ(cs.Letter, rule.Letter);
  EXPECT_EQ(cs.Charset, rule.Charset);
  EXPECT_EQ(writer.EncodeHeaderText(rule.Name, "", cs), rule.Encoded);
}

TEST(StartedLocale, DoubleByteCharactersKeepTheirSecondByte) {
  const TLocaleCase* c = StartedLocale();
  if (!c) GTEST_SKIP() << "LC_ALL '" << Env("LC_ALL") << "' is not one of the cases";
  const TTextRule& rule = RuleOf(*c);
  EXPECT_EQ(IsLeadByte('\x95'), rule.LeadByte95);
  EXPECT_FALSE(IsLeadByte('\\'));
  EXPECT_FALSE(IsLeadByte('a'));
  // 0x95 0x5C is one Shift-JIS character (表) whose second byte is a
  // backslash: it stays, the other backslashes become slashes.
  EXPECT_EQ(TIdURI::NormalizeSlashes("\\a\x95\\b\\"), rule.LeadByte95 ? "/a\x95\\b/" : "/a\x95/b/");
}

TEST(StartedZone, OffsetFromUtcAndTheMailDate) {
  const TZoneCase* c = StartedZone();
  if (!c) GTEST_SKIP() << "TZ '" << Env("TZ") << "' is not one of the cases";
  ASSERT_EQ(LocalUtcOffsetMinutes(), c->Minutes);
  EXPECT_DOUBLE_EQ(LocalUtcOffset(), c->Minutes / 1440.0);
  const TDateTime when = EncodeDate(2026, 12, 6) + EncodeTime(19, 4, 55, 0);
  EXPECT_EQ(TIdMessageClient::FormatMailDate(when),
            std::string("Sun, 6 Dec 2026 19:04:55 ") + c->Suffix);
}

}  // namespace
