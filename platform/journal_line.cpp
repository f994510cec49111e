#include "platform/journal_line.h"

#include <cstdlib>

#include "platform/text_case.h"

namespace tarnhold {

bool StartedBySystemd() {
  static const bool started =
      std::getenv("JOURNAL_STREAM") != nullptr || std::getenv("INVOCATION_ID") != nullptr;
  return started;
}

LinePriority PriorityOfLine(std::string_view line) {
  const std::string lower = ToLower(line);
  for (std::string_view word : {"error", "fatal", "critical", "cannot"}) {
    if (lower.find(word) != std::string::npos) return LinePriority::Error;
  }
  return LinePriority::Info;
}

std::string JournalLine(std::string_view line, LinePriority priority, bool prefixed) {
  std::string out;
  if (prefixed) out = priority == LinePriority::Error ? "<3>" : "<6>";
  out.append(line);
  return out;
}

std::string JournalLine(std::string_view line) {
  return JournalLine(line, PriorityOfLine(line), StartedBySystemd());
}

std::string JournalErrorLine(std::string_view line) {
  return JournalLine(line, LinePriority::Error, StartedBySystemd());
}

}  // namespace tarnhold
