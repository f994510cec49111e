// Dates for the header of mail the gateway writes itself: "Sun, 04 Jun 2000 18:05:09 +0200"
// in local time with the zone's offset. Pure formatting; the caller picks the moment.
#pragma once

#include <cstddef>
#include <ctime>
#include <string>

namespace tarnhold {

// The date line value of `when` in local time: weekday, two-digit day, month name, four-digit
// year, hh:mm:ss and the signed offset from UTC as hhmm (east of UTC positive).
[[nodiscard]] std::string SmtpDate(std::time_t when);

// The same for the present moment.
[[nodiscard]] std::string SmtpDate();

// The buffer form: writes the date line value of `when` (or of the present moment) with its
// terminating zero into `out`. 0, or 1 (and nothing written) when `out_size` is below
// kSmtpDateSize, the room every date needs.
inline constexpr std::size_t kSmtpDateSize = 32;
[[nodiscard]] int SmtpDate(char* out, std::size_t out_size, std::time_t when);
[[nodiscard]] int SmtpDate(char* out, std::size_t out_size);

}  // namespace tarnhold
