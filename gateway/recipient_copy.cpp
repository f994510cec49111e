#include "gateway/recipient_copy.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "gateway/queue_item.h"

namespace tarnhold {
namespace {

// The text is copied in large blocks: the block size is not visible in the copy, and a
// message of a few megabytes then takes a few dozen reads instead of thousands.
constexpr std::size_t kCopyBlockBytes = 64 * 1024;

// Copies the source's text from its position to its end; false on a read or write failure.
bool CopyText(SpoolQueue& queue, SpoolItem& source, SpoolItem& copy) {
  const std::int64_t left = source.File().Size() - source.File().Position();
  if (left < 0) return false;
  std::vector<char> block(static_cast<std::size_t>(std::min<std::int64_t>(
      left > 0 ? left : 1, static_cast<std::int64_t>(kCopyBlockBytes))));
  for (;;) {
    long n = source.File().Read(block.data(), block.size());
    if (n < 0) return false;
    if (n == 0) return true;
    const auto count = static_cast<std::size_t>(n);
    if (queue.WriteData(copy, block.data(), count) != count) return false;
  }
}

}  // namespace

RecipientCopyResult MakeRecipientCopy(SpoolQueue& queue, SpoolItem& source,
                                      std::string_view recipient, SpoolItem& copy) {
  if (!source.IsOpen()) return RecipientCopyResult::Failed;
  const std::int64_t position = source.File().Position();
  QueueItemHeader header;
  if (queue.ReadHeader(source, header, kAddressBufferSize, kAddressBufferSize) != 0) {
    (void)source.File().Seek(position);
    return RecipientCopyResult::Failed;
  }
  copy = queue.NewProcessingItem();
  if (!copy.IsOpen()) {
    (void)source.File().Seek(position);
    return RecipientCopyResult::NoItem;
  }
  bool ok = queue.WriteHeader(copy, recipient, header.sender, header.attempts,
                                 header.return_kind) == 0 &&
            CopyText(queue, source, copy);
  (void)source.File().Seek(position);
  if (ok) return RecipientCopyResult::Made;
  // A half copy would be swept as a broken message: it goes.
  (void)queue.CloseItem(copy, OnClose::Delete);
  return RecipientCopyResult::Failed;
}

}  // namespace tarnhold
