#include "transport/smtp_date.h"

#include <cstdio>
#include <cstdlib>

namespace tarnhold {
namespace {

constexpr const char* kDayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

}  // namespace

int SmtpDate(char* out, std::size_t out_size, std::time_t when) {
  if (out == nullptr || out_size < kSmtpDateSize) return 1;
  std::tm local{};
  if (localtime_r(&when, &local) == nullptr) {
    out[0] = '\0';
    return 0;
  }
  // tm_gmtoff already includes daylight saving and holds half-hour zones exactly; deriving
  // the sign from whole hours would print "-0030" for a zone 30 minutes east of UTC.
  long offset_s = local.tm_gmtoff;
  char sign = offset_s < 0 ? '-' : '+';
  long offset_min = std::labs(offset_s) / 60;
  // "Sun, 04 Jun 2000 18:05:09 +0200" is 31 characters; a year past 9999 or a zone past
  // 99 hours would be cut, never written beyond `out_size`.
  std::snprintf(out, out_size, "%s, %2.2d %s %d %2.2d:%2.2d:%2.2d %c%2.2ld%2.2ld",
                kDayNames[local.tm_wday % 7], local.tm_mday, kMonthNames[local.tm_mon % 12],
                local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec, sign,
                offset_min / 60, offset_min % 60);
  return 0;
}

int SmtpDate(char* out, std::size_t out_size) { return SmtpDate(out, out_size, std::time(nullptr)); }

std::string SmtpDate(std::time_t when) {
  char text[kSmtpDateSize];
  (void)SmtpDate(text, sizeof text, when);
  return text;
}

std::string SmtpDate() { return SmtpDate(std::time(nullptr)); }

}  // namespace tarnhold
