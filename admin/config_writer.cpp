#include "admin/config_writer.h"

#include <array>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/text_case.h"

namespace fs = std::filesystem;

namespace tarnhold {
namespace {

constexpr std::string_view kDefaults = "Defaults";
// Buffers large enough that a kept value is kept whole.
constexpr std::size_t kKeptValueBuffer = 1 << 16;

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
    s.remove_suffix(1);
  return s;
}

// `name` is `prefix` followed by decimal digits only (letter case ignored).
bool IsNumbered(std::string_view name, std::string_view prefix) {
  if (name.size() <= prefix.size() || !EqualsNoCase(name.substr(0, prefix.size()), prefix))
    return false;
  for (char c : name.substr(prefix.size())) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// Sections that thadmin writes from memory alone.
bool IsRecordSection(std::string_view section) {
  // "POP3User" before "POP": both are numbered, and "POP3User0" is not "POP" + digits anyway.
  for (std::string_view prefix : {"Rule", "POP", "POP3User", "Scanner"}) {
    if (IsNumbered(section, prefix)) return true;
  }
  return false;
}

struct KeptEntry {
  std::string section;
  std::string key;
};

// Every (section, key) outside the record sections in file order, first occurrence only (the
// one a reader sees), and the text of those sections for reading their values: a large file is
// mostly rules, and they need no second reading.
std::vector<KeptEntry> EntriesOf(std::string_view text, std::string& kept_text) {
  std::vector<KeptEntry> entries;
  std::string section;
  bool record = false;
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::string_view raw = text.substr(0, end);
    std::string_view line = Trim(raw);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[') {
      std::size_t close = line.find(']');
      section = std::string(Trim(line.substr(1, close == line.npos ? line.npos : close - 1)));
      record = IsRecordSection(section);
      if (!record) kept_text.append(raw).append(1, '\n');
      continue;
    }
    std::size_t eq = line.find('=');
    if (record || eq == std::string_view::npos) continue;
    std::string key(Trim(line.substr(0, eq)));
    if (key.empty()) continue;
    kept_text.append(raw).append(1, '\n');
    entries.push_back(KeptEntry{section, std::move(key)});
  }
  return entries;
}

}  // namespace

std::string ConfigurationText(const CGatewayConfig& config, std::string_view original) {
  ProfileFile written;
  config.WriteTo(written);
  if (original.empty()) return written.Text();
  std::string kept_text;
  std::vector<KeptEntry> entries = EntriesOf(original, kept_text);
  ProfileFile read;
  read.Parse(kept_text);
  for (const KeptEntry& e : entries) {
    if (e.section.empty() || written.HasKey(e.section, e.key)) continue;
    if (EqualsNoCase(e.section, kDefaults) &&
        (IsNumbered(e.key, "LocalDomain") || IsNumbered(e.key, "DialTime")))
      continue;
    written.Set(e.section, e.key, read.GetString(e.section, e.key, "", kKeptValueBuffer));
  }
  return written.Text();
}

WriteResult WriteConfiguration(const CGatewayConfig& config, std::string_view original,
                               std::string& written, std::string& error) {
  written = ConfigurationText(config, original);
  if (WriteDurably(config.ConfigPath(), written, error) != WriteResult::Written)
    return WriteResult::Failed;
  for (std::size_t n = 0; n < config.local_users.size(); ++n) {
    std::error_code ec;
    fs::create_directories(config.Layout().Mailbox(static_cast<int>(n)), ec);
  }
  return WriteResult::Written;
}

}  // namespace tarnhold
