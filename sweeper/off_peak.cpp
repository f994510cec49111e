#include "sweeper/off_peak.h"

#include <ctime>

#include "platform/local_time.h"

namespace tarnhold {

int IsOffPeakAt(int hour, int minute, int from_hh, int from_mm, int to_hh, int to_mm) {
  // All three times share one date and the same seconds, so minutes of the day compare them.
  int now = hour * 60 + minute;
  int from = from_hh * 60 + from_mm;
  int to = to_hh * 60 + to_mm;
  return (now > from || now < to) ? 1 : 0;
}

int IsOffPeakNow(int from_hh, int from_mm, int to_hh, int to_mm) {
  const std::tm local = LocalTime(std::time(nullptr));
  return IsOffPeakAt(local.tm_hour, local.tm_min, from_hh, from_mm, to_hh, to_mm);
}

}  // namespace tarnhold
