#include "transport/send_scheduler.h"

#include <algorithm>
#include <system_error>

#include "gateway/server_settings.h"
#include "gateway/spool_item.h"
#include "gateway/spool_layout.h"

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
  (void)index_.Start(SpoolLayout(settings_->RootPath()).Send(), settings_->RetryInterval(),
                     [this] { wake_.Notify(); });
  try {
    scheduler_ = std::thread([this] { Run(); });
  } catch (const std::system_error&) {
    index_.Stop();
    return 1;
  }
  return 0;
}

int CSendScheduler::Stop() {
  stop_ = true;
  wake_.Notify();
  if (scheduler_.joinable()) scheduler_.join();
  index_.Stop();
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
    switch (StartNext()) {
      case Next::Started:
        continue;  // no pause between items while threads are free
      case Next::Full:
        wake_.WaitFor(kIdleSleep);  // a send thread that ends wakes it
        break;
      case Next::NoneDue:
        wake_.WaitFor(IdleSleep());
        break;
    }
  }
  ReapFinished();
}

std::chrono::milliseconds CSendScheduler::IdleSleep() {
  // An item is taken as soon as it becomes due or its hold runs out, not at the next idle
  // wake-up; the index wakes the scheduler for items it learns of meanwhile.
  const auto first = index_.NextReady();
  const auto now = SendQueueIndex::Clock::now();
  // Compared before any subtraction: min() (one is due now) and max() (none) would overflow.
  if (first <= now) return std::chrono::milliseconds(1);
  if (first == SendQueueIndex::Clock::time_point::max() || first - now >= kIdleSleep) {
    return kIdleSleep;
  }
  auto left = std::chrono::ceil<std::chrono::milliseconds>(first - now);
  return std::max(left, std::chrono::milliseconds(1));
}

CSendScheduler::Next CSendScheduler::StartNext() {
  std::shared_ptr<const DeliveryConfig> config;
  {
    std::scoped_lock guard(lock_);
    if (running_ >= MaxThreads()) return Next::Full;
    config = config_;
  }
  auto item = std::make_shared<SpoolItem>(index_.Pick([this] { settings_->ReportReadError(); }));
  if (!item->IsOpen()) return Next::NoneDue;

  SendThread* self = nullptr;
  {
    std::scoped_lock guard(lock_);
    self = &threads_.emplace_back();
    ++running_;
  }
  try {
    self->thread = std::thread([this, self, item, config] { Send(*self, *item, *config); });
  } catch (const std::system_error&) {
    index_.Requeue(*item);
    settings_->CloseItem(*item);
    std::scoped_lock guard(lock_);
    --running_;
    threads_.pop_back();
    return Next::NoneDue;
  }
  return Next::Started;
}

void CSendScheduler::Send(SendThread& self, SpoolItem& item, const DeliveryConfig& config) {
  // The index learns the outcome while the item is still locked, so the picker can never
  // take it again in between.
  auto hold = [this](DeliveryOutcome outcome, SpoolItem& open) {
    switch (outcome) {
      case DeliveryOutcome::Finished:
        index_.Forget(open);
        break;
      case DeliveryOutcome::Requeued:
        index_.Requeue(open);
        break;
      case DeliveryOutcome::Unchanged: {
        auto wait = std::chrono::seconds(std::max(settings_->RetryInterval(), 1));
        index_.Hold(open, SendQueueIndex::Clock::now() + wait);
        break;
      }
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
