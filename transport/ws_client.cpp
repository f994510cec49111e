#include "transport/ws_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "transport/socket_io.h"

namespace tarnhold {
namespace {

constexpr std::size_t kSendPiece = 255;
constexpr std::size_t kReceivePiece = 256;

sockaddr_in MakeAddress(int family, unsigned port, const std::string& dotted) {
  sockaddr_in a{};
  a.sin_family = static_cast<sa_family_t>(family);
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  if (dotted.empty() || ::inet_aton(dotted.c_str(), &a.sin_addr) == 0) {
    a.sin_addr.s_addr = htonl(INADDR_ANY);
  }
  return a;
}

std::string DottedOf(const sockaddr_in& a) {
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
  return text;
}

bool SetNonBlocking(int fd, bool on) {
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0) return false;
  flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  return ::fcntl(fd, F_SETFL, flags) == 0;
}

bool BindTo(int fd, const sockaddr_in& a) {
  return ::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
}

}  // namespace

CUT_WSClient::CUT_WSClient() = default;

CUT_WSClient::~CUT_WSClient() {
  // Only the base part runs here: close without the virtual hooks.
  stream_.EndTls();
  if (socket_) ::shutdown(socket_.Get(), SHUT_RDWR);
  socket_.Reset();
  listen_socket_.Reset();
}

int CUT_WSClient::ApplyTimeouts() {
  if (!socket_) return kWsNoSocket;
  SetReceiveTimeoutMs(socket_.Get(), receive_timeout_ms_);
  SetSendTimeoutMs(socket_.Get(), send_timeout_ms_);
  return kWsSuccess;
}

void CUT_WSClient::RecordPorts() {
  sockaddr_in local{};
  socklen_t len = sizeof local;
  if (::getsockname(socket_.Get(), reinterpret_cast<sockaddr*>(&local), &len) == 0) {
    local_port_ = ntohs(local.sin_port);
  }
  remote_port_ = ntohs(remote_address_.sin_port);
}

