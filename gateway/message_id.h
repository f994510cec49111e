// Message identifiers for messages that arrive without one and for returned mail.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace tarnhold {

// "<" + UTC year, month, day, hour, minute, second and millisecond of `when` in decimal without
// leading zeros or separators + twelve random letters from A to Y + "@" + `domain` + ">".
// The letters come from a per-thread generator seeded once from the system's entropy, so two
// identifiers made in the same millisecond still differ.
[[nodiscard]] std::string MakeMessageIdAt(std::chrono::system_clock::time_point when,
                                          std::string_view domain);

}  // namespace tarnhold
