#include "engine/engine_window_host.h"

namespace tarnhold {

void EngineWindowHost::SetEvents(EngineEvents* events) {
  constexpr WindowLog kLogs[] = {WindowLog::Pop3, WindowLog::SmtpIn, WindowLog::Sweep,
                                 WindowLog::SmtpOut};
  // A log's sink is replaced under that log's lock, so no line is announced to removed events.
  for (WindowLog which : kLogs) {
    CUH_Control::LineSink sink;
    if (events != nullptr) {
      sink = [events, which](std::string_view, std::string_view) { events->LinesAdded(which); };
    }
    engine_.Log(which).SetLineSink(std::move(sink));
  }
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
