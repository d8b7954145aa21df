// The machine's clock and time zone on Windows: GetLocalTime and
// GetTimeZoneInformation.
#include "platform/DateTime.h"

#include <windows.h>

TDateTime SystemNow() {
  SYSTEMTIME st{};
  GetLocalTime(&st);
  return EncodeDate(st.wYear, st.wMonth, st.wDay) +
         EncodeTime(st.wHour, st.wMinute, st.wSecond, st.wMilliseconds);
}

std::optional<int> LocalUtcOffsetMinutes() {
  TIME_ZONE_INFORMATION tz{};
  // The answer says which bias is in force now; a zone without daylight
  // saving answers "unknown" and has its bias alone.
  switch (GetTimeZoneInformation(&tz)) {
    case TIME_ZONE_ID_UNKNOWN:
      return UtcOffsetFromBias(TZoneBias::None, tz.Bias, tz.StandardBias, tz.DaylightBias);
    case TIME_ZONE_ID_STANDARD:
      return UtcOffsetFromBias(TZoneBias::Standard, tz.Bias, tz.StandardBias, tz.DaylightBias);
    case TIME_ZONE_ID_DAYLIGHT:
      return UtcOffsetFromBias(TZoneBias::Daylight, tz.Bias, tz.StandardBias, tz.DaylightBias);
    default:  // TIME_ZONE_ID_INVALID: the platform cannot tell
      return std::nullopt;
  }
}
