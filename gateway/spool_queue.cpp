#include "gateway/spool_queue.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "gateway/activity_log.h"
#include "gateway/recipient_copy.h"
#include "gateway/registry_settings.h"
#include "platform/item_header.h"
#include "platform/spool_folder.h"
#include "platform/spare_files.h"

namespace fs = std::filesystem;

namespace tarnhold {
namespace {

// Another process may hold the number the counter offered; each collision reads the folder
// and moves past what is there, so the bound only guards against a folder that keeps refusing.
constexpr int kNewItemCreateTries = 1000;
// Copies for further recipients move in blocks of this size.
// A stamp further than this in the future (a clock set back, or a damaged header) does not
// hold an item back: it is due at once rather than for years.
constexpr std::int64_t kMaxFutureStampSeconds = 24 * 60 * 60;
// The picker reads stamp and attempts, the first two numbers of the header.
constexpr std::size_t kDueFieldsSize = 8;

std::uint32_t Now() { return static_cast<std::uint32_t>(std::time(nullptr)); }

}  // namespace

SpoolQueue::SpoolQueue(const SpoolLayout& layout, const RegistrySettings& registry)
    : layout_(layout), registry_(registry), processing_numbers_(layout.Processing()) {}

void SpoolQueue::SetReadErrorReporter(ReadErrorReporter reporter) {
  std::scoped_lock guard(reporter_lock_);
  read_error_reporter_ = std::move(reporter);
}

void SpoolQueue::ReportReadError() {
  ReadErrorReporter reporter;
  {
    std::scoped_lock guard(reporter_lock_);
    reporter = read_error_reporter_;
  }
  if (reporter) {
    reporter("Error", "File Read Error");
  } else {
    SmtpOutLogLine("File Read Error");
  }
}

SpoolItem SpoolQueue::NewProcessingItem() {
  const fs::path& folder = processing_numbers_.Folder();
  SpoolItem item;
  std::uint32_t number = processing_numbers_.Next();
  for (int tries = 0; tries < kNewItemCreateTries && number != 0; ++tries) {
    std::string error;  // the reason is not reported: the caller answers with its own error
    switch (item.file_.CreateLocked(folder / std::to_string(number), error, layout_.Spare())) {
      case CreateResult::Created:
        item.number_ = number;
        return item;
      case CreateResult::Exists:
        number = processing_numbers_.AfterCollision(number);
        continue;
      case CreateResult::Failed:
        return SpoolItem{};
    }
  }
  return SpoolItem{};
}

int SpoolQueue::WriteHeader(SpoolItem& item, std::string_view recipient, std::string_view sender,
                            std::uint32_t attempts, std::uint32_t return_kind) {
  if (!item.IsOpen()) return kWriteNotPositioned;
  return WriteQueueItemHeader(item.file_, recipient, sender, attempts, return_kind, Now());
}

int SpoolQueue::UpdateHeader(SpoolItem& item, std::uint32_t attempts, std::uint32_t return_kind) {
  if (!item.IsOpen()) return kWriteNotPositioned;
  return UpdateQueueItemHeader(item.file_, attempts, return_kind, Now());
}

int SpoolQueue::ReadHeader(SpoolItem& item, QueueItemHeader& header, std::size_t recipient_size,
                           std::size_t sender_size) {
  if (!item.IsOpen()) return kReadSenderTooLongOrNotPositioned;
  return ReadQueueItemHeader(item.file_, header, recipient_size, sender_size);
}

CopyResult SpoolQueue::CopyItemForRecipient(SpoolItem& source, std::string_view recipient,
                                            Flush flush) {
  SpoolItem copy;
  switch (MakeRecipientCopy(*this, source, recipient, copy)) {
    case RecipientCopyResult::Made: break;
    case RecipientCopyResult::NoItem: return CopyResult::NoItem;
    case RecipientCopyResult::Failed: return CopyResult::Failed;
  }
  const bool ok = flush == Flush::No || FlushToDisk(copy);
  // A copy that is not on disk when asked for is not kept.
  const CloseResult closed = CloseItem(copy, ok ? OnClose::Keep : OnClose::Delete);
  return ok && closed == CloseResult::Closed ? CopyResult::Copied : CopyResult::Failed;
}

std::size_t SpoolQueue::WriteData(SpoolItem& item, const void* bytes, std::size_t count) {
  errno = 0;
  if (item.IsOpen() && item.file_.WriteAll(bytes, count)) return count;
  const bool message = item.IsNewMailboxMessage();
  std::string line = "Error: writing data to ";
  line += message ? "a new mailbox message" : item.Path().string();
  line += " failed";
  if (errno != 0) line += std::string(": ") + std::strerror(errno);
  if (message) {
    SmtpOutLogLine(line);
  } else {
    SmtpInLogLine(line);
  }
  return 0;
}

std::size_t SpoolQueue::ReadBlock(SpoolItem& item, void* buffer, std::size_t size) {
  if (!item.IsOpen()) return 0;
  long n = item.file_.Read(buffer, size);
  return n > 0 ? static_cast<std::size_t>(n) : 0;
}

bool SpoolQueue::FlushToDisk(SpoolItem& item) {
  if (!item.IsOpen()) return false;
  // A mailbox message has no name yet; its folder is synced when it is linked in.
  if (item.IsNewMailboxMessage()) return ::fsync(item.file_.Fd()) == 0;
  return item.file_.Sync();
}

SpoolItem SpoolQueue::NextSendItem(const SendItemFilter& hold) {
  const fs::path folder = layout_.Send();
  const std::int64_t retry_interval_s = registry_.RetryInterval();
  std::scoped_lock guard(pick_lock_);
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
    unsigned char fixed[kDueFieldsSize] = {};
    long n = item.file_.Read(fixed, sizeof fixed);
    if (n != static_cast<long>(sizeof fixed)) ReportReadError();  // go on with what was read
    const std::int64_t stamp = DecodeLittleEndian32(fixed);
    const std::uint32_t attempts = DecodeLittleEndian32(fixed + 4);
    const bool due =
        attempts == 0 || now - stamp >= retry_interval_s || stamp > now + kMaxFutureStampSeconds;
    if (!due || !item.file_.Seek(0)) continue;  // closed by leaving scope
    return item;
  }
  return SpoolItem{};
}

CloseResult SpoolQueue::CloseItem(SpoolItem& item, OnClose on_close) {
  if (!item.IsOpen()) return CloseResult::Failed;
  bool ok = true;
  // Removed while still locked, so no other party can take the item in between.
  if (on_close == OnClose::Delete) ok = RemoveToSpare(item.Path(), layout_.Spare());
  ok = item.file_.Close() && ok;
  return ok ? CloseResult::Closed : CloseResult::Failed;
}

std::size_t SpoolQueue::SendQueueCount() const { return CountFiles(layout_.Send()); }

}  // namespace tarnhold
