// Mail-exchanger lookup for one delivery attempt: asks a first server and then the configured
// name servers, follows referrals and canonical names to a small depth, and lists the
// exchangers by ascending preference (equal preferences in answer order), each with the
// address the answer carried or, when it carried none, the one resolved when it is taken.
// One object per delivery attempt; nothing is cached between lookups.
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "transport/dns_client.h"

namespace tarnhold {

class CMxLookup : public CDnsClient {
 public:
  // Preference of the entry for the domain itself, after every real exchanger.
  static constexpr std::uint16_t kAddDomainPreference = 65535;
  // Servers asked at most in the walk from one starting server, referrals and canonical names
  // included; a hostile answer listing hundreds of name servers cannot keep a send thread
  // busy for hours.
  static constexpr int kMaxServersPerLookup = 16;

  // Appends a server (dotted address or name) to the list asked after the first server;
  // the list is kept between lookups. Always 0.
  int AddNameServer(std::string_view server);
  void SetAddDomain(bool add_domain) { add_domain_ = add_domain; }

  // Looks up the exchangers of the domain of `address` (the text after its first "@", or the
  // whole text), asking `server` first when it is not empty, then each name server in order
  // until one succeeds. 0 found, 1 not found. With the add-domain flag the list ends with the
  // domain itself at kAddDomainPreference either way.
  int Lookup(std::string_view server, std::string_view address);

  [[nodiscard]] std::size_t Count() const { return exchangers_.size(); }
  // Moves the exchanger cursor back to the first entry.
  void Rewind() { exchanger_cursor_ = 0; }

  // The entry at the cursor: host name and preference; with `address`, its address, resolved
  // from the name now when the answer carried none (failure gives ""; the result is kept for
  // later calls). Moves the cursor; 0, or 1 at the end of the list.
  using CDnsClient::NextMailExchanger;
  int NextMailExchanger(std::string& name, std::string* address, std::uint16_t& preference);

 private:
  struct Exchanger {
    std::string host;
    std::string address;
    std::uint16_t preference = 0;
    bool resolved = false;  // the address was looked up already (it may still be empty)
  };

  // One walk from a starting server, with its own budget of servers.
  int ResolveFrom(const std::string& domain, const std::string& server);
  int Resolve(const std::string& domain, const std::string& server);
  int FollowCanonicalNames(const std::vector<std::string>& targets, const std::string& server);
  void AddExchangers(const std::vector<DnsRecord>& records);
  void Insert(Exchanger entry);

  std::vector<Exchanger> exchangers_;
  std::size_t exchanger_cursor_ = 0;
  bool add_domain_ = false;
  int tcp_attempts_ = 1;
  int datagram_attempts_ = 3;
  int max_depth_ = 3;
  int depth_ = 0;
  int servers_asked_ = 0;
  std::vector<std::string> name_servers_;
  std::set<std::string> visited_;
};

}  // namespace tarnhold
