// The socket side of one DNS exchange: connect to a server, send the query, wait for the one
// answer that matches it. Over UDP, datagrams from another address or port, and datagrams
// that do not answer this query, are dropped and the wait goes on until the deadline; over TCP
// an answer that does not match counts as none. Nothing here keeps state between exchanges.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "transport/dns_message.h"

namespace tarnhold {

// Socket result codes, the same numbers as the socket client's.
inline constexpr int kDnsSocketConnectTimeout = 5;
inline constexpr int kDnsSocketCreateFailed = 17;
inline constexpr int kDnsSocketConnectFailed = 19;
inline constexpr int kDnsSocketSendFailed = 22;
inline constexpr int kDnsSocketHostUnresolved = 92;
// The TCP answer's two-byte length never arrived.
inline constexpr int kDnsSocketNoLengthPrefix = 2;

// The largest answer read from one datagram.
inline constexpr std::size_t kDnsDatagramMax = 540;

enum class DnsProtocol { Tcp, Udp };

struct DnsServerAddress {
  std::string_view host;  // dotted address or host name
  std::uint16_t port = 53;
};

// The first IPv4 address of `host` (dotted or a name) in dotted form; false when none.
[[nodiscard]] bool ResolveIpv4Text(std::string_view host, std::string& dotted);

// Sends `query` and fills `answer` with the matching answer, or leaves it empty when none
// arrived in `timeout_s` seconds (0 then too: an empty answer is the caller's to judge).
// Other results: one of the codes above.
[[nodiscard]] int ExchangeDnsQuery(DnsServerAddress server, DnsProtocol protocol, DnsView query,
                                   int timeout_s, DnsBytes& answer);

}  // namespace tarnhold
