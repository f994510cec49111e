#include "tests/support/loopback_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

namespace tarnhold::test {
namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// One read of what is there within the deadline: bytes read, 0 at end of file (or a reset
// connection), -1 when the time passed or another error came.
long ReadSome(int fd, std::string& got, Clock::time_point deadline) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, RemainingMs(deadline)) <= 0) return -1;
  char buffer[4096];
  long n = ::recv(fd, buffer, sizeof buffer, 0);
  if (n > 0) got.append(buffer, static_cast<std::size_t>(n));
  if (n < 0 && errno == ECONNRESET) return 0;
  return n;
}

}  // namespace

LoopbackListener::LoopbackListener(int backlog) {
  fd_.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd_.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::listen(fd_.Get(), backlog);
  socklen_t len = sizeof a;
  ::getsockname(fd_.Get(), reinterpret_cast<sockaddr*>(&a), &len);
  port_ = ntohs(a.sin_port);
}

UniqueFd LoopbackListener::Accept(milliseconds timeout) {
  pollfd p{fd_.Get(), POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return UniqueFd();
  return UniqueFd(::accept4(fd_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
}

UniqueFd ConnectLoopback(int port, const char* from) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in local{};
  local.sin_family = AF_INET;
  ::inet_aton(from, &local.sin_addr);
  if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return UniqueFd();
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return UniqueFd();
  return fd;
}

bool SendText(int fd, std::string_view data) {
  while (!data.empty()) {
    long n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool ReadUntil(int fd, std::string_view needle, std::string& got, milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  std::size_t start = got.size();
  while (got.find(needle, start) == std::string::npos) {
    if (ReadSome(fd, got, deadline) <= 0) return false;
  }
  return true;
}

bool ReadToClose(int fd, std::string& got, milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  for (;;) {
    long n = ReadSome(fd, got, deadline);
    if (n == 0) return true;
    if (n < 0) return false;
  }
}

bool PeerClosed(int fd, milliseconds timeout) {
  std::string ignored;
  return ReadToClose(fd, ignored, timeout);
}

}  // namespace tarnhold::test
