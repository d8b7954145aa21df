#include "platform/DateTime.h"

#include <cmath>

#include "platform/Exception.h"

namespace {
// Days from 0001-01-01 to 1899-12-30 in the proleptic Gregorian calendar.
constexpr int kDelta = 693594;
constexpr double kMSecsPerDay = 86400000.0;

bool IsLeap(int y) {
  return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}
int DaysIn(int y, int m) {
  static const int d[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return (m == 2 && IsLeap(y)) ? 29 : d[m - 1];
}
}  // namespace

bool TryEncodeDate(int Year, int Month, int Day, TDateTime& Result) {
  if (Year < 1 || Year > 9999 || Month < 1 || Month > 12 || Day < 1 || Day > DaysIn(Year, Month))
    return false;
  int days = Day;
  for (int m = 1; m < Month; ++m) days += DaysIn(Year, m);
  int y = Year - 1;
  days += y * 365 + y / 4 - y / 100 + y / 400;
  Result = static_cast<double>(days - kDelta);
  return true;
}

TDateTime EncodeDate(int Year, int Month, int Day) {
  TDateTime r;
  if (!TryEncodeDate(Year, Month, Day, r)) throw EConvertError("Invalid argument to date encode");
  return r;
}

bool TryEncodeTime(int Hour, int Min, int Sec, int MSec, TDateTime& Result) {
  if (Hour < 0 || Hour > 23 || Min < 0 || Min > 59 || Sec < 0 || Sec > 59 || MSec < 0 || MSec > 999)
    return false;
  Result = ((Hour * 3600 + Min * 60 + Sec) * 1000.0 + MSec) / kMSecsPerDay;
  return true;
}

TDateTime EncodeTime(int Hour, int Min, int Sec, int MSec) {
  TDateTime r;
  if (!TryEncodeTime(Hour, Min, Sec, MSec, r))
    throw EConvertError("Invalid argument to time encode");
  return r;
}

void DecodeDate(TDateTime D, int& Year, int& Month, int& Day) {
  // Work in whole days since 0001-01-01 (day 1).
  long days = static_cast<long>(std::floor(D)) + kDelta;
  if (days <= 0) {
    Year = Month = Day = 0;
    return;
  }
  long n = days - 1;
  long y400 = n / 146097;
  n %= 146097;
  long y100 = n / 36524;
  if (y100 == 4) y100 = 3;
  n -= y100 * 36524;
  long y4 = n / 1461;
  n %= 1461;
  long y1 = n / 365;
  if (y1 == 4) y1 = 3;
  n -= y1 * 365;
  Year = static_cast<int>(y400 * 400 + y100 * 100 + y4 * 4 + y1 + 1);
  Month = 1;
  while (n >= DaysIn(Year, Month)) {
    n -= DaysIn(Year, Month);
    ++Month;
  }
  Day = static_cast<int>(n + 1);
}

void DecodeTime(TDateTime D, int& Hour, int& Min, int& Sec, int& MSec) {
  double frac = std::fabs(D - std::floor(D));
  long ms = std::lround(frac * kMSecsPerDay);
  if (ms >= 86400000L) ms = 86399999L;
  Hour = static_cast<int>(ms / 3600000);
  Min = static_cast<int>(ms / 60000 % 60);
  Sec = static_cast<int>(ms / 1000 % 60);
  MSec = static_cast<int>(ms % 1000);
}

int DayOfWeek(TDateTime D) {
  // 1899-12-30 was a Saturday (7).
  long days = static_cast<long>(std::floor(D));
  long r = ((days + 6) % 7 + 7) % 7;  // 0 = Sunday
  return static_cast<int>(r + 1);
}

int UtcOffsetFromBias(TZoneBias InForce, int Bias, int StandardBias, int DaylightBias) {
  // The biases count minutes to add to local time to reach UTC, so a zone east
  // of UTC has a negative bias; the offset is its negation.
  int bias = Bias;
  if (InForce == TZoneBias::Standard) bias += StandardBias;
  if (InForce == TZoneBias::Daylight) bias += DaylightBias;
  return -bias;
}
