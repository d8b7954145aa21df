#pragma once
// One fuzz input for the main window's two text readers, shared by their
// libFuzzer targets (SettingsFuzzer.cpp and EchoReplyFuzzer.cpp, run by
// scripts/fuzz-settings and scripts/fuzz-echo). A broken property traps, so
// that libFuzzer keeps the input as a crash.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "app/EchoReply.h"
#include "app/SettingsText.h"
#include "platform/Exception.h"
#include "platform/Text.h"

namespace appfuzz {

// The most bytes a window text keeps (TForm1::kMaxText, which lives in the
// window's header; the readers take it as a parameter).
constexpr size_t kMaxText = 255;

// Ends the input's run as a finding.
inline void Check(bool Ok) {
  if (!Ok) __builtin_trap();
}

inline bool HasControlCharacter(std::string_view S) {
  return std::any_of(S.begin(), S.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 32 || c == 127; });
}

// A value that the reader gives back: within the cap, no line break, and not
// ending inside a UTF-8 sequence that the cut would have dropped.
inline void CheckValue(const std::string& V) {
  Check(V.size() <= kMaxText);
  Check(V.find_first_of("\r\n") == std::string::npos);
  Check(text::CutUtf8(V, kMaxText) == V);
}

// A number field as the window reads it: StrToInt raises EConvertError for
// anything that is not a number, and agrees with TryStrToInt.
inline void ReadNumber(const std::string& V) {
  int tried = 0;
  const bool ok = text::TryStrToInt(V, tried);
  try {
    const int got = text::StrToInt(V);
    Check(ok && got == tried);
  } catch (const EConvertError&) {
    Check(!ok);
  }
}

// The file as written by the window: each value on its keyed line, CR LF after
// each of the five lines.
inline std::string WriteSettings(const std::string (&Values)[formtext::kSettingsLines]) {
  static const char* const kKeys[formtext::kSettingsLines] = {"Name", "Email", "Schedule",
                                                              "Start Min", "IP"};
  std::string out;
  for (size_t i = 0; i < formtext::kSettingsLines; ++i)
    out += formtext::SettingsKey(kKeys[i]) + formtext::StoredValue(Values[i], kMaxText) + "\r\n";
  return out;
}

// The settings reader on any file text, then the writer and reader in a round
// trip: the input split at each 0x1E byte gives the five values to write, and
// reading the written file gives each back as stored.
inline void Settings(const uint8_t* Data, size_t Size) {
  const std::string in(reinterpret_cast<const char*>(Data), Size);
  const auto read = formtext::ReadSettingsValues(in, kMaxText);
  for (const std::string& v : read) CheckValue(v);
  (void)text::Trim(read[0]);
  (void)text::Trim(read[1]);
  ReadNumber(read[2]);
  ReadNumber(read[3]);

  std::string values[formtext::kSettingsLines];
  size_t from = 0;
  for (size_t i = 0; i < formtext::kSettingsLines && from <= in.size(); ++i) {
    size_t sep = i + 1 < formtext::kSettingsLines ? in.find('\x1e', from) : std::string::npos;
    if (sep == std::string::npos) sep = in.size();
    values[i] = in.substr(from, sep - from);
    from = sep + 1;
  }
  const std::string file = WriteSettings(values);
  // Five lines whatever the values hold.
  size_t breaks = 0;
  for (char c : file) breaks += (c == '\r' || c == '\n');
  Check(breaks == 2 * formtext::kSettingsLines);
  const auto back = formtext::ReadSettingsValues(file, kMaxText);
  for (size_t i = 0; i < formtext::kSettingsLines; ++i)
    Check(back[i] == formtext::StoredValue(values[i], kMaxText));
}

// The echo page reader: a value found lies between the markers, holds no
// control character, and survives being stored in the settings file.
inline void EchoReply(const uint8_t* Data, size_t Size) {
  const std::string reply(reinterpret_cast<const char*>(Data), Size);
  std::string value = "untouched";
  const bool found = formtext::ExtractAddress(reply, value);
  const size_t b = reply.find("BEGINIP");
  const size_t e = reply.find("ENDIP");
  if (b == std::string::npos || e == std::string::npos) {
    Check(!found && value == "untouched");
    return;
  }
  if (!found) {
    Check(value == "untouched");
    return;
  }
  Check(!HasControlCharacter(value));
  Check(!text::Trim(value).empty());
  Check(e > b + 7);
  const std::string_view between = std::string_view(reply).substr(b + 7, e - b - 7);
  // As it stands, or trimmed when control characters surrounded it.
  Check(value == between || value == text::Trim(between));
  // What the check stores and reads back at the next start.
  const std::string stored = text::CutUtf8(value, kMaxText);
  std::string values[formtext::kSettingsLines] = {"n", "a@b", "60", "0", stored};
  Check(formtext::ReadSettingsValues(WriteSettings(values), kMaxText)[4] == stored);
}

}  // namespace appfuzz
