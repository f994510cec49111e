#include "sweeper/scanner_run.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <algorithm>

#include "platform/child_process.h"
#include "platform/unique_fd.h"
#include "platform/write_all.h"

namespace fs = std::filesystem;

namespace tarnhold {
namespace {

using Clock = std::chrono::steady_clock;

// How often the wait looks for the report.
constexpr std::chrono::milliseconds kReportPoll{50};
// The move is the script's last command: once the report is there the shell ends at once.
constexpr std::chrono::milliseconds kScriptEndWait{2000};

// A path as one shell word: single quotes, each single quote inside closed and escaped.
std::string ShellQuote(const fs::path& path) {
  std::string quoted = "'";
  for (char c : path.native()) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

ScanRun Failed(std::string error) { return {ScanRunResult::FileError, std::move(error)}; }

// Removes a report of an earlier run; false (with `error`) when one is left behind.
bool RemoveStale(const fs::path& file, std::string& error) {
  if (::unlink(file.c_str()) == 0 || errno == ENOENT) return true;
  error = "cannot delete " + file.string() + ": " + std::strerror(errno);
  return false;
}

bool WriteScript(const fs::path& file, const std::string& text, std::string& error) {
  UniqueFd fd(::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (!fd) {
    error = "cannot create " + file.string() + ": " + std::strerror(errno);
    return false;
  }
  if (!WriteAll(fd.Get(), text)) {
    error = "cannot write " + file.string() + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

bool Exists(const fs::path& file) { return ::access(file.c_str(), F_OK) == 0; }

}  // namespace

std::string ScannerScriptText(const CScannerRecord& scanner, const SpoolLayout& layout) {
  return "\"" + scanner.ExePath + "\" " + scanner.Params + "\nmv " +
         ShellQuote(layout.ScannerReport()) + " " + ShellQuote(layout.ScannerReportCopy());
}

ScanRun RunScanner(const CScannerRecord& scanner, const SpoolLayout& layout,
                   std::chrono::milliseconds time_limit) {
  const fs::path copy = layout.ScannerReportCopy();
  std::string error;
  // A report left by an earlier run must never be read as this run's.
  if (!RemoveStale(copy, error) || !RemoveStale(layout.ScannerReport(), error))
    return Failed(error);
  if (!WriteScript(layout.ScannerScript(), ScannerScriptText(scanner, layout), error))
    return Failed(error);
  ChildProcess shell;
  if (!shell.Start({"/bin/sh", layout.ScannerScript().string()}, ChildOutput::Discard, error))
    return Failed(error);
  const auto deadline = Clock::now() + time_limit;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left <= std::chrono::milliseconds::zero()) {
      shell.KillGroup();
      return {ScanRunResult::TimedOut, {}};
    }
    // The script's end is seen at once; a report written by a process that outlives the
    // script is seen at the next look.
    if (shell.WaitFor(std::min(left, kReportPoll)).has_value() || !shell.Running())
      return {Exists(copy) ? ScanRunResult::Reported : ScanRunResult::NoReport, {}};
    if (Exists(copy)) {
      (void)shell.WaitFor(kScriptEndWait);  // the destructor kills what is left
      return {ScanRunResult::Reported, {}};
    }
  }
}

}  // namespace tarnhold
