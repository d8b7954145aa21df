#include "app/EchoReply.h"

#include "platform/Text.h"

namespace formtext {

namespace {

const char kBeginMarker[] = "BEGINIP";
const char kEndMarker[] = "ENDIP";
constexpr size_t kBeginMarkerLength = sizeof kBeginMarker - 1;

bool HasControlCharacter(const std::string& S) {
  for (char c : S)
    if (static_cast<unsigned char>(c) < 32 || c == 127) return true;
  return false;
}

}  // namespace

bool ExtractAddress(const std::string& Reply, std::string& Value) {
  size_t b = Reply.find(kBeginMarker);
  size_t e = Reply.find(kEndMarker);
  if (b == std::string::npos || e == std::string::npos) return false;
  size_t from = b + kBeginMarkerLength;
  Value = e > from ? Reply.substr(from, e - from) : std::string();
  if (HasControlCharacter(Value)) {
    Value = text::Trim(Value);
    if (HasControlCharacter(Value)) return false;
  }
  return true;
}

}  // namespace formtext
