#include "sweeper/sweep_log.h"

#include "gateway/activity_log.h"

namespace tarnhold {

void SweeperLine(std::string_view text) {
  if (CUH_Control* log = InstalledActivityLogs().sweep) log->AddStampedLine(text, true);
}

}  // namespace tarnhold
