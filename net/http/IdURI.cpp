#include "net/http/IdURI.h"

#include "platform/Locale.h"
#include "platform/Text.h"

TIdURI::TIdURI(std::string_view AURI) {
  if (!AURI.empty()) SetURI(AURI);
}

void TIdURI::SetURI(std::string_view AURI) {
  FURI = NormalizeSlashes(AURI);
  static_cast<TIdURIParts&>(*this) = SplitAddress(FURI);
}

std::string TIdURI::NormalizeSlashes(std::string_view AURI) {
  // The second byte of a double-byte character (Windows code pages such as
  // Shift-JIS) may be a backslash and is part of that character; in UTF-8 a
  // backslash byte is always a backslash.
  std::string result(AURI);
  for (size_t i = 0; i < result.size(); ++i) {
    if (IsLeadByte(result[i]))
      ++i;
    else if (result[i] == '\\')
      result[i] = '/';
  }
  return result;
}

TIdURIParts TIdURI::SplitAddress(std::string_view AURI) {
  TIdURIParts parts;
  std::string rest = NormalizeSlashes(AURI);
  if (const size_t scheme = rest.find("://"); scheme != std::string::npos) {
    parts.Protocol = rest.substr(0, scheme);
    rest.erase(0, scheme + 3);
    std::string authority = text::Fetch(rest, "/");
    // User information ("name:password@") is not recognised: the host ends at
    // the first colon whatever follows it.
    parts.Host = text::Fetch(authority, ":");
    parts.Port = authority;
  }
  const size_t lastSlash = rest.rfind('/');
  if (lastSlash != std::string::npos) {
    parts.Path = rest.substr(0, lastSlash + 1);
    rest.erase(0, lastSlash + 1);
  }
  if (parts.Path.empty() || parts.Path.front() != '/') parts.Path = "/" + parts.Path;
  parts.Document = text::Fetch(rest, "#");
  parts.Bookmark = rest;
  return parts;
}
