// The envelope at the start of a queue item, read the way the message file reads it:
// stamp, attempts and return kind (32-bit little-endian), then recipient and sender, each a
// 32-bit length (its terminating zero included) and that many bytes. A field longer than 255
// bytes is not read but stepped over, so the message text after it is still found.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "platform/item_header.h"
#include "platform/locked_file.h"

namespace tarnhold {

inline constexpr std::uint32_t kMaxEnvelopeField = 255;

// Problems met while reading are the header decoder's kHeader* bits (platform/item_header.h);
// the message file's Rewrite recipient reports them. One more bit of its own:
inline constexpr int kEnvelopeRestUnreadable = 256;
// The bits that mean the file ended (or failed) inside the envelope.
inline constexpr int kEnvelopeUnreadable =
    kHeaderStampUnreadable | kHeaderNumbersUnreadable | kHeaderRecipientLengthUnreadable |
    kHeaderRecipientUnreadable | kHeaderSenderLengthUnreadable | kHeaderSenderUnreadable;

struct ItemEnvelope : ItemHeaderFields {
  std::int64_t text_offset = 0;  // where the message text begins
};

// Reads the envelope from the start of `file`. Returns 0 or the kHeader* bits.
[[nodiscard]] int ReadItemEnvelope(LockedFile& file, ItemEnvelope& envelope);

// Rewrites the item's envelope with `recipient` in place of the old one; numbers, sender and
// message text stay. Only an item read without problems is rewritten (the new file is made
// beside it and renamed over it, locked all the while). Returns 0; the kHeader* bits of
// the problems; -1 when the item cannot be locked or rewritten (a recipient over 254 bytes
// included); 64 when the item cannot be positioned at its start.
[[nodiscard]] int RewriteItemRecipient(const std::filesystem::path& item,
                                       std::string_view recipient);

}  // namespace tarnhold
