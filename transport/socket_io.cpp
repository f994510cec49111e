#include "transport/socket_io.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <climits>

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

// Index just past the line end inside `peeked`, or 0 when it holds none. `cr_before` says
// whether the byte stored just before `peeked` was a CR.
std::size_t FindLineEnd(const char* peeked, std::size_t size, LineEnd end, bool cr_before) {
  for (std::size_t i = 0; i < size; ++i) {
    if (peeked[i] != '\n') continue;
    if (end == LineEnd::Lf) return i + 1;
    bool cr = i > 0 ? peeked[i - 1] == '\r' : cr_before;
    if (cr) return i + 1;
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

long SendAll(int fd, const char* data, std::size_t size) {
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

LineRead ReceiveLineFrom(int fd, std::string& line, std::size_t size, long timeout_s, LineEnd end,
                         bool& after_cr, const std::function<bool()>& aborted) {
  line.clear();
  LineRead result;
  if (fd < 0 || size < 2) return result;
  const std::size_t room = size - 1;
  line.reserve(room);
  while (line.size() < room) {
    if (aborted && aborted()) break;
    if (timeout_s > 0 && !WaitReadable(fd, timeout_s, 0)) {
      result.timed_out = true;
      break;
    }
    const std::size_t old = line.size();
    bool cr_before = old == 0 ? after_cr : line.back() == '\r';
    line.resize(room);
    char* tail = line.data() + old;
    long n = RecvRetrying(fd, tail, room - old, MSG_PEEK);
    if (n <= 0) {
      result.timed_out = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
      line.resize(old);
      break;
    }
    std::size_t take = FindLineEnd(tail, static_cast<std::size_t>(n), end, cr_before);
    bool found = take != 0;
    if (!found) take = static_cast<std::size_t>(n);
    // The bytes were peeked, so this read returns the same bytes at once.
    long got = RecvRetrying(fd, tail, take, 0);
    line.resize(old + static_cast<std::size_t>(got > 0 ? got : 0));
    if (got <= 0) break;
    if (found && static_cast<std::size_t>(got) == take) {
      result.complete = true;
      break;
    }
  }
  after_cr = !result.complete && !line.empty() && line.back() == '\r';
  result.bytes = static_cast<long>(line.size());
  return result;
}

void DrainReceived(int fd) {
  char scratch[256];
  while (BytesWaiting(fd) > 0) {
    if (RecvRetrying(fd, scratch, sizeof scratch, MSG_DONTWAIT) <= 0) break;
  }
}

long BytesWaiting(int fd) {
  int n = 0;
  if (fd < 0 || ::ioctl(fd, FIONREAD, &n) != 0) return 0;
  return n;
}

}  // namespace tarnhold
