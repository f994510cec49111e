#include "gateway/activity_log.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "tests/support/temp_root.h"

namespace tarnhold {
namespace {

using test::TempRoot;
namespace fs = std::filesystem;

std::tm Day(int mday, int mon, int year, int hour = 12, int min = 0, int sec = 0) {
  std::tm tm{};
  tm.tm_mday = mday;
  tm.tm_mon = mon - 1;
  tm.tm_year = year - 1900;
  tm.tm_hour = hour;
  tm.tm_min = min;
  tm.tm_sec = sec;
  tm.tm_isdst = -1;
  return tm;
}

std::time_t LocalSeconds(std::tm tm) { return std::mktime(&tm); }

// Logs installed for one test and removed after it.
struct Installed {
  explicit Installed(const ActivityLogs& logs) { InstallActivityLogs(logs); }
  ~Installed() { InstallActivityLogs({}); }
};

TEST(DatedLogFileName, DateGoesBeforeTheFirstDotOfTheName) {
  struct Case {
    const char* path;
    const char* want;
  };
  const Case cases[] = {
      {"/srv/logs/SMTPIn_.log", "/srv/logs/SMTPIn_06122026.log"},
      {"/srv/data.root/logs/Sweep_.log", "/srv/data.root/logs/Sweep_06122026.log"},
      {"/srv/logs/POP3_.log.old", "/srv/logs/POP3_06122026.log.old"},
      {"/srv/v1.2/logs/plain", "/srv/v1.2/logs/plain06122026"},
      {"relative.log", "relative06122026.log"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(DatedLogFileName(c.path, Day(6, 12, 2026)), fs::path(c.want));
  }
}

TEST(CUH_Control, StampedLineIsTimeBlankText) {
  CUH_Control log("t");
  EXPECT_EQ(log.Stamp("hello", Day(1, 2, 2026, 14, 5, 9)), "14:05:09 hello");
  EXPECT_EQ(log.SetTimeStampFormat(""), 1);
  EXPECT_EQ(log.SetTimeStampFormat("[%H]"), 0);
  EXPECT_EQ(log.Stamp("x", Day(1, 2, 2026, 14, 5, 9)), "[14] x");
  // A stamp that does not fit its buffer (text length + 25) is left empty.
  EXPECT_EQ(log.SetTimeStampFormat(std::string(40, 'Y')), 0);
  EXPECT_EQ(log.Stamp("x", Day(1, 2, 2026)), " x");
}

TEST(CUH_Control, SweeperLinesCarryTheMarker) {
  CUH_Control sweep(kSweepLogName);
  sweep.Attach(10, 80);
  Installed installed({.sweep = &sweep});
  SweepLogLine("reading source IP info");
  auto lines = sweep.Lines();
  ASSERT_EQ(lines.size(), 1u);
  const std::string& l = lines[0].text;
  std::size_t blank = l.find(' ');
  ASSERT_NE(blank, std::string::npos);
  EXPECT_EQ(l.substr(blank), " > reading source IP info");
}

TEST(CUH_Control, EntryPointsWithoutLogsDoNothing) {
  InstallActivityLogs({});
  Pop3LogLine("a");
  SmtpInLogLine("b");
  SweepLogLine("c");
  SmtpOutLogLine("d");
  BandwidthLogLine("e");
  SUCCEED();
}

TEST(CUH_Control, FileGetsOneEntryPerLineAndANewFileEachDay) {
  TempRoot root;
  fs::create_directories(root / "logs");
  CUH_Control log(kSmtpInLogName);
  std::time_t now = LocalSeconds(Day(6, 12, 2026, 23, 59, 58));
  log.SetClock([&] { return now; });
  ASSERT_EQ(log.SetFileName((root / "logs/SMTPIn_.log").string()), 0);
  log.SetDatedFileName(true);
  log.SetFileOutput(true);
  Installed installed({.smtp_in = &log});
  SmtpInLogLine("first");
  SmtpInLogLine("second");
  now += 3;  // past midnight
  SmtpInLogLine("next day");
  EXPECT_EQ(TempRoot::Read(root / "logs/SMTPIn_06122026.log"),
            "\n23:59:58 first\n23:59:58 second");
  EXPECT_EQ(TempRoot::Read(root / "logs/SMTPIn_07122026.log"), "\n00:00:01 next day");
}

// The file stays open between entries; one the administrator removed (or rotated away) is
// made again under its name within a second; what came in meanwhile went on into the moved file.
TEST(CUH_Control, RemovedFileIsMadeAgain) {
  TempRoot root;
  CUH_Control log(kSmtpInLogName);
  const fs::path file = root / "SMTPIn_.log";
  ASSERT_EQ(log.SetFileName(file.string()), 0);
  log.SetFileOutput(true);
  log.AddLine("before", true);
  EXPECT_EQ(TempRoot::Read(file), "\nbefore");
  fs::rename(file, root / "SMTPIn_.log.1");
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!fs::exists(file) && std::chrono::steady_clock::now() < deadline) {
    log.AddLine("later", true);
    std::this_thread::yield();
  }
  ASSERT_TRUE(fs::exists(file));
  EXPECT_EQ(TempRoot::Read(file), "\nlater");
  EXPECT_EQ(TempRoot::Read(root / "SMTPIn_.log.1").rfind("\nbefore\nlater", 0), 0u);
}

TEST(CUH_Control, NoFileWithoutFileOutputOrToFileFlag) {
  TempRoot root;
  CUH_Control log(kSmtpInLogName);
  log.Attach(10, 80);
  ASSERT_EQ(log.SetFileName((root / "SMTPIn_.log").string()), 0);
  log.AddStampedLine("shown only", true);  // file output is off (LogSMTPIn=0)
  log.SetFileOutput(true);
  log.AddLine("window only", false);
  EXPECT_TRUE(fs::is_empty(root.Path()));
  EXPECT_EQ(log.LineCount(), 2u);
}

TEST(CUH_Control, FileNameLimits) {
  CUH_Control log;
  EXPECT_EQ(log.SetFileName(""), 1);
  EXPECT_EQ(log.SetFileName(std::string(256, 'a')), 1);
  EXPECT_EQ(log.SetFileName(std::string(255, 'a')), 0);
  log.SetDatedFileName(false);
  EXPECT_EQ(log.FileNameFor(Day(1, 1, 2026)), fs::path(std::string(255, 'a')));
  EXPECT_EQ(log.SetFileName(std::string(300, 'b')), 1);
  EXPECT_EQ(log.FileNameFor(Day(1, 1, 2026)), fs::path(std::string(255, 'a')));
}

TEST(CUH_Control, UnwritableFileLosesOnlyTheFileEntry) {
  CUH_Control log;
  log.Attach(5, 40);
  ASSERT_EQ(log.SetFileName("/nonexistent-folder/x.log"), 0);
  log.SetFileOutput(true);
  log.AddLine("still shown", true);
  EXPECT_EQ(log.LineCount(), 1u);
}

TEST(CUH_Control, BandwidthLogWritesItsFileOnly) {
  TempRoot root;
  CUH_Control bandwidth(kBandwidthLogName);
  ASSERT_EQ(bandwidth.SetFileName((root / "Bandwidth_.log").string()), 0);
  bandwidth.SetFileOutput(true);
  Installed installed({.bandwidth = &bandwidth});
  std::string record = BandwidthRecord("Mon, 7 Dec 2026", "<ABC@X>", "s@y", "r@z", 1234);
  EXPECT_EQ(record, "\tMon, 7 Dec 2026\t<abc@x>\ts@y\tr@z\t1234");
  BandwidthLogLine(record);
  EXPECT_EQ(bandwidth.LineCount(), 0u);
  std::string file = TempRoot::Read(root / "Bandwidth_.log");
  EXPECT_EQ(file.substr(0, 1), "\n");
  EXPECT_TRUE(file.ends_with(" " + record)) << file;
}

TEST(CUH_Control, SinkSeesEveryLineWithTheLogName) {
  CUH_Control log(kSmtpOutLogName);
  std::vector<std::string> seen;
  log.SetLineSink([&](std::string_view name, std::string_view line) {
    seen.push_back(std::string(name) + ": " + std::string(line));
  });
  log.AddLine("one", false);
  log.AddLine("two", true);
  EXPECT_EQ(seen, (std::vector<std::string>{"SMTP Agent: one", "SMTP Agent: two"}));
  EXPECT_EQ(log.LineCount(), 0u);  // no view attached
}

// A block of lines (an item's sweeper lines) reaches the block sink in one call and the file
// and the view as the same entries it would make line by line; without a block sink the
// line sink sees each line.
TEST(CUH_Control, BlockOfLinesIsOneCallWithTheSameEntries) {
  TempRoot root;
  CUH_Control log(kSweepLogName);
  log.Attach(10, 80);
  log.SetClock([] { return LocalSeconds(Day(7, 12, 2026, 10, 11, 12)); });
  ASSERT_EQ(log.SetFileName((root / "Sweep_.log").string()), 0);
  log.SetFileOutput(true);
  std::vector<std::string> lines;
  log.SetLineSink([&](std::string_view, std::string_view line) { lines.emplace_back(line); });
  log.AddStampedLines({"a", "b"}, true);
  std::vector<std::vector<std::string>> blocks;
  log.SetBlockSink([&](std::string_view, const std::vector<std::string>& block) {
    blocks.push_back(block);
  });
  log.AddStampedLines({"c", "d"}, true);
  EXPECT_EQ(lines, (std::vector<std::string>{"10:11:12 a", "10:11:12 b"}));
  EXPECT_EQ(blocks, (std::vector<std::vector<std::string>>{{"10:11:12 c", "10:11:12 d"}}));
  EXPECT_EQ(TempRoot::Read(root / "Sweep_.log"),
            "\n10:11:12 a\n10:11:12 b\n10:11:12 c\n10:11:12 d");
  EXPECT_EQ(log.LineCount(), 4u);
}

TEST(CUH_Control, LineLimitDropsTheOldest) {
  CUH_Control log;
  log.Attach(10, 80);
  log.SetLineLimit(kDefaultLineLimit);
  for (int i = 1; i <= 2049; ++i) log.AddLine("line " + std::to_string(i), false);
  auto lines = log.Lines();
  ASSERT_EQ(lines.size(), 2048u);
  EXPECT_EQ(lines.front().text, "line 2");
  EXPECT_EQ(lines.back().text, "line 2049");
  // The view follows the newest line.
  auto visible = log.VisibleLines();
  ASSERT_EQ(visible.size(), 10u);
  EXPECT_EQ(visible.back().text, "line 2049");
}

TEST(CUH_Control, LimitIsAtLeastWhatFitsAndZeroEmpties) {
  CUH_Control log;
  log.Attach(30, 80);
  log.SetLineLimit(5);
  EXPECT_EQ(log.LineLimit(), 30);
  for (int i = 0; i < 40; ++i) log.AddLine("x", false);
  EXPECT_EQ(log.LineCount(), 30u);
  log.SetLineLimit(0);
  EXPECT_EQ(log.LineCount(), 0u);
  log.AddLine("x", false);
  EXPECT_EQ(log.LineCount(), 0u);
}

TEST(CUH_Control, ScrolledUpViewStaysWhereTheOperatorPutIt) {
  CUH_Control log;
  log.Attach(3, 10);
  for (int i = 1; i <= 5; ++i) log.AddLine(std::to_string(i), false);
  EXPECT_EQ(log.Scroll().vertical_max, 2);
  EXPECT_EQ(log.Scroll().vertical_pos, 2);
  EXPECT_TRUE(log.ScrollVertical(ScrollAction::LineUp));
  EXPECT_TRUE(log.ScrollVertical(ScrollAction::LineUp));
  EXPECT_FALSE(log.ScrollVertical(ScrollAction::LineUp));  // already at the top
  log.AddLine("6", false);
  // Distance from the bottom is kept: the view still starts two lines above the newest page.
  EXPECT_EQ(log.Scroll().vertical_max, 3);
  EXPECT_EQ(log.Scroll().vertical_pos, 1);
  auto visible = log.VisibleLines();
  ASSERT_EQ(visible.size(), 3u);
  EXPECT_EQ(visible[0].text, "2");
  EXPECT_TRUE(log.ScrollVertical(ScrollAction::PageDown));
  EXPECT_EQ(log.Scroll().vertical_pos, 3);
  EXPECT_TRUE(log.ScrollVertical(ScrollAction::ThumbTrack, 0));
  EXPECT_FALSE(log.ScrollVertical(ScrollAction::ThumbPosition, -5));
  EXPECT_EQ(log.Scroll().vertical_pos, 0);
}

// A painter reads lines and scroll state together while a writer keeps adding: every read
// sees a history that matches its scroll range.
TEST(CUH_Control, HistoryIsReadConsistentlyUnderTheLock) {
  CUH_Control log;
  log.Attach(3, 10);
  std::jthread writer([&] {
    for (int i = 0; i < 2000; ++i) log.AddStampedLine("line", false);
  });
  for (int i = 0; i < 200; ++i) {
    log.ReadHistory([](const std::deque<LogLine>& lines, const ScrollState& scroll) {
      const int over = static_cast<int>(lines.size()) - 3;
      EXPECT_EQ(scroll.vertical_max, over > 0 ? over : 0);
    });
  }
}

TEST(CUH_Control, LongestLineAndHorizontalRange) {
  CUH_Control log;
  log.Attach(2, 10);
  log.SetLineLimit(2);
  log.AddLine(std::string(30, 'a'), false);
  log.AddLine("b", false);
  EXPECT_EQ(log.LongestLineLength(), 30u);
  EXPECT_EQ(log.Scroll().horizontal_max, 21);
  EXPECT_TRUE(log.ScrollHorizontal(ScrollAction::ThumbPosition, 50));
  EXPECT_EQ(log.Scroll().horizontal_pos, 21);
  log.AddLine("cc", false);  // drops the longest line
  EXPECT_EQ(log.LongestLineLength(), 2u);
  EXPECT_EQ(log.Scroll().horizontal_max, 0);
  EXPECT_EQ(log.Scroll().horizontal_pos, 0);
  log.Clear();
  EXPECT_EQ(log.LineCount(), 0u);
  EXPECT_EQ(log.LongestLineLength(), 0u);
}

// The longest length is kept while any line of that length stays, whatever order lines of
// several lengths come and go in.
TEST(CUH_Control, LongestLineFollowsLinesOfEqualLength) {
  struct Case {
    std::vector<int> lengths;  // added in this order, three kept
    std::size_t want;
  };
  const Case cases[] = {
      {{5, 5, 1, 1}, 5},        // one of two longest dropped
      {{5, 5, 1, 1, 1}, 1},     // both dropped
      {{5, 3, 5, 3, 3}, 5},     // the later one of that length stays
      {{0, 0, 0, 0}, 0},        // only empty lines
      {{9, 2, 2, 2, 7, 7}, 7},  // the next longest found again
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.lengths));
    CUH_Control log;
    log.Attach(1, 1);
    log.SetLineLimit(3);
    for (int n : c.lengths) log.AddLine(std::string(n, 'x'), false);
    EXPECT_EQ(log.LongestLineLength(), c.want);
  }
}

