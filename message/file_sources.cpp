#include "message/file_sources.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tarnhold {
namespace {

// A source read straight on doubles its buffer up to this size: a pass over a large message
// then takes a few dozen reads, while a source used for short or scattered reads (every
// clone for a MIME part has its own) keeps the small buffer it was made with.
constexpr std::size_t kMaxReadBufferBytes = 64 * 1024;

bool PWriteAll(int fd, const char* data, std::size_t size, std::int64_t offset) {
  while (size > 0) {
    ssize_t n = ::pwrite(fd, data, size, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
    offset += n;
  }
  return true;
}

// Reads up to `size` bytes; fewer only at the end of the file or on an error.
long PReadFull(int fd, char* data, std::size_t size, std::int64_t offset) {
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = ::pread(fd, data + done, size - done, offset + static_cast<std::int64_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return done > 0 ? static_cast<long>(done) : -1;
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return static_cast<long>(done);
}

}  // namespace

FdSource::FdSource(std::size_t buffer_size) : buf_(std::max<std::size_t>(buffer_size, 64)) {}

int FdSource::Start(UniqueFd fd, int mode, std::int64_t origin) {
  fd_ = std::move(fd);
  origin_ = origin;
  pos_ = 0;
  DropBuffer();
  failed_write_ = false;
  if (mode == kOpenAppend) {
    struct stat st {};
    if (::fstat(fd_.Get(), &st) != 0) return -1;
    pos_ = std::max<std::int64_t>(0, st.st_size - origin_);
  }
  return 0;
}

void FdSource::DropBuffer() {
  state_ = BufferState::Empty;
  buf_len_ = 0;
}

bool FdSource::Flush() {
  if (state_ != BufferState::Writing) return true;
  bool ok = PWriteAll(fd_.Get(), buf_.data(), buf_len_, origin_ + buf_start_);
  DropBuffer();
  if (!ok) failed_write_ = true;
  return ok;
}

int FdSource::Close() {
  if (!fd_) return 0;
  bool ok = Flush() && !failed_write_;
  fd_.Reset();
  return ok ? 0 : -1;
}

long FdSource::Read(char* buffer, std::size_t count) {
  if (!fd_ || !Flush()) return -1;
  std::size_t done = 0;
  while (done < count) {
    if (state_ == BufferState::Reading && pos_ >= buf_start_ &&
        pos_ < buf_start_ + static_cast<std::int64_t>(buf_len_)) {
      std::size_t at = static_cast<std::size_t>(pos_ - buf_start_);
      std::size_t n = std::min(count - done, buf_len_ - at);
      std::memcpy(buffer + done, buf_.data() + at, n);
      done += n;
      pos_ += static_cast<std::int64_t>(n);
      continue;
    }
    if (count - done >= buf_.size()) {  // large reads bypass the buffer
      long n = PReadFull(fd_.Get(), buffer + done, count - done, origin_ + pos_);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
      pos_ += n;
      break;
    }
    const bool straight_on = state_ == BufferState::Reading &&
                             pos_ == buf_start_ + static_cast<std::int64_t>(buf_len_);
    if (straight_on && buf_.size() < kMaxReadBufferBytes) {
      buf_.resize(std::min(buf_.size() * 2, kMaxReadBufferBytes));
    }
    long n = PReadFull(fd_.Get(), buf_.data(), buf_.size(), origin_ + pos_);
    if (n <= 0) {
      // At the end the buffered bytes stay valid: a line reader that reads past the end and
      // steps back finds them again instead of reading the file once more.
      if (n < 0) DropBuffer();
      break;
    }
    state_ = BufferState::Reading;
    buf_start_ = pos_;
    buf_len_ = static_cast<std::size_t>(n);
  }
  return done > 0 ? static_cast<long>(done) : 0;
}

long FdSource::Write(const char* buffer, std::size_t count) {
  if (!fd_ || failed_write_) return 0;
  if (state_ == BufferState::Reading) DropBuffer();
  if (state_ == BufferState::Writing && (pos_ != buf_start_ + static_cast<std::int64_t>(buf_len_) ||
                                         buf_len_ + count > buf_.size())) {
    if (!Flush()) return 0;
  }
  if (count >= buf_.size()) {
    if (!PWriteAll(fd_.Get(), buffer, count, origin_ + pos_)) {
      failed_write_ = true;
      return 0;
    }
    pos_ += static_cast<std::int64_t>(count);
    return static_cast<long>(count);
  }
  if (state_ != BufferState::Writing) {
    state_ = BufferState::Writing;
    buf_start_ = pos_;
    buf_len_ = 0;
  }
  std::memcpy(buf_.data() + buf_len_, buffer, count);
  buf_len_ += count;
  pos_ += static_cast<std::int64_t>(count);
  return static_cast<long>(count);
}

std::int64_t FdSource::Seek(std::int64_t offset, int origin) {
  if (!fd_) return -1;
  std::int64_t base = 0;
  if (origin == kSeekCurrent) {
    base = pos_;
  } else if (origin == kSeekEnd) {
    if (!Flush()) return -1;
    struct stat st {};
    if (::fstat(fd_.Get(), &st) != 0) return -1;
    base = std::max<std::int64_t>(0, st.st_size - origin_);
  } else if (origin != kSeekStart) {
    return -1;
  }
  std::int64_t target = base + offset;
  if (target < 0) return -1;
  if (state_ == BufferState::Writing && target != pos_ && !Flush()) return -1;
  pos_ = target;
  return pos_;
}

CFileSource::CFileSource(std::filesystem::path path, std::size_t buffer_size)
    : FdSource(buffer_size), path_(std::move(path)), buffer_size_(buffer_size) {}

std::unique_ptr<CDataSource> CFileSource::Clone() const {
  return std::make_unique<CFileSource>(path_, buffer_size_);
}

int CFileSource::Open(int mode) {
  Close();
  int flags = O_CLOEXEC;
  if (mode == kOpenRead) {
    flags |= O_RDONLY;
  } else if (mode == kOpenWrite) {
    flags |= O_RDWR | O_CREAT | O_TRUNC;
  } else if (mode == kOpenAppend) {
    flags |= O_RDWR | O_CREAT;
  } else {
    return -1;
  }
  UniqueFd fd(::open(path_.c_str(), flags, 0644));
  if (!fd) return -1;
  struct stat st {};
  if (::fstat(fd.Get(), &st) != 0 || S_ISDIR(st.st_mode)) return -1;
  return Start(std::move(fd), mode, 0);
}

int CFileSource::Close() { return FdSource::Close(); }

CHandleSource::CHandleSource(int fd, std::int64_t origin, std::size_t buffer_size)
    : FdSource(buffer_size),
      held_(fd >= 0 ? ::fcntl(fd, F_DUPFD_CLOEXEC, 0) : -1),
      buffer_size_(buffer_size) {
  origin_ = origin;
}

std::unique_ptr<CDataSource> CHandleSource::Clone() const {
  return std::make_unique<CHandleSource>(held_.Get(), origin_, buffer_size_);
}

int CHandleSource::Open(int mode) {
  Close();
  if (!held_ || mode < kOpenRead || mode > kOpenAppend) return -1;
  UniqueFd fd(::fcntl(held_.Get(), F_DUPFD_CLOEXEC, 0));
  if (!fd) return -1;
  if (mode == kOpenWrite && ::ftruncate(fd.Get(), origin_) != 0) return -1;
  return Start(std::move(fd), mode, origin_);
}

std::string CHandleSource::Name() const { return "descriptor " + std::to_string(held_.Get()); }

}  // namespace tarnhold
