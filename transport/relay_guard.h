// Who may send mail through the receiver to domains that are not local: loopback clients
// always, clients of the relay networks file, and everybody when relaying is allowed. Mail to
// a local domain is taken from anywhere. The policy is built once per configuration load and
// shared read-only by every session; it never reads files while a session runs.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnhold {

class CGatewayConfig;

// An IPv4 network in host byte order: `address` with the bits of `mask` set.
struct Ipv4Network {
  std::uint32_t address = 0;
  std::uint32_t mask = 0;
  [[nodiscard]] bool Contains(std::uint32_t host) const { return (host & mask) == address; }
  bool operator==(const Ipv4Network&) const = default;
};

// "a.b.c.d/len" (len 0 to 32) or a bare "a.b.c.d" (a /32); host bits beyond the prefix are
// cleared. nullopt for anything else (blanks around the text are allowed).
[[nodiscard]] std::optional<Ipv4Network> ParseIpv4Network(std::string_view text);

enum class RelayDecision { Local, Relayed, Denied };

struct RelayPolicy {
  bool allow_relay = false;               // AllowRelay=1: the guard is off
  std::vector<Ipv4Network> networks;      // from the relay networks file
  std::vector<std::string> local_domains;  // lower case

  // Whether a client at `peer` (host byte order) may send to `recipient`. Local: the
  // recipient's domain is a local domain. Relayed: it is not, and the client may relay.
  // Denied: it is not, and the client may not.
  [[nodiscard]] RelayDecision Judge(std::uint32_t peer, std::string_view recipient) const;
};

// Reads the CIDR lines of `path` into `networks`: one network a line, "#" or ";" comments and
// blank lines skipped. A line that is no network is skipped, with a line to `log` naming it. A
// missing file adds nothing (loopback only); an unreadable one is logged.
void ReadRelayNetworks(const std::filesystem::path& path, std::vector<Ipv4Network>& networks,
                       const std::function<void(const std::string&)>& log);

// The policy of a configuration: AllowRelay, the file RelayNetworksFileName names (mapped
// onto the data root), the local domains.
[[nodiscard]] RelayPolicy RelayPolicyFrom(const CGatewayConfig& config,
                                          const std::function<void(const std::string&)>& log);

}  // namespace tarnhold
