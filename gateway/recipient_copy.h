// A queue item's copy for another recipient: a new processing item with the source's sender,
// attempts and return kind, the given recipient, and the source's message text. The copy is
// handed back still locked, so the caller decides when it is forced to disk and released;
// the source keeps its position.
#pragma once

#include <string_view>

#include "gateway/spool_item.h"
#include "gateway/spool_queue.h"

namespace tarnhold {

enum class RecipientCopyResult {
  Made,    // `copy` holds the whole copy, open and locked
  NoItem,  // no new processing item could be made
  Failed,  // the source could not be read or the copy not written; the half copy is deleted
};

[[nodiscard]] RecipientCopyResult MakeRecipientCopy(SpoolQueue& queue, SpoolItem& source,
                                                    std::string_view recipient, SpoolItem& copy);

}  // namespace tarnhold
