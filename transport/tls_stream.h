// One TLS session over a connected socket that somebody else owns: the handshake with a
// deadline of its own, then reads and writes that keep the socket's time-outs (a read that
// finds nothing within the receive time-out reports it as a clear-text recv would). Bytes go
// through send(MSG_NOSIGNAL) and recv, so a vanished peer never raises SIGPIPE. The session
// must be destroyed before its socket is closed. One thread at a time.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "transport/tls_context.h"

struct ssl_st;

namespace tarnhold {

enum class TlsHandshake {
  Done,      // every later byte of the connection passes through the session
  TimedOut,  // the peer stalled: the deadline passed first
  Failed,    // the peer spoke something else, refused, or (when asked for) failed verification
};

class TlsStream {
 public:
  // `fd` stays its owner's; the context is held for the session's life.
  TlsStream(int fd, std::shared_ptr<const TlsContext> context);
  TlsStream(const TlsStream&) = delete;
  TlsStream& operator=(const TlsStream&) = delete;
  // Sends the closing alert without waiting for the peer's.
  ~TlsStream();

  // The server's handshake; the whole of it may take at most `timeout_ms`.
  [[nodiscard]] TlsHandshake Accept(long timeout_ms);
  // The client's handshake towards `host` (a name is sent as the server name; with a context
  // that verifies, the certificate must be valid for it, a dotted address included).
  [[nodiscard]] TlsHandshake Connect(std::string_view host, long timeout_ms);

  // Bytes read (> 0); 0 when the peer closed or the session failed; -1 with errno EAGAIN when
  // nothing came within the socket's receive time-out.
  [[nodiscard]] long Read(char* data, std::size_t size);
  // The same without taking the bytes: the next Read or Peek returns them again.
  [[nodiscard]] long Peek(char* data, std::size_t size);
  // Sends all `size` bytes; the bytes sent, fewer only when the peer went away, the socket's
  // send time-out passed or the session failed.
  [[nodiscard]] long WriteAll(const char* data, std::size_t size);
  // Decrypted bytes ready to be read without touching the socket.
  [[nodiscard]] std::size_t Pending() const;

  // "TLSv1.3 TLS_AES_256_GCM_SHA384": protocol and cipher, for log lines.
  [[nodiscard]] std::string Description() const;
  // One line on why the last handshake failed.
  [[nodiscard]] const std::string& Error() const { return error_; }

  struct Link;  // the socket and its mode, as the session's I/O layer sees them

 private:
  [[nodiscard]] TlsHandshake Handshake(long timeout_ms);
  [[nodiscard]] long ReadOrPeek(char* data, std::size_t size, bool peek);

  std::unique_ptr<Link> link_;
  std::shared_ptr<const TlsContext> context_;
  ssl_st* ssl_ = nullptr;
  bool established_ = false;
  std::string error_;
};

}  // namespace tarnhold
