#include "message/buffer_source.h"

#include <algorithm>
#include <cstring>

namespace tarnhold {

CBufferSource::CBufferSource(char* data, std::size_t capacity, std::string name, std::size_t length)
    : shared_(std::make_shared<Shared>(Shared{
          data, data ? capacity : 0, std::min(length, data ? capacity : 0), std::move(name)})) {}

std::unique_ptr<CDataSource> CBufferSource::Clone() const {
  return std::unique_ptr<CDataSource>(new CBufferSource(shared_));
}

int CBufferSource::Open(int mode) {
  if (mode == kOpenRead) {
    pos_ = 0;
  } else if (mode == kOpenWrite) {
    shared_->length = 0;
    pos_ = 0;
  } else if (mode == kOpenAppend) {
    pos_ = shared_->length;
  } else {
    return -1;
  }
  open_ = true;
  return 0;
}

int CBufferSource::Close() {
  open_ = false;
  return 0;
}

int CBufferSource::ReadLine(std::string& line, int max) {
  line.clear();
  if (!open_ || max < 2 || pos_ >= shared_->length) return 0;
  std::size_t avail = std::min(shared_->length - pos_, static_cast<std::size_t>(max - 1));
  const char* from = shared_->data + pos_;
  const void* lf = std::memchr(from, '\n', avail);
  std::size_t n = lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - from) + 1 : avail;
  line.assign(from, n);
  pos_ += n;
  return static_cast<int>(n);
}

long CBufferSource::Read(char* buffer, std::size_t count) {
  if (!open_ || pos_ >= shared_->length) return 0;
  std::size_t n = std::min(count, shared_->length - pos_);
  std::memcpy(buffer, shared_->data + pos_, n);
  pos_ += n;
  return static_cast<long>(n);
}

long CBufferSource::Write(const char* buffer, std::size_t count) {
  if (!open_ || pos_ >= shared_->capacity) return 0;
  std::size_t n = std::min(count, shared_->capacity - pos_);
  std::memcpy(shared_->data + pos_, buffer, n);
  pos_ += n;
  shared_->length = std::max(shared_->length, pos_);
  return static_cast<long>(n);
}

std::int64_t CBufferSource::Seek(std::int64_t offset, int origin) {
  std::int64_t base = origin == kSeekStart     ? 0
                      : origin == kSeekCurrent ? static_cast<std::int64_t>(pos_)
                      : origin == kSeekEnd     ? static_cast<std::int64_t>(shared_->length)
                                               : -1;
  if (base < 0) return -1;
  std::int64_t target = base + offset;
  if (target < 0 || target > static_cast<std::int64_t>(shared_->capacity)) return -1;
  pos_ = static_cast<std::size_t>(target);
  return target;
}

}  // namespace tarnhold