int CUT_WSClient::Connect(unsigned port, std::string_view host, long timeout_s, int family,
                          int type) {
  if (socket_) return OnError(kWsAlreadyConnected);
  std::string address;
  if (IsIPAddress(host)) {
    address.assign(host.substr(0, kWsHostTextMax));
  } else if (ResolveHost(host, address, kWsHostTextMax + 1) != kWsSuccess) {
    return OnError(kWsHostUnresolved);
  }
  remote_host_ = address;
  family_ = family;
  socket_type_ = type;
  remote_address_ = MakeAddress(family, port, address);
  if (CreateSocket(socket_, family, type, 0) != kWsSuccess) return OnError(kWsSocketFailed);

  if (timeout_s >= 0) SetNonBlocking(socket_.Get(), true);
  int rc = ::connect(socket_.Get(), reinterpret_cast<const sockaddr*>(&remote_address_),
                     sizeof remote_address_);
  if (rc == 0) {
    if (timeout_s >= 0) SetNonBlocking(socket_.Get(), false);
    return FinishConnect(kWsSuccess);
  }
  if (errno != EINPROGRESS || timeout_s < 0) {
    socket_.Reset();
    return OnError(kWsConnectFailed);
  }
  if (!WaitWritable(socket_.Get(), timeout_s, 0)) {
    socket_.Reset();
    return OnError(kWsConnectTimedOut);
  }
  // Writable also means "failed" here: a refused connect reports itself through SO_ERROR.
  int error = 0;
  socklen_t len = sizeof error;
  if (::getsockopt(socket_.Get(), SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0) {
    socket_.Reset();
    return OnError(kWsConnectFailed);
  }
  SetNonBlocking(socket_.Get(), false);
  return FinishConnect(kWsSuccess);
}

int CUT_WSClient::FinishConnect(int code) {
  ApplyTimeouts();
  RecordPorts();
  stream_.Reset();
  return OnError(code);
}

int CUT_WSClient::ConnectBound(unsigned local_port, unsigned remote_port,
                               std::string_view local_address, std::string_view remote_address,
                               int family, int type) {
  if (socket_) return OnError(kWsAlreadyConnected);
  if (CreateSocket(socket_, family, type, 0) != kWsSuccess) return OnError(kWsSocketFailed);
  int one = 1;
  ::setsockopt(socket_.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (!BindTo(socket_.Get(), MakeAddress(family, local_port, std::string(local_address)))) {
    socket_.Reset();
    return OnError(kWsBindFailed);
  }
  remote_host_.assign(remote_address.substr(0, kWsHostTextMax));
  remote_address_ = MakeAddress(family, remote_port, remote_host_);
  if (::connect(socket_.Get(), reinterpret_cast<const sockaddr*>(&remote_address_),
                sizeof remote_address_) != 0) {
    socket_.Reset();
    return OnError(kWsConnectFailed);
  }
  family_ = family;
  socket_type_ = type;
  return FinishConnect(kWsSuccess);
}

int CUT_WSClient::CreateUDPSocket(unsigned local_port, unsigned remote_port,
                                  std::string_view remote_host, std::string_view local_address) {
  if (socket_) return OnError(kWsAlreadyConnected);
  std::string address;
  if (IsIPAddress(remote_host)) {
    address.assign(remote_host.substr(0, kWsHostTextMax));
  } else if (ResolveHost(remote_host, address, kWsHostTextMax + 1) != kWsSuccess) {
    return OnError(kWsHostUnresolved);
  }
  if (CreateSocket(socket_, AF_INET, SOCK_DGRAM, 0) != kWsSuccess) return OnError(kWsSocketFailed);
  if (!BindTo(socket_.Get(), MakeAddress(AF_INET, local_port, std::string(local_address)))) {
    socket_.Reset();
    return OnError(kWsBindFailed);
  }
  family_ = AF_INET;
  socket_type_ = SOCK_DGRAM;
  remote_host_ = address;
  remote_address_ = MakeAddress(AF_INET, remote_port, address);
  return FinishConnect(kWsSuccess);
}

int CUT_WSClient::CreateSocket(UniqueFd& out, int family, int type, int protocol) {
  out.Reset(::socket(family, type | SOCK_CLOEXEC, protocol));
  return out ? kWsSuccess : kWsError;
}

int CUT_WSClient::CloseConnection() {
  int code = kWsSuccess;
  stream_.EndTls();  // its closing alert goes out before the socket closes
  if (socket_) {
    if (socket_type_ == SOCK_STREAM && ::shutdown(socket_.Get(), SHUT_RDWR) != 0 &&
        errno != ENOTCONN) {
      code = kWsError;
    }
    if (!socket_.Reset()) code = kWsError;
  }
  stream_.Reset();
  return OnError(code);
}

int CUT_WSClient::StartListening(unsigned port, int backlog, int family, std::string_view address) {
  if (listen_socket_) return OnError(kWsAlreadyConnected);
  if (CreateSocket(listen_socket_, family, SOCK_STREAM, protocol_) != kWsSuccess) {
    return OnError(kWsSocketFailed);
  }
  int one = 1;
  ::setsockopt(listen_socket_.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  listen_address_ = MakeAddress(family, port, std::string(address));
  if (!BindTo(listen_socket_.Get(), listen_address_)) {
    listen_socket_.Reset();
    return OnError(kWsBindFailed);
  }
  if (::listen(listen_socket_.Get(), backlog) != 0) {
    listen_socket_.Reset();
    return OnError(kWsListenFailed);
  }
  sockaddr_in bound{};
  socklen_t len = sizeof bound;
  ::getsockname(listen_socket_.Get(), reinterpret_cast<sockaddr*>(&bound), &len);
  listen_port_ = ntohs(bound.sin_port);
  return OnError(kWsSuccess);
}

int CUT_WSClient::WaitForAccept(long seconds) {
  return OnError(WaitReadable(listen_socket_.Get(), seconds, 0) ? kWsSuccess : kWsError);
}

int CUT_WSClient::AcceptConnection() {
  stream_.EndTls();
  socket_.Reset();
  sockaddr_in peer{};
  socklen_t len = sizeof peer;
  UniqueFd fd(::accept4(listen_socket_.Get(), reinterpret_cast<sockaddr*>(&peer), &len,
                        SOCK_CLOEXEC));
  if (!fd) return OnError(kWsError);
  socket_ = std::move(fd);
  remote_address_ = peer;
  remote_host_ = DottedOf(peer);
  socket_type_ = SOCK_STREAM;
  return FinishConnect(kWsSuccess);
}

int CUT_WSClient::SendFile(const std::filesystem::path& path) {
  if (!socket_) return OnError(kWsNoSocket);
  UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file) return OnError(kWsSourceOpenFailed);
  char piece[kSendPiece];
  long total = 0;
  for (;;) {
    long n = ::read(file.Get(), piece, sizeof piece);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return OnError(kWsSourceOpenFailed);
    if (n == 0) break;
    if (Send(piece, static_cast<int>(n)) != n) return OnError(kWsSendFailed);
    total += n;
    if (!SendFileStatus(total) || IsAborted()) return OnError(kWsAborted);
  }
  return OnError(kWsSuccess);
}

int CUT_WSClient::Send(const char* data, int length) {
  if (!socket_ || data == nullptr) return 0;
  std::size_t size = length > 0 ? static_cast<std::size_t>(length) : std::strlen(data);
  long sent = stream_.Send(socket_.Get(), data, size);
  return sent == static_cast<long>(size) ? static_cast<int>(sent) : 0;
}

int CUT_WSClient::SendTo(const char* data, int& length) {
  if (!socket_) return OnError(kWsNoSocket);
  long n = ::sendto(socket_.Get(), data, static_cast<std::size_t>(length > 0 ? length : 0),
                    MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&remote_address_),
                    sizeof remote_address_);
  if (n < 0) return OnError(kWsSendFailed);
  length = static_cast<int>(n);
  return OnError(kWsSuccess);
}

int CUT_WSClient::WaitForSend(long seconds, long microseconds) {
  return WaitWritable(socket_.Get(), seconds, microseconds) ? kWsSuccess : kWsError;
}

int CUT_WSClient::ReceiveToFile(const std::filesystem::path& path, int open_mode, long timeout_s,
                                long max_bytes) {
  if (!socket_) return OnError(kWsNoSocket);
  if (open_mode != 1 && open_mode != 2) return OnError(kWsBadOpenMode);
  int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (open_mode == 1 ? O_TRUNC : O_APPEND);
  UniqueFd file(::open(path.c_str(), flags, 0644));
  if (!file) return OnError(kWsSourceOpenFailed);
  char piece[kReceivePiece];
  long total = 0;
  for (;;) {
    const bool buffered = stream_.Reader().Buffered() > 0;
    if (!buffered && timeout_s > 0 && WaitForReceive(timeout_s, 0) != kWsSuccess) {
      return OnError(kWsReceiveTimedOut);
    }
    std::size_t want = sizeof piece;
    if (max_bytes > 0) {
      if (total >= max_bytes) break;
      want = std::min<std::size_t>(want, static_cast<std::size_t>(max_bytes - total));
    }
    long n = stream_.ReadSome(socket_.Get(), piece, want);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) break;
    if (n < 0) return OnError(kWsReceiveFailed);
    if (::write(file.Get(), piece, static_cast<std::size_t>(n)) != n) {
      return OnError(kWsSourceWriteFailed);
    }
    total += n;
    if (!ReceiveFileStatus(total) || IsAborted()) return OnError(kWsAborted);
  }
  return OnError(kWsSuccess);
}

