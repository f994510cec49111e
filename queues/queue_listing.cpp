#include "queues/queue_listing.h"

#include <dirent.h>

#include <chrono>
#include <memory>
#include <vector>

#include "message/buffer_source.h"
#include "message/item_envelope.h"
#include "message/mail_message.h"
#include "platform/locked_file.h"
#include "platform/spool_folder.h"
#include "platform/text_case.h"

namespace fs = std::filesystem;

namespace tarnhold::queues {
namespace {

// A header value on one line of the list: folding blanks become spaces, and the blanks around
// the value go.
std::string Field(CMailMessage& message, int kind) {
  std::string value = message.GetUnfoldedField(kind, 0).value_or("");
  for (char& c : value) {
    if (c == '\t' || c == '\r' || c == '\n') c = ' ';
  }
  std::size_t first = value.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  return value.substr(first, value.find_last_not_of(' ') - first + 1);
}

// The header section of the message text: up to and with the empty line that ends it, at
// most kMaxRowHeaderBytes.
bool ReadHeaderSection(LockedFile& item, std::string& header) {
  header.clear();
  char block[8192];
  while (header.size() < kMaxRowHeaderBytes) {
    long n = item.Read(block, sizeof block);
    if (n < 0) return false;
    if (n == 0) break;
    std::size_t from = header.size() < 3 ? 0 : header.size() - 3;
    header.append(block, static_cast<std::size_t>(n));
    std::size_t end = header.find("\n\r\n", from);
    std::size_t bare = header.find("\n\n", from);
    if (end != std::string::npos || bare != std::string::npos) {
      std::size_t cut = std::min(end == std::string::npos ? header.size() : end + 3,
                                 bare == std::string::npos ? header.size() : bare + 2);
      header.resize(cut);
      return true;
    }
  }
  if (header.size() > kMaxRowHeaderBytes) header.resize(kMaxRowHeaderBytes);
  header += "\r\n";
  return true;
}

}  // namespace

RowResult ReadRow(const fs::path& item_path, QueueRow& row) {
  LockedFile item;
  std::string error;
  if (item.OpenLocked(item_path, Access::ReadOnly, error) != LockResult::Locked) {
    return RowResult::Skipped;
  }
  ItemEnvelope envelope;
  if ((ReadItemEnvelope(item, envelope) & kEnvelopeUnreadable) != 0) return RowResult::Skipped;
  if (!item.Seek(envelope.text_offset)) return RowResult::Skipped;
  std::string header;
  if (!ReadHeaderSection(item, header)) return RowResult::Skipped;
  item.Close();

  CMailMessage message;
  CBufferSource source(header.data(), header.size(), "header", header.size());
  (void)message.Load(source);
  row.to = ToLower(Field(message, kFieldTo));
  if (row.to.empty()) return RowResult::Skipped;
  row.date = Field(message, kFieldDate);
  row.number = item_path.filename().string();
  row.from = ToLower(Field(message, kFieldFrom));
  row.subject = ToLower(Field(message, kFieldSubject));
  row.message_id = ToLower(Field(message, kFieldMessageId));
  row.sender = envelope.sender;
  row.recipient = envelope.recipient;
  return RowResult::Row;
}

ListingEnd ListFolder(const fs::path& folder, const std::function<bool()>& stop,
                      const std::function<void(QueueRow&&)>& on_row) {
  struct DirCloser {
    void operator()(DIR* d) const { ::closedir(d); }
  };
  std::unique_ptr<DIR, DirCloser> dir(::opendir(folder.c_str()));
  if (!dir) return ListingEnd::Finished;
  while (true) {
    if (stop && stop()) return ListingEnd::Aborted;
    const dirent* e = ::readdir(dir.get());
    if (!e) break;
    // Only item names: a hidden name is a copy still being written by another party.
    if (!ItemNumber(e->d_name)) continue;
    if (e->d_type != DT_REG && e->d_type != DT_UNKNOWN && e->d_type != DT_LNK) continue;
    fs::path path = folder / e->d_name;
    std::error_code ec;
    if (e->d_type != DT_REG && !fs::is_regular_file(path, ec)) continue;
    QueueRow row;
    if (ReadRow(path, row) == RowResult::Row) on_row(std::move(row));
  }
  return ListingEnd::Finished;
}

bool FolderLister::Abort() {
  bool was_running;
  {
    std::scoped_lock lock(mutex_);
    was_running = running_;
    abort_ = true;
  }
  if (thread_.joinable()) thread_.join();
  return was_running;
}

void FolderLister::Start(fs::path folder, RowSink on_row, EndSink on_end) {
  Abort();
  {
    std::scoped_lock lock(mutex_);
    abort_ = false;
    running_ = true;
  }
  thread_ = std::thread(
      [this, folder = std::move(folder), on_row = std::move(on_row), on_end = std::move(on_end)] {
        ListingEnd end = ListFolder(
            folder,
            [this] {
              std::scoped_lock lock(mutex_);
              return abort_;
            },
            on_row);
        if (on_end) on_end(end);
        std::scoped_lock lock(mutex_);
        running_ = false;
        abort_ = false;
        idle_.notify_all();
      });
}

bool FolderLister::Running() const {
  std::scoped_lock lock(mutex_);
  return running_;
}

bool FolderLister::WaitIdle(long timeout_ms) const {
  std::unique_lock lock(mutex_);
  return idle_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return !running_; });
}

}  // namespace tarnhold::queues
