// Data sources on operating-system files: CFileSource opens a named file itself,
// CHandleSource works on a descriptor the caller already holds (optionally from an offset
// on, so a queue item's message text is a source of its own without being copied).
// Both read and write through one buffer; pending writes reach the file at Seek, Read,
// Find and Close, so Close's result must be checked after writing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <vector>

#include "message/data_source.h"
#include "platform/unique_fd.h"

namespace tarnhold {

// The shared machinery: a descriptor, a position of our own (pread/pwrite, so clones never
// disturb each other), and one buffer that holds either read-ahead or write-behind bytes.
class FdSource : public CDataSource {
 public:
  int Close() override;
  long Read(char* buffer, std::size_t count) override;
  long Write(const char* buffer, std::size_t count) override;
  std::int64_t Seek(std::int64_t offset, int origin) override;

 protected:
  explicit FdSource(std::size_t buffer_size);
  // Starts work on `fd` (owned) in `mode`; the source's offset 0 is file offset `origin`.
  int Start(UniqueFd fd, int mode, std::int64_t origin);
  [[nodiscard]] bool Flush();
  void DropBuffer();

  UniqueFd fd_;
  std::int64_t origin_ = 0;
  std::int64_t pos_ = 0;  // relative to origin_

 private:
  enum class BufferState { Empty, Reading, Writing };
  std::vector<char> buf_;
  BufferState state_ = BufferState::Empty;
  std::int64_t buf_start_ = 0;  // relative position of buf_[0]
  std::size_t buf_len_ = 0;
  bool failed_write_ = false;
};

class CFileSource : public FdSource {
 public:
  explicit CFileSource(std::filesystem::path path, std::size_t buffer_size = 4096);
  ~CFileSource() override { Close(); }

  [[nodiscard]] std::unique_ptr<CDataSource> Clone() const override;
  // Read: the file must exist. Write: created or truncated. Append: created when missing,
  // writes go to its end.
  int Open(int mode) override;
  int Close() override;
  [[nodiscard]] std::string Name() const override { return path_.string(); }

 private:
  std::filesystem::path path_;
  std::size_t buffer_size_;
};

class CHandleSource : public FdSource {
 public:
  // Works on a duplicate of `fd`; the source's offset 0 is the file's offset `origin`.
  // A duplicate shares the opened file, and with it any flock: drop every
  // handle source (and its clones) before relying on the file being unlocked.
  explicit CHandleSource(int fd, std::int64_t origin = 0, std::size_t buffer_size = 4096);
  ~CHandleSource() override { Close(); }

  [[nodiscard]] std::unique_ptr<CDataSource> Clone() const override;
  // The descriptor is already open: Read starts at 0, Write truncates to the origin,
  // Append starts at the end. -1 when the duplicate could not be made.
  int Open(int mode) override;
  [[nodiscard]] std::string Name() const override;

 private:
  UniqueFd held_;  // our duplicate, kept between Open and Close
  std::size_t buffer_size_;
};

}  // namespace tarnhold