int CUT_WSClient::Receive(char* buffer, int size, long timeout_s) {
  if (!socket_ || buffer == nullptr || size <= 0) return -1;
  if (timeout_s > 0 && WaitForReceive(timeout_s, 0) != kWsSuccess) return 0;
  long n = stream_.ReadSome(socket_.Get(), buffer, static_cast<std::size_t>(size));
  if (n < 0) return (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
  return static_cast<int>(n);
}

int CUT_WSClient::ReceiveLine(std::string& line, int size, long timeout_s) {
  if (size <= 0) {
    line.clear();
    return 0;
  }
  LineRead r = stream_.Reader().Read(socket_.Get(), line, static_cast<std::size_t>(size),
                                     timeout_s, LineEnd::Lf, [this] { return IsAborted() != 0; });
  return static_cast<int>(r.bytes);
}

int CUT_WSClient::ClearReceiveBuffer() {
  stream_.Clear(socket_.Get());
  return kWsSuccess;
}

TlsHandshake CUT_WSClient::StartTls(std::shared_ptr<const TlsContext> context,
                                    std::string_view host, long timeout_s) {
  return stream_.StartTls(socket_.Get(), std::move(context), [&](TlsStream& tls) {
    return tls.Connect(host, timeout_s * 1000);
  });
}

int CUT_WSClient::ReceiveFrom(char* buffer, int& length, long timeout_s) {
  if (!socket_) return OnError(kWsNoSocket);
  if (!WaitReadable(socket_.Get(), timeout_s, 0)) return OnError(kWsReceiveTimedOut);
  sockaddr_in from{};
  socklen_t len = sizeof from;
  long n = ::recvfrom(socket_.Get(), buffer, static_cast<std::size_t>(length > 0 ? length : 0), 0,
                      reinterpret_cast<sockaddr*>(&from), &len);
  if (n < 0) return OnError(kWsReceiveFailed);
  remote_address_ = from;
  remote_host_ = DottedOf(from);
  length = static_cast<int>(n);
  return OnError(kWsSuccess);
}

int CUT_WSClient::WaitForReceive(long seconds, long microseconds) {
  if (stream_.HoldsData()) return kWsSuccess;
  return WaitReadable(socket_.Get(), seconds, microseconds) ? kWsSuccess : kWsError;
}

int CUT_WSClient::SetReceiveTimeOut(long timeout_ms) {
  if (socket_ && !SetReceiveTimeoutMs(socket_.Get(), timeout_ms)) return kWsError;
  if (timeout_ms < 0) return kWsError;
  receive_timeout_ms_ = timeout_ms;
  return kWsSuccess;
}

int CUT_WSClient::SetSendTimeOut(long timeout_ms) {
  if (socket_ && !SetSendTimeoutMs(socket_.Get(), timeout_ms)) return kWsError;
  if (timeout_ms < 0) return kWsError;
  send_timeout_ms_ = timeout_ms;
  return kWsSuccess;
}

int CUT_WSClient::SetBlockingMode(int mode) {
  if (!socket_ || !SetNonBlocking(socket_.Get(), mode != 0)) return OnError(kWsError);
  blocking_mode_ = mode != 0 ? 1 : 0;
  return kWsSuccess;
}

int CUT_WSClient::IsDataWaiting() const {
  return stream_.DataWaiting(socket_.Get()) ? 1 : 0;
}

int CUT_WSClient::GetMaxSendBuffer() const {
  int size = 0;
  socklen_t len = sizeof size;
  if (!socket_ || ::getsockopt(socket_.Get(), SOL_SOCKET, SO_SNDBUF, &size, &len) != 0) return -1;
  return size;
}

int CUT_WSClient::ResolveHost(std::string_view name, std::string& out, std::size_t out_size) {
  out.clear();
  if (auto at = name.rfind('@'); at != std::string_view::npos) name.remove_prefix(at + 1);
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (name.empty() || ::getaddrinfo(std::string(name).c_str(), nullptr, &hints, &found) != 0 ||
      found == nullptr) {
    return OnError(kWsHostNotFound);
  }
  std::string dotted = DottedOf(*reinterpret_cast<const sockaddr_in*>(found->ai_addr));
  ::freeaddrinfo(found);
  if (dotted.size() + 1 > out_size) return OnError(kWsBufferTooSmall);
  out = dotted;
  return OnError(kWsSuccess);
}

bool CUT_WSClient::IsIPAddress(std::string_view text) {
  in_addr a{};
  return !text.empty() && text.size() < 64 && ::inet_aton(std::string(text).c_str(), &a) != 0;
}

bool CUT_WSClient::IsConnected() {
  if (!socket_) return false;
  // As if the bytes still waited on the socket.
  if (stream_.HoldsData()) return true;
  pollfd p{socket_.Get(), POLLIN, 0};
  if (::poll(&p, 1, 0) < 0) return false;
  if (p.revents & (POLLERR | POLLNVAL)) return false;
  if (!(p.revents & (POLLIN | POLLHUP))) return true;
  char byte;
  long n = ::recv(socket_.Get(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  if (n > 0) return true;
  if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
  return false;  // readable with nothing to read: the peer closed
}

}  // namespace tarnhold
