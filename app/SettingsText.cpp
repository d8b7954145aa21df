#include "app/SettingsText.h"

#include <string_view>
#include <vector>

#include "platform/Text.h"

namespace formtext {

namespace {

// The file's lines. CR LF ends a line, and so do a bare LF or CR.
std::vector<std::string> SplitLines(const std::string& Data) {
  std::vector<std::string> lines;
  size_t i = 0;
  while (i < Data.size()) {
    size_t e = Data.find_first_of("\r\n", i);
    if (e == std::string::npos) {
      lines.push_back(Data.substr(i));
      break;
    }
    lines.push_back(Data.substr(i, e - i));
    i = e + ((Data[e] == '\r' && e + 1 < Data.size() && Data[e + 1] == '\n') ? 2 : 1);
  }
  return lines;
}

}  // namespace

std::string SettingsKey(const char* Word) {
  std::string k(Word);
  k.resize(kKeyWidth, ' ');
  return k;
}

std::string StoredValue(std::string S, size_t MaxBytes) {
  for (char& c : S)
    if (c == '\r' || c == '\n') c = ' ';
  return text::CutUtf8(S, MaxBytes);
}

std::array<std::string, kSettingsLines> ReadSettingsValues(const std::string& Data,
                                                           size_t MaxBytes) {
  const std::vector<std::string> lines = SplitLines(Data);
  std::array<std::string, kSettingsLines> values;
  for (size_t i = 0; i < kSettingsLines && i < lines.size(); ++i) {
    // The value is cut, not the line with its key: a longer value (a name
    // typed into an earlier build, which wrote it whole, or a file edited by
    // hand) reads as the writer would have kept it.
    if (lines[i].size() > kKeyWidth)
      values[i] = text::CutUtf8(std::string_view(lines[i]).substr(kKeyWidth), MaxBytes);
  }
  return values;
}

}  // namespace formtext
