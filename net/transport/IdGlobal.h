#pragma once
// Helpers shared by the protocols above the transport: the machine's offset
// from UTC as the mail and web date formats need it.
#include "net/transport/IdException.h"
#include "platform/DateTime.h"

class EIdFailedToRetreiveTimeZoneInfo : public EIdException {
 public:
  EIdFailedToRetreiveTimeZoneInfo()
      : EIdException("Failed attempting to retrieve time zone information.") {}
};

// The offset of local time from UTC now, as a signed time of day (positive
// east of UTC: +0100 is 1/24). Raises EIdFailedToRetreiveTimeZoneInfo when the
// platform cannot tell the time zone.
inline TDateTime LocalUtcOffset() {
  std::optional<int> minutes = LocalUtcOffsetMinutes();
  if (!minutes) throw EIdFailedToRetreiveTimeZoneInfo();
  constexpr double kMinutesPerDay = 1440.0;
  return *minutes / kMinutesPerDay;
}
