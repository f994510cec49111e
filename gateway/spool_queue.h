// The spool queues: new processing items, queue item headers, item data, copies for further
// recipients, the send picker, closing, source information files and the send queue count.
// Thread-safe without one big lock: numbers come from a kept counter, so creating an item
// never waits for a folder scan; only send pickers share a lock (they must not race each
// other's filter). An open SpoolItem belongs to the thread that holds it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "gateway/queue_item.h"
#include "gateway/spool_item.h"
#include "gateway/spool_layout.h"
#include "platform/item_counter.h"

namespace tarnhold {

class RegistrySettings;

// Opening a source information file that exists is tried this often, this far apart, before
// the sweeper goes on without it.
inline constexpr int kSourceInfoOpenTries = 3;
inline constexpr int kSourceInfoRetryDelayMs = 20;
// A source information file holds a dotted IPv4 address; more than this is not read.
inline constexpr std::size_t kMaxSourceInfoBytes = 64;

enum class OnClose { Keep, Delete };
enum class SourceInfo { Present, Absent, Unreadable };
enum class Flush { No, Yes };

// CopyItemForRecipient: Copied; NoItem, no new item could be made; Failed, the source could
// not be read or the copy not written (the half copy is deleted).
enum class CopyResult { Copied, NoItem, Failed };
// Closing an item: Closed, or Failed when closing, deleting or linking failed.
enum class CloseResult { Closed, Failed };

class SpoolQueue {
 public:
  // `registry` gives the retry interval; both must outlive the queue.
  SpoolQueue(const SpoolLayout& layout, const RegistrySettings& registry);
  SpoolQueue(const SpoolQueue&) = delete;
  SpoolQueue& operator=(const SpoolQueue&) = delete;

  // Where the send picker reports an item whose stamp or attempts cannot be read (title
  // "Error", text "File Read Error"). Unset: a line in the SMTP delivery log. It must not block.
  using ReadErrorReporter = std::function<void(const std::string& title, const std::string& text)>;
  void SetReadErrorReporter(ReadErrorReporter reporter);

  // A new item in queproc, locked before any other party can see it, numbered by the folder's
  // counter (see ItemCounter: 1 in an empty folder, never a number present). Closed item: none
  // could be made.
  [[nodiscard]] SpoolItem NewProcessingItem();

  // Header access; the results are the queue item header's bits (queue_item.h).
  [[nodiscard]] int WriteHeader(SpoolItem& item, std::string_view recipient,
                                std::string_view sender, std::uint32_t attempts,
                                std::uint32_t return_kind);
  [[nodiscard]] int UpdateHeader(SpoolItem& item, std::uint32_t attempts,
                                 std::uint32_t return_kind);
  [[nodiscard]] int ReadHeader(SpoolItem& item, QueueItemHeader& header, std::size_t recipient_size,
                               std::size_t sender_size);

  // A new processing item with the source's header for `recipient` and the source's text,
  // flushed when asked, closed. The source keeps its position.
  [[nodiscard]] CopyResult CopyItemForRecipient(SpoolItem& source, std::string_view recipient,
                                                Flush flush);

  // Item data, for queue items and mailbox messages alike. WriteData returns `count`, or 0
  // after a line in the activity log.
  std::size_t WriteData(SpoolItem& item, const void* bytes, std::size_t count);
  [[nodiscard]] std::size_t ReadBlock(SpoolItem& item, void* buffer, std::size_t size);
  [[nodiscard]] bool FlushToDisk(SpoolItem& item);

  // The first due item of que in ascending order that nobody holds, locked; closed when none.
  // `hold` (may be empty) runs under the pickers' lock, before the header is read.
  using SendItemFilter = std::function<bool(SpoolItem& item)>;
  [[nodiscard]] SpoolItem NextSendItem(const SendItemFilter& hold);

  // Closes a queue item; Delete removes its file first, while it is still locked.
  [[nodiscard]] CloseResult CloseItem(SpoolItem& item, OnClose on_close);

  // Writes stat/<number> whole (a pool file put in place, or the file made anew); with
  // Flush::Yes the file and its folder are forced to disk.
  [[nodiscard]] bool WriteSourceInfo(std::uint32_t number, std::string_view address,
                                     std::string& error, Flush flush = Flush::No);
  [[nodiscard]] SourceInfo ReadSourceInfo(std::uint32_t number, std::string& address) const;
  [[nodiscard]] std::filesystem::path SourceInfoPath(std::uint32_t number) const;

  [[nodiscard]] std::size_t SendQueueCount() const;

  // Reports an unreadable stamp or attempts count through the reporter (or the log).
  void ReportReadError();

 private:

  const SpoolLayout& layout_;
  const RegistrySettings& registry_;
  ItemCounter processing_numbers_;
  std::mutex pick_lock_;
  std::mutex reporter_lock_;
  ReadErrorReporter read_error_reporter_;
};

}  // namespace tarnhold
