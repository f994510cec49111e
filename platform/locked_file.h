// Queue items as locked files. A party "holds" an item while it keeps it open with an
// exclusive flock; a file whose lock cannot be taken is busy, not broken. Items are created
// already locked: no other party can ever lock an item before its creator does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "platform/unique_fd.h"

namespace tarnhold {

enum class LockResult { Locked, Busy, Failed };
enum class CreateResult { Created, Exists, Failed };
enum class Access { ReadOnly, ReadWrite };

class LockedFile {
 public:
  LockedFile() = default;
  LockedFile(LockedFile&& other) noexcept;
  LockedFile& operator=(LockedFile&& other) noexcept;
  ~LockedFile();

  // Opens an existing file and takes its exclusive lock without waiting.
  // Locked: this object holds it. Busy: another party holds it. Failed: anything else
  // (missing file included); `error` holds one line for the activity log.
  [[nodiscard]] LockResult OpenLocked(const std::filesystem::path& path, Access access,
                                      std::string& error);

  // Creates `path` locked, in one step as seen by every other party: the file is made
  // unnamed in its folder, locked, and only then linked under its name. Exists: the name is
  // taken (nothing was changed). Failed: `error` says why. With a `spare_folder` whose pool
  // (spare_files.h) holds a file, that file, emptied and locked, is renamed to `path` instead.
  [[nodiscard]] CreateResult CreateLocked(const std::filesystem::path& path, std::string& error,
                                          const std::filesystem::path& spare_folder = {});

  // Creates a file in `folder` that has no name yet, open for reading and writing and locked:
  // no other party can see it until LinkAs names it, and it vanishes if it is closed (or the
  // process ends) first. On file systems without unnamed files a hidden name (never a number)
  // stands in and is removed on close. Created or Failed.
  [[nodiscard]] CreateResult CreateUnnamed(const std::filesystem::path& folder,
                                           std::string& error);
  // Names a file made by CreateUnnamed as `path` (in the same folder), never replacing an
  // existing entry: Exists when the name is taken (the file stays unnamed and may be linked
  // under another name). Failed: `error` says why.
  [[nodiscard]] CreateResult LinkAs(const std::filesystem::path& path, std::string& error);
  [[nodiscard]] bool IsUnnamed() const { return unnamed_; }

  // Releases the lock and closes. Returns false when close reported an error.
  bool Close();

  // Writes all bytes at the current position; false on any short or failed write.
  [[nodiscard]] bool WriteAll(const void* data, std::size_t size);
  // Reads up to `size` bytes at the current position; returns the count, 0 at end, -1 on error.
  [[nodiscard]] long Read(void* data, std::size_t size);
  [[nodiscard]] bool Seek(std::int64_t offset);
  [[nodiscard]] std::int64_t Position() const;
  [[nodiscard]] std::int64_t Size() const;
  [[nodiscard]] bool Truncate(std::int64_t size);
  // Forces the file's data and its folder entry to disk.
  [[nodiscard]] bool Sync();

  [[nodiscard]] bool IsOpen() const { return fd_.Valid(); }
  [[nodiscard]] int Fd() const { return fd_.Get(); }
  [[nodiscard]] const std::filesystem::path& Path() const { return path_; }

 private:
  UniqueFd fd_;
  std::filesystem::path path_;
  bool unnamed_ = false;            // made by CreateUnnamed and not linked yet
  std::filesystem::path hidden_;    // the stand-in name of an unnamed file, if it has one
  std::filesystem::path spare_;     // the pool name of a taken spare file not yet in place
};

// Forces a folder's entries to disk (after a create, rename or unlink in it): true once an
// fsync of the folder that began after this call began has succeeded. Callers syncing the
// same folder at the same time share one fsync (a caller that arrives while one runs waits
// for the next, which then covers every caller that arrived meanwhile), so many receivers
// storing at once need few flushes of the disk.
bool SyncFolder(const std::filesystem::path& folder);

}  // namespace tarnhold
