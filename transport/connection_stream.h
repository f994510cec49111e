// The byte stream of one connection, for the client and the server side alike: the line
// reader's read-ahead and, once STARTTLS has passed, the TLS session, over a socket the owner
// keeps. Bytes the reader holds always come first, so line reads and raw reads never reorder
// the stream; after StartTls every read and write goes through the session.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "transport/socket_io.h"
#include "transport/tls_context.h"
#include "transport/tls_stream.h"

namespace tarnhold {

class ConnectionStream {
 public:
  [[nodiscard]] LineReader& Reader() { return reader_; }
  [[nodiscard]] const LineReader& Reader() const { return reader_; }
  // The session after a successful StartTls, else nullptr.
  [[nodiscard]] TlsStream* Tls() const { return tls_.get(); }
  // Why the last StartTls failed.
  [[nodiscard]] const std::string& TlsError() const { return tls_error_; }

  // Whether bytes can be handed out without asking the socket: read-ahead or decrypted bytes.
  [[nodiscard]] bool HoldsData() const {
    return reader_.Buffered() > 0 || (tls_ != nullptr && tls_->Pending() > 0);
  }
  // Whether a read would return bytes now: held ones, or what waits on the socket `fd`.
  [[nodiscard]] bool DataWaiting(int fd) const {
    return reader_.Buffered() > 0 || BytesReady(fd, tls_.get()) > 0;
  }

  // One read of up to `size` bytes: the read-ahead first, else the session or the socket.
  // The count read; 0 when the peer closed; below 0 on an error (errno tells which).
  [[nodiscard]] long ReadSome(int fd, char* buffer, std::size_t size);
  // Sends all `size` bytes; the count sent (fewer only when the send failed).
  [[nodiscard]] long Send(int fd, const char* data, std::size_t size) {
    return SendAll(fd, data, size, tls_.get());
  }
  // Drops the read-ahead and whatever waits now: within TLS only the decrypted bytes, since
  // the rest of a record must not be torn.
  void Clear(int fd);

  // Forgets the read-ahead and switches the stream to a new session on `fd`, which `handshake`
  // (the session's Accept or Connect) sets up. On any result but Done the session is dropped,
  // the stream stays in clear text and TlsError says why.
  [[nodiscard]] TlsHandshake StartTls(int fd, std::shared_ptr<const TlsContext> context,
                                      const std::function<TlsHandshake(TlsStream&)>& handshake);
  // Ends the session (its closing alert goes out while the socket is still open).
  void EndTls();
  // A new connection: no session, no read-ahead, no line state.
  void Reset();

 private:
  LineReader reader_;
  std::unique_ptr<TlsStream> tls_;
  std::string tls_error_;
};

}  // namespace tarnhold
