#include "gateway/address_lists.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/profile_file.h"
#include "platform/text_case.h"
#include "platform/unique_fd.h"

namespace tarnhold::lists {
namespace {

// Reads at most kMaxRuleListBytes; false when the file cannot be opened or read.
bool ReadBounded(const std::filesystem::path& path, std::string& text) {
  text.clear();
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return false;
  char buffer[16384];
  while (text.size() < kMaxRuleListBytes) {
    std::size_t want = std::min(sizeof buffer, kMaxRuleListBytes - text.size());
    ssize_t n = ::read(fd.Get(), buffer, want);
    if (n == 0) return true;
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    text.append(buffer, static_cast<std::size_t>(n));
  }
  // Over the bound: the cut line has no line feed, so the parser drops it.
  return true;
}

}  // namespace

std::vector<std::string> ParseRuleList(std::string_view text) {
  std::vector<std::string> entries;
  std::string line;
  for (char c : text) {
    if (c == '\r') continue;
    if (c != '\n') {
      line += c;
      continue;
    }
    if (line.empty() || line.front() != ';') entries.push_back(line);
    line.clear();
  }
  return entries;
}

int ReadListFile(const std::filesystem::path& path, std::vector<std::string>& entries) {
  entries.clear();
  std::string text;
  if (!ReadBounded(path, text)) return 0;
  entries = ParseRuleList(text);
  return 1;
}

bool MatchWildcard(std::string_view address, std::string_view entry) {
  std::string a = ToLower(address);
  std::string e = ToLower(entry);
  std::size_t star = e.find('*');
  if (star == std::string::npos) return a == e;
  std::size_t pos = 0;
  std::size_t begin = 0;
  while (star != std::string::npos) {
    std::string_view segment(e.data() + begin, star - begin);
    std::size_t found = a.find(segment, pos);
    if (found == std::string::npos) return false;
    pos = found + segment.size();
    begin = star + 1;
    star = e.find('*', begin);
  }
  return a.find(std::string_view(e).substr(begin), pos) != std::string::npos;
}

int MatchListFile(std::string_view address, const std::filesystem::path& path) {
  std::vector<std::string> entries;
  if (ReadListFile(path, entries) == 0) return 0;
  for (const auto& entry : entries) {
    if (MatchWildcard(address, entry)) return 1;
  }
  return 0;
}

int IsLocalDomain(const std::vector<std::string>& local_domains, std::string_view domain) {
  for (const auto& local : local_domains) {
    if (EqualsNoCase(local, domain)) return 1;
  }
  return 0;
}

}  // namespace tarnhold::lists
