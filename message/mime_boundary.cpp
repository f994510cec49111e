#include "message/mime_boundary.h"

#include <chrono>
#include <ctime>
#include <random>

namespace tarnhold {

int MakeBoundary(std::string& boundary, int length) {
  if (length < 20) return -1;
  if (length > 70) return -2;
  using namespace std::chrono;
  auto now = system_clock::now();
  std::time_t seconds = system_clock::to_time_t(now);
  long ms = static_cast<long>(duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  std::string text = "Mark=_" + std::to_string(utc.tm_year + 1900) +
                     std::to_string(utc.tm_mon + 1) + std::to_string(utc.tm_mday) +
                     std::to_string(utc.tm_hour) + std::to_string(utc.tm_min) +
                     std::to_string(utc.tm_sec) + std::to_string(ms);
  static constexpr char kChars[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+";
  auto tick = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
  std::minstd_rand random(static_cast<unsigned>(tick));
  const std::size_t want = static_cast<std::size_t>(length - 1);
  while (text.size() < want) text += kChars[random() % 63];
  text.resize(want);
  boundary = text;
  return 0;
}

}  // namespace tarnhold
