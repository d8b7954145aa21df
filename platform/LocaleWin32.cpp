// The user's default locale and the ANSI code page on Windows.
#include "platform/Locale.h"

#include <windows.h>

#include "platform/Text.h"

namespace {

// ISO 639 and ISO 3166 codes have two or three letters.
constexpr int kCodeBuffer = 16;

TUserLocale ReadLocale() {
  const LCID lcid = GetUserDefaultLCID();
  char language[kCodeBuffer] = {};
  char country[kCodeBuffer] = {};
  if (GetLocaleInfoA(lcid, LOCALE_SISO639LANGNAME, language, kCodeBuffer) == 0 || !*language)
    return {"en", ""};
  TUserLocale l;
  l.Language = text::LowerCase(language);
  if (GetLocaleInfoA(lcid, LOCALE_SISO3166CTRYNAME, country, kCodeBuffer) != 0)
    l.Territory = text::UpperCase(country);
  return l;
}

}  // namespace

TUserLocale UserDefaultLocale() {
  static const TUserLocale locale = ReadLocale();
  return locale;
}

std::string TextEncoding() {
  return "CP" + std::to_string(GetACP());
}

bool IsLeadByte(char C) {
  return IsDBCSLeadByte(static_cast<BYTE>(C)) != 0;
}
