#include "message/item_envelope.h"

#include <sys/file.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "platform/temp_files.h"

namespace fs = std::filesystem;

namespace tarnhold {
namespace {

bool ReadExactly(LockedFile& file, void* data, std::size_t size) {
  char* p = static_cast<char*>(data);
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
  if (!ReadExactly(file, b, 4)) return false;
  value = b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<std::uint32_t>(b[3]) << 24);
  return true;
}

// Reads one length-prefixed field; returns its problem bits (length unreadable, too long,
// text unreadable).
int ReadField(LockedFile& file, std::string& text, int length_bit, int long_bit, int text_bit) {
  std::uint32_t length = 0;
  if (!ReadNumber(file, length)) return length_bit;
  if (length > kMaxEnvelopeField) {
    (void)file.Seek(file.Position() + length);  // step over it; an end past the file is fine
    return long_bit;
  }
  char buf[kMaxEnvelopeField];
  if (!ReadExactly(file, buf, length)) return text_bit;
  text.assign(buf, strnlen(buf, length));
  return 0;
}

void PutNumber(std::string& out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out += static_cast<char>((value >> (8 * i)) & 255);
}

void PutField(std::string& out, std::string_view text) {
  PutNumber(out, static_cast<std::uint32_t>(text.size() + 1));
  out.append(text);
  out += '\0';
}

}  // namespace

int ReadItemEnvelope(LockedFile& file, ItemEnvelope& envelope) {
  int bits = 0;
  if (!ReadNumber(file, envelope.stamp)) bits |= kEnvelopeStampUnreadable;
  if (!ReadNumber(file, envelope.attempts) || !ReadNumber(file, envelope.return_kind)) {
    bits |= kEnvelopeNumbersUnreadable;
  }
  bits |= ReadField(file, envelope.recipient, kEnvelopeRecipientLengthUnreadable,
                    kEnvelopeRecipientTooLong, kEnvelopeRecipientUnreadable);
  bits |= ReadField(file, envelope.sender, kEnvelopeSenderLengthUnreadable, kEnvelopeSenderTooLong,
                    kEnvelopeSenderUnreadable);
  envelope.text_offset = file.Position();
  return bits;
}

int RewriteItemRecipient(const fs::path& item, std::string_view recipient) {
  LockedFile file;
  std::string error;
  if (file.OpenLocked(item, Access::ReadWrite, error) != LockResult::Locked) return -1;
  if (!file.Seek(0)) return 64;
  ItemEnvelope envelope;
  int bits = ReadItemEnvelope(file, envelope);
  if (bits != 0) return bits;
  if (recipient.size() + 1 > kMaxEnvelopeField) return -1;

  fs::path temp_path;
  UniqueFd temp_fd =
      MakeTempFile(item.parent_path().empty() ? "." : item.parent_path(), ".rewrite.", temp_path);
  if (!temp_fd || ::flock(temp_fd.Get(), LOCK_EX | LOCK_NB) != 0) {
    if (temp_fd) ::unlink(temp_path.c_str());
    return -1;
  }
  std::string head;
  PutNumber(head, envelope.stamp);
  PutNumber(head, envelope.attempts);
  PutNumber(head, envelope.return_kind);
  PutField(head, recipient);
  PutField(head, envelope.sender);
  int result = 0;
  bool ok = ::write(temp_fd.Get(), head.data(), head.size()) == static_cast<ssize_t>(head.size());
  std::vector<char> buf(64 * 1024);
  while (ok) {
    long n = file.Read(buf.data(), buf.size());
    if (n < 0) result = kEnvelopeRestUnreadable;
    if (n <= 0) break;
    ok = ::write(temp_fd.Get(), buf.data(), static_cast<std::size_t>(n)) == n;
  }
  if (ok && result == 0 && ::fsync(temp_fd.Get()) == 0 &&
      ::rename(temp_path.c_str(), item.c_str()) == 0) {
    SyncFolder(item.parent_path().empty() ? "." : item.parent_path());
    return 0;
  }
  ::unlink(temp_path.c_str());
  return result != 0 ? result : -1;
}

}  // namespace tarnhold
