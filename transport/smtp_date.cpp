#include "transport/smtp_date.h"

#include <cstdio>
#include <cstdlib>

namespace tarnhold {
namespace {

constexpr const char* kDayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

}  // namespace

std::string SmtpDate(std::time_t when) {
  std::tm local{};
  if (localtime_r(&when, &local) == nullptr) return {};
  // tm_gmtoff already includes daylight saving and holds half-hour zones exactly; deriving
  // the sign from whole hours would print "-0030" for a zone 30 minutes east of UTC.
  long offset_s = local.tm_gmtoff;
  char sign = offset_s < 0 ? '-' : '+';
  long offset_min = std::labs(offset_s) / 60;
  char text[64];
  std::snprintf(text, sizeof text, "%s, %2.2d %s %d %2.2d:%2.2d:%2.2d %c%2.2ld%2.2ld",
                kDayNames[local.tm_wday % 7], local.tm_mday, kMonthNames[local.tm_mon % 12],
                local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec, sign,
                offset_min / 60, offset_min % 60);
  return text;
}

std::string SmtpDate() { return SmtpDate(std::time(nullptr)); }

}  // namespace tarnhold
