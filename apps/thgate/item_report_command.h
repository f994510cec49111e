// thgate --inspect [--raw] FILE [--root DIR]: shows, as one JSON object on standard output,
// what the rules see of a queue item (or, with --raw, of a plain message file). The item's
// temporary folder is removed before the command ends.
#pragma once

#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "apps/thgate/command_line.h"

namespace tarnhold {

// The command line's --inspect. Exit code 0, or 2 with one line on standard error.
[[nodiscard]] int RunInspect(const GateOptions& options);

// Reads `file` with the temporary folder <root>/temp (made when missing) and writes the
// JSON object to `out`; returns 0, or 2 after one line on `err`.
[[nodiscard]] int InspectFile(const std::filesystem::path& root, const std::filesystem::path& file,
                              bool raw, std::ostream& out, std::ostream& err);

}  // namespace tarnhold
