// A small pool of emptied spool files kept for reuse instead of being removed and made anew.
// On a busy gateway every message makes and removes a few small files (its queue item, its
// source information). An ext4 file system without a journal scans past every recently freed
// inode whose table block is not yet written back each time it allocates one, so under load
// the allocation cost grows with the rate of removals and became the largest single cost of a
// small message. A file that would be removed is renamed into the pool (and emptied); a new
// file is a pool file opened, locked and renamed into place. No inode is freed or allocated,
// and a rename within one file system is atomic, so every file is always in exactly one place.
//
// A pool belongs to one folder (the data root's spare folder) and is enabled by the process
// that owns the spool (the engine); every other process, and a folder on another file system,
// simply removes and creates files as before. The pool's names are only in memory: files left
// in the folder by an earlier run are removed when the pool is enabled.
#pragma once

#include <filesystem>

#include "platform/unique_fd.h"

namespace tarnhold {

// Pool files kept at most; beyond this a file is removed.
inline constexpr int kSpareFilesKept = 64;

// Makes `folder`, removes whatever it holds and starts a pool there. False: no pool (the folder
// cannot be made); files are then removed and created as usual.
bool EnableSpareFiles(const std::filesystem::path& folder);
// Ends the pool of `folder` (its files stay until the next enable).
void DisableSpareFiles(const std::filesystem::path& folder);

// Removes `file` from its place: into the pool of `folder` when there is one with room (the
// file is emptied), otherwise unlinked. True when the file is gone from its place.
bool RemoveToSpare(const std::filesystem::path& file, const std::filesystem::path& folder);

// A pool file of `folder`, open for reading and writing, locked (flock) and empty; `taken` is
// its name in the pool. Invalid when the pool is empty or absent.
[[nodiscard]] UniqueFd TakeSpare(const std::filesystem::path& folder,
                                 std::filesystem::path& taken);

// Puts a file taken from the pool back (it was not used).
void ReturnSpare(const std::filesystem::path& folder, const std::filesystem::path& taken);

}  // namespace tarnhold
