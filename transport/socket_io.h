// Blocking socket primitives shared by the client and the listening server: waits with a
// deadline, whole sends that never raise SIGPIPE, time-out options, and the one line reader.
// The line reader peeks before it consumes, so it never takes more than one line off the
// socket; whatever follows stays there for the next reader.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace tarnhold {

// True when `fd` becomes readable (or reports an error or hang-up) within the time given.
[[nodiscard]] bool WaitReadable(int fd, long seconds, long microseconds);
// True when `fd` becomes writable within the time given.
[[nodiscard]] bool WaitWritable(int fd, long seconds, long microseconds);

// Sends all `size` bytes, resuming after partial sends. Returns the bytes sent, which is
// less than `size` only when the peer went away, the send time-out passed or an error came.
[[nodiscard]] long SendAll(int fd, const char* data, std::size_t size);

// SO_RCVTIMEO / SO_SNDTIMEO in milliseconds; false when the socket refused the value.
bool SetReceiveTimeoutMs(int fd, long timeout_ms);
bool SetSendTimeoutMs(int fd, long timeout_ms);

// Which byte sequence ends a line: LF alone (clients), or CR directly followed by LF
// (server connections; a lone LF is then ordinary data).
enum class LineEnd { Lf, CrLf };

struct LineRead {
  long bytes = 0;          // bytes stored in the line, its line end included
  bool complete = false;   // the stored bytes end with the line end
  bool timed_out = false;  // the read ended because no more data came in time
};

// Reads one line of at most `size` - 1 bytes into `line` (replacing its content). A longer
// line is returned in pieces of `size` - 1 bytes; the next call goes on with the rest.
// `timeout_s` > 0 also bounds the wait for each piece of data; otherwise the socket's receive
// time-out applies. `aborted` is asked before every wait. `after_cr` carries, between calls,
// whether the previous piece ended with CR, so a CR LF split between two pieces or two
// packets still ends the line.
[[nodiscard]] LineRead ReceiveLineFrom(int fd, std::string& line, std::size_t size, long timeout_s,
                                       LineEnd end, bool& after_cr,
                                       const std::function<bool()>& aborted = {});

// Reads and drops whatever is waiting on the socket now, without blocking.
void DrainReceived(int fd);

// Bytes waiting to be read now (FIONREAD); 0 on error.
[[nodiscard]] long BytesWaiting(int fd);

}  // namespace tarnhold
