// Data sources: seekable byte streams through which the message library reads and writes all
// message bytes, so one parser serves spool files, memory buffers and open items alike.
// A source is opened before use; a clone is a separate source on the same storage, returned
// closed, with its own position. Callers must check every Write count: short is failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace tarnhold {

enum OpenMode : int { kOpenRead = 0, kOpenWrite = 1, kOpenAppend = 2 };
enum SeekOrigin : int { kSeekStart = 0, kSeekCurrent = 1, kSeekEnd = 2 };

// Longest text Find can look for, and the window it reads at a time.
inline constexpr std::size_t kFindWindow = 4095;

class CDataSource {
 public:
  virtual ~CDataSource() = default;

  // A new, independent source on the same storage (same file or buffer), not yet open.
  [[nodiscard]] virtual std::unique_ptr<CDataSource> Clone() const = 0;
  // mode: kOpenRead, kOpenWrite (truncates) or kOpenAppend. 0, or -1 on failure.
  virtual int Open(int mode) = 0;
  // 0, or -1 when pending data could not be written. Closing a closed source gives 0.
  virtual int Close() = 0;

  // The next line with its line end when it is shorter than max - 3 characters; otherwise
  // the next max - 1 characters. Returns the length of `line`; 0 (and "") at the end.
  virtual int ReadLine(std::string& line, int max);
  // Writes `text` and adds CR LF unless it already ends in CR or LF. Returns the number of
  // bytes written; fewer than asked is a failure.
  virtual long WriteLine(std::string_view text);
  // Bytes read (fewer only at the end of the data); 0 or less at the end or on an error.
  virtual long Read(char* buffer, std::size_t count) = 0;
  // Bytes written; a short count is a failure.
  virtual long Write(const char* buffer, std::size_t count) = 0;
  // origin: kSeekStart, kSeekCurrent or kSeekEnd. The new position, or -1.
  virtual std::int64_t Seek(std::int64_t offset, int origin) = 0;

  // Absolute offset of the first occurrence of `text` at or after `start`, or -1. `text` is 1
  // to 4095 bytes and, when `range` >= 1, no longer than `range`. Without `case_sensitive`
  // both sides are compared upper-cased (ASCII). The search reads windows of 4095 bytes that
  // overlap by the text's length; with `range` >= 1 no window starting more than `range`
  // bytes after `start` is read, but a match inside the last window read is returned even
  // when it lies past start + range, so callers that need a hard end check it themselves.
  // The current position is left where it was.
  virtual std::int64_t Find(std::string_view text, std::int64_t start, bool case_sensitive,
                            std::int64_t range);

  // A name for diagnostics: the file path, or the buffer's display name.
  [[nodiscard]] virtual std::string Name() const = 0;

  // Length of the data in bytes (seeks to the end and back); -1 when that fails.
  [[nodiscard]] std::int64_t Size();
};

// Copies up to `count` bytes from `from` (at its position) to `to` in reads of `block` bytes;
// count < 0 copies to the end. Returns kResultOk, or kResultShortWrite on a short write.
// `copied` (when given) receives the number of bytes written.
int CopyData(CDataSource& from, CDataSource& to, std::int64_t count, std::size_t block,
             std::int64_t* copied = nullptr);

}  // namespace tarnhold
