// Notices: what the engine would show the operator in a message box (an item that could not be
// read). An engine thread raises a notice and goes on at once; a window, when one is there,
// installs a sink that only hands the notice on to its own thread. Without a sink a notice is
// dropped: the caller has already written the matter to its activity log.
#pragma once

#include <string_view>

namespace tarnhold {

enum class NoticeKind { Error, Information };

class NoticeSink {
 public:
  virtual ~NoticeSink() = default;
  // Called on the raising thread; must not block and must not raise a notice itself.
  virtual void NoticeRaised(NoticeKind kind, std::string_view title, std::string_view text) = 0;
};

// Installs the process-wide sink; nullptr removes it. Once this returns, the old sink is no
// longer called.
void InstallNoticeSink(NoticeSink* sink);

// Hands the notice to the installed sink, if any.
void RaiseNotice(NoticeKind kind, std::string_view title, std::string_view text);

}  // namespace tarnhold
