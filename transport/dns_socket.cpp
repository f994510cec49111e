#include "transport/dns_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <string>

#include "platform/unique_fd.h"

namespace tarnhold {
namespace {

using Clock = std::chrono::steady_clock;

bool ResolveIpv4(std::string_view host, in_addr& out) {
  std::string text(host);
  if (::inet_pton(AF_INET, text.c_str(), &out) == 1) return true;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(text.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return false;
  out = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
  ::freeaddrinfo(found);
  return true;
}

// Milliseconds left until `deadline`, at least 0.
int MillisLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Waits for `events` on `fd` until the deadline; true when they came.
bool WaitFor(int fd, short events, Clock::time_point deadline) {
  while (true) {
    pollfd p{fd, events, 0};
    int rc = ::poll(&p, 1, MillisLeft(deadline));
    if (rc > 0) return true;
    if (rc == 0 || errno != EINTR) return false;
  }
}

int ConnectWithin(int fd, const sockaddr_in& to, Clock::time_point deadline) {
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) return 0;
  if (errno != EINPROGRESS) return kDnsSocketConnectFailed;
  if (!WaitFor(fd, POLLOUT, deadline)) return kDnsSocketConnectTimeout;
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
    return kDnsSocketConnectFailed;
  }
  return 0;
}

bool SendAll(int fd, DnsView data, Clock::time_point deadline) {
  std::size_t sent = 0;
  while (sent < data.size()) {
    ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!WaitFor(fd, POLLOUT, deadline)) return false;
    } else {
      return false;
    }
  }
  return true;
}

// Reads up to `want` bytes into `out`; stops early when the peer closes, a read fails or the
// deadline passes. Returns the bytes read.
std::size_t ReadUpTo(int fd, std::uint8_t* out, std::size_t want, Clock::time_point deadline) {
  std::size_t got = 0;
  while (got < want) {
    if (!WaitFor(fd, POLLIN, deadline)) break;
    ssize_t n = ::recv(fd, out + got, want - got, 0);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
    } else if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
      continue;
    } else {
      break;
    }
  }
  return got;
}

UniqueFd OpenSocket(int type) {
  return UniqueFd(::socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
}

int ExchangeTcp(const sockaddr_in& to, DnsView query, int timeout_s, DnsBytes& answer) {
  UniqueFd fd = OpenSocket(SOCK_STREAM);
  if (!fd) return kDnsSocketCreateFailed;
  auto deadline = Clock::now() + std::chrono::seconds(timeout_s);
  if (int rc = ConnectWithin(fd.Get(), to, deadline); rc != 0) return rc;
  // Connecting and waiting for the answer each have the full time-out.
  deadline = Clock::now() + std::chrono::seconds(timeout_s);
  if (!SendAll(fd.Get(), FrameDnsTcp(query), deadline)) return kDnsSocketSendFailed;
  std::uint8_t prefix[2];
  if (ReadUpTo(fd.Get(), prefix, sizeof prefix, deadline) != sizeof prefix) {
    return kDnsSocketNoLengthPrefix;
  }
  DnsBytes received((std::size_t{prefix[0]} << 8) | prefix[1]);
  received.resize(ReadUpTo(fd.Get(), received.data(), received.size(), deadline));
  if (DnsAnswerMatches(received, query)) answer = std::move(received);
  return 0;
}

int ExchangeUdp(const sockaddr_in& to, DnsView query, int timeout_s, DnsBytes& answer) {
  UniqueFd fd = OpenSocket(SOCK_DGRAM);
  if (!fd) return kDnsSocketCreateFailed;
  // A connected datagram socket already drops datagrams from other sources; the address is
  // still compared below so the rule does not rest on the kernel alone.
  if (::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
    return kDnsSocketConnectFailed;
  }
  auto deadline = Clock::now() + std::chrono::seconds(timeout_s);
  if (!SendAll(fd.Get(), query, deadline)) return kDnsSocketSendFailed;
  DnsBytes received(kDnsDatagramMax);
  // Each pass consumes one datagram; the deadline ends the loop.
  while (WaitFor(fd.Get(), POLLIN, deadline)) {
    sockaddr_in from{};
    socklen_t from_length = sizeof from;
    ssize_t n = ::recvfrom(fd.Get(), received.data(), received.size(), 0,
                           reinterpret_cast<sockaddr*>(&from), &from_length);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      break;  // the server's port is closed (ICMP refused) or the socket failed
    }
    bool same_source = from_length >= sizeof from && from.sin_family == AF_INET &&
                       from.sin_addr.s_addr == to.sin_addr.s_addr && from.sin_port == to.sin_port;
    DnsView datagram(received.data(), static_cast<std::size_t>(n));
    if (same_source && DnsAnswerMatches(datagram, query)) {
      answer.assign(datagram.begin(), datagram.end());
      return 0;
    }
  }
  return 0;
}

}  // namespace

bool ResolveIpv4Text(std::string_view host, std::string& dotted) {
  in_addr address{};
  char text[INET_ADDRSTRLEN];
  if (host.empty() || !ResolveIpv4(host, address)) return false;
  if (::inet_ntop(AF_INET, &address, text, sizeof text) == nullptr) return false;
  dotted = text;
  return true;
}

int ExchangeDnsQuery(DnsServerAddress server, DnsProtocol protocol, DnsView query, int timeout_s,
                     DnsBytes& answer) {
  answer.clear();
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(server.port);
  if (!ResolveIpv4(server.host, to.sin_addr)) return kDnsSocketHostUnresolved;
  if (protocol == DnsProtocol::Tcp) return ExchangeTcp(to, query, timeout_s, answer);
  return ExchangeUdp(to, query, timeout_s, answer);
}

}  // namespace tarnhold
