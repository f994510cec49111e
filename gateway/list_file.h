// The plain list files that tarnhold.dat names (DNS servers, cluster hosts): one entry a line
// in file order, LF or CR LF. A line whose first character is ";" is a comment; every other
// line, an empty one included, is an entry as it stands.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace tarnhold {

// Bounds that keep a hostile or mistaken file from filling the memory of the engine.
inline constexpr std::size_t kMaxListFileBytes = 1 << 20;
inline constexpr std::size_t kMaxListEntryLength = 254;

enum class ListFileResult { Read, Truncated, Unreadable };

// Replaces `entries` with the entries of `path`. Read: the whole file. Truncated: the file is
// longer than kMaxListFileBytes and only its first part was read. Unreadable: the file could
// not be opened or read (entries left empty). Entries are cut to kMaxListEntryLength.
[[nodiscard]] ListFileResult ReadListFile(const std::filesystem::path& path,
                                          std::vector<std::string>& entries);

// The text of a list file, the mirror of ReadListFile: every entry followed by a line feed (a
// last line without one would not count when the gateway reads it).
[[nodiscard]] std::string ListFileText(const std::vector<std::string>& entries);

// The entries of list text, as ReadListFile splits them (for tests and fuzzing).
[[nodiscard]] std::vector<std::string> ParseListText(std::string_view text);

}  // namespace tarnhold
