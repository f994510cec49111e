#include "gateway/list_file.h"

#include "platform/bounded_read.h"

namespace tarnhold {

std::vector<std::string> ParseListText(std::string_view text) {
  std::vector<std::string> entries;
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!line.empty() && line.front() == ';') continue;
    entries.emplace_back(line.substr(0, kMaxListEntryLength));
  }
  return entries;
}

ListFileResult ReadListFile(const std::filesystem::path& path, std::vector<std::string>& entries) {
  entries.clear();
  std::string text;
  BoundedRead read = ReadFileBounded(path, kMaxListFileBytes, text);
  if (read == BoundedRead::Unreadable) return ListFileResult::Unreadable;
  if (read == BoundedRead::Truncated) {
    // Keep whole lines only: a cut line would be an entry nobody wrote.
    std::size_t last_break = text.rfind('\n');
    text.resize(last_break == std::string::npos ? 0 : last_break + 1);
  }
  entries = ParseListText(text);
  return read == BoundedRead::Truncated ? ListFileResult::Truncated : ListFileResult::Read;
}

std::string ListFileText(const std::vector<std::string>& entries) {
  std::string text;
  for (const std::string& e : entries) text.append(e).append(1, '\n');
  return text;
}

}  // namespace tarnhold
