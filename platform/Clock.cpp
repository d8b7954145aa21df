// The machine's clock and time zone through the C library: local time from
// localtime_r, the offset from its tm_gmtoff (daylight saving included).
#include "platform/DateTime.h"

#include <sys/time.h>

#include <ctime>

TDateTime SystemNow() {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  time_t t = tv.tv_sec;
  tm lt{};
  localtime_r(&t, &lt);
  return EncodeDate(lt.tm_year + 1900, lt.tm_mon + 1, lt.tm_mday) +
         EncodeTime(lt.tm_hour, lt.tm_min, lt.tm_sec, static_cast<int>(tv.tv_usec / 1000));
}

std::optional<int> LocalUtcOffsetMinutes() {
  time_t t = time(nullptr);
  tm lt{};
  if (!localtime_r(&t, &lt)) return std::nullopt;
  return static_cast<int>(lt.tm_gmtoff / 60);
}
