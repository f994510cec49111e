#include "gateway/queue_item.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

namespace tarnhold {
namespace {

constexpr std::size_t kMaxAddressLength = kAddressBufferSize - 1;
constexpr std::size_t kMoveChunk = 64 * 1024;

// Longest address field any reader accepts, whatever buffer size it names.
constexpr std::size_t kMaxReadField = kAddressBufferSize * 16;

std::string_view CutAddress(std::string_view address) {
  // A zero byte inside an address would end the field early on reading.
  address = address.substr(0, address.find('\0'));
  return address.substr(0, std::min(address.size(), kMaxAddressLength));
}

bool PRead(int fd, char* data, std::size_t size, std::int64_t offset) {
  while (size > 0) {
    ssize_t n = ::pread(fd, data, size, offset);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
    offset += n;
  }
  return true;
}

bool PWrite(int fd, const char* data, std::size_t size, std::int64_t offset) {
  while (size > 0) {
    ssize_t n = ::pwrite(fd, data, size, offset);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
    offset += n;
  }
  return true;
}

// Moves the bytes from `from` to the end of the file so that they start at `to`, in chunks,
// walking backwards when moving towards the end so that no chunk overwrites unread bytes.
bool MoveTail(LockedFile& file, std::int64_t from, std::int64_t to) {
  std::int64_t size = file.Size();
  if (size < 0) return false;
  std::int64_t length = size - from;
  if (length <= 0) return to >= from || file.Truncate(to);  // no text: only shrink the file
  if (from == to) return true;
  std::vector<char> buf(kMoveChunk);
  int fd = file.Fd();
  for (std::int64_t done = 0; done < length;) {
    std::int64_t n = std::min<std::int64_t>(kMoveChunk, length - done);
    std::int64_t src = to > from ? from + length - done - n : from + done;
    std::int64_t dst = src + (to - from);
    auto count = static_cast<std::size_t>(n);
    if (!PRead(fd, buf.data(), count, src) || !PWrite(fd, buf.data(), count, dst)) return false;
    done += n;
  }
  return to > from || file.Truncate(to + length);
}

// Size of the header the file holds now, or 0 when it holds none that can be read.
std::size_t ExistingHeaderSize(LockedFile& file) {
  if (file.Size() <= 0) return 0;
  QueueItemHeader old;
  if (ReadQueueItemHeader(file, old) != 0) return 0;
  std::int64_t position = file.Position();
  return position > 0 ? static_cast<std::size_t>(position) : 0;
}

}  // namespace

std::size_t QueueItemHeaderSize(std::string_view recipient, std::string_view sender) {
  return 20 + CutAddress(recipient).size() + 1 + CutAddress(sender).size() + 1;
}

int WriteQueueItemHeader(LockedFile& file, std::string_view recipient, std::string_view sender,
                         std::uint32_t attempts, std::uint32_t return_kind, std::uint32_t now) {
  recipient = CutAddress(recipient);
  sender = CutAddress(sender);
  std::size_t new_size = QueueItemHeaderSize(recipient, sender);
  std::size_t old_size = ExistingHeaderSize(file);
  if (old_size != 0 && old_size != new_size &&
      !MoveTail(file, static_cast<std::int64_t>(old_size), static_cast<std::int64_t>(new_size))) {
    return kWriteNotPositioned;
  }
  if (!file.Seek(0)) return kWriteNotPositioned;

  const std::string recipient_z(recipient.data(), recipient.size()), sender_z(sender);
  const auto l1 = EncodeLittleEndian32(static_cast<std::uint32_t>(recipient.size() + 1));
  const auto l2 = EncodeLittleEndian32(static_cast<std::uint32_t>(sender.size() + 1));
  const auto stamp = EncodeLittleEndian32(now), tries = EncodeLittleEndian32(attempts),
             kind = EncodeLittleEndian32(return_kind);
  struct Field {
    const void* data;
    std::size_t size;
    int bit;
  };
  const Field fields[] = {
      {stamp.data(), 4, kWriteStampFailed},
      {tries.data(), 4, kWriteAttemptsFailed},
      {kind.data(), 4, kWriteKindFailed},
      {l1.data(), 4, kWriteRecipientLengthFailed},
      {recipient_z.c_str(), recipient_z.size() + 1, kWriteRecipientFailed},
      {l2.data(), 4, kWriteSenderLengthFailed},
      {sender_z.c_str(), sender_z.size() + 1, kWriteSenderFailed},
  };
  int bits = 0;
  for (const Field& f : fields) {
    if (bits != 0 || !file.WriteAll(f.data, f.size)) bits |= f.bit;
  }
  return bits;
}

int UpdateQueueItemHeader(LockedFile& file, std::uint32_t attempts, std::uint32_t return_kind,
                          std::uint32_t now) {
  if (!file.Seek(0)) return kWriteNotPositioned;
  const std::pair<std::uint32_t, int> fields[] = {
      {now, kWriteStampFailed}, {attempts, kWriteAttemptsFailed}, {return_kind, kWriteKindFailed}};
  int bits = 0;
  for (auto [value, bit] : fields) {
    auto bytes = EncodeLittleEndian32(value);
    if (bits != 0 || !file.WriteAll(bytes.data(), bytes.size())) bits |= bit;
  }
  return bits;
}

int ReadQueueItemHeader(LockedFile& file, QueueItemHeader& header, std::size_t recipient_size,
                        std::size_t sender_size) {
  header = QueueItemHeader{};
  if (!file.Seek(0)) return kReadSenderTooLongOrNotPositioned;
  const ItemHeaderBounds bounds{std::min(recipient_size, kMaxReadField),
                                std::min(sender_size, kMaxReadField), OnFault::Stop};
  return ReadItemHeader(file, bounds, header).faults;
}

}  // namespace tarnhold
