#include "message/item_envelope.h"

#include <sys/file.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "platform/temp_files.h"

namespace fs = std::filesystem;

namespace tarnhold {
int ReadItemEnvelope(LockedFile& file, ItemEnvelope& envelope) {
  const ItemHeaderBounds bounds{kMaxEnvelopeField, kMaxEnvelopeField, OnFault::Continue};
  const int bits = ReadItemHeader(file, bounds, envelope).faults;
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
  ItemHeaderFields fields = envelope;
  fields.recipient = std::string(recipient);
  const std::string head = EncodeItemHeader(fields);
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
