// Files replaced whole (configuration and list files): written under a temporary name in the
// same folder, synced, renamed into place and the folder synced, so a crash or a full disk
// leaves either the old file or the new one, never half of one. A stamp of a file (identity,
// size, modification time) tells whether another program changed it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace tarnhold {

// What a file looked like at one moment. Two stamps differ when the file was created, removed,
// replaced, appended to or rewritten in between.
struct FileStamp {
  bool exists = false;
  std::uint64_t inode = 0;
  std::uint64_t size = 0;
  std::int64_t modified_ns = 0;

  bool operator==(const FileStamp&) const = default;
};

[[nodiscard]] FileStamp StampOf(const std::filesystem::path& path);
// The stamp of an open descriptor (the file it holds, whatever its name is now).
[[nodiscard]] FileStamp StampOfDescriptor(int fd);

enum class WriteResult { Written, Failed };

// Replaces `path` with `text`. Failed: nothing of `path` changed and `error` holds one line.
[[nodiscard]] WriteResult WriteDurably(const std::filesystem::path& path, std::string_view text,
                                       std::string& error);

}  // namespace tarnhold
