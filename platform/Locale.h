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

// The character encoding of the program's texts: "UTF-8" on Linux, the ANSI
// code page on Windows ("CP1252", "CP932").
std::string TextEncoding();

// Whether C is the first byte of a double-byte character of the texts'
// encoding, whose second byte must never be read as a character of its own.
// Always false for UTF-8 (Linux), where no byte of a multi-byte sequence is an
// ASCII character; on Windows the ANSI code page's own test.
#ifdef _WIN32
bool IsLeadByte(char C);
#else
inline bool IsLeadByte(char) {
  return false;
}
#endif
