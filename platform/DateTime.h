#pragma once
// Date-times as days since 1899-12-30 (the fraction is the time of day), and the
// local clock and time zone of the machine.
#include <functional>
#include <optional>

using TDateTime = double;

// Raises EConvertError for a date or time that does not exist.
TDateTime EncodeDate(int Year, int Month, int Day);
TDateTime EncodeTime(int Hour, int Min, int Sec, int MSec);
bool TryEncodeDate(int Year, int Month, int Day, TDateTime& Result);
bool TryEncodeTime(int Hour, int Min, int Sec, int MSec, TDateTime& Result);
void DecodeDate(TDateTime D, int& Year, int& Month, int& Day);
void DecodeTime(TDateTime D, int& Hour, int& Min, int& Sec, int& MSec);
// 1 = Sunday ... 7 = Saturday.
int DayOfWeek(TDateTime D);

// The machine's local time now, read from the system clock.
TDateTime SystemNow();

// The offset of local time from UTC in minutes now (east of UTC positive,
// daylight saving included), or nothing when the platform cannot tell.
std::optional<int> LocalUtcOffsetMinutes();

// Which of its extra biases a time zone described the Windows way has in
// force: none (a zone without daylight saving), standard or daylight time.
enum class TZoneBias { None, Standard, Daylight };

// The offset from UTC in minutes (east positive) of such a zone: Bias is UTC
// minus local time in minutes, to which the bias in force is added.
int UtcOffsetFromBias(TZoneBias InForce, int Bias, int StandardBias, int DaylightBias);
