// Clearing away what a receiver that died in the middle of a transfer left in the processing
// queue. An item whose text does not end with the final "." line never completed its DATA
// phase, and its client never had a 250, so it will send again: such an item must never be
// swept or delivered. Run before the sweeper starts; items another party holds are left alone.
#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

namespace tarnhold {

// Deletes every item of `queproc` that no other party holds and whose text (behind its header;
// the whole file when the header cannot be read) does not end with the final "." line
// (CR LF "." CR LF, or that line alone), with its source file in `stat_folder`. Logs one line
// for each to the SMTP receiver log. Returns the numbers removed.
std::vector<std::uint32_t> RemoveInterruptedTransfers(const std::filesystem::path& queproc,
                                                      const std::filesystem::path& stat_folder);

}  // namespace tarnhold
