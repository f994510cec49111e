// What the configuration benchmarks share: a large configuration of 500 rules and 200 local
// users with 5 mailbox addresses each, and the mean time of a round.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>

#include "gateway/gateway_config.h"

namespace tarnhold::bench {

using Clock = std::chrono::steady_clock;

inline double MillisecondsSince(Clock::time_point start, int rounds) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count() / rounds;
}

// 500 rules, 200 local users with 5 addresses each, and `domains` local domains.
inline CGatewayConfig LargeConfig(const std::filesystem::path& root, int domains) {
  CGatewayConfig c(root);
  for (int d = 0; d < domains; ++d)
    c.local_domains.push_back("domain" + std::to_string(d) + ".test");
  for (int r = 0; r < 500; ++r) {
    CRuleRecord rule;
    rule.Enabled = 1;
    rule.Comment = "rule number " + std::to_string(r);
    rule.BlockKeywords = "alpha,beta,gamma,delta";
    rule.QuarantineArea = "area" + std::to_string(r % 20);
    c.rules.push_back(rule);
  }
  for (int u = 0; u < 200; ++u) {
    CPopAccountRecord user;
    user.Active = 1;
    user.Account = "user" + std::to_string(u);
    user.Password = "pw";
    c.local_users.push_back(user);
    for (int a = 0; a < 5; ++a)
      c.mailbox_pairs.push_back({user.Account, user.Account + "." + std::to_string(a)});
  }
  return c;
}

}  // namespace tarnhold::bench
