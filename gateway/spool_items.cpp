// CServerSettings: queue items: creating, picking, header access, data, copies, closing.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "gateway/activity_log.h"
#include "gateway/recipient_copy.h"
#include "gateway/server_settings.h"
#include "platform/spool_folder.h"

namespace fs = std::filesystem;

namespace tarnhold {
namespace {

// Another process may take the number we chose between the scan and the create; we then try
// the next one. Each taken number is another party's progress, so the bound only guards
// against a folder that keeps refusing.
constexpr int kNewItemCreateTries = 1000;
// Item names have at most 9 digits; past this the folder is full.
constexpr std::uint32_t kLargestItemNumber = 999'999'999;
// A stamp further than this in the future (a clock set back, or a damaged header) does not
// hold an item back: it is due at once rather than for years.
constexpr std::int64_t kMaxFutureStampSeconds = 24 * 60 * 60;

std::uint32_t Now() { return static_cast<std::uint32_t>(std::time(nullptr)); }

std::uint32_t LittleEndian32(const unsigned char* b) {
  return static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
         static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
}

}  // namespace

SpoolItem CServerSettings::NewProcessingItem() {
  std::scoped_lock guard(lock_);
  const fs::path folder = Folder("queproc");
  SpoolItem item;
  std::uint32_t number = LargestItemNumber(folder) + 1;
  for (int tries = 0; tries < kNewItemCreateTries && number <= kLargestItemNumber;
       ++tries, ++number) {
    std::string error;  // the reason is not reported: the caller answers with its own error
    switch (item.file_.CreateLocked(folder / std::to_string(number), error)) {
      case CreateResult::Created:
        item.number_ = number;
        return item;
      case CreateResult::Exists: continue;  // another process took it since the scan
      case CreateResult::Failed: return SpoolItem{};
    }
  }
  return SpoolItem{};
}

int CServerSettings::WriteHeader(SpoolItem& item, std::string_view recipient,
                                 std::string_view sender, std::uint32_t attempts,
                                 std::uint32_t return_kind) {
  if (!item.IsOpen()) return kWriteNotPositioned;
  return WriteQueueItemHeader(item.file_, recipient, sender, attempts, return_kind, Now());
}

int CServerSettings::UpdateHeader(SpoolItem& item, std::uint32_t attempts,
                                  std::uint32_t return_kind) {
  if (!item.IsOpen()) return kWriteNotPositioned;
  return UpdateQueueItemHeader(item.file_, attempts, return_kind, Now());
}

int CServerSettings::ReadHeader(SpoolItem& item, QueueItemHeader& header,
                                std::size_t recipient_size, std::size_t sender_size) {
  if (!item.IsOpen()) return kReadSenderTooLongOrNotPositioned;
  return ReadQueueItemHeader(item.file_, header, recipient_size, sender_size);
}

int CServerSettings::CopyItemForRecipient(SpoolItem& source, std::string_view recipient,
                                          Flush flush) {
  SpoolItem copy;
  switch (MakeRecipientCopy(*this, source, recipient, copy)) {
    case RecipientCopyResult::Made: break;
    case RecipientCopyResult::NoItem: return 1;
    case RecipientCopyResult::Failed: return 2;
  }
  bool ok = flush == Flush::No || FlushToDisk(copy);
  // A copy that is not on disk when asked for is not kept.
  int closed = CloseItem(copy, ok ? OnClose::Keep : OnClose::Delete);
  return ok && closed == 0 ? 0 : 2;
}

std::size_t CServerSettings::WriteData(SpoolItem& item, const void* bytes, std::size_t count) {
  errno = 0;
  if (item.IsOpen() && item.file_.WriteAll(bytes, count)) return count;
  std::string line = "Error: writing data to ";
  line += item.pending_folder_.empty() ? item.Path().string() : "a new mailbox message";
  line += " failed";
  if (errno != 0) line += std::string(": ") + std::strerror(errno);
  if (item.pending_folder_.empty()) {
    SmtpInLogLine(line);
  } else {
    SmtpOutLogLine(line);
  }
  return 0;
}

std::size_t CServerSettings::ReadBlock(SpoolItem& item, void* buffer, std::size_t size) {
  if (!item.IsOpen()) return 0;
  long n = item.file_.Read(buffer, size);
  return n > 0 ? static_cast<std::size_t>(n) : 0;
}

bool CServerSettings::FlushToDisk(SpoolItem& item) {
  if (!item.IsOpen()) return false;
  // A mailbox message has no name yet; its folder is synced when it is linked in.
  if (!item.pending_folder_.empty()) return ::fsync(item.file_.Fd()) == 0;
  return item.file_.Sync();
}

SpoolItem CServerSettings::NextSendItem() { return NextSendItem(SendItemFilter{}); }

SpoolItem CServerSettings::NextSendItem(const SendItemFilter& hold) {
  std::scoped_lock guard(lock_);
  const fs::path folder = Folder("que");
  const std::int64_t now = std::time(nullptr);
  for (std::uint32_t number : ListItemNumbers(folder)) {
    SpoolItem item;
    std::string error;
    if (item.file_.OpenLocked(folder / std::to_string(number), Access::ReadWrite, error) !=
        LockResult::Locked) {
      continue;  // held by another thread or process, or gone
    }
    item.number_ = number;
    if (hold && hold(item)) continue;
    unsigned char fixed[8] = {};
    long n = item.file_.Read(fixed, sizeof fixed);
    if (n != static_cast<long>(sizeof fixed)) ReportReadError();  // go on with what was read
    const std::int64_t stamp = LittleEndian32(fixed);
    const std::uint32_t attempts = LittleEndian32(fixed + 4);
    const bool due = attempts == 0 || now - stamp >= retry_interval_s_ ||
                     stamp > now + kMaxFutureStampSeconds;
    if (!due || !item.file_.Seek(0)) continue;  // closed by leaving scope
    return item;
  }
  return SpoolItem{};
}

int CServerSettings::CloseItem(SpoolItem& item, OnClose on_close) {
  std::scoped_lock guard(lock_);
  if (!item.IsOpen()) return 1;
  if (!item.pending_folder_.empty()) {
    bool ok = on_close == OnClose::Delete || CommitMailboxMessage(item);
    ok = item.file_.Close() && ok;
    item.pending_folder_.clear();
    return ok ? 0 : 1;
  }
  bool ok = true;
  // Removed while still locked, so no other party can take the item in between.
  if (on_close == OnClose::Delete) ok = ::unlink(item.Path().c_str()) == 0;
  ok = item.file_.Close() && ok;
  return ok ? 0 : 1;
}

}  // namespace tarnhold
