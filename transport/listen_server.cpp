#include "transport/listen_server.h"

#include <sys/resource.h>
#include <arpa/inet.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>

#include "gateway/metrics.h"
#include "transport/socket_io.h"

namespace tarnhold {
namespace {

// The kernel's largest accept queue: with a short one, a burst of new connections has its
// handshakes dropped and every client waits a second or more to retry.
constexpr int kBacklog = SOMAXCONN;
constexpr auto kAcceptRetryPause = std::chrono::milliseconds(100);

std::string Dotted(const sockaddr_in& a) {
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
  return text;
}

// Failures of accept() that concern one connection or a passing shortage, after which the
// listening socket is still good.
bool IsPassingAcceptError(int error) {
  switch (error) {
    case EINTR:
    case ECONNABORTED:
    case EPROTO:
    case EPERM:
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
    case EAGAIN:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
      return true;
    default:
      return false;
  }
}

// Opens and at once closes a connection to the local host on `port`: wakes a blocked accept.
bool PokeLocal(int port) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return false;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  SetSendTimeoutMs(fd.Get(), 1000);
  bool ok = ::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
  ::shutdown(fd.Get(), SHUT_RDWR);
  return ok;
}

}  // namespace

struct CListenServer::StartRecord {
  UniqueFd socket;
  int listen_socket = -1;
  sockaddr_in peer{};
  bool too_many = false;
};

// ---- CServerConnection ----

void CServerConnection::OnConnect() {
  std::string line;
  if (ReceiveLine(line, 100) > 0) {
    ClearReceiveBuffer();
    Send("Connect Successful ... Now Disconnecting.");
  }
}

void CServerConnection::OnMaxConnect() {
  char buffer[255];
  if (Receive(buffer, sizeof buffer) > 0) Send("Too Many Connections, Please Try Later.");
}

int CServerConnection::Send(const char* data, int length) {
  if (data == nullptr) return -1;
  std::size_t size = length < 0 ? std::strlen(data) : static_cast<std::size_t>(length);
  long sent = stream_.Send(socket_, data, size);
  return sent == static_cast<long>(size) ? static_cast<int>(sent) : -1;
}

int CServerConnection::Send(std::string_view text) {
  return Send(text.data(), static_cast<int>(text.size()));
}

int CServerConnection::Receive(char* buffer, int size, long timeout_s) {
  if (buffer == nullptr || size <= 0) return 0;
  if (timeout_s > 0 && !stream_.HoldsData() && !WaitReadable(socket_, timeout_s, 0)) return 0;
  long n = stream_.ReadSome(socket_, buffer, static_cast<std::size_t>(size));
  return n > 0 ? static_cast<int>(n) : 0;
}

int CServerConnection::ReceiveLine(std::string& line, int size, long timeout_s) {
  LineRead r = stream_.Reader().Read(socket_, line, size > 0 ? static_cast<std::size_t>(size) : 0,
                                     timeout_s, LineEnd::CrLf);
  line_complete_ = r.complete;
  line_timed_out_ = r.timed_out;
  return static_cast<int>(r.bytes);
}

int CServerConnection::ReceiveLines(std::string_view& lines, int piece, long timeout_s) {
  LineRead r = stream_.Reader().ReadLines(
      socket_, lines, piece > 0 ? static_cast<std::size_t>(piece) : 0, timeout_s);
  line_complete_ = r.complete;
  line_timed_out_ = r.timed_out;
  return static_cast<int>(r.bytes);
}

int CServerConnection::WaitForReceive(long seconds, long microseconds) {
  if (stream_.HoldsData()) return 0;
  return WaitReadable(socket_, seconds, microseconds) ? 0 : 1;
}

int CServerConnection::IsDataWaiting() const {
  return stream_.DataWaiting(socket_) ? 1 : 0;
}

int CServerConnection::ClearReceiveBuffer() {
  stream_.Clear(socket_);
  return 0;
}

TlsHandshake CServerConnection::StartTls(std::shared_ptr<const TlsContext> context) {
  return stream_.StartTls(socket_, std::move(context), [this](TlsStream& tls) {
    return tls.Accept(ReceiveTimeoutMs(socket_));
  });
}

int CServerConnection::SetReceiveTimeOut(long timeout_ms) {
  return SetReceiveTimeoutMs(socket_, timeout_ms) ? 0 : 1;
}

int CServerConnection::SetSendTimeOut(long timeout_ms) {
  return SetSendTimeoutMs(socket_, timeout_ms) ? 0 : 1;
}

std::string CServerConnection::PeerDotted() const { return Dotted(peer_); }

// ---- CListenServer ----

CListenServer::CListenServer() = default;

CListenServer::~CListenServer() {
  closing_ = true;
  Shutdown();
}

