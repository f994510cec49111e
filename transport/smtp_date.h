// Dates for the header of mail the gateway writes itself: "Sun, 04 Jun 2000 18:05:09 +0200"
// in local time with the zone's offset. Pure formatting; the caller picks the moment.
#pragma once

#include <ctime>
#include <string>

namespace tarnhold {

// The date line value of `when` in local time: weekday, two-digit day, month name, four-digit
// year, hh:mm:ss and the signed offset from UTC as hhmm (east of UTC positive).
[[nodiscard]] std::string SmtpDate(std::time_t when);

// The same for the present moment.
[[nodiscard]] std::string SmtpDate();

}  // namespace tarnhold
