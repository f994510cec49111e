// INI-style profile files with the lookup rules every Tarnhold program relies on: sections and
// keys found without regard to case, blanks around key names ignored, the first of two equal
// keys wins, integers read with a default (text that is not a number reads as 0), strings cut
// to the caller's buffer size. Files are read with LF or CR LF lines and written with LF.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/text_case.h"

namespace tarnhold {

class ProfileFile {
 public:
  // Reads the whole file. A missing or unreadable file gives an empty profile and false.
  bool Load(const std::filesystem::path& path);
  // Parses profile text (for tests and fuzzing).
  void Parse(std::string_view text);

  [[nodiscard]] bool HasSection(std::string_view section) const;
  [[nodiscard]] bool HasKey(std::string_view section, std::string_view key) const;

  // The value, or `fallback` when the section or key is missing; cut to `buffer_size` - 1
  // characters, as a read into a buffer of that size would be.
  [[nodiscard]] std::string GetString(std::string_view section, std::string_view key,
                                      std::string_view fallback = "",
                                      std::size_t buffer_size = 256) const;
  // The value as a decimal integer (optional sign, leading digits); `fallback` when the key is
  // missing; 0 when the value does not start with a number.
  [[nodiscard]] int GetInt(std::string_view section, std::string_view key, int fallback) const;

  // Sets a value, adding the section and key at their ends when new. The key is written as
  // given, so a key with a trailing blank is written "Key =value" and still reads as "Key".
  // Every value reads back as it was set: line feeds become blanks, and a value with blanks
  // at its ends or in matching quotes is written inside one more pair of quotes.
  void Set(std::string_view section, std::string_view key, std::string_view value);
  void SetInt(std::string_view section, std::string_view key, int value);
  // Adds `count` empty lines at the end of the text (layout only).
  void AddBlankLines(int count);
  // Writers that lay a file out line by line: a section header at the end, and an entry at
  // the end under the last header. An entry whose key already exists in that section is
  // written but does not change what the key reads (the first one wins).
  void AppendSection(std::string_view section);
  void AppendEntry(std::string_view key, std::string_view value);
  void AppendInt(std::string_view key, int value);

  [[nodiscard]] std::string Text() const;
  // Writes the whole file under a temporary name, then renames it into place, so a reader
  // never sees half a file. False on failure.
  bool Save(const std::filesystem::path& path) const;

 private:
  struct Line {
    std::string section;  // owning section name as written ("" before the first header)
    std::string key;      // empty for headers, blanks and comments
    std::string value;
    std::string raw;  // the text for lines that are not entries
    bool is_header = false;
  };
  [[nodiscard]] const Line* Find(std::string_view section, std::string_view key) const;
  void IndexLine(std::size_t i);
  void RebuildIndex();

  std::vector<Line> lines_;
  // Folded "section\nkey" to the first entry line that holds it, so that a look-up costs the
  // same in a file of thousands of rules as in a small one.
  std::unordered_map<std::string, std::size_t> index_;
};

// Parses a decimal integer as the profile reader does: optional blanks and sign, then
// digits; stops at the first non-digit; 0 when there is no digit. Saturates at int bounds.
[[nodiscard]] int ParseLeadingInt(std::string_view text);

}  // namespace tarnhold
