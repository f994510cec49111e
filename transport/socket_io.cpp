#include "transport/socket_io.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "transport/tls_stream.h"

namespace tarnhold {
namespace {

int ToPollTimeoutMs(long seconds, long microseconds) {
  if (seconds < 0 || microseconds < 0) return -1;
  long long ms = static_cast<long long>(seconds) * 1000 + microseconds / 1000;
  return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

bool WaitFor(int fd, short events, long seconds, long microseconds) {
  if (fd < 0) return false;
  pollfd p{fd, events, 0};
  int rc;
  do {
    rc = ::poll(&p, 1, ToPollTimeoutMs(seconds, microseconds));
  } while (rc < 0 && errno == EINTR);
  return rc > 0;
}

bool SetTimeout(int fd, int option, long timeout_ms) {
  if (timeout_ms < 0) return false;
  timeval tv{timeout_ms / 1000, static_cast<suseconds_t>((timeout_ms % 1000) * 1000)};
  return ::setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv) == 0;
}

long RecvRetrying(int fd, char* data, std::size_t size, int flags) {
  long n;
  do {
    n = ::recv(fd, data, size, flags);
  } while (n < 0 && errno == EINTR);
  return n;
}

// Index just past the line end inside `bytes`, or 0 when it holds none. `cr_before` says
// whether the byte handed out just before `bytes` was a CR.
std::size_t FindLineEnd(const char* bytes, std::size_t size, LineEnd end, bool cr_before) {
  const char* from = bytes;
  const char* stop = bytes + size;
  while (from < stop) {
    const auto* lf = static_cast<const char*>(std::memchr(from, '\n', static_cast<std::size_t>(stop - from)));
    if (lf == nullptr) return 0;
    const std::size_t i = static_cast<std::size_t>(lf - bytes);
    if (end == LineEnd::Lf || (i > 0 ? bytes[i - 1] == '\r' : cr_before)) return i + 1;
    from = lf + 1;
  }
  return 0;
}

}  // namespace

bool WaitReadable(int fd, long seconds, long microseconds) {
  return WaitFor(fd, POLLIN, seconds, microseconds);
}

bool WaitWritable(int fd, long seconds, long microseconds) {
  return WaitFor(fd, POLLOUT, seconds, microseconds);
}

long SendAll(int fd, const char* data, std::size_t size, TlsStream* tls) {
  if (tls != nullptr) return tls->WriteAll(data, size);
  std::size_t sent = 0;
  while (sent < size) {
    long n = ::send(fd, data + sent, size - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    sent += static_cast<std::size_t>(n);
  }
  return static_cast<long>(sent);
}

bool SetReceiveTimeoutMs(int fd, long timeout_ms) { return SetTimeout(fd, SO_RCVTIMEO, timeout_ms); }

bool SetSendTimeoutMs(int fd, long timeout_ms) { return SetTimeout(fd, SO_SNDTIMEO, timeout_ms); }

long ReceiveTimeoutMs(int fd) {
  timeval tv{};
  socklen_t len = sizeof tv;
  if (::getsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, &len) != 0) return 0;
  return static_cast<long>(tv.tv_sec) * 1000 + static_cast<long>(tv.tv_usec / 1000);
}

LineRead LineReader::Read(int fd, std::string& line, std::size_t size, long timeout_s,
                          LineEnd end, const std::function<bool()>& aborted) {
  line.clear();
  LineRead result;
  if (fd < 0 || size < 2) return result;
  const std::size_t room = size - 1;
  while (line.size() < room) {
    if (aborted && aborted()) break;
    if (begin_ == end_) {
      Fill fill = FillBuffer(fd, timeout_s, room - line.size());
      if (fill != Fill::Filled) {
        result.timed_out = fill == Fill::TimedOut;
        break;
      }
    }
    const bool cr_before = line.empty() ? after_cr_ : line.back() == '\r';
    const std::size_t avail = std::min(end_ - begin_, room - line.size());
    std::size_t take = FindLineEnd(buffer_.data() + begin_, avail, end, cr_before);
    const bool found = take != 0;
    if (!found) take = avail;
    if (!Consume(fd, line, take)) break;
    if (found) {
      result.complete = true;
      break;
    }
  }
  after_cr_ = !result.complete && !line.empty() && line.back() == '\r';
  result.bytes = static_cast<long>(line.size());
  return result;
}

LineReader::Fill LineReader::FillBuffer(int fd, long timeout_s, std::size_t want) {
  const bool ready = tls_ != nullptr && tls_->Pending() > 0;
  if (timeout_s > 0 && !ready && !WaitReadable(fd, timeout_s, 0)) return Fill::TimedOut;
  // Reading ahead takes whole blocks; peeking looks at no more than the line may still hold,
  // since whatever is peeked stays on the socket anyway.
  const bool block = ahead_ == ReadAhead::Block;
  const std::size_t ask = block ? kLineReadBlockBytes : want;
  // Bytes still held (the start of a line that ReadLines waits to complete) move to the front
  // and the new ones follow them.
  const std::size_t held = end_ - begin_;
  if (held > 0 && begin_ > 0) std::memmove(buffer_.data(), buffer_.data() + begin_, held);
  begin_ = 0;
  end_ = held;
  if (buffer_.size() < held + ask) buffer_.resize(held + ask);
  char* to = buffer_.data() + held;
  long n = tls_ == nullptr ? RecvRetrying(fd, to, ask, block ? 0 : MSG_PEEK)
           : block        ? tls_->Read(to, ask)
                          : tls_->Peek(to, ask);
  if (n <= 0) {
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) ? Fill::TimedOut : Fill::Closed;
  }
  end_ += static_cast<std::size_t>(n);
  return Fill::Filled;
}

