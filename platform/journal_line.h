// Lines for the journal: under systemd the standard output and error of a service go to
// journald, which reads a "<N>" syslog priority at the start of a line as the line's level.
// Such a prefix is added only when the process was started by systemd; on a terminal and in
// pipes the lines stay as they are.
#pragma once

#include <string>
#include <string_view>

namespace tarnhold {

enum class LinePriority { Error, Info };

// Whether systemd started this process: $JOURNAL_STREAM or $INVOCATION_ID is set. Read once.
[[nodiscard]] bool StartedBySystemd();

// Error for a line that reports a failure (it holds "error", "fatal", "critical" or "cannot",
// in any letter case), Info for every other line.
[[nodiscard]] LinePriority PriorityOfLine(std::string_view line);

// `line` with "<3>" (Error) or "<6>" (Info) before it when `prefixed`, else unchanged.
[[nodiscard]] std::string JournalLine(std::string_view line, LinePriority priority, bool prefixed);
// The same with the priority read from the line and the prefix when StartedBySystemd().
[[nodiscard]] std::string JournalLine(std::string_view line);
// For lines that are errors whatever they say (standard error).
[[nodiscard]] std::string JournalErrorLine(std::string_view line);

}  // namespace tarnhold
