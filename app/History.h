#pragma once
// The address history: each change of the public address with its local date
// and time and the service that reported it, kept in a text file beside the
// settings file. One change a line, oldest first:
//
//   2026-01-01T12:00:00+01:00<TAB>203.0.113.7<TAB>http://127.7.0.1/GetMyIP.pl
//
// The file is replaced as the settings file is (written beside it, flushed and
// renamed over it), so a crash during a save leaves the previous history.
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "platform/DateTime.h"
#include "platform/SettingsDir.h"

namespace history {

// The history file's name, in the settings file's folder.
inline constexpr const char* kFileName = "Corvale-history.txt";
// The most changes the file keeps: a change a day still reaches back almost
// three years, and the file stays below 600 KB.
inline constexpr size_t kMaxEntries = 1000;
// The most bytes of an address or a source kept in a line.
inline constexpr size_t kMaxField = 255;

struct TEntry {
  std::string When;     // local date and time, ISO 8601 with the UTC offset
  std::string Address;  // the new address as stored
  std::string Source;   // the address of the service that reported it
  bool operator==(const TEntry&) const = default;
};

// Local as ISO 8601 to the second with its UTC offset in minutes (east
// positive): "2026-01-01T12:00:00+01:00", "2026-07-01T09:30:00-04:30"; without
// an offset (the platform cannot tell) the local time alone.
std::string IsoTime(TDateTime Local, std::optional<int> OffsetMinutes);

// The entries of a history file's text, oldest first. CR LF, LF or CR ends a
// line. Lines that are not entries (no date-time of the form IsoTime writes,
// fewer than three fields, an empty address) are left out, so a damaged or
// foreign file reads as far as it holds entries; nothing raises.
std::vector<TEntry> Parse(const std::string& Data);
// The file's text for Entries: one line each, fields cut to kMaxField bytes
// (never inside a UTF-8 character), control characters (tabs, line ends)
// written as blanks, CR LF after each.
std::string Text(const std::vector<TEntry>& Entries);

// The entries of the file at Path; none when it is missing or cannot be read.
std::vector<TEntry> Load(const std::string& Path);
// Adds Entry at the end of the file at Path, keeping the last kMaxEntries,
// and replaces the file as the settings file is replaced (Place's folder
// rules). Lines that were not entries are dropped. Raises EInOutError when it
// cannot be written; the file is then as it was.
void Append(files::TSettingsPlace Place, const std::string& Path, const TEntry& Entry);

}  // namespace history
