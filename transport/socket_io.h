// Blocking socket primitives shared by the client and the listening server: waits with a
// deadline, whole sends that never raise SIGPIPE, time-out options, and the one line reader.
// A line reader that reads ahead keeps what lies past the line in its own buffer: whoever
// reads the same socket after it by other means must take Buffered() bytes from it first.
// Once a connection has passed its STARTTLS step, every call is given its TLS session and
// reads and writes through it, with the same time-outs and bounds as in clear text.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnhold {

class TlsStream;

// True when `fd` becomes readable (or reports an error or hang-up) within the time given.
[[nodiscard]] bool WaitReadable(int fd, long seconds, long microseconds);
// True when `fd` becomes writable within the time given.
[[nodiscard]] bool WaitWritable(int fd, long seconds, long microseconds);

// Sends all `size` bytes, resuming after partial sends. Returns the bytes sent, which is
// less than `size` only when the peer went away, the send time-out passed or an error came.
// With `tls` the bytes go through the session.
[[nodiscard]] long SendAll(int fd, const char* data, std::size_t size, TlsStream* tls = nullptr);

// SO_RCVTIMEO / SO_SNDTIMEO in milliseconds; false when the socket refused the value.
bool SetReceiveTimeoutMs(int fd, long timeout_ms);
bool SetSendTimeoutMs(int fd, long timeout_ms);
// The socket's SO_RCVTIMEO in milliseconds; 0 when none is set or it cannot be read.
[[nodiscard]] long ReceiveTimeoutMs(int fd);

// Which byte sequence ends a line: LF alone (clients), or CR directly followed by LF
// (server connections; a lone LF is then ordinary data).
enum class LineEnd { Lf, CrLf };

struct LineRead {
  long bytes = 0;          // bytes stored in the line, its line end included
  bool complete = false;   // the stored bytes end with the line end
  bool timed_out = false;  // the read ended because no more data came in time
};

// How much a line reader takes off the socket beyond the line it returns.
enum class ReadAhead {
  Block,  // reads blocks of kLineReadBlockBytes and keeps the rest for the next call
  None,   // peeks, then takes exactly the bytes it returns; the rest stays on the socket
};

inline constexpr std::size_t kLineReadBlockBytes = 64 * 1024;

// The line reader of one connection. Read returns one line of at most `size` - 1 bytes in
// `line` (replacing its content). A longer line is returned in pieces of `size` - 1 bytes; the
// next call goes on with the rest. `timeout_s` > 0 also bounds the wait for each piece of data;
// otherwise the socket's receive time-out applies. `aborted` is asked before every piece. A CR
// LF split between two pieces or two packets still ends the line.
class LineReader {
 public:
  explicit LineReader(ReadAhead ahead = ReadAhead::Block) : ahead_(ahead) {}

  [[nodiscard]] LineRead Read(int fd, std::string& line, std::size_t size, long timeout_s,
                              LineEnd end, const std::function<bool()>& aborted = {});
  // Many lines at once, for a reader that reads ahead (ReadAhead::Block): `lines` views every
  // buffered byte up to and including the last LF, or, when no LF is buffered, at least
  // `piece` bytes of one long line. Reads from the socket (same time-out rules as Read) only
  // when neither is buffered. Nothing is taken until Skip: the caller skips what it used and
  // the rest stays first in line for the next call or for Read. `bytes` is 0 when the peer
  // closed, the time-out passed (`timed_out`) or the reader does not read ahead. The view
  // is valid until the next call on this reader.
  [[nodiscard]] LineRead ReadLines(int fd, std::string_view& lines, std::size_t piece,
                                   long timeout_s);
  // Takes `count` bytes of the last ReadLines view off the buffer.
  void Skip(std::size_t count);
  // Bytes already taken off the socket and not yet handed out.
  [[nodiscard]] std::size_t Buffered() const { return end_ - begin_; }
  // Moves up to `size` of the buffered bytes into `out`; the count moved.
  std::size_t TakeBuffered(char* out, std::size_t size);
  // Forgets the buffered bytes (a socket being cleared).
  void DropBuffered() { begin_ = end_ = 0; }
  // Forgets the buffered bytes, the CR state and the TLS session: a new connection.
  void Reset();
  // Reads go through `tls` from now on (nullptr: the socket itself). The caller drops the
  // buffered clear-text bytes first: they were never protected.
  void SetTls(TlsStream* tls) { tls_ = tls; }

  // Whether the last piece handed out ended with a CR that may begin a split CR LF.
  [[nodiscard]] bool AfterCr() const { return after_cr_; }
  void SetAfterCr(bool after_cr) { after_cr_ = after_cr; }

 private:
  enum class Fill { Filled, Closed, TimedOut };
  [[nodiscard]] Fill FillBuffer(int fd, long timeout_s, std::size_t want);
  // Hands `take` bytes from the buffer front to `line`; false when the socket gave fewer.
  bool Consume(int fd, std::string& line, std::size_t take);

  ReadAhead ahead_;
  std::vector<char> buffer_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  bool after_cr_ = false;
  TlsStream* tls_ = nullptr;
};

// One line read without reading ahead (ReadAhead::None), for callers that hold only the socket:
// `after_cr` carries the CR state between calls.
[[nodiscard]] LineRead ReceiveLineFrom(int fd, std::string& line, std::size_t size, long timeout_s,
                                       LineEnd end, bool& after_cr,
                                       const std::function<bool()>& aborted = {},
                                       TlsStream* tls = nullptr);

// Reads and drops whatever is waiting on the socket now, without blocking.
void DrainReceived(int fd);

// Bytes waiting to be read now (FIONREAD); 0 on error.
[[nodiscard]] long BytesWaiting(int fd);
// Bytes that can be read now without waiting: with `tls`, the decrypted bytes it holds (what
// waits on the socket may be no more than part of a record).
[[nodiscard]] long BytesReady(int fd, TlsStream* tls);

}  // namespace tarnhold
