#include "transport/send_scheduler.h"

#include <algorithm>
#include <system_error>

#include "gateway/server_settings.h"
#include "gateway/spool_item.h"

namespace tarnhold {

void CSendScheduler::Shutdown() {
  Stop();
  abort_ = true;
  std::list<SendThread> left;
  {
    std::scoped_lock guard(lock_);
    left.splice(left.end(), threads_);
  }
  for (SendThread& t : left) {
    if (t.thread.joinable()) t.thread.join();
  }
}

void CSendScheduler::SetSettings(CServerSettings* settings) { settings_ = settings; }

void CSendScheduler::SetConfig(DeliveryConfig config) {
  auto snapshot = std::make_shared<const DeliveryConfig>(std::move(config));
  std::scoped_lock guard(lock_);
  config_ = std::move(snapshot);
}

int CSendScheduler::Start() {
  if (scheduler_.joinable()) return 0;
  if (settings_ == nullptr) return 1;
  stop_ = false;
  abort_ = false;
  try {
    scheduler_ = std::thread([this] { Run(); });
  } catch (const std::system_error&) {
    return 1;
  }
  return 0;
}

int CSendScheduler::Stop() {
  stop_ = true;
  wake_.Notify();
  if (scheduler_.joinable()) scheduler_.join();
  std::unique_lock guard(lock_);
  return threads_changed_.wait_for(guard, kStopWait, [this] { return running_ == 0; }) ? 0 : 1;
}

int CSendScheduler::RunningThreads() const {
  std::scoped_lock guard(lock_);
  return running_;
}

int CSendScheduler::MaxThreads() const {
  // A limit below 1 would stop all delivery without a word; one thread still delivers.
  return std::max(settings_->MaxOut(), 1);
}

void CSendScheduler::Run() {
  while (!stop_) {
    ReapFinished();
    if (StartNext()) continue;  // no pause between items while threads are free
    wake_.WaitFor(IdleSleep());
  }
  ReapFinished();
}

std::chrono::milliseconds CSendScheduler::IdleSleep() {
  // A held item is taken again as soon as its hold runs out, not at the next idle wake-up.
  auto first = held_.FirstRelease();
  auto now = HeldItems::Clock::now();
  if (first - now >= kIdleSleep) return kIdleSleep;
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(first - now);
  return std::max(left, std::chrono::milliseconds(1));
}

bool CSendScheduler::StartNext() {
  std::shared_ptr<const DeliveryConfig> config;
  {
    std::scoped_lock guard(lock_);
    if (running_ >= MaxThreads()) return false;
    config = config_;
  }
  auto item = std::make_shared<SpoolItem>(
      settings_->NextSendItem([this](SpoolItem& i) { return held_.IsHeld(i); }));
  if (!item->IsOpen()) return false;

  SendThread* self = nullptr;
  {
    std::scoped_lock guard(lock_);
    self = &threads_.emplace_back();
    ++running_;
  }
  try {
    self->thread = std::thread([this, self, item, config] { Send(*self, *item, *config); });
  } catch (const std::system_error&) {
    settings_->CloseItem(*item);
    std::scoped_lock guard(lock_);
    --running_;
    threads_.pop_back();
    return false;
  }
  return true;
}

void CSendScheduler::Send(SendThread& self, SpoolItem& item, const DeliveryConfig& config) {
  // The hold is set while the item is still locked, so the picker can never take it again
  // in between.
  auto hold = [this](DeliveryOutcome outcome, SpoolItem& open) {
    const HeldItems::Identity identity = HeldItems::IdentityOf(open);
    if (outcome == DeliveryOutcome::Unchanged) {
      auto wait = std::chrono::seconds(std::max(settings_->RetryInterval(), 1));
      held_.Hold(identity, HeldItems::Clock::now() + wait);
    } else {
      held_.Release(identity);
    }
  };
  DeliverQueueItem(*settings_, item, config, [this] { return abort_.load(); }, hold);
  {
    std::scoped_lock guard(lock_);
    --running_;
    self.done = true;
    threads_changed_.notify_all();
  }
  wake_.Notify();  // a thread is free again
}

void CSendScheduler::ReapFinished() {
  std::list<SendThread> finished;
  {
    std::scoped_lock guard(lock_);
    for (auto it = threads_.begin(); it != threads_.end();) {
      auto next = std::next(it);
      if (it->done) finished.splice(finished.end(), threads_, it);
      it = next;
    }
  }
  for (SendThread& t : finished) {
    if (t.thread.joinable()) t.thread.join();
  }
}

}  // namespace tarnhold
