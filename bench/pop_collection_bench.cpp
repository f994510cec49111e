// POP3 collection figures: one collection batch over a remote mailbox, from login to the last
// item in the processing queue and its message deleted on the server, as messages per second.
// The mailbox is filled beforehand (bench/pop_collection_bench.sh does it with dovecot).
// Usage: pop_collection_bench ROOT HOST:PORT ACCOUNT PASSWORD
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>

#include "gateway/collection_state.h"
#include "gateway/gateway_config.h"
#include "platform/spool_folder.h"
#include "transport/pop_collector.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s ROOT HOST:PORT ACCOUNT PASSWORD\n", argv[0]);
    return 2;
  }
  const fs::path root = argv[1];
  for (const char* folder : {"pop", "queproc", "temp"}) fs::create_directories(root / folder);
  auto config = std::make_shared<tarnhold::CGatewayConfig>(root);
  tarnhold::CPopAccountRecord account;
  account.Host = argv[2];
  account.Account = argv[3];
  account.Password = argv[4];
  account.PrecedingText = "for";
  account.DefaultAddress = "postmaster@bench.test";
  config->pop_accounts.push_back(account);
  config->local_domains = {"bench.test"};

  tarnhold::CollectionState state;
  tarnhold::CPopCollector collector(root, [config] { return config; }, state);
  const auto start = Clock::now();
  tarnhold::PopBatchResult result = collector.RunBatch(*config);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const std::size_t queued = tarnhold::ListItemNumbers(root / "queproc").size();
  std::printf("collected %d messages (%zu items queued) in %.2f s: %.0f messages/s\n",
              result.collected, queued, seconds, seconds > 0 ? result.collected / seconds : 0.0);
  return result.collected > 0 ? 0 : 1;
}
