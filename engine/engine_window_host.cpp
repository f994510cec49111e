#include "engine/engine_window_host.h"

namespace tarnhold {

void EngineWindowHost::SetEvents(EngineEvents* events) {
  AttachLogEvents([this](WindowLog log) -> CUH_Control& { return engine_.Log(log); }, events);
  InstallNoticeSink(events);
  std::scoped_lock guard(events_lock_);
  events_ = events;
  if (events_ != nullptr && waiting_) {
    events_->CommandRequested(*waiting_);
    waiting_.reset();
  }
}

void EngineWindowHost::Request(EngineCommand command) {
  std::scoped_lock guard(events_lock_);
  if (events_ != nullptr) {
    events_->CommandRequested(command);
  } else if (!waiting_ || command == EngineCommand::Exit) {
    waiting_ = command;
  }
}

}  // namespace tarnhold