TEST(CUH_Control, ConcurrentEntriesNeverInterleave) {
  TempRoot root;
  CUH_Control log;
  log.Attach(10, 80);
  ASSERT_EQ(log.SetFileName((root / "x.log").string()), 0);
  log.SetFileOutput(true);
  constexpr int kThreads = 4, kEach = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&log, t] {
      std::string text(100, static_cast<char>('a' + t));
      for (int i = 0; i < kEach; ++i) log.AddStampedLine(text, true);
    });
  }
  for (auto& th : threads) th.join();
  std::string file = TempRoot::Read(root / "x.log");
  std::size_t lines = 0;
  for (std::size_t at = 0; (at = file.find('\n', at)) != std::string::npos; ++at, ++lines) {
    std::size_t end = file.find('\n', at + 1);
    std::string line = file.substr(at + 1, end == std::string::npos ? end : end - at - 1);
    std::string text = line.substr(line.find(' ') + 1);
    ASSERT_EQ(text, std::string(100, text[0])) << line;
  }
  EXPECT_EQ(lines, std::size_t{kThreads * kEach});
  // The window holds the same last lines as the file, in the same order.
  EXPECT_EQ(log.Lines().back().text, file.substr(file.rfind('\n') + 1));
}

}  // namespace
}  // namespace tarnhold