int CListenServer::Start(unsigned port, const std::string& address) {
  if (running_) return 1;
  if (accept_thread_.joinable()) accept_thread_.join();
  listen_socket_.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!listen_socket_) return 1;
  // A restart right after an exit must not wait for old connections in TIME_WAIT.
  int one = 1;
  ::setsockopt(listen_socket_.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  listen_address_ = {};
  listen_address_.sin_family = AF_INET;
  listen_address_.sin_port = htons(static_cast<std::uint16_t>(port));
  listen_address_.sin_addr.s_addr = htonl(INADDR_ANY);
  if (!address.empty() && ::inet_aton(address.c_str(), &listen_address_.sin_addr) == 0) {
    listen_socket_.Reset();
    return 1;
  }
  if (::bind(listen_socket_.Get(), reinterpret_cast<const sockaddr*>(&listen_address_),
             sizeof listen_address_) != 0 ||
      ::listen(listen_socket_.Get(), kBacklog) != 0) {
    listen_socket_.Reset();
    return 1;
  }
  sockaddr_in bound{};
  socklen_t len = sizeof bound;
  ::getsockname(listen_socket_.Get(), reinterpret_cast<sockaddr*>(&bound), &len);
  port_ = ntohs(bound.sin_port);

  stop_ = false;
  {
    std::scoped_lock l(book_->mutex);
    book_->accept_done = false;
  }
  try {
    accept_thread_ = std::thread(&CListenServer::AcceptLoop, this, book_);
  } catch (const std::system_error&) {
    std::scoped_lock l(book_->mutex);
    book_->accept_done = true;
    return 2;
  }
  running_ = true;
  return 0;
}

int CListenServer::Stop() {
  if (!running_) return 0;
  running_ = false;
  stop_ = true;
  if (!PokeLocal(port_)) ::shutdown(listen_socket_.Get(), SHUT_RD);
  std::unique_lock l(book_->mutex);
  bool ended = book_->cv.wait_for(l, std::chrono::milliseconds(kStopWaitMs),
                                  [this] { return book_->accept_done; });
  l.unlock();
  if (!ended) return 1;
  if (accept_thread_.joinable()) accept_thread_.join();
  return 0;
}

void CListenServer::Shutdown() {
  Stop();
  if (accept_thread_.joinable()) {
    // Stop's wake did not reach the accept: shutting the socket down ends accept() for sure.
    ::shutdown(listen_socket_.Get(), SHUT_RDWR);
    accept_thread_.join();
  }
  closing_ = true;
  {
    std::scoped_lock l(lock_);
    for (const LiveEntry& e : live_) ::shutdown(e.socket, SHUT_RDWR);
  }
  std::unique_lock l(book_->mutex);
  book_->cv.wait(l, [this] { return book_->connection_threads == 0; });
}

int CListenServer::LiveConnections() const { return live_count_; }

void CListenServer::AcceptLoop(std::shared_ptr<ThreadBook> book) {
  for (;;) {
    auto record = std::make_unique<StartRecord>();
    socklen_t len = sizeof record->peer;
    record->socket.Reset(::accept4(listen_socket_.Get(),
                                   reinterpret_cast<sockaddr*>(&record->peer), &len,
                                   SOCK_CLOEXEC));
    int error = errno;
    if (stop_) {
      if (record->socket) ::shutdown(record->socket.Get(), SHUT_RDWR);
      break;
    }
    if (!record->socket) {
      if (!IsPassingAcceptError(error)) break;
      if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM) {
        std::this_thread::sleep_for(kAcceptRetryPause);
      }
      continue;
    }
    record->listen_socket = listen_socket_.Get();
    // The count is read without the lock: a burst may briefly pass the limit.
    record->too_many = live_count_ >= max_connections_ && Dotted(record->peer) != "127.0.0.1";
    {
      std::scoped_lock l(book->mutex);
      if (book->connection_threads >= kMaxConnectionThreads) {
        ::shutdown(record->socket.Get(), SHUT_RDWR);
        continue;
      }
      ++book->connection_threads;
    }
    try {
      std::thread(&CListenServer::RunConnection, this, std::move(record), book).detach();
    } catch (const std::system_error&) {
      if (record && record->socket) ::shutdown(record->socket.Get(), SHUT_RDWR);
      book->ConnectionEnded();
    }
  }
  std::scoped_lock l(book->mutex);
  book->accept_done = true;
  book->cv.notify_all();
}

void CListenServer::RunConnection(std::unique_ptr<StartRecord> record,
                                  std::shared_ptr<ThreadBook> book) {
  if (const int nice = SessionNice(); nice != 0) {
    (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), nice);
  }
  CServerConnection* connection = nullptr;
  try {
    connection = CreateInstance();
  } catch (...) {
    connection = nullptr;
  }
  if (connection != nullptr) {
    connection->socket_ = record->socket.Get();
    connection->peer_ = record->peer;
    connection->listen_socket_ = record->listen_socket;
    connection->server_ = this;
    bool closing;
    {
      std::scoped_lock l(lock_);
      live_.push_front({connection, std::this_thread::get_id(), connection->socket_});
      ++live_count_;
      closing = closing_;
    }
    connection->SetReceiveTimeOut(kConnectionTimeoutMs);
    connection->SetSendTimeOut(kConnectionTimeoutMs);
    if (!closing) {
      // A failure inside one dialogue must not take the process down with it.
      try {
        if (record->too_many) {
          CountEvent(Counter::ConnectionsRefusedBusy);
          connection->OnMaxConnect();
        } else {
          connection->OnConnect();
        }
      } catch (...) {
      }
    }
    {
      std::scoped_lock l(lock_);
      auto me = std::this_thread::get_id();
      for (auto it = live_.begin(); it != live_.end(); ++it) {
        if (it->thread == me) {
          live_.erase(it);
          break;
        }
      }
      --live_count_;
    }
    ReleaseInstance(connection);
  }
  ::shutdown(record->socket.Get(), SHUT_RDWR);
  record.reset();
  book->ConnectionEnded();
}

void CListenServer::ThreadBook::ConnectionEnded() {
  std::scoped_lock l(mutex);
  --connection_threads;
  cv.notify_all();
}

}  // namespace tarnhold
