#include "message/data_source.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

#include "message/result_codes.h"

namespace tarnhold {
namespace {

char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }

void UpperInPlace(char* data, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) data[i] = UpperAscii(data[i]);
}

// Largest offset at which a match may begin and still be reported: the windows start every
// (4095 - n) bytes, and with a range only those starting within the range are read.
std::int64_t LastMatchStart(std::int64_t start, std::size_t n, std::int64_t range) {
  if (range < 1) return std::numeric_limits<std::int64_t>::max();
  std::int64_t stride = std::max<std::int64_t>(1, static_cast<std::int64_t>(kFindWindow - n));
  return start + (range / stride) * stride + static_cast<std::int64_t>(kFindWindow - n);
}

}  // namespace

int CDataSource::ReadLine(std::string& line, int max) {
  line.clear();
  if (max < 2) return 0;
  line.resize(static_cast<std::size_t>(max - 1));
  long n = Read(line.data(), line.size());
  if (n <= 0) {
    line.clear();
    return 0;
  }
  std::size_t got = static_cast<std::size_t>(n);
  const void* lf = std::memchr(line.data(), '\n', got);
  std::size_t keep =
      lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - line.data()) + 1 : got;
  if (keep < got) Seek(-static_cast<std::int64_t>(got - keep), kSeekCurrent);
  line.resize(keep);
  return static_cast<int>(keep);
}

long CDataSource::WriteLine(std::string_view text) {
  long written = text.empty() ? 0 : Write(text.data(), text.size());
  if (written < static_cast<long>(text.size())) return written;
  if (text.empty() || (text.back() != '\r' && text.back() != '\n')) {
    long n = Write("\r\n", 2);
    written += n > 0 ? n : 0;
  }
  return written;
}

std::int64_t CDataSource::Find(std::string_view text, std::int64_t start, bool case_sensitive,
                               std::int64_t range) {
  const std::size_t n = text.size();
  if (n == 0 || n > kFindWindow || start < 0) return -1;
  if (range >= 1 && static_cast<std::int64_t>(n) > range) return -1;
  const std::int64_t last_start = LastMatchStart(start, n, range);
  const std::int64_t saved = Seek(0, kSeekCurrent);
  if (saved < 0) return -1;

  std::string pattern(text);
  if (!case_sensitive) UpperInPlace(pattern.data(), pattern.size());

  constexpr std::size_t kChunk = 64 * 1024;
  // One buffer per thread, kept between calls: a message's parse makes many searches, and a
  // fresh zero-filled 64 KB block for each cost more than the search itself.
  thread_local std::vector<char> buf;
  if (buf.size() < kChunk + n) buf.resize(kChunk + n);
  std::size_t held = 0;  // bytes in buf, beginning at file offset buf_pos
  std::int64_t buf_pos = start;
  std::int64_t result = -1;
  if (Seek(start, kSeekStart) == start) {
    for (;;) {
      long got = Read(buf.data() + held, kChunk);
      if (got <= 0) break;
      if (!case_sensitive) UpperInPlace(buf.data() + held, static_cast<std::size_t>(got));
      held += static_cast<std::size_t>(got);
      const void* found = ::memmem(buf.data(), held, pattern.data(), pattern.size());
      if (found != nullptr) {
        std::int64_t at = buf_pos + (static_cast<const char*>(found) - buf.data());
        if (at <= last_start) result = at;
        break;
      }
      // Keep the last n - 1 bytes: a match may begin there and end in the next chunk.
      std::size_t keep = std::min(held, n - 1);
      std::memmove(buf.data(), buf.data() + held - keep, keep);
      buf_pos += static_cast<std::int64_t>(held - keep);
      held = keep;
      if (buf_pos > last_start) break;
    }
  }
  Seek(saved, kSeekStart);
  return result;
}

std::int64_t CDataSource::Size() {
  std::int64_t here = Seek(0, kSeekCurrent);
  if (here < 0) return -1;
  std::int64_t end = Seek(0, kSeekEnd);
  Seek(here, kSeekStart);
  return end;
}

int CopyData(CDataSource& from, CDataSource& to, std::int64_t count, std::size_t block,
             std::int64_t* copied) {
  std::vector<char> buf(block);
  std::int64_t done = 0;
  int result = kResultOk;
  while (count < 0 || done < count) {
    std::size_t want = block;
    if (count >= 0) want = static_cast<std::size_t>(std::min<std::int64_t>(block, count - done));
    long n = from.Read(buf.data(), want);
    if (n <= 0) break;
    long w = to.Write(buf.data(), static_cast<std::size_t>(n));
    if (w > 0) done += w;
    if (w != n) {
      result = kResultShortWrite;
      break;
    }
  }
  if (copied) *copied = done;
  return result;
}

}  // namespace tarnhold
