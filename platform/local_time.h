// The local calendar time of a moment, as the logs, the archive folders and the off-peak and
// dial-up schedules read it. Thread-safe (no shared buffer behind the result).
#pragma once

#include <ctime>

namespace tarnhold {

// The broken-down local time of `when`; all zero when the time zone cannot place it.
[[nodiscard]] std::tm LocalTime(std::time_t when);

}  // namespace tarnhold
