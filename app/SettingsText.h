#pragma once
// The settings file's text apart from the window: its keyed lines as the window
// writes them and its values as the window reads them back. Plain strings in and
// out, so the reader can be tested and fuzzed without a window or a file.
#include <array>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

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

// The lines after the first kSettingsLines: settings a newer build added,
// each a key in the key column and a value, read by key so that their order
// is free. A build that does not know a key keeps the line as it was read and
// writes it back, so saving from an older or narrower window loses nothing.
// A key may stand on several lines (a list, in order).
class TExtraSettings {
 public:
  // The lines after the first kSettingsLines of Data; a line without a key
  // (blank key column) is dropped, values are cut to MaxBytes.
  static TExtraSettings Read(const std::string& Data, size_t MaxBytes);
  // The first value of Key (trailing blanks of the key column ignored), or
  // Default when no line has it.
  std::string Get(const std::string& Key, const std::string& Default = "") const;
  // Every value of Key, in file order.
  std::vector<std::string> GetAll(const std::string& Key) const;
  bool Has(const std::string& Key) const;
  // Key now has exactly Values: its lines are replaced where its first line
  // stood (or appended), in the order given; an empty list removes the key.
  void SetAll(const std::string& Key, const std::vector<std::string>& Values);
  void Set(const std::string& Key, const std::string& Value) { SetAll(Key, {Value}); }
  void Remove(const std::string& Key) { SetAll(Key, {}); }
  // The lines as the settings file holds them after its first lines: each
  // key padded to kKeyWidth, the value as StoredValue keeps it, CR LF.
  std::string Text(size_t MaxBytes) const;
  bool Empty() const { return Lines.empty(); }

 private:
  std::vector<std::pair<std::string, std::string>> Lines;  // key (trimmed), value
};

}  // namespace formtext
