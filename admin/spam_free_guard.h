// The guard of spamfree.dat, the one list file that two programs write: thadmin replaces it
// whole, thqueue appends senders to it. Contract between the two:
// - Every writer holds flock(LOCK_EX) on the file while it writes, and after taking the lock
//   checks that its descriptor is still the file under that name (a replace may have renamed
//   a new file in meanwhile); if not, it opens the name again and retries.
// - thadmin keeps the stamp of the file it last read or wrote. It replaces the file only while
//   the file under the lock still has that stamp; a changed file is left alone (Changed), so an
//   addition by thqueue is never overwritten. The caller then reads the file again.
// - thqueue appends with AppendSpamFreeEntry, which keeps the contract on its side.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "admin/durable_file.h"

namespace tarnhold {

enum class GuardedWrite { Written, Changed, Failed };

class SpamFreeGuard {
 public:
  explicit SpamFreeGuard(std::filesystem::path path) : path_(std::move(path)) {}

  // Records the file as it is now (after reading it, or at start).
  void TakeStamp() { stamp_ = StampOf(path_); }
  [[nodiscard]] bool ChangedSinceStamp() const { return StampOf(path_) != stamp_; }

  // Replaces the file with `entries`, one a line. Written: done, the stamp is the new file's.
  // Changed: another program changed the file since the stamp; nothing written. Failed: the
  // file could not be written (or its lock not taken); `error` says why; nothing written.
  [[nodiscard]] GuardedWrite Write(const std::vector<std::string>& entries, std::string& error);

  [[nodiscard]] const std::filesystem::path& Path() const { return path_; }
  [[nodiscard]] const FileStamp& Stamp() const { return stamp_; }

 private:
  std::filesystem::path path_;
  FileStamp stamp_;
};

// thqueue's side: appends `entry` and a line feed under the lock, creating the file when
// missing. Failed when the file cannot be opened, locked or written; `error` says why.
[[nodiscard]] WriteResult AppendSpamFreeEntry(const std::filesystem::path& path,
                                              std::string_view entry, std::string& error);

}  // namespace tarnhold
