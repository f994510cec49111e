// One open spool item: a queue item, a mailbox message or a message opened for reading.
// The object owns the file and its exclusive lock; it is what the spool data manager hands
// out where the original design passed file handles. Move-only; one thread uses it at a time.
// Closing it through CServerSettings::CloseItem is the normal end; a destroyed item is closed
// and kept (a mailbox message that was never committed vanishes).
#pragma once

#include <cstdint>
#include <filesystem>

#include "platform/locked_file.h"

namespace tarnhold {

class CServerSettings;
class MailboxStore;
class SendQueueIndex;
class SpoolQueue;

class SpoolItem {
 public:
  SpoolItem() = default;
  SpoolItem(SpoolItem&&) noexcept = default;
  SpoolItem& operator=(SpoolItem&&) noexcept = default;

  [[nodiscard]] bool IsOpen() const { return file_.IsOpen(); }
  // The item's number (its file name), kept after closing; 0 for a mailbox message not yet
  // linked into its mailbox.
  [[nodiscard]] std::uint32_t Number() const { return number_; }
  // Full path of the item while it is open; empty for a mailbox message not yet linked into
  // its mailbox and after closing.
  [[nodiscard]] const std::filesystem::path& Path() const { return file_.Path(); }
  // A new mailbox message: it gets its name in its mailbox when it is closed and kept.
  [[nodiscard]] bool IsNewMailboxMessage() const { return !pending_folder_.empty(); }
  // The underlying locked file, for callers that stream its bytes themselves.
  [[nodiscard]] LockedFile& File() { return file_; }

 private:
  friend class CServerSettings;
  friend class MailboxStore;
  friend class SendQueueIndex;
  friend class SpoolQueue;
  LockedFile file_;
  std::uint32_t number_ = 0;
  // Set for a new mailbox message: the folder it is linked into when closed and kept.
  std::filesystem::path pending_folder_;
};

}  // namespace tarnhold
