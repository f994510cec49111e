#include "gateway/message_id.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <random>

#include "platform/text_case.h"

namespace tarnhold {
namespace {

constexpr int kRandomLetters = 12;
constexpr int kLetterRange = 25;  // 'A' to 'Y': Z never occurs

std::mt19937& Generator() {
  thread_local std::mt19937 generator = [] {
    std::random_device device;
    std::seed_seq seed{device(), device(), device(), device()};
    return std::mt19937(seed);
  }();
  return generator;
}

}  // namespace

std::string MakeMessageIdAt(std::chrono::system_clock::time_point when, std::string_view domain) {
  using namespace std::chrono;
  std::time_t seconds = system_clock::to_time_t(when);
  int millis = static_cast<int>(duration_cast<milliseconds>(when.time_since_epoch()).count() % 1000);
  if (millis < 0) millis += 1000;
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "<%d%d%d%d%d%d%d", utc.tm_year + 1900, utc.tm_mon + 1,
                utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, millis);
  std::string id = stamp;
  std::uniform_int_distribution<int> letter(0, kLetterRange - 1);
  for (int i = 0; i < kRandomLetters; ++i) id += static_cast<char>('A' + letter(Generator()));
  id += '@';
  id += domain;
  id += '>';
  return id;
}

void MessageIdSource::SetLocalDomains(const std::vector<std::string>& local_domains) {
  std::string domain = local_domains.empty() || local_domains.front().empty()
                           ? std::string(kPlaceholderDomain)
                           : ToLower(local_domains.front());
  std::scoped_lock guard(lock_);
  domain_ = std::move(domain);
}

std::string MessageIdSource::Make() const {
  std::string domain;
  {
    std::scoped_lock guard(lock_);
    domain = domain_;
  }
  return MakeMessageIdAt(std::chrono::system_clock::now(), domain);
}

bool MessageIdSource::MakeInto(char* buffer, std::size_t size) const {
  if (buffer == nullptr || size < kMessageIdBufferSize) return false;
  const std::string id = Make();
  if (id.size() + 1 > size) return false;
  std::memcpy(buffer, id.c_str(), id.size() + 1);
  return true;
}

}  // namespace tarnhold
