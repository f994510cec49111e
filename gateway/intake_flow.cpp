#include "gateway/intake_flow.h"

#include <algorithm>

namespace tarnhold {

IntakeFlow::Slot& IntakeFlow::Slot::operator=(Slot&& other) noexcept {
  if (this != &other) {
    Release();
    flow_ = other.flow_;
    other.flow_ = nullptr;
  }
  return *this;
}

void IntakeFlow::Slot::Commit(int items) {
  if (flow_ == nullptr) return;
  std::unique_lock lock(flow_->mutex_);
  --flow_->admitted_;
  flow_->waiting_ += std::max(0, items);
  flow_ = nullptr;
}

void IntakeFlow::Slot::Release() {
  if (flow_ == nullptr) return;
  std::scoped_lock lock(flow_->mutex_);
  --flow_->admitted_;
  flow_ = nullptr;
}

IntakeFlow::Slot IntakeFlow::Admit() {
  std::unique_lock lock(mutex_);
  auto room = [this] { return open_ || waiting_ < limit_; };
  if (!room()) {
    ++paced_;
    room_.wait_for(lock, longest_wait_, room);
    --paced_;
  }
  ++admitted_;
  return Slot(this);
}

void IntakeFlow::Added(int items) {
  std::unique_lock lock(mutex_);
  waiting_ += std::max(0, items);
}

void IntakeFlow::Listed(int waiting) {
  std::unique_lock lock(mutex_);
  waiting_ = std::max(0, waiting);
  lock.unlock();
  room_.notify_all();
}

// One waiting message is let in per freed place, so a freed place does not release all of
// them at once.
void IntakeFlow::Done() {
  std::unique_lock lock(mutex_);
  if (waiting_ > 0) --waiting_;
  lock.unlock();
  room_.notify_one();
}

void IntakeFlow::Open() {
  std::unique_lock lock(mutex_);
  open_ = true;
  lock.unlock();
  room_.notify_all();
}

int IntakeFlow::Waiting() const {
  std::scoped_lock lock(mutex_);
  return waiting_;
}

int IntakeFlow::Paced() const {
  std::scoped_lock lock(mutex_);
  return paced_;
}

int IntakeFlow::Admitted() const {
  std::scoped_lock lock(mutex_);
  return admitted_;
}

}  // namespace tarnhold
