#include "platform/profile_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <fstream>
#include <sstream>

#include "platform/durable_file.h"
#include "platform/temp_files.h"

namespace tarnhold {
namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

// A value in matching double or single quotes reads without them, as the platform does.
std::string_view Unquote(std::string_view v) {
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
    v.remove_prefix(1);
    v.remove_suffix(1);
  }
  return v;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The index key of a section and key: both trimmed and folded, joined by a character that no
// line can hold.
std::string LookupKey(std::string_view section, std::string_view key) {
  section = Trim(section);
  key = Trim(key);
  std::string out;
  out.reserve(section.size() + key.size() + 1);
  out.append(section).append(1, '\n').append(key);
  return ToLower(out);  // folded as EqualsNoCase compares
}

// The written form of a value that reads back unchanged: a line feed would end the entry,
// and the reader drops blanks (and a CR) at the ends and one pair of matching quotes.
std::string EncodeValue(std::string_view value) {
  std::string out(value);
  for (char& c : out) {
    if (c == '\n') c = ' ';
  }
  bool quoted =
      out.size() >= 2 && (out.front() == '"' || out.front() == '\'') && out.back() == out.front();
  if (!out.empty() &&
      (IsBlank(out.front()) || IsBlank(out.back()) || out.back() == '\r' || quoted)) {
    out = '"' + out + '"';
  }
  return out;
}

}  // namespace

int ParseLeadingInt(std::string_view text) {
  text = Trim(text);
  bool negative = false;
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  long long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') break;
    value = value * 10 + (c - '0');
    if (value > static_cast<long long>(INT_MAX) + 1) break;
  }
  if (negative) value = -value;
  return static_cast<int>(std::clamp<long long>(value, INT_MIN, INT_MAX));
}

bool ProfileFile::Load(const std::filesystem::path& path) {
  lines_.clear();
  index_.clear();
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream text;
  text << in.rdbuf();
  Parse(text.str());
  return true;
}

void ProfileFile::Parse(std::string_view text) {
  lines_.clear();
  std::string section;
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::string_view raw = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
    Line line;
    std::string_view t = Trim(raw);
    if (!t.empty() && t.front() == '[') {
      std::size_t close = t.find(']');
      section = std::string(Trim(t.substr(1, close == std::string_view::npos ? t.npos : close - 1)));
      line.is_header = true;
      line.raw = std::string(raw);
    } else if (std::size_t eq = raw.find('='); eq != std::string_view::npos && t.front() != ';' &&
                                               !Trim(raw.substr(0, eq)).empty()) {
      line.key = std::string(raw.substr(0, eq));
      line.value = std::string(raw.substr(eq + 1));
    } else {
      line.raw = std::string(raw);
    }
    line.section = section;
    lines_.push_back(std::move(line));
  }
  RebuildIndex();
}

void ProfileFile::IndexLine(std::size_t i) {
  const Line& l = lines_[i];
  if (!l.key.empty()) index_.emplace(LookupKey(l.section, l.key), i);
}

void ProfileFile::RebuildIndex() {
  index_.clear();
  index_.reserve(lines_.size());
  for (std::size_t i = 0; i < lines_.size(); ++i) IndexLine(i);
}

const ProfileFile::Line* ProfileFile::Find(std::string_view section, std::string_view key) const {
  auto it = index_.find(LookupKey(section, key));
  return it == index_.end() ? nullptr : &lines_[it->second];
}

bool ProfileFile::HasSection(std::string_view section) const {
  return std::any_of(lines_.begin(), lines_.end(), [&](const Line& l) {
    return l.is_header && EqualsNoCase(l.section, Trim(section));
  });
}

bool ProfileFile::HasKey(std::string_view section, std::string_view key) const {
  return Find(section, key) != nullptr;
}

std::string ProfileFile::GetString(std::string_view section, std::string_view key,
                                   std::string_view fallback, std::size_t buffer_size) const {
  const Line* l = Find(section, key);
  std::string_view value = l ? Unquote(Trim(l->value)) : fallback;
  if (buffer_size == 0) return {};
  return std::string(value.substr(0, buffer_size - 1));
}

int ProfileFile::GetInt(std::string_view section, std::string_view key, int fallback) const {
  const Line* l = Find(section, key);
  return l ? ParseLeadingInt(l->value) : fallback;
}

void ProfileFile::Set(std::string_view section, std::string_view key, std::string_view value) {
  if (auto it = index_.find(LookupKey(section, key)); it != index_.end()) {
    lines_[it->second].value = EncodeValue(value);
    return;
  }
  // Insert after the last line of the section, or open the section at the end.
  auto last = lines_.end();
  for (auto it = lines_.begin(); it != lines_.end(); ++it) {
    if (EqualsNoCase(it->section, Trim(section)) && (it->is_header || !it->key.empty()))
      last = it;
  }
  Line entry{std::string(Trim(section)), std::string(key), EncodeValue(value), "", false};
  if (last == lines_.end()) {
    Line header{entry.section, "", "", "[" + entry.section + "]", true};
    lines_.push_back(header);
    lines_.push_back(entry);
    IndexLine(lines_.size() - 1);
  } else {
    lines_.insert(last + 1, entry);
    RebuildIndex();
  }
}

void ProfileFile::SetInt(std::string_view section, std::string_view key, int value) {
  Set(section, key, std::to_string(value));
}

void ProfileFile::AddBlankLines(int count) {
  std::string section = lines_.empty() ? "" : lines_.back().section;
  for (int i = 0; i < count; ++i) lines_.push_back(Line{section, "", "", "", false});
}

void ProfileFile::AppendSection(std::string_view section) {
  std::string name(Trim(section));
  lines_.push_back(Line{name, "", "", "[" + name + "]", true});
}

void ProfileFile::AppendEntry(std::string_view key, std::string_view value) {
  std::string section = lines_.empty() ? "" : lines_.back().section;
  lines_.push_back(Line{std::move(section), std::string(key), EncodeValue(value), "", false});
  IndexLine(lines_.size() - 1);
}

void ProfileFile::AppendInt(std::string_view key, int value) {
  AppendEntry(key, std::to_string(value));
}

std::string ProfileFile::Text() const {
  std::string out;
  for (const Line& l : lines_) {
    out += l.key.empty() ? l.raw : l.key + "=" + l.value;
    out += '\n';
  }
  return out;
}

bool ProfileFile::Save(const std::filesystem::path& path) const {
  std::string error;
  return WriteDurably(path, Text(), error) == WriteResult::Written;
}

}  // namespace tarnhold
