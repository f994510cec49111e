#include "transport/relay_guard.h"

#include <arpa/inet.h>

#include <charconv>
#include <system_error>

#include "gateway/address_lists.h"
#include "gateway/gateway_config.h"
#include "gateway/list_file.h"
#include "message/mail_address.h"

namespace tarnhold {
namespace {

constexpr std::uint32_t kLoopbackNetwork = 0x7f000000;  // 127.0.0.0/8
constexpr std::uint32_t kLoopbackMask = 0xff000000;

std::string_view Trim(std::string_view text) {
  const std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

}  // namespace

std::optional<Ipv4Network> ParseIpv4Network(std::string_view text) {
  text = Trim(text);
  std::string_view host = text.substr(0, text.find('/'));
  int prefix = 32;
  if (host.size() < text.size()) {
    std::string_view length = text.substr(host.size() + 1);
    auto [end, ec] = std::from_chars(length.data(), length.data() + length.size(), prefix);
    if (ec != std::errc() || end != length.data() + length.size() || length.empty() ||
        prefix < 0 || prefix > 32) {
      return std::nullopt;
    }
  }
  // inet_pton takes exactly four decimal parts: no octal, hex or short forms.
  in_addr parsed{};
  if (host.size() > 15 || ::inet_pton(AF_INET, std::string(host).c_str(), &parsed) != 1) {
    return std::nullopt;
  }
  const std::uint32_t mask = prefix == 0 ? 0 : ~std::uint32_t{0} << (32 - prefix);
  return Ipv4Network{ntohl(parsed.s_addr) & mask, mask};
}

RelayDecision RelayPolicy::Judge(std::uint32_t peer, std::string_view recipient) const {
  if (lists::IsLocalDomain(local_domains, DomainOf(recipient)) != 0) return RelayDecision::Local;
  if (allow_relay || (peer & kLoopbackMask) == kLoopbackNetwork) return RelayDecision::Relayed;
  for (const Ipv4Network& network : networks) {
    if (network.Contains(peer)) return RelayDecision::Relayed;
  }
  return RelayDecision::Denied;
}

void ReadRelayNetworks(const std::filesystem::path& path, std::vector<Ipv4Network>& networks,
                       const std::function<void(const std::string&)>& log) {
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) return;
  std::vector<std::string> lines;
  if (ReadListFile(path, lines) == ListFileResult::Unreadable) {
    log("cannot read the relay networks file " + path.string() + "; loopback only may relay");
    return;
  }
  for (const std::string& line : lines) {
    std::string_view entry = Trim(line);
    if (entry.empty() || entry.front() == '#' || entry.front() == ';') continue;
    if (auto network = ParseIpv4Network(entry)) {
      networks.push_back(*network);
    } else {
      log("relay networks file " + path.string() + ": skipped the line '" + std::string(entry) +
          "', not a network");
    }
  }
}

RelayPolicy RelayPolicyFrom(const CGatewayConfig& config,
                            const std::function<void(const std::string&)>& log) {
  RelayPolicy policy;
  policy.allow_relay = config.AllowRelay == 1;
  policy.local_domains = config.local_domains;
  if (!policy.allow_relay && !config.RelayNetworksFileName.empty()) {
    ReadRelayNetworks(config.MapPath(config.RelayNetworksFileName), policy.networks, log);
  }
  return policy;
}

}  // namespace tarnhold
