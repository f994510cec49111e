// The dial-up manager: once a minute it decides whether the dial-up entry is wanted (mail in
// the send queue under DialASAP, or a scheduled dial time of today) and dials it, or hangs up
// the line it dialled when nothing wants it and no transfer runs (a live SMTP receiver
// connection or a POP3 collection keeps the line). It hangs up only what it dialled itself.
#pragma once

#include <chrono>
#include <ctime>
#include <functional>
#include <memory>
#include <thread>

#include "gateway/gateway_config.h"
#include "platform/wake_event.h"
#include "transport/ras_dialer.h"

namespace tarnhold {

// What a pass reads from the rest of the engine, each without a lock.
struct DialUpInputs {
  std::function<std::shared_ptr<const CGatewayConfig>()> config;
  std::function<std::size_t()> send_queue_count;
  std::function<int()> live_smtp_connections;
  std::function<bool()> collection_running;
  // The local time of a pass; the system's local time when unset.
  std::function<std::tm()> local_time;
};

// Whether dial time `text` ("HH:MM") names the hour and minute of `now` on a day whose
// Dial<DAY> flag is 1.
[[nodiscard]] bool DialTimeDue(const std::string& text, const std::tm& now,
                               const CGatewayConfig& config);

class DialUpManager {
 public:
  static constexpr std::chrono::milliseconds kPassInterval{60000};

  DialUpManager(CRasDialer& dialer, DialUpInputs inputs)
      : dialer_(dialer), inputs_(std::move(inputs)) {}
  ~DialUpManager() { Stop(); }
  DialUpManager(const DialUpManager&) = delete;
  DialUpManager& operator=(const DialUpManager&) = delete;

  // Starts the thread: a pass after every interval, the first one interval after the start.
  // With the default interval the passes fall early in each minute of the clock.
  void Start(std::chrono::milliseconds interval = kPassInterval);
  // Ends the thread after the pass in hand. The line stays as it is.
  void Stop();

  // One pass of the decision, on the caller's thread.
  void Pass();
  [[nodiscard]] bool WeDialled() const { return we_dialled_; }

 private:
  [[nodiscard]] std::tm Now() const;

  CRasDialer& dialer_;
  DialUpInputs inputs_;
  bool we_dialled_ = false;
  WakeEvent wake_;
  std::jthread thread_;
};

}  // namespace tarnhold
