#pragma once
// The user's default locale and the encoding of the program's texts.
#include <string>

// The language and territory of the user's default locale, lower- and
// upper-case ISO codes ("ja", "JP"); language "en" when the platform reports
// none.
struct TUserLocale {
  std::string Language;
  std::string Territory;
};

// Read once and kept: the locale in force when the program started.
TUserLocale UserDefaultLocale();

// The character encoding of the program's texts: "UTF-8" on Linux.
std::string TextEncoding();
