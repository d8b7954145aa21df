#include "app/EchoReply.h"

#include <algorithm>

#include "platform/Text.h"

namespace formtext {

namespace {

const char kBeginMarker[] = "BEGINIP";
const char kEndMarker[] = "ENDIP";
constexpr size_t kBeginMarkerLength = sizeof kBeginMarker - 1;

bool HasControlCharacter(const std::string& S) {
  return std::any_of(S.begin(), S.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 32 || c == 127; });
}

}  // namespace

bool ExtractAddress(const std::string& Reply, std::string& Value) {
  size_t b = Reply.find(kBeginMarker);
  size_t e = Reply.find(kEndMarker);
  if (b == std::string::npos || e == std::string::npos) return false;
  size_t from = b + kBeginMarkerLength;
  std::string found = e > from ? Reply.substr(from, e - from) : std::string();
  if (HasControlCharacter(found)) {
    found = text::Trim(found);
    if (HasControlCharacter(found)) return false;
  }
  // Markers touching or reversed, or only blanks between them, name no
  // address: taking that as the new one would mail the user an empty address
  // and forget the stored one, so such a reply is ignored like one without
  // markers.
  if (text::Trim(found).empty()) return false;
  Value = found;
  return true;
}

}  // namespace formtext
