// Reading a whole small file with an upper bound: configuration and list files that a mistake
// or a hostile hand may have made huge, or turned into a pipe or a folder.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

namespace tarnhold {

enum class BoundedRead { Read, Truncated, Unreadable };

// Replaces `text` with the content of the regular file `path`. Read: the whole file.
// Truncated: the file holds more than `max_bytes`; `text` holds its first `max_bytes`.
// Unreadable: missing, not a regular file (a pipe never blocks the caller), or a read error;
// `text` is empty.
[[nodiscard]] BoundedRead ReadFileBounded(const std::filesystem::path& path, std::size_t max_bytes,
                                          std::string& text);

}  // namespace tarnhold
