// Prints how long the gateway takes to load and save a large tarnhold.dat (500 rules, 200 local
// users with 5 addresses each, 100 local domains), and to copy the loaded configuration: the
// cost of a reload into a fresh object and of a thread's private copy.
#include <chrono>
#include <cstdio>
#include <string>

#include "gateway/gateway_config.h"
#include "platform/temp_files.h"

using namespace tarnhold;
using Clock = std::chrono::steady_clock;

namespace {

double MillisecondsSince(Clock::time_point start, int rounds) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count() / rounds;
}

CGatewayConfig LargeConfig(const std::filesystem::path& root) {
  CGatewayConfig c(root);
  for (int d = 0; d < 100; ++d) c.local_domains.push_back("domain" + std::to_string(d) + ".test");
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

}  // namespace

int main() {
  TempDir dir;
  if (!dir.Create(std::filesystem::temp_directory_path(), "thbench.")) return 1;
  std::string error;
  if (!LargeConfig(dir.Path()).Save(error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  std::printf("tarnhold.dat: %ju bytes\n",
              static_cast<std::uintmax_t>(std::filesystem::file_size(dir.Path() / "tarnhold.dat")));

  constexpr int kRounds = 20;
  CGatewayConfig loaded(dir.Path());
  auto start = Clock::now();
  for (int i = 0; i < kRounds; ++i)
    loaded = [&] {
      CGatewayConfig fresh(dir.Path());
      fresh.Load();
      return fresh;
    }();
  std::printf("load (folders included): %.2f ms\n", MillisecondsSince(start, kRounds));

  start = Clock::now();
  for (int i = 0; i < kRounds; ++i) {
    if (!loaded.Save(error)) return 1;
  }
  std::printf("save: %.2f ms\n", MillisecondsSince(start, kRounds));

  std::size_t total = 0;
  start = Clock::now();
  for (int i = 0; i < kRounds * 10; ++i) {
    CGatewayConfig copy = loaded;
    total += copy.rules.size();
  }
  std::printf("copy: %.3f ms (%zu rules)\n", MillisecondsSince(start, kRounds * 10),
              total / (kRounds * 10));
  return 0;
}
