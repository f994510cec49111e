// Test helpers for the DNS client: answers built byte by byte, and a scripted DNS server that
// listens on UDP and TCP on one port of several loopback addresses and answers each query
// with what the test's responder returns.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/unique_fd.h"
#include "transport/dns_message.h"

namespace tarnhold::test {

enum class DnsProtocol { Tcp, Udp };

inline void Append(DnsBytes& out, const DnsBytes& more) {
  out.insert(out.end(), more.begin(), more.end());
}
inline DnsBytes U16(std::uint16_t v) {
  return {static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
}
inline DnsBytes U32(std::uint32_t v) {
  return {static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
          static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
}
// "a.bc" as labels 1 'a' 2 'b' 'c' 0 ("" is the root: one zero byte).
inline DnsBytes Labels(std::string_view name) {
  DnsBytes out;
  while (!name.empty()) {
    std::size_t dot = name.find('.');
    std::string_view label = name.substr(0, dot);
    out.push_back(static_cast<std::uint8_t>(label.size()));
    out.insert(out.end(), label.begin(), label.end());
    name = dot == std::string_view::npos ? std::string_view() : name.substr(dot + 1);
  }
  out.push_back(0);
  return out;
}
inline DnsBytes AData(const char* dotted) {
  in_addr a{};
  inet_pton(AF_INET, dotted, &a);
  const auto* b = reinterpret_cast<const std::uint8_t*>(&a);
  return {b[0], b[1], b[2], b[3]};
}
inline DnsBytes MxData(std::uint16_t preference, std::string_view exchange) {
  DnsBytes out = U16(preference);
  Append(out, Labels(exchange));
  return out;
}

struct Rr {
  std::string owner;
  std::uint16_t type;
  DnsBytes data;
};
inline Rr A(std::string owner, const char* dotted) { return {std::move(owner), kDnsTypeA, AData(dotted)}; }
inline Rr Mx(std::string owner, std::uint16_t preference, std::string_view exchange) {
  return {std::move(owner), kDnsTypeMx, MxData(preference, exchange)};
}
inline Rr Ns(std::string owner, std::string_view server) {
  return {std::move(owner), kDnsTypeNs, Labels(server)};
}
inline Rr Cname(std::string owner, std::string_view target) {
  return {std::move(owner), kDnsTypeCname, Labels(target)};
}
inline Rr Soa(std::string owner) {
  DnsBytes d = Labels("ns.example.test");
  Append(d, Labels("hostmaster.example.test"));
  for (std::uint32_t v : {1u, 2u, 3u, 4u, 5u}) Append(d, U32(v));
  return {std::move(owner), kDnsTypeSoa, d};
}

inline DnsBytes Record(const Rr& r) {
  DnsBytes out = Labels(r.owner);
  Append(out, U16(r.type));
  Append(out, U16(1));
  Append(out, U32(60));
  Append(out, U16(static_cast<std::uint16_t>(r.data.size())));
  Append(out, r.data);
  return out;
}

struct Sections {
  std::vector<Rr> answer, authority, additional;
  bool authoritative = true;
};

// An answer to `query`: its identifier and question, the records uncompressed.
inline DnsBytes BuildAnswer(DnsView query, const Sections& s) {
  DnsBytes out{query[0], query[1], static_cast<std::uint8_t>(0x81 | (s.authoritative ? 0x04 : 0)),
               0x80};
  Append(out, U16(1));
  Append(out, U16(static_cast<std::uint16_t>(s.answer.size())));
  Append(out, U16(static_cast<std::uint16_t>(s.authority.size())));
  Append(out, U16(static_cast<std::uint16_t>(s.additional.size())));
  out.insert(out.end(), query.begin() + kDnsHeaderSize, query.end());
  for (const auto* list : {&s.answer, &s.authority, &s.additional}) {
    for (const Rr& r : *list) Append(out, Record(r));
  }
  return out;
}

// A scripted DNS server on UDP and TCP, one port, one or more loopback addresses.
class DnsPeer {
 public:
  struct Query {
    std::string server;  // the address that received it
    DnsProtocol protocol;
    std::string name;
    DnsBytes bytes;      // as received (without the TCP prefix)
  };
  struct Reply {
    std::vector<DnsBytes> answers;    // sent in order; none: silence (TCP: close at once)
    std::vector<DnsBytes> elsewhere;  // UDP only: sent first from another address
  };
  using Responder = std::function<Reply(const Query&)>;

  explicit DnsPeer(std::vector<std::string> addresses, Responder responder)
      : responder_(std::move(responder)) {
    for (int tries = 0; tries < 20 && !Bind(addresses); ++tries) {
    }
    EXPECT_NE(port_, 0) << "cannot bind the scripted DNS server";
    other_ = Open(SOCK_DGRAM, "127.0.0.9", 0);
    thread_ = std::jthread([this](std::stop_token stop) { Serve(stop); });
  }
  ~DnsPeer() {
    thread_.request_stop();
    thread_.join();
  }

  [[nodiscard]] std::uint16_t Port() const { return port_; }
  [[nodiscard]] std::vector<Query> Queries() const {
    std::scoped_lock lock(mutex_);
    return queries_;
  }
  // The servers asked, in order, one entry per query.
  [[nodiscard]] std::vector<std::string> ServersAsked() const {
    std::vector<std::string> out;
    for (const Query& q : Queries()) out.push_back(q.server);
    return out;
  }

 private:
  struct Listener {
    std::string address;
    UniqueFd udp, tcp;
  };

  static UniqueFd Open(int type, const std::string& address, std::uint16_t port) {
    UniqueFd fd(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
    int one = 1;
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return UniqueFd();
    if (type == SOCK_STREAM && ::listen(fd.Get(), 8) != 0) return UniqueFd();
    return fd;
  }

  static std::uint16_t BoundPort(int fd) {
    sockaddr_in a{};
    socklen_t n = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
    return ntohs(a.sin_port);
  }

  bool Bind(const std::vector<std::string>& addresses) {
    listeners_.clear();
    std::uint16_t port = 0;
    for (const std::string& address : addresses) {
      Listener l{address, Open(SOCK_DGRAM, address, port), UniqueFd()};
      if (!l.udp) return false;
      port = BoundPort(l.udp.Get());
      l.tcp = Open(SOCK_STREAM, address, port);
      if (!l.tcp) return false;
      listeners_.push_back(std::move(l));
    }
    port_ = port;
    return true;
  }

  Reply Note(const std::string& server, DnsProtocol protocol, DnsBytes bytes) {
    Query q{server, protocol, "", std::move(bytes)};
    std::size_t next = 0;
    if (!DecodeDnsName(q.bytes, kDnsHeaderSize, q.bytes.size(), q.name, next)) q.name = "?";
    Reply reply = responder_(q);
    std::scoped_lock lock(mutex_);
    queries_.push_back(std::move(q));
    return reply;
  }

  void ServeUdp(Listener& l) {
    DnsBytes buffer(4096);
    sockaddr_in from{};
    socklen_t n = sizeof from;
    ssize_t got = ::recvfrom(l.udp.Get(), buffer.data(), buffer.size(), 0,
                             reinterpret_cast<sockaddr*>(&from), &n);
    if (got <= 0) return;
    buffer.resize(static_cast<std::size_t>(got));
    Reply reply = Note(l.address, DnsProtocol::Udp, std::move(buffer));
    for (const DnsBytes& d : reply.elsewhere) {
      ::sendto(other_.Get(), d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&from), n);
    }
    for (const DnsBytes& d : reply.answers) {
      ::sendto(l.udp.Get(), d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&from), n);
    }
  }

  void ServeTcp(Listener& l) {
    UniqueFd conn(::accept4(l.tcp.Get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!conn) return;
    timeval tv{2, 0};
    ::setsockopt(conn.Get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    std::uint8_t prefix[2];
    if (::recv(conn.Get(), prefix, 2, MSG_WAITALL) != 2) return;
    DnsBytes query((std::size_t{prefix[0]} << 8) | prefix[1]);
    if (::recv(conn.Get(), query.data(), query.size(), MSG_WAITALL) !=
        static_cast<ssize_t>(query.size())) {
      return;
    }
    Reply reply = Note(l.address, DnsProtocol::Tcp, std::move(query));
    for (const DnsBytes& d : reply.answers) {
      DnsBytes framed = FrameDnsTcp(d);
      ::send(conn.Get(), framed.data(), framed.size(), MSG_NOSIGNAL);
    }
  }

  void Serve(std::stop_token stop) {
    while (!stop.stop_requested()) {
      std::vector<pollfd> fds;
      for (Listener& l : listeners_) {
        fds.push_back({l.udp.Get(), POLLIN, 0});
        fds.push_back({l.tcp.Get(), POLLIN, 0});
      }
      if (::poll(fds.data(), fds.size(), 50) <= 0) continue;
      for (std::size_t i = 0; i < fds.size(); ++i) {
        if ((fds[i].revents & POLLIN) == 0) continue;
        Listener& l = listeners_[i / 2];
        if (i % 2 == 0) {
          ServeUdp(l);
        } else {
          ServeTcp(l);
        }
      }
    }
  }

  Responder responder_;
  std::vector<Listener> listeners_;
  UniqueFd other_;
  std::uint16_t port_ = 0;
  mutable std::mutex mutex_;
  std::vector<Query> queries_;
  std::jthread thread_;
};

}  // namespace tarnhold::test
