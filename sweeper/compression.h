// The compression action: packs a message's attachment files (not the saved HTML body) into
// one ZIP archive and judges whether it is small enough to send instead.
#pragma once

#include <filesystem>
#include <vector>

#include "sweeper/sweep_log.h"

namespace tarnhold {

// Writes `archive` (replacing it) from `attachments` and logs each step. True when the archive
// is at most `threshold_pct` percent of the attachments' total size; false on any failure or a
// ratio above it.
[[nodiscard]] bool CompressAttachments(const std::vector<std::filesystem::path>& attachments,
                                       const std::filesystem::path& archive, int threshold_pct,
                                       const LineSink& log);

// Sum of the sizes of the attachment files that exist, the HTML body file left out.
[[nodiscard]] std::int64_t TotalAttachmentSize(
    const std::vector<std::filesystem::path>& attachments);

}  // namespace tarnhold
