#include "transport/interrupted_transfers.h"

#include <unistd.h>

#include <algorithm>
#include <string>

#include "gateway/activity_log.h"
#include "gateway/queue_item.h"
#include "platform/locked_file.h"
#include "platform/spool_folder.h"

namespace tarnhold {
namespace {

constexpr std::string_view kFinalLine = ".\r\n";
constexpr std::string_view kFinalLineAfterText = "\r\n.\r\n";

bool TextEndsWithFinalLine(LockedFile& file) {
  QueueItemHeader header;
  std::int64_t text_start = 0;
  if (ReadQueueItemHeader(file, header) == 0) text_start = file.Position();
  const std::int64_t size = file.Size();
  const std::int64_t text_size = size - text_start;
  if (text_size < static_cast<std::int64_t>(kFinalLine.size())) return false;
  const std::int64_t tail_size =
      std::min<std::int64_t>(text_size, static_cast<std::int64_t>(kFinalLineAfterText.size()));
  char tail[8] = {};
  if (!file.Seek(size - tail_size) || file.Read(tail, static_cast<std::size_t>(tail_size)) != tail_size) {
    return false;
  }
  std::string_view got(tail, static_cast<std::size_t>(tail_size));
  if (text_size == static_cast<std::int64_t>(kFinalLine.size())) return got == kFinalLine;
  return got.substr(got.size() - std::min(got.size(), kFinalLineAfterText.size())) ==
         kFinalLineAfterText;
}

}  // namespace

std::vector<std::uint32_t> RemoveInterruptedTransfers(const std::filesystem::path& queproc,
                                                      const std::filesystem::path& stat_folder) {
  std::vector<std::uint32_t> removed;
  for (std::uint32_t number : ListItemNumbers(queproc)) {
    LockedFile item;
    std::string error;
    const std::filesystem::path path = queproc / std::to_string(number);
    if (item.OpenLocked(path, Access::ReadOnly, error) != LockResult::Locked) continue;
    if (TextEndsWithFinalLine(item)) continue;
    // Removed while still locked, so nobody takes it in between.
    if (::unlink(path.c_str()) != 0) continue;
    std::filesystem::path stat = stat_folder / std::to_string(number);
    ::unlink(stat.c_str());
    removed.push_back(number);
    SmtpInLogLine("Removed unfinished message " + std::to_string(number) +
                  " left by an interrupted transfer");
  }
  if (!removed.empty()) SyncFolder(queproc);
  return removed;
}

}  // namespace tarnhold