LineRead LineReader::ReadLines(int fd, std::string_view& lines, std::size_t piece,
                               long timeout_s) {
  lines = {};
  LineRead result;
  if (fd < 0 || piece == 0 || ahead_ != ReadAhead::Block) return result;
  for (;;) {
    const char* from = buffer_.data() + begin_;
    const std::size_t held = end_ - begin_;
    const auto* last_lf =
        held > 0 ? static_cast<const char*>(::memrchr(from, '\n', held)) : nullptr;
    std::size_t take = last_lf != nullptr ? static_cast<std::size_t>(last_lf - from) + 1 : 0;
    if (take == 0 && held >= piece) take = held;
    if (take > 0) {
      lines = std::string_view(from, take);
      result.bytes = static_cast<long>(take);
      result.complete = last_lf != nullptr;
      return result;
    }
    const Fill fill = FillBuffer(fd, timeout_s, 0);
    if (fill != Fill::Filled) {
      result.timed_out = fill == Fill::TimedOut;
      return result;
    }
  }
}

void LineReader::Skip(std::size_t count) {
  count = std::min(count, Buffered());
  if (count == 0) return;
  begin_ += count;
  // Read goes on from here: a CR just skipped may begin a CR LF split across the two calls.
  after_cr_ = buffer_[begin_ - 1] == '\r';
  if (begin_ == end_) begin_ = end_ = 0;
}

bool LineReader::Consume(int fd, std::string& line, std::size_t take) {
  const char* from = buffer_.data() + begin_;
  if (ahead_ == ReadAhead::Block) {
    line.append(from, take);
    begin_ += take;
    return true;
  }
  // The bytes were peeked, so this read returns the same bytes at once; what was peeked past
  // them stays on the socket and is peeked again next time.
  begin_ = end_ = 0;
  long got = tls_ == nullptr ? RecvRetrying(fd, buffer_.data(), take, 0)
                             : tls_->Read(buffer_.data(), take);
  if (got > 0) line.append(buffer_.data(), static_cast<std::size_t>(got));
  return got == static_cast<long>(take);
}

std::size_t LineReader::TakeBuffered(char* out, std::size_t size) {
  const std::size_t n = std::min(size, Buffered());
  if (n > 0) std::memcpy(out, buffer_.data() + begin_, n);
  begin_ += n;
  if (begin_ == end_) begin_ = end_ = 0;
  return n;
}

void LineReader::Reset() {
  begin_ = end_ = 0;
  after_cr_ = false;
  tls_ = nullptr;
}

LineRead ReceiveLineFrom(int fd, std::string& line, std::size_t size, long timeout_s, LineEnd end,
                         bool& after_cr, const std::function<bool()>& aborted, TlsStream* tls) {
  LineReader reader(ReadAhead::None);
  reader.SetTls(tls);
  reader.SetAfterCr(after_cr);
  LineRead result = reader.Read(fd, line, size, timeout_s, end, aborted);
  after_cr = reader.AfterCr();
  return result;
}

void DrainReceived(int fd) {
  char scratch[256];
  while (BytesWaiting(fd) > 0) {
    if (RecvRetrying(fd, scratch, sizeof scratch, MSG_DONTWAIT) <= 0) break;
  }
}

long BytesReady(int fd, TlsStream* tls) {
  return tls != nullptr ? static_cast<long>(tls->Pending()) : BytesWaiting(fd);
}

long BytesWaiting(int fd) {
  int n = 0;
  if (fd < 0 || ::ioctl(fd, FIONREAD, &n) != 0) return 0;
  return n;
}

}  // namespace tarnhold
