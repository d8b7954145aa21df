#include "app/SettingsText.h"

#include <algorithm>
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

TExtraSettings TExtraSettings::Read(const std::string& Data, size_t MaxBytes) {
  TExtraSettings extra;
  const std::vector<std::string> lines = SplitLines(Data);
  for (size_t i = kSettingsLines; i < lines.size(); ++i) {
    const std::string_view line(lines[i]);
    std::string key = text::Trim(line.substr(0, std::min(line.size(), kKeyWidth)));
    if (key.empty()) continue;
    std::string value =
        line.size() > kKeyWidth ? text::CutUtf8(line.substr(kKeyWidth), MaxBytes) : std::string();
    extra.Lines.emplace_back(std::move(key), std::move(value));
  }
  return extra;
}

std::string TExtraSettings::Get(const std::string& Key, const std::string& Default) const {
  for (const auto& [k, v] : Lines)
    if (k == Key) return v;
  return Default;
}

std::vector<std::string> TExtraSettings::GetAll(const std::string& Key) const {
  std::vector<std::string> values;
  for (const auto& [k, v] : Lines)
    if (k == Key) values.push_back(v);
  return values;
}

bool TExtraSettings::Has(const std::string& Key) const {
  return std::any_of(Lines.begin(), Lines.end(), [&](const auto& l) { return l.first == Key; });
}

void TExtraSettings::SetAll(const std::string& Key, const std::vector<std::string>& Values) {
  auto first =
      std::find_if(Lines.begin(), Lines.end(), [&](const auto& l) { return l.first == Key; });
  const auto at = static_cast<size_t>(first - Lines.begin());
  std::erase_if(Lines, [&](const auto& l) { return l.first == Key; });
  std::vector<std::pair<std::string, std::string>> fresh;
  fresh.reserve(Values.size());
  for (const auto& v : Values) fresh.emplace_back(Key, v);
  Lines.insert(Lines.begin() + static_cast<std::ptrdiff_t>(std::min(at, Lines.size())),
               fresh.begin(), fresh.end());
}

std::string TExtraSettings::Text(size_t MaxBytes) const {
  std::string out;
  for (const auto& [k, v] : Lines)
    out += SettingsKey(k.c_str()) + StoredValue(v, MaxBytes) + "\r\n";
  return out;
}

}  // namespace formtext
