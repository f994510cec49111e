// Spool data manager figures: items created, written (1 KB) and closed per second through
// CServerSettings with 1 and 8 threads, and the time to pick the next send item and to find a
// free number in a folder of 10,000 items. Runs in a temporary folder (TMPDIR, or the folder
// given as the first argument, to measure a particular file system).
#include <sys/vfs.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "gateway/server_settings.h"
#include "platform/spool_folder.h"
#include "platform/temp_files.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using tarnhold::CServerSettings;
using tarnhold::Flush;
using tarnhold::OnClose;
using tarnhold::SpoolItem;

namespace {

constexpr int kItemsPerRun = 4000;
constexpr int kQueueSize = 10000;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

// Creates, writes and closes `items` items spread over `threads` threads.
double ItemsPerSecond(const fs::path& parent, int threads, OnClose on_close, Flush flush,
                      int items = kItemsPerRun) {
  tarnhold::TempDir root;
  if (!root.Create(parent, "spool-bench.")) return 0;
  fs::create_directories(root.Path() / "queproc");
  CServerSettings settings(root.Path());
  const std::string data(1024, 'x');
  const int each = items / threads;
  auto start = Clock::now();
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&] {
      for (int i = 0; i < each; ++i) {
        SpoolItem item = settings.NewProcessingItem();
        if (!item.IsOpen()) continue;
        (void)settings.WriteHeader(item, "recipient@example.org", "sender@example.com", 0, 0);
        settings.WriteData(item, data.data(), data.size());
        if (flush == Flush::Yes) (void)settings.FlushToDisk(item);
        settings.CloseItem(item, on_close);
      }
    });
  }
  for (auto& w : workers) w.join();
  return each * threads / Seconds(start);
}

void FillSendQueue(CServerSettings& settings, const fs::path& que, std::uint32_t attempts) {
  const auto now = static_cast<std::uint32_t>(std::time(nullptr));
  for (int n = 1; n <= kQueueSize; ++n) {
    SpoolItem item;
    std::string error;
    if (item.File().CreateLocked(que / std::to_string(n), error) != tarnhold::CreateResult::Created)
      continue;
    (void)tarnhold::WriteQueueItemHeader(item.File(), "r@example.org", "s@example.com", attempts, 0,
                                         now);
    settings.CloseItem(item);
  }
}

template <typename F>
double MillisPerCall(int calls, F&& f) {
  auto start = Clock::now();
  for (int i = 0; i < calls; ++i) f();
  return Seconds(start) * 1000.0 / calls;
}

const char* FileSystemName(const fs::path& p) {
  struct statfs st{};
  if (statfs(p.c_str(), &st) != 0) return "unknown";
  switch (static_cast<unsigned long>(st.f_type)) {
    case 0x01021994UL: return "tmpfs";
    case 0xEF53UL: return "ext4";
    case 0x9123683EUL: return "btrfs";
    case 0x58465342UL: return "xfs";
    case 0x794C7630UL: return "overlayfs";
    default: return "other";
  }
}

}  // namespace

int main(int argc, char** argv) {
  fs::path parent = argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path();
  std::printf("spool_bench in %s (%s)\n", parent.c_str(), FileSystemName(parent));

  std::printf("\nitems created, written (1 KB header + text) and closed, %d per run:\n", kItemsPerRun);
  for (int threads : {1, 8}) {
    std::printf("  %d thread%s, items kept (folder grows):     %9.0f items/s\n", threads,
                threads == 1 ? " " : "s", ItemsPerSecond(parent, threads, OnClose::Keep, Flush::No));
    std::printf("  %d thread%s, items deleted on close:        %9.0f items/s\n", threads,
                threads == 1 ? " " : "s", ItemsPerSecond(parent, threads, OnClose::Delete, Flush::No));
    std::printf("  %d thread%s, flushed to disk, items kept:   %9.0f items/s\n", threads,
                threads == 1 ? " " : "s", ItemsPerSecond(parent, threads, OnClose::Keep, Flush::Yes));
  }

  std::printf("\nitems created and kept until the folder holds %d:\n", kQueueSize);
  for (int threads : {1, 8}) {
    std::printf("  %d thread%s:                                %9.0f items/s\n", threads,
                threads == 1 ? " " : "s",
                ItemsPerSecond(parent, threads, OnClose::Keep, Flush::No, kQueueSize));
  }

  tarnhold::TempDir root;
  if (!root.Create(parent, "spool-bench.")) return 1;
  const fs::path que = root.Path() / "que";
  fs::create_directories(que);
  CServerSettings settings(root.Path());
  settings.SetLimits(250, 25, 5, 300);

  std::printf("\nsend queue of %d items:\n", kQueueSize);
  FillSendQueue(settings, que, 0);
  double due_ms = MillisPerCall(50, [&] {
    SpoolItem item = settings.NextSendItem();
    settings.CloseItem(item);
  });
  std::printf("  next send item, first item due:           %9.3f ms\n", due_ms);
  fs::remove_all(que);
  fs::create_directories(que);
  FillSendQueue(settings, que, 1);  // just retried: none is due
  double none_ms = MillisPerCall(5, [&] { (void)settings.NextSendItem(); });
  std::printf("  next send item, none due (opens all):     %9.3f ms\n", none_ms);

  double free_ms = MillisPerCall(50, [&] { (void)tarnhold::FindFreeNumber(que); });
  std::printf("  FindFreeNumber, numbers 1..%d taken:   %9.3f ms\n", kQueueSize, free_ms);
  fs::remove(que / "5000");
  double gap_ms = MillisPerCall(50, [&] { (void)tarnhold::FindFreeNumber(que); });
  std::printf("  FindFreeNumber, gap at 5000:              %9.3f ms\n", gap_ms);
  double largest_ms = MillisPerCall(50, [&] { (void)tarnhold::LargestItemNumber(que); });
  std::printf("  LargestItemNumber (next-number scan):     %9.3f ms\n", largest_ms);
  return 0;
}
