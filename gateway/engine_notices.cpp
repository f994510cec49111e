#include "gateway/engine_notices.h"

#include <mutex>

namespace tarnhold {
namespace {

// The lock is held across the call, so that removing a sink waits for a call in progress: the
// window may then be destroyed safely. Sinks only post, so the lock is held briefly.
std::mutex g_sink_lock;
NoticeSink* g_sink = nullptr;

}  // namespace

void InstallNoticeSink(NoticeSink* sink) {
  std::scoped_lock guard(g_sink_lock);
  g_sink = sink;
}

void RaiseNotice(NoticeKind kind, std::string_view title, std::string_view text) {
  std::scoped_lock guard(g_sink_lock);
  if (g_sink != nullptr) g_sink->NoticeRaised(kind, title, text);
}

}  // namespace tarnhold
