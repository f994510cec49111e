// thgate --check-config: runs the configuration check on the data root and prints one line per
// problem on standard output, or one line saying that none was found.
#pragma once

#include <ostream>

#include "apps/thgate/command_line.h"

namespace tarnhold {

// 0: no problem found; 1: at least one (each on its own line in `out`).
[[nodiscard]] int RunCheckConfig(const GateOptions& options, std::ostream& out);

}  // namespace tarnhold
