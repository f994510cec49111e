// Queue manager and monitor figures on a folder of 100,000 items: the time to list every row
// and to sort them by their Date text (the logic classes, as the window's thread uses them),
// the time until `thqueue --list` prints its first row and its last, and the cost of one
// monitor check. Runs in a temporary folder (TMPDIR, or the folder given as the first
// argument); the items are written once and reused by every figure.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "monitor/queue_check.h"
#include "platform/item_header.h"
#include "platform/temp_files.h"
#include "queues/queue_listing.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kItems = 100000;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

// A queue item of about 2 KB with its header values.
std::string Item(int n) {
  std::string text =
      "Received: from client.test by gate.test; Mon, 7 Dec 2026 10:00:00 +0000\r\n"
      "Date: " +
      std::string(n % 2 ? "Mon" : "Tue") + ", " + std::to_string(1 + n % 28) +
      " Dec 2026 10:" + std::to_string(10 + n % 50) +
      ":00 +0000\r\n"
      "From: Sender " +
      std::to_string(n) + " <s" + std::to_string(n) +
      "@far.test>\r\n"
      "To: rcpt@local.test\r\nSubject: offer number " +
      std::to_string(n) +
      "\r\n"
      "Message-ID: <" +
      std::to_string(n) + "@far.test>\r\n\r\n";
  for (int i = 0; i < 24; ++i)
    text += "A line of body text that makes the item a little larger.\r\n";
  text += ".\r\n";
  return tarnhold::EncodeItemHeader({1700000000, 0, 0, "rcpt@local.test", "s@far.test.xx"}) + text;
}

void Fill(const fs::path& folder) {
  fs::create_directories(folder);
  for (int n = 1; n <= kItems; ++n) {
    std::string bytes = Item(n);
    int fd = ::open((folder / std::to_string(n)).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
      std::perror("writing items");
    }
    if (fd >= 0) ::close(fd);
  }
}

void ListAndSort(const fs::path& folder) {
  auto start = Clock::now();
  double first = -1;
  std::vector<tarnhold::queues::QueueRow> rows;
  tarnhold::queues::ListFolder(folder, {}, [&](tarnhold::queues::QueueRow&& row) {
    if (first < 0) first = Seconds(start);
    rows.push_back(std::move(row));
  });
  double listed = Seconds(start);
  auto sort_start = Clock::now();
  std::stable_sort(rows.begin(), rows.end(),
                   [](const auto& a, const auto& b) { return a.date < b.date; });
  double sorted = Seconds(sort_start);
  std::printf(
      "list %d items (logic): first row %.1f ms, all rows %.2f s (%.0f rows/s), "
      "sort by Date %.1f ms\n",
      static_cast<int>(rows.size()), first * 1000, listed, rows.size() / listed, sorted * 1000);
}

void CommandLineList(const fs::path& root, const char* self) {
  fs::path thqueue = fs::path(self).parent_path() / "thqueue";
  std::string cmd = thqueue.string() + " --root '" + root.string() + "' --list quaran/junk";
  auto start = Clock::now();
  FILE* out = ::popen(cmd.c_str(), "r");
  if (!out) return;
  char line[4096];
  double first = -1;
  long lines = 0;
  while (std::fgets(line, sizeof line, out)) {
    if (first < 0) first = Seconds(start);
    ++lines;
  }
  ::pclose(out);
  std::printf("thqueue --list: first row after %.1f ms, %ld rows in %.2f s\n", first * 1000, lines,
              Seconds(start));
}

void MonitorCheck(const fs::path& root) {
  tarnhold::monitor::MonitorSettings s;
  s.check_pending = s.check_off_peak = s.check_send = 1;
  tarnhold::monitor::AlertStates states;
  tarnhold::monitor::CheckSeams seams;
  seams.send_alert = [](const auto&, const std::string&, int&) {
    return tarnhold::monitor::AlertMail::Sent;
  };
  constexpr int kRuns = 5;
  auto start = Clock::now();
  std::size_t counted = 0;
  for (int i = 0; i < kRuns; ++i) {
    counted = tarnhold::monitor::RunCheck(s, root, states, seams, "bench").pending;
  }
  std::printf("thmon check with %zu items in queproc, que and offpeak each: %.1f ms\n", counted,
              Seconds(start) * 1000 / kRuns);
}

}  // namespace

int main(int argc, char** argv) {
  std::error_code ec;
  fs::path parent = argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path(ec);
  tarnhold::TempDir root;
  if (!root.Create(parent, "queue-bench.")) {
    std::perror("making the bench folder");
    return 1;
  }
  auto fill_start = Clock::now();
  Fill(root.Path() / "quaran/junk");
  std::printf("wrote %d items in %.1f s\n", kItems, Seconds(fill_start));
  ListAndSort(root.Path() / "quaran/junk");
  CommandLineList(root.Path(), argv[0]);
  for (const char* f : {"queproc", "que", "offpeak"}) {
    fs::create_directories(root.Path() / f);
    for (int n = 1; n <= kItems; ++n) {
      int fd = ::open((root.Path() / f / std::to_string(n)).c_str(), O_WRONLY | O_CREAT, 0644);
      if (fd >= 0) ::close(fd);
    }
  }
  MonitorCheck(root.Path());
  return 0;
}
