// The sweep record: one JSON object per swept item, one line each, in logs/Sweep_<date>.json
// beside the dated sweeper log, for tools that read what the sweeper did without parsing its
// prose. A record that cannot be written is lost; the sweep goes on.
#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <string>
#include <string_view>

#include "sweeper/final_action.h"

namespace tarnhold {

// The record of item `item_name` (its queue number) as one line of JSON without its line end:
// queue_item, message_id, sender, recipient, rules_applied, rules_triggered, rule, action,
// destination, size, elapsed_ms and time (local, ISO 8601). Bytes that are not UTF-8 are
// replaced, so a hostile header cannot break the line.
[[nodiscard]] std::string SweepRecordLine(std::string_view item_name, const ItemOutcome& outcome,
                                          std::int64_t elapsed_ms, std::time_t when);

// Appends `line` and a line end to the dated file for `when` made from `file`
// (SpoolLayout::SweepRecordLog). False when the file cannot be written.
[[nodiscard]] bool AppendSweepRecord(const std::filesystem::path& file, std::string_view line,
                                     std::time_t when);

}  // namespace tarnhold
