#include "platform/item_header.h"

#include <cstring>

namespace tarnhold {
namespace {

// Reads exactly `size` bytes; false on a short read or an error.
bool ReadExactly(LockedFile& file, void* data, std::size_t size) {
  auto* p = static_cast<unsigned char*>(data);
  while (size > 0) {
    long n = file.Read(p, size);
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool ReadNumber(LockedFile& file, std::uint32_t& value) {
  unsigned char b[4];
  if (!ReadExactly(file, b, sizeof b)) return false;
  value = DecodeLittleEndian32(b);
  return true;
}

struct FieldBits {
  int length_unreadable;
  int too_long;
  int text_unreadable;
};

// One length-prefixed field; the text ends at its first zero byte. Returns its fault bit.
int ReadField(LockedFile& file, std::size_t bound, OnFault on_fault, const FieldBits& bits,
              std::string& text) {
  std::uint32_t length = 0;
  if (!ReadNumber(file, length)) return bits.length_unreadable;
  if (length > bound) {
    // Stepping over lets the text after it be found; a target past the end is fine.
    if (on_fault == OnFault::Continue) (void)file.Seek(file.Position() + length);
    return bits.too_long;
  }
  std::string buf(length, '\0');
  if (!ReadExactly(file, buf.data(), length)) return bits.text_unreadable;
  text.assign(buf.data(), strnlen(buf.data(), length));
  return 0;
}

}  // namespace

std::uint32_t DecodeLittleEndian32(const unsigned char* b) {
  return static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
         static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
}

std::array<unsigned char, 4> EncodeLittleEndian32(std::uint32_t v) {
  return {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
          static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24)};
}

std::string EncodeItemHeader(const ItemHeaderFields& fields) {
  std::string out;
  auto put_number = [&out](std::uint32_t value) {
    const auto bytes = EncodeLittleEndian32(value);
    out.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  };
  auto put_text = [&](const std::string& text) {
    put_number(static_cast<std::uint32_t>(text.size() + 1));
    out.append(text);
    out += '\0';
  };
  put_number(fields.stamp);
  put_number(fields.attempts);
  put_number(fields.return_kind);
  put_text(fields.recipient);
  put_text(fields.sender);
  return out;
}

ItemHeaderRead ReadItemHeader(LockedFile& file, const ItemHeaderBounds& bounds,
                              ItemHeaderFields& fields) {
  const bool stop = bounds.on_fault == OnFault::Stop;
  ItemHeaderRead read;
  if (!ReadNumber(file, fields.stamp)) {
    read.faults |= kHeaderStampUnreadable;
    if (stop) return read;
  }
  if (!ReadNumber(file, fields.attempts) || !ReadNumber(file, fields.return_kind)) {
    read.faults |= kHeaderNumbersUnreadable;
    if (stop) return read;
  }
  read.faults |= ReadField(
      file, bounds.recipient_size, bounds.on_fault,
      {kHeaderRecipientLengthUnreadable, kHeaderRecipientTooLong, kHeaderRecipientUnreadable},
      fields.recipient);
  if (stop && !read.Ok()) return read;
  read.faults |=
      ReadField(file, bounds.sender_size, bounds.on_fault,
                {kHeaderSenderLengthUnreadable, kHeaderSenderTooLong, kHeaderSenderUnreadable},
                fields.sender);
  return read;
}

}  // namespace tarnhold
