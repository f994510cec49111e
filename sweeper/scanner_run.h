// One run of an external virus scanner: the scan script <root>/vscan.sh written anew (the
// quoted scanner command with its parameters, then the move of report.txt to copyrep.txt),
// started with /bin/sh in a process group of its own, and the wait for copyrep.txt. The fixed
// file names allow one run at a time per data root; the single sweeper thread is that one.
#pragma once

#include <chrono>
#include <string>

#include "gateway/config_records.h"
#include "gateway/spool_layout.h"

namespace tarnhold {

enum class ScanRunResult {
  Reported,   // copyrep.txt holds this run's report
  NoReport,   // the script ended without leaving copyrep.txt
  TimedOut,   // no report within the time limit: the script's process group was killed
  FileError,  // the work files could not be prepared or the script not started
};

struct ScanRun {
  ScanRunResult result = ScanRunResult::FileError;
  std::string error;  // with FileError: the failed step and the system's text
};

// The two lines of the scan script for `scanner` (no line end after the second).
[[nodiscard]] std::string ScannerScriptText(const CScannerRecord& scanner,
                                            const SpoolLayout& layout);

// Removes the reports of any earlier run, writes the script, runs it and waits for
// copyrep.txt, at most `time_limit`. Nothing of the message reaches the command line.
[[nodiscard]] ScanRun RunScanner(const CScannerRecord& scanner, const SpoolLayout& layout,
                                 std::chrono::milliseconds time_limit);

}  // namespace tarnhold
