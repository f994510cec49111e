// spamfree.dat, the one list file that two programs write while the gateway reads it: thadmin
// replaces it whole, thqueue appends senders to it. Every writer holds flock(LOCK_EX) on the
// file that is under the name now (SpamFreeLock re-checks that after the lock is taken, since a
// replace renames a new file over the name); a replace happens only while the file still has
// the stamp its writer last saw (SpamFreeGuard), so an appended sender is never overwritten.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "platform/durable_file.h"
#include "platform/locked_file.h"
#include "platform/unique_fd.h"

namespace tarnhold {

// One writer's hold on the list: the file now under its name, open for reading and appending,
// with its exclusive lock. The lock ends with the object.
class SpamFreeLock {
 public:
  // Opens `path` (creating it when missing) and takes its lock, waiting at most a few seconds;
  // a file replaced in the meantime is opened again under its name. Locked: this object holds
  // it. Busy: another party held it the whole time. Failed: the file could not be opened or
  // locked. `error` holds one line on Busy and Failed.
  [[nodiscard]] LockResult Open(const std::filesystem::path& path, std::string& error);

  // The whole file, at most kMaxRuleListBytes of it. False on a read error.
  [[nodiscard]] bool ReadAll(std::string& text) const;
  // Appends `entry` and a line feed, first ending a last line that has none (so both count),
  // and syncs the file. Failed: `error` says why; the file may hold part of the line.
  [[nodiscard]] WriteResult Append(std::string_view entry, std::string& error);
  // The stamp of the locked file.
  [[nodiscard]] FileStamp Stamp() const { return StampOfDescriptor(fd_.Get()); }

 private:
  std::filesystem::path path_;
  UniqueFd fd_;
};

enum class GuardedWrite { Written, Changed, Failed };

// thadmin's side: replaces the list only over the file it last read or wrote.
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

}  // namespace tarnhold
