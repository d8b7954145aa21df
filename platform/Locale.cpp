#include "platform/Locale.h"

#include <cstdlib>
#include <string_view>

#include "platform/Text.h"

namespace {

// POSIX locale names look like language[_territory][.codeset][@modifier]; the
// variables are consulted in the order setlocale(LC_MESSAGES, "") would use.
TUserLocale ReadLocale() {
  std::string name;
  for (const char* var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* v = std::getenv(var);
    if (v && *v) {
      name = v;
      break;
    }
  }
  std::string_view n = name;
  n = n.substr(0, n.find_first_of(".@"));
  TUserLocale l;
  size_t us = n.find('_');
  l.Language = text::LowerCase(n.substr(0, us));
  if (us != std::string_view::npos) l.Territory = text::UpperCase(n.substr(us + 1));
  // "C" and "POSIX" name no language.
  if (l.Language.empty() || l.Language == "c" || l.Language == "posix") l = {"en", ""};
  return l;
}

}  // namespace

TUserLocale UserDefaultLocale() {
  static const TUserLocale locale = ReadLocale();
  return locale;
}

std::string TextEncoding() {
  return "UTF-8";
}
