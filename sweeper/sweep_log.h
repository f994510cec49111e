// Where the sweeper's lines go. The per-message processor writes through a LineSink (the
// engine's SweepLogLine, which adds "> "; a dry run prints them instead); the queue sweeper's
// own lines go to the sweeper log without that prefix.
#pragma once

#include <functional>
#include <string_view>

namespace tarnhold {

using LineSink = std::function<void(std::string_view text)>;

// Adds a stamped line without the "> " prefix to the sweeper log (dropped when none is
// installed).
void SweeperLine(std::string_view text);

}  // namespace tarnhold
