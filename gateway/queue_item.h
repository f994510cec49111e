// The queue item header: stamp, attempts, return kind, then the recipient and the sender as
// length-prefixed, zero-terminated fields (all numbers 32-bit little-endian), followed by the
// message text. Readers give each address field a 256-byte buffer and never read past it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/item_header.h"
#include "platform/locked_file.h"

namespace tarnhold {

// Each address field holds at most this many bytes, its terminating zero byte included.
inline constexpr std::size_t kAddressBufferSize = 256;
inline constexpr std::size_t kQueueItemFixedHeaderSize = 16;  // stamp, attempts, kind, L1

// Return kinds.
inline constexpr std::uint32_t kReturnNone = 0;
inline constexpr std::uint32_t kReturnDomainNotFound = 1;
inline constexpr std::uint32_t kReturnUserNotFound = 2;
inline constexpr std::uint32_t kReturnMaxRetries = 3;

// Error bits of WriteQueueItemHeader (a field whose bytes were not all written).
inline constexpr int kWriteStampFailed = 1;
inline constexpr int kWriteAttemptsFailed = 2;
inline constexpr int kWriteKindFailed = 4;
inline constexpr int kWriteRecipientLengthFailed = 8;
inline constexpr int kWriteRecipientFailed = 16;
inline constexpr int kWriteSenderLengthFailed = 32;
inline constexpr int kWriteSenderFailed = 64;
inline constexpr int kWriteNotPositioned = 128;

// Error bits of ReadQueueItemHeader: the header decoder's fault bits.
inline constexpr int kReadStampFailed = kHeaderStampUnreadable;
inline constexpr int kReadAttemptsOrKindFailed = kHeaderNumbersUnreadable;
inline constexpr int kReadRecipientLengthFailed = kHeaderRecipientLengthUnreadable;
inline constexpr int kReadRecipientTooLong = kHeaderRecipientTooLong;
inline constexpr int kReadRecipientFailed = kHeaderRecipientUnreadable;
inline constexpr int kReadSenderLengthFailed = kHeaderSenderLengthUnreadable;
inline constexpr int kReadSenderTooLongOrNotPositioned = kHeaderSenderTooLong;
inline constexpr int kReadSenderFailed = kHeaderSenderUnreadable;

using QueueItemHeader = ItemHeaderFields;

// Size in bytes of the header that WriteQueueItemHeader writes for these addresses.
[[nodiscard]] std::size_t QueueItemHeaderSize(std::string_view recipient, std::string_view sender);

// Writes a whole header at the start of `file` with the stamp `now` and leaves the file
// positioned right after it, where the message text begins. Each address is cut to 255 bytes so
// that every reader can take it back. When the file already holds a header of another size,
// the text behind it is moved so that nothing is lost or overwritten.
// Returns 0 or the kWrite* bits of the fields not written (a failed field fails all after it).
[[nodiscard]] int WriteQueueItemHeader(LockedFile& file, std::string_view recipient,
                                       std::string_view sender, std::uint32_t attempts,
                                       std::uint32_t return_kind, std::uint32_t now);

// Rewrites stamp (`now`), attempts and return kind in place.
// Returns 0 or kWriteStampFailed, kWriteAttemptsFailed, kWriteKindFailed, kWriteNotPositioned.
[[nodiscard]] int UpdateQueueItemHeader(LockedFile& file, std::uint32_t attempts,
                                        std::uint32_t return_kind, std::uint32_t now);

// Reads the header from the start of `file` and leaves the file positioned at the message
// text. An address field longer than its buffer size (its zero byte included) is an error;
// nothing is ever read past the buffer. Reading stops at the first error, so the bits say
// which field broke: 0 or the kRead* bits.
[[nodiscard]] int ReadQueueItemHeader(LockedFile& file, QueueItemHeader& header,
                                      std::size_t recipient_size = kAddressBufferSize,
                                      std::size_t sender_size = kAddressBufferSize);

}  // namespace tarnhold
