#include "transport/connection_stream.h"

#include <sys/socket.h>

#include <cerrno>
#include <utility>

namespace tarnhold {

long ConnectionStream::ReadSome(int fd, char* buffer, std::size_t size) {
  if (reader_.Buffered() > 0) return static_cast<long>(reader_.TakeBuffered(buffer, size));
  if (tls_ != nullptr) return tls_->Read(buffer, size);
  long n;
  do {
    n = ::recv(fd, buffer, size, 0);
  } while (n < 0 && errno == EINTR);
  return n;
}

void ConnectionStream::Clear(int fd) {
  reader_.DropBuffered();
  if (tls_ == nullptr) {
    DrainReceived(fd);
    return;
  }
  char scratch[256];
  while (tls_->Pending() > 0 && tls_->Read(scratch, sizeof scratch) > 0) {
  }
}

TlsHandshake ConnectionStream::StartTls(int fd, std::shared_ptr<const TlsContext> context,
                                        const std::function<TlsHandshake(TlsStream&)>& handshake) {
  // Bytes read ahead in clear text were never protected: they are dropped, not carried over.
  reader_.DropBuffered();
  reader_.SetTls(nullptr);
  tls_error_.clear();
  tls_ = std::make_unique<TlsStream>(fd, std::move(context));
  const TlsHandshake result = handshake(*tls_);
  if (result != TlsHandshake::Done) {
    tls_error_ = tls_->Error();
    tls_.reset();
    return result;
  }
  reader_.SetTls(tls_.get());
  return result;
}

void ConnectionStream::EndTls() {
  reader_.SetTls(nullptr);
  tls_.reset();
}

void ConnectionStream::Reset() {
  tls_.reset();
  reader_.Reset();
}

}  // namespace tarnhold
