#include "transport/mx_lookup.h"

#include <algorithm>

namespace tarnhold {
namespace {

std::string_view TrimSpaces(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  return text;
}

std::string_view DomainOfAddress(std::string_view address) {
  std::size_t at = address.find('@');
  if (at != std::string_view::npos) address.remove_prefix(at + 1);
  return TrimSpaces(address);
}

bool HoldsType(const std::vector<DnsRecord>& records, std::uint16_t type) {
  return std::any_of(records.begin(), records.end(),
                     [type](const DnsRecord& r) { return r.type == type; });
}

// Targets of the canonical-name records whose owner is exactly `domain`, in answer order.
std::vector<std::string> CanonicalTargets(const std::vector<DnsRecord>& records,
                                          const std::string& domain) {
  std::vector<std::string> targets;
  for (const DnsRecord& r : records) {
    if (r.type == kDnsTypeCname && r.owner == domain) targets.push_back(r.data);
  }
  return targets;
}

}  // namespace

int CMxLookup::AddNameServer(std::string_view server) {
  name_servers_.emplace_back(server);
  return 0;
}

int CMxLookup::Lookup(std::string_view server, std::string_view address) {
  std::string domain(DomainOfAddress(address));
  exchangers_.clear();
  exchanger_cursor_ = 0;
  visited_.clear();
  depth_ = 0;
  int result = server.empty() ? 1 : ResolveFrom(domain, std::string(server));
  for (std::size_t i = 0; result != 0 && i < name_servers_.size(); ++i) {
    result = ResolveFrom(domain, name_servers_[i]);
  }
  if (add_domain_) exchangers_.push_back({domain, "", kAddDomainPreference, false});
  return result;
}

int CMxLookup::ResolveFrom(const std::string& domain, const std::string& server) {
  servers_asked_ = 0;
  return Resolve(domain, server);
}

int CMxLookup::Resolve(const std::string& domain, const std::string& server) {
  if (++servers_asked_ > kMaxServersPerLookup) return 1;
  bool answered = false;
  for (int attempt = 0; !answered && attempt < tcp_attempts_ + datagram_attempts_; ++attempt) {
    SetUseDatagram(attempt >= tcp_attempts_);
    answered = Query(server, domain, kDnsTypeAny) == 0;
  }
  if (!answered) return 1;

  // Everything needed from this answer is taken now: the walk below asks other servers
  // through the same client and replaces its records.
  std::vector<DnsRecord> records = Records();
  std::vector<std::string> referrals;
  CDnsClient::Rewind();
  std::string name, ns_address;
  while (NextNameServer(name, &ns_address) == 0) {
    std::string text = ns_address.empty() ? name : ns_address;
    if (visited_.count(text) == 0) referrals.push_back(std::move(text));
  }
  std::vector<std::string> targets = CanonicalTargets(records, domain);

  if (Authoritative() || HoldsType(records, kDnsTypeSoa)) {
    if (HoldsType(records, kDnsTypeMx)) {
      AddExchangers(records);
      return 0;
    }
    return FollowCanonicalNames(targets, server);
  }
  // A referral: the canonical names first, then the servers named by the answer.
  if (FollowCanonicalNames(targets, server) == 0) return 0;
  for (const std::string& next : referrals) {
    if (depth_ > max_depth_) return 1;
    if (!visited_.insert(next).second) continue;
    ++depth_;
    int result = Resolve(domain, next);
    --depth_;
    if (result == 0) return 0;
  }
  return 1;
}

int CMxLookup::FollowCanonicalNames(const std::vector<std::string>& targets,
                                    const std::string& server) {
  for (const std::string& target : targets) {
    if (depth_ >= max_depth_) break;
    ++depth_;
    int result = Resolve(target, server);
    --depth_;
    if (result == 0) return 0;
  }
  return 1;
}

void CMxLookup::AddExchangers(const std::vector<DnsRecord>& records) {
  for (const DnsRecord& mx : records) {
    if (mx.type != kDnsTypeMx) continue;
    bool has_address = false;
    for (const DnsRecord& a : records) {
      if (a.type == kDnsTypeA && a.owner == mx.data) {
        Insert({mx.data, a.data, mx.preference, true});
        has_address = true;
      }
    }
    if (!has_address) Insert({mx.data, "", mx.preference, false});
  }
}

void CMxLookup::Insert(Exchanger entry) {
  // After every entry of equal or lower preference, so equal preferences keep answer order.
  auto at = std::upper_bound(
      exchangers_.begin(), exchangers_.end(), entry.preference,
      [](std::uint16_t preference, const Exchanger& e) { return preference < e.preference; });
  exchangers_.insert(at, std::move(entry));
}

int CMxLookup::NextMailExchanger(std::string& name, std::string* address,
                                 std::uint16_t& preference) {
  if (exchanger_cursor_ >= exchangers_.size()) return 1;
  Exchanger& entry = exchangers_[exchanger_cursor_++];
  name = entry.host;
  preference = entry.preference;
  if (address != nullptr) {
    if (entry.address.empty() && !entry.resolved) {
      // A failed resolution leaves the address empty; it is not tried again.
      if (ResolveHost(entry.host, entry.address) != 0) entry.address.clear();
      entry.resolved = true;
    }
    *address = entry.address;
  }
  return 0;
}

}  // namespace tarnhold
