// The sending host's IP address of a queue item, from its stat file <root>/stat/<item name>.
// Reading never blocks the sweeper for long: opening and reading are retried a bounded number
// of times, and any failure gives an empty address (IP list checks then see "").
#pragma once

#include <chrono>
#include <filesystem>
#include <string>

#include "sweeper/sweep_log.h"

namespace tarnhold {

inline constexpr int kSourceIpRetries = 10;
inline constexpr std::chrono::milliseconds kSourceIpRetryPause{100};
// A stat file holds one dotted address; more than this is not read.
inline constexpr std::size_t kMaxSourceIpBytes = 255;

// Logs "reading source IP info" and either "source IP is <ip>" or "IP info not present" (or the
// retry and abort lines) through `log`, and returns the address ("" when there is none).
[[nodiscard]] std::string ReadSourceIp(const std::filesystem::path& stat_file, const LineSink& log,
                                       std::chrono::milliseconds pause = kSourceIpRetryPause);

}  // namespace tarnhold
