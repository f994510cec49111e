#include "platform/bounded_read.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/unique_fd.h"

namespace tarnhold {

BoundedRead ReadFileBounded(const std::filesystem::path& path, std::size_t max_bytes,
                            std::string& text) {
  text.clear();
  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  struct stat st {};
  if (!fd || ::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) return BoundedRead::Unreadable;
  std::string buffer;
  char chunk[16384];
  // One byte beyond the bound tells a file of exactly max_bytes from a longer one.
  while (buffer.size() <= max_bytes) {
    ssize_t n = ::read(fd.Get(), chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return BoundedRead::Unreadable;
    if (n == 0) break;
    buffer.append(chunk, static_cast<std::size_t>(n));
  }
  bool truncated = buffer.size() > max_bytes;
  if (truncated) buffer.resize(max_bytes);
  text = std::move(buffer);
  return truncated ? BoundedRead::Truncated : BoundedRead::Read;
}

}  // namespace tarnhold
