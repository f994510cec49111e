#include "transport/tls_stream.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <climits>

namespace tarnhold {

struct TlsStream::Link {
  int fd = -1;
  // During the handshake no call may block: its deadline is kept by poll, not by the socket.
  bool nonblocking = false;
};

namespace {

using Clock = std::chrono::steady_clock;

bool WouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR; }

int LinkWrite(BIO* bio, const char* data, int size) {
  auto* link = static_cast<TlsStream::Link*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  int flags = MSG_NOSIGNAL | (link->nonblocking ? MSG_DONTWAIT : 0);
  long n = ::send(link->fd, data, static_cast<std::size_t>(size), flags);
  if (n < 0 && WouldBlock(errno)) BIO_set_retry_write(bio);
  return static_cast<int>(n);
}

int LinkRead(BIO* bio, char* data, int size) {
  auto* link = static_cast<TlsStream::Link*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  long n = ::recv(link->fd, data, static_cast<std::size_t>(size),
                  link->nonblocking ? MSG_DONTWAIT : 0);
  // A blocking socket reports its receive time-out as EAGAIN too: the caller sees "want read".
  if (n < 0 && WouldBlock(errno)) BIO_set_retry_read(bio);
  return static_cast<int>(n);
}

long LinkControl(BIO*, int command, long, void*) { return command == BIO_CTRL_FLUSH ? 1 : 0; }

int LinkCreate(BIO* bio) {
  BIO_set_init(bio, 1);
  return 1;
}

const BIO_METHOD* LinkMethod() {
  static BIO_METHOD* method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "tarnhold socket");
    BIO_meth_set_write(m, LinkWrite);
    BIO_meth_set_read(m, LinkRead);
    BIO_meth_set_ctrl(m, LinkControl);
    BIO_meth_set_create(m, LinkCreate);
    return m;
  }();
  return method;
}

int RemainingMs(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() <= 0 ? 0 : left.count() > INT_MAX ? INT_MAX : static_cast<int>(left.count());
}

bool PollFor(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    pollfd p{fd, events, 0};
    int rc = ::poll(&p, 1, RemainingMs(deadline));
    if (rc > 0) return true;
    if (rc == 0 || errno != EINTR) return false;
  }
}

bool IsDotted(std::string_view host) {
  in_addr a{};
  return !host.empty() && ::inet_pton(AF_INET, std::string(host).c_str(), &a) == 1;
}

}  // namespace

TlsStream::TlsStream(int fd, std::shared_ptr<const TlsContext> context)
    : link_(std::make_unique<Link>()), context_(std::move(context)) {
  link_->fd = fd;
  if (context_ == nullptr) return;
  ssl_ = SSL_new(context_->Get());
  BIO* bio = BIO_new(LinkMethod());
  if (ssl_ == nullptr || bio == nullptr) {
    BIO_free(bio);
    SSL_free(ssl_);
    ssl_ = nullptr;
    return;
  }
  BIO_set_data(bio, link_.get());
  SSL_set_bio(ssl_, bio, bio);
}

TlsStream::~TlsStream() {
  if (ssl_ == nullptr) return;
  if (established_) {
    link_->nonblocking = true;
    (void)SSL_shutdown(ssl_);
  }
  SSL_free(ssl_);
  ERR_clear_error();
}

TlsHandshake TlsStream::Accept(long timeout_ms) {
  if (ssl_ == nullptr) {
    error_ = "no TLS session could be made";
    return TlsHandshake::Failed;
  }
  SSL_set_accept_state(ssl_);
  return Handshake(timeout_ms);
}

TlsHandshake TlsStream::Connect(std::string_view host, long timeout_ms) {
  if (ssl_ == nullptr) {
    error_ = "no TLS session could be made";
    return TlsHandshake::Failed;
  }
  const std::string name(host);
  const bool dotted = IsDotted(host);
  if (!dotted && !name.empty()) SSL_set_tlsext_host_name(ssl_, name.c_str());
  if (SSL_get_verify_mode(ssl_) & SSL_VERIFY_PEER) {
    X509_VERIFY_PARAM* param = SSL_get0_param(ssl_);
    if (dotted) {
      X509_VERIFY_PARAM_set1_ip_asc(param, name.c_str());
    } else {
      X509_VERIFY_PARAM_set1_host(param, name.c_str(), 0);
    }
  }
  SSL_set_connect_state(ssl_);
  return Handshake(timeout_ms);
}

TlsHandshake TlsStream::Handshake(long timeout_ms) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  ERR_clear_error();
  link_->nonblocking = true;
  TlsHandshake result = TlsHandshake::Failed;
  for (;;) {
    const int rc = SSL_do_handshake(ssl_);
    if (rc == 1) {
      result = TlsHandshake::Done;
      break;
    }
    const int why = SSL_get_error(ssl_, rc);
    short events = why == SSL_ERROR_WANT_READ ? POLLIN : why == SSL_ERROR_WANT_WRITE ? POLLOUT : 0;
    if (events == 0) {
      const long verify = SSL_get_verify_result(ssl_);
      error_ = verify != X509_V_OK ? X509_verify_cert_error_string(verify) : TlsErrorText();
      break;
    }
    if (!PollFor(link_->fd, events, deadline)) {
      error_ = "no answer within the time-out";
      result = TlsHandshake::TimedOut;
      break;
    }
  }
  ERR_clear_error();
  link_->nonblocking = false;
  established_ = result == TlsHandshake::Done;
  return result;
}

long TlsStream::ReadOrPeek(char* data, std::size_t size, bool peek) {
  if (!established_ || size == 0) return 0;
  const int ask = size > INT_MAX ? INT_MAX : static_cast<int>(size);
  const int n = peek ? SSL_peek(ssl_, data, ask) : SSL_read(ssl_, data, ask);
  if (n > 0) return n;
  const int why = SSL_get_error(ssl_, n);
  ERR_clear_error();
  if (why == SSL_ERROR_WANT_READ || why == SSL_ERROR_WANT_WRITE) {
    errno = EAGAIN;
    return -1;
  }
  return 0;
}

long TlsStream::Read(char* data, std::size_t size) { return ReadOrPeek(data, size, false); }

long TlsStream::Peek(char* data, std::size_t size) { return ReadOrPeek(data, size, true); }

long TlsStream::WriteAll(const char* data, std::size_t size) {
  if (!established_) return 0;
  std::size_t sent = 0;
  while (sent < size) {
    const std::size_t left = size - sent;
    const int ask = left > INT_MAX ? INT_MAX : static_cast<int>(left);
    const int n = SSL_write(ssl_, data + sent, ask);
    if (n <= 0) {
      ERR_clear_error();
      break;
    }
    sent += static_cast<std::size_t>(n);
  }
  return static_cast<long>(sent);
}

std::size_t TlsStream::Pending() const {
  if (!established_) return 0;
  const int n = SSL_pending(ssl_);
  return n > 0 ? static_cast<std::size_t>(n) : 0;
}

std::string TlsStream::Description() const {
  if (!established_) return {};
  return std::string(SSL_get_version(ssl_)) + " " + SSL_get_cipher_name(ssl_);
}

}  // namespace tarnhold
