#include "transport/smtp_date.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <ctime>
#include <optional>
#include <string>

namespace tarnhold {
namespace {

// Sets TZ for one test and puts the old value back afterwards.
class ZoneScope {
 public:
  explicit ZoneScope(const char* zone) {
    if (const char* old = std::getenv("TZ")) old_ = old;
    ::setenv("TZ", zone, 1);
    ::tzset();
  }
  ~ZoneScope() {
    if (old_) {
      ::setenv("TZ", old_->c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    ::tzset();
  }

 private:
  std::optional<std::string> old_;
};

constexpr std::time_t kJune2000 = 960825909;      // Mon 12 Jun 2000 16:05:09 UTC
constexpr std::time_t kJanuary2024 = 1704164645;  // Tue 2 Jan 2024 03:04:05 UTC

TEST(SmtpDate, LocalTimeWithZoneOffset) {
  struct Case {
    const char* zone;
    std::time_t when;
    const char* want;
  } cases[] = {
      {"UTC0", kJune2000, "Mon, 12 Jun 2000 16:05:09 +0000"},
      {"UTC0", kJanuary2024, "Tue, 02 Jan 2024 03:04:05 +0000"},
      // Daylight saving east and west of UTC.
      {"CET-1CEST,M3.5.0,M10.5.0/3", kJune2000, "Mon, 12 Jun 2000 18:05:09 +0200"},
      {"CET-1CEST,M3.5.0,M10.5.0/3", kJanuary2024, "Tue, 02 Jan 2024 04:04:05 +0100"},
      {"EST5EDT,M3.2.0,M11.1.0", kJune2000, "Mon, 12 Jun 2000 12:05:09 -0400"},
      {"EST5EDT,M3.2.0,M11.1.0", kJanuary2024, "Mon, 01 Jan 2024 22:04:05 -0500"},
      // Zones with half hours, on both sides, and one less than an hour east of UTC.
      {"IST-5:30", kJune2000, "Mon, 12 Jun 2000 21:35:09 +0530"},
      {"NST3:30NDT,M3.2.0,M11.1.0", kJune2000, "Mon, 12 Jun 2000 13:35:09 -0230"},
      {"XYZ-0:30", kJanuary2024, "Tue, 02 Jan 2024 03:34:05 +0030"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.zone);
    ZoneScope zone(c.zone);
    EXPECT_EQ(SmtpDate(c.when), c.want);
  }
}

TEST(SmtpDate, BufferFormWritesTheSameTextOrRefusesASmallBuffer) {
  ZoneScope zone("IST-5:30");
  char buffer[40];
  for (std::size_t size : {std::size_t{0}, std::size_t{31}}) {
    SCOPED_TRACE(size);
    std::fill(std::begin(buffer), std::end(buffer), 'x');
    EXPECT_EQ(SmtpDate(buffer, size, kJune2000), 1);
    EXPECT_EQ(buffer[0], 'x');  // nothing written
  }
  for (std::size_t size : {kSmtpDateSize, sizeof buffer}) {
    SCOPED_TRACE(size);
    std::fill(std::begin(buffer), std::end(buffer), 'x');
    ASSERT_EQ(SmtpDate(buffer, size, kJune2000), 0);
    EXPECT_STREQ(buffer, "Mon, 12 Jun 2000 21:35:09 +0530");
    EXPECT_EQ(buffer[kSmtpDateSize], 'x');  // nothing past the room a date needs
  }
  EXPECT_EQ(SmtpDate(nullptr, 64), 1);
  ASSERT_EQ(SmtpDate(buffer, sizeof buffer), 0);
  EXPECT_EQ(std::string(buffer).size(), 31u);
}

TEST(SmtpDate, NowHasTheFixedShape) {
  std::string now = SmtpDate();
  // "Www, dd Mmm yyyy hh:mm:ss +hhmm"
  ASSERT_EQ(now.size(), 31u) << now;
  EXPECT_EQ(now.substr(3, 2), ", ");
  EXPECT_TRUE(now[26] == '+' || now[26] == '-') << now;
}

}  // namespace
}  // namespace tarnhold
