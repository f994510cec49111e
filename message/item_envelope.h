// The envelope at the start of a queue item, read the way the message file reads it:
// stamp, attempts and return kind (32-bit little-endian), then recipient and sender, each a
// 32-bit length (its terminating zero included) and that many bytes. A field longer than 255
// bytes is not read but stepped over, so the message text after it is still found.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "platform/locked_file.h"

namespace tarnhold {

inline constexpr std::uint32_t kMaxEnvelopeField = 255;

// Problems met while reading, as bits (the message file's Rewrite recipient reports them).
inline constexpr int kEnvelopeStampUnreadable = 1;
inline constexpr int kEnvelopeNumbersUnreadable = 2;  // attempts or return kind
inline constexpr int kEnvelopeRecipientLengthUnreadable = 4;
inline constexpr int kEnvelopeRecipientTooLong = 8;
inline constexpr int kEnvelopeRecipientUnreadable = 16;
inline constexpr int kEnvelopeSenderLengthUnreadable = 32;
inline constexpr int kEnvelopeSenderTooLong = 64;
inline constexpr int kEnvelopeSenderUnreadable = 128;
inline constexpr int kEnvelopeRestUnreadable = 256;
// The bits that mean the file ended (or failed) inside the envelope.
inline constexpr int kEnvelopeUnreadable =
    kEnvelopeStampUnreadable | kEnvelopeNumbersUnreadable | kEnvelopeRecipientLengthUnreadable |
    kEnvelopeRecipientUnreadable | kEnvelopeSenderLengthUnreadable | kEnvelopeSenderUnreadable;

struct ItemEnvelope {
  std::uint32_t stamp = 0;
  std::uint32_t attempts = 0;
  std::uint32_t return_kind = 0;
  std::string recipient;  // up to its first zero byte
  std::string sender;
  std::int64_t text_offset = 0;  // where the message text begins
};

// Reads the envelope from the start of `file`. Returns 0 or the kEnvelope* bits.
[[nodiscard]] int ReadItemEnvelope(LockedFile& file, ItemEnvelope& envelope);

// Rewrites the item's envelope with `recipient` in place of the old one; numbers, sender and
// message text stay. Only an item read without problems is rewritten (the new file is made
// beside it and renamed over it, locked all the while). Returns 0; the kEnvelope* bits of
// the problems; -1 when the item cannot be locked or rewritten (a recipient over 254 bytes
// included); 64 when the item cannot be positioned at its start.
[[nodiscard]] int RewriteItemRecipient(const std::filesystem::path& item,
                                       std::string_view recipient);

}  // namespace tarnhold
