#include "sweeper/virus_report.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "platform/unique_fd.h"

namespace tarnhold {
namespace {

// A line longer than this is searched piece by piece, keeping enough of its tail that a match
// across two pieces is still seen.
constexpr std::size_t kMaxHeldLine = 64 * 1024;

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string LowerCopy(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(), Lower);
  return lower;
}

// Searches `line` and keeps only the tail that a later piece may still complete.
bool SearchAndTrim(std::string& line, const std::string& needle) {
  if (line.find(needle) != std::string::npos) return true;
  std::size_t keep = needle.size() - 1;
  if (line.size() > keep) line.erase(0, line.size() - keep);
  return false;
}

}  // namespace

int FindTextInFile(std::string_view text, const std::filesystem::path& file) {
  UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return -1;
  const std::string needle = LowerCopy(text);
  if (needle.empty()) return 1;  // every line contains the empty text
  std::string line;
  char buffer[8192];
  for (;;) {
    ssize_t n = ::read(fd.Get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    for (ssize_t i = 0; i < n; ++i) {
      if (buffer[i] == '\n') {
        if (line.find(needle) != std::string::npos) return 1;
        line.clear();
        continue;
      }
      line.push_back(Lower(buffer[i]));
      if (line.size() >= kMaxHeldLine && SearchAndTrim(line, needle)) return 1;
    }
  }
  return line.find(needle) != std::string::npos ? 1 : 0;
}

ScanVerdict SafeStartVerdict(const CScannerRecord& scanner, const std::filesystem::path& report) {
  bool unreadable = false;
  if (!scanner.SafeStartFindText.empty()) {
    int found = FindTextInFile(scanner.SafeStartFindText, report);
    if (found == 0) return ScanVerdict::Threat;
    unreadable = found < 0;
  }
  if (!scanner.SafeStartDontFindText.empty()) {
    int found = FindTextInFile(scanner.SafeStartDontFindText, report);
    if (found == 1) return ScanVerdict::Threat;
    unreadable = unreadable || found < 0;
  }
  // A report that cannot be read proves nothing: the message was not shown to be clean.
  return unreadable ? ScanVerdict::NotScanned : ScanVerdict::Clean;
}

bool CleanedNow(const CScannerRecord& scanner, const std::filesystem::path& report) {
  bool found = scanner.SafeNowFindText.empty() ||
               FindTextInFile(scanner.SafeNowFindText, report) == 1;
  bool not_found = scanner.SafeNowDontFindText.empty() ||
                   FindTextInFile(scanner.SafeNowDontFindText, report) != 1;
  return found && not_found;
}

}  // namespace tarnhold
