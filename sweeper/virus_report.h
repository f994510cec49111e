// Reading a virus scanner's text report: the line search that every report text goes through,
// and the two verdicts built on it (safe at the start, cleaned now). The scanners' own wording
// is theirs; the gateway only tests the administrator's find and don't-find texts.
#pragma once

#include <filesystem>
#include <string_view>

#include "gateway/config_records.h"

namespace tarnhold {

// 1 when some line of `file`, lower-cased, contains `text` lower-cased; 0 when no line does;
// -1 when the file cannot be opened or read. A text that runs over a line break is never
// found. Lines of any length are searched in bounded memory.
[[nodiscard]] int FindTextInFile(std::string_view text, const std::filesystem::path& file);

enum class ScanVerdict {
  Clean,      // every configured text test passed (or none is configured)
  Threat,     // a find text is missing or a don't-find text is present
  NotScanned  // the report could not be read: never taken for clean
};

// The verdict of a scanner's report from its SafeStartFindText and SafeStartDontFindText.
[[nodiscard]] ScanVerdict SafeStartVerdict(const CScannerRecord& scanner,
                                           const std::filesystem::path& report);

// Whether the report of a cleaning scanner says the message is clean now: SafeNowFindText
// (when set) is found and SafeNowDontFindText (when set) is not found.
[[nodiscard]] bool CleanedNow(const CScannerRecord& scanner, const std::filesystem::path& report);

}  // namespace tarnhold
