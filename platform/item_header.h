// The queue item header as it is stored: stamp, attempts and return kind as 32-bit
// little-endian numbers, then the recipient and the sender, each a 32-bit length (its zero
// byte included) and that many bytes. This is its one decoder; the spool and the message file
// read headers through it. A length is checked against the caller's bound before anything is
// read, so a hostile length never causes a large read.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/locked_file.h"

namespace tarnhold {

// Faults met while reading, as bits; the spool's and the message file's result bits are these.
inline constexpr int kHeaderStampUnreadable = 1;
inline constexpr int kHeaderNumbersUnreadable = 2;  // attempts or return kind
inline constexpr int kHeaderRecipientLengthUnreadable = 4;
inline constexpr int kHeaderRecipientTooLong = 8;
inline constexpr int kHeaderRecipientUnreadable = 16;
inline constexpr int kHeaderSenderLengthUnreadable = 32;
inline constexpr int kHeaderSenderTooLong = 64;
inline constexpr int kHeaderSenderUnreadable = 128;

// Stamp, attempts and return kind: the part a send picker needs to decide whether an item is due.
inline constexpr std::size_t kItemHeaderNumbersSize = 12;

struct ItemHeaderFields {
  std::uint32_t stamp = 0;     // seconds since 1970-01-01 UTC of the last header write
  std::uint32_t attempts = 0;  // delivery attempts made so far
  std::uint32_t return_kind = 0;
  std::string recipient;  // up to its first zero byte
  std::string sender;
};

// Stop: reading ends at the first fault. Continue: every field is still tried after a fault,
// and a field longer than its bound is stepped over, so the text after it is still found.
enum class OnFault { Stop, Continue };

struct ItemHeaderBounds {
  std::size_t recipient_size;  // largest recipient field accepted, its zero byte included
  std::size_t sender_size;
  OnFault on_fault;
};

struct ItemHeaderRead {
  int faults = 0;  // kHeader* bits; 0 when every field was read
  [[nodiscard]] bool Ok() const { return faults == 0; }
};

// Reads the header from the file's current position into `fields` and leaves the file after
// the last field read. A field is set only when it was read whole.
[[nodiscard]] ItemHeaderRead ReadItemHeader(LockedFile& file, const ItemHeaderBounds& bounds,
                                            ItemHeaderFields& fields);

// The stored form of `fields`, the mirror of ReadItemHeader: each text is written whole with
// one zero byte after it, and its length counts that byte.
[[nodiscard]] std::string EncodeItemHeader(const ItemHeaderFields& fields);

[[nodiscard]] std::uint32_t DecodeLittleEndian32(const unsigned char* bytes);
[[nodiscard]] std::array<unsigned char, 4> EncodeLittleEndian32(std::uint32_t value);

}  // namespace tarnhold
