#pragma once
// The settings file's text apart from the window: its keyed lines as the window
// writes them and its values as the window reads them back. Plain strings in and
// out, so the reader can be tested and fuzzed without a window or a file.
#include <array>
#include <cstddef>
#include <string>

namespace formtext {

// The lines the settings file holds, in order; later lines are ignored.
constexpr size_t kSettingsLines = 5;
// Each line of the settings file: a key padded to this width, then the value.
constexpr size_t kKeyWidth = 14;

// Word padded with blanks to the key column's width.
std::string SettingsKey(const char* Word);

// A value as the settings file holds it: CR and LF become blanks, so it never
// adds a line, and it keeps at most MaxBytes bytes, cut before a UTF-8
// character that would not fit whole.
std::string StoredValue(std::string S, size_t MaxBytes);

// The settings file's values by line position (never by key): the text after
// the key column of each of the first kSettingsLines lines, cut to MaxBytes as
// StoredValue cuts. CR LF, a bare LF or a bare CR ends a line; a missing or
// short line reads as an empty value.
std::array<std::string, kSettingsLines> ReadSettingsValues(const std::string& Data,
                                                           size_t MaxBytes);

}  // namespace formtext
