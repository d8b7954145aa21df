#include "app/History.h"

#include <cmath>
#include <cstdlib>
#include <exception>

#include "platform/Files.h"
#include "platform/Text.h"

namespace history {

namespace {

constexpr char kSeparator = '\t';
// "YYYY-MM-DDTHH:MM:SS", then "+HH:MM", "-HH:MM" or nothing.
constexpr size_t kDateTimeLength = 19;
constexpr size_t kOffsetLength = 6;
constexpr int kMinutesPerHour = 60;
constexpr double kSecondsPerDay = 86400.0;

bool Digits(const std::string& S, size_t From, size_t Count) {
  for (size_t i = From; i < From + Count; ++i)
    if (S[i] < '0' || S[i] > '9') return false;
  return true;
}

// Whether S has the form IsoTime writes (digits and separators in place).
bool IsIsoTime(const std::string& S) {
  if (S.size() != kDateTimeLength && S.size() != kDateTimeLength + kOffsetLength) return false;
  if (!Digits(S, 0, 4) || S[4] != '-' || !Digits(S, 5, 2) || S[7] != '-' || !Digits(S, 8, 2) ||
      S[10] != 'T' || !Digits(S, 11, 2) || S[13] != ':' || !Digits(S, 14, 2) || S[16] != ':' ||
      !Digits(S, 17, 2))
    return false;
  if (S.size() == kDateTimeLength) return true;
  return (S[19] == '+' || S[19] == '-') && Digits(S, 20, 2) && S[22] == ':' && Digits(S, 23, 2);
}

// A field as a line holds it: no control character can split the line or
// the fields, and its length is bounded.
std::string Field(const std::string& S) {
  std::string out = text::CutUtf8(S, kMaxField);
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  return out;
}

}  // namespace

std::string IsoTime(TDateTime Local, std::optional<int> OffsetMinutes) {
  // Rounded to the whole second first, so that 11:59:59.9995 is not written
  // as 11:59:59 on one field and 12:00 on another.
  const double seconds = std::round(Local * kSecondsPerDay);
  const TDateTime t = seconds / kSecondsPerDay;
  int y = 0;
  int mo = 0;
  int d = 0;
  int h = 0;
  int mi = 0;
  int s = 0;
  int ms = 0;
  DecodeDate(t, y, mo, d);
  DecodeTime(t, h, mi, s, ms);
  std::string out = text::Format("%04d-%02d-%02dT%02d:%02d:%02d", y, mo, d, h, mi, s);
  if (!OffsetMinutes) return out;
  const int off = std::abs(*OffsetMinutes);
  out += text::Format("%c%02d:%02d", *OffsetMinutes < 0 ? '-' : '+', off / kMinutesPerHour,
                      off % kMinutesPerHour);
  return out;
}

std::vector<TEntry> Parse(const std::string& Data) {
  std::vector<TEntry> entries;
  size_t pos = 0;
  while (pos < Data.size()) {
    size_t end = Data.find_first_of("\r\n", pos);
    if (end == std::string::npos) end = Data.size();
    const std::string line = Data.substr(pos, end - pos);
    pos = end;
    if (pos < Data.size() && Data[pos] == '\r') ++pos;
    if (pos < Data.size() && Data[pos] == '\n') ++pos;

    const size_t first = line.find(kSeparator);
    if (first == std::string::npos) continue;
    const size_t second = line.find(kSeparator, first + 1);
    if (second == std::string::npos) continue;
    TEntry e;
    e.When = line.substr(0, first);
    e.Address = Field(line.substr(first + 1, second - first - 1));
    e.Source = Field(line.substr(second + 1));
    if (!IsIsoTime(e.When) || text::Trim(e.Address).empty()) continue;
    entries.push_back(std::move(e));
  }
  return entries;
}

std::string Text(const std::vector<TEntry>& Entries) {
  std::string out;
  for (const TEntry& e : Entries)
    out += Field(e.When) + kSeparator + Field(e.Address) + kSeparator + Field(e.Source) + "\r\n";
  return out;
}

std::vector<TEntry> Load(const std::string& Path) {
  try {
    if (!files::FileExists(Path)) return {};
    return Parse(files::ReadFile(Path));
  } catch (const std::exception&) {
    // A history that cannot be read is shown empty; it never stops the
    // program.
    return {};
  }
}

void Append(files::TSettingsPlace Place, const std::string& Path, const TEntry& Entry) {
  // A file that is there but cannot be read now is not replaced by a history
  // of one line: the error goes to the caller and the file stays.
  std::vector<TEntry> entries;
  if (files::FileExists(Path)) entries = Parse(files::ReadFile(Path));
  entries.push_back(Entry);
  if (entries.size() > kMaxEntries)
    entries.erase(entries.begin(),
                  entries.begin() + static_cast<std::ptrdiff_t>(entries.size() - kMaxEntries));
  files::WriteSettingsFile(Place, Path, Text(entries));
}

}  // namespace history
