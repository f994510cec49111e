// Prints how long the gateway takes to load and save a large tarnhold.dat (500 rules, 200 local
// users with 5 addresses each, 100 local domains), and to copy the loaded configuration: the
// cost of a reload into a fresh object and of a thread's private copy.
#include <chrono>
#include <cstdio>
#include <string>

#include "bench/large_config.h"
#include "platform/temp_files.h"

using namespace tarnhold;
using bench::Clock;
using bench::LargeConfig;
using bench::MillisecondsSince;

int main() {
  TempDir dir;
  if (!dir.Create(std::filesystem::temp_directory_path(), "thbench.")) return 1;
  std::string error;
  if (!LargeConfig(dir.Path(), 100).Save(error)) {
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
