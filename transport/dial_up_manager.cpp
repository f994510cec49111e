#include "transport/dial_up_manager.h"

#include "platform/local_time.h"
#include "platform/profile_file.h"

namespace tarnhold {
namespace {

// The wait to a point half a second into the next minute: each minute gets its pass, so a
// dial time is never skipped by passes drifting (by their own length) over a minute.
std::chrono::milliseconds UntilNextMinute() {
  using namespace std::chrono;
  constexpr milliseconds kMinute{60000};
  auto into_minute = duration_cast<milliseconds>(system_clock::now().time_since_epoch()) % kMinute;
  return kMinute - into_minute + milliseconds(500);
}

}  // namespace

bool DialTimeDue(const std::string& text, const std::tm& now, const CGatewayConfig& config) {
  // tm_wday counts from Sunday.
  const int day_flags[] = {config.DialSUN, config.DialMON, config.DialTUE, config.DialWED,
                           config.DialTHU, config.DialFRI, config.DialSAT};
  if (now.tm_wday < 0 || now.tm_wday > 6 || day_flags[now.tm_wday] != 1) return false;
  std::size_t colon = text.find(':');
  int hour = ParseLeadingInt(std::string_view(text).substr(0, colon));
  int minute = colon == std::string::npos ? 0 : ParseLeadingInt(std::string_view(text).substr(colon + 1));
  return hour == now.tm_hour && minute == now.tm_min;
}

std::tm DialUpManager::Now() const {
  if (inputs_.local_time) return inputs_.local_time();
  return LocalTime(std::time(nullptr));
}

void DialUpManager::Pass() {
  const std::tm now = Now();
  auto config = inputs_.config();
  if (!config) return;
  bool busy = false;
  bool want = false;
  if (config->DialASAP == 1 && inputs_.send_queue_count() > 0) busy = want = true;
  if (inputs_.live_smtp_connections() > 0) busy = true;
  if (inputs_.collection_running()) busy = true;
  for (const std::string& time : config->dial_times) {
    if (DialTimeDue(time, now, *config)) want = true;
  }
  if (want) {
    if (dialer_.Status()) return;  // the line we dialled is still up
    if (dialer_.Dial(config->DialEntry, config->DialUserName, config->DialPassword) ==
        DialResult::Connected) {
      we_dialled_ = true;
    } else {
      // A half-made call is not left hanging; the next pass that wants the line tries again.
      (void)dialer_.HangUp(config->DialEntry);
    }
    return;
  }
  if (!busy && we_dialled_) {
    (void)dialer_.HangUp(config->DialEntry);
    we_dialled_ = false;
  }
}

void DialUpManager::Start(std::chrono::milliseconds interval) {
  if (thread_.joinable()) return;
  thread_ = std::jthread([this, interval](std::stop_token stop) {
    while (!stop.stop_requested()) {
      wake_.WaitFor(interval == kPassInterval ? UntilNextMinute() : interval);
      if (stop.stop_requested()) return;
      Pass();
    }
  });
}

void DialUpManager::Stop() {
  if (!thread_.joinable()) return;
  thread_.request_stop();
  wake_.Notify();
  dialer_.CancelWait();
  thread_.join();
}

}  // namespace tarnhold
