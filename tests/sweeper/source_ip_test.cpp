#include "sweeper/source_ip.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "sweeper/temp_cleanup.h"
#include "tests/support/temp_root.h"

namespace tarnhold {
namespace {

using namespace std::chrono_literals;
using test::TempRoot;
using Lines = std::vector<std::string>;

struct IpRead {
  Lines lines;
  LineSink log = [this](std::string_view l) { lines.emplace_back(l); };
};

TEST(SourceIp, PresentAndMissing) {
  TempRoot root;
  IpRead r;
  EXPECT_EQ(ReadSourceIp(root.Write("stat/4", "192.0.2.9"), r.log), "192.0.2.9");
  EXPECT_EQ(r.lines, (Lines{"reading source IP info", "source IP is 192.0.2.9"}));
  IpRead m;
  EXPECT_EQ(ReadSourceIp(root / "stat/5", m.log), "");
  EXPECT_EQ(m.lines, (Lines{"reading source IP info", "IP info not present"}));
}

TEST(SourceIp, OversizedFileIsCut) {
  TempRoot root;
  IpRead r;
  std::string ip = ReadSourceIp(root.Write("stat/1", std::string(100000, '1')), r.log);
  EXPECT_EQ(ip.size(), kMaxSourceIpBytes);
}

TEST(SourceIp, UnreadableFileGivesUpAfterTenRetries) {
  if (::geteuid() == 0) {
    // root reads any file; a folder in the stat file's place stands in for the broken file.
    TempRoot root;
    std::filesystem::create_directories(root / "stat/6");
    IpRead r;
    EXPECT_EQ(ReadSourceIp(root / "stat/6", r.log, 1ms), "");
    EXPECT_EQ(r.lines,
              (Lines{"reading source IP info", "non-file exception, aborting read operation"}));
    return;
  }
  TempRoot root;
  auto stat = root.Write("stat/6", "10.0.0.1");
  ::chmod(stat.c_str(), 0);
  IpRead r;
  EXPECT_EQ(ReadSourceIp(stat, r.log, 1ms), "");
  ASSERT_EQ(r.lines.size(), 12u);
  EXPECT_EQ(r.lines[1], "file access error while reading IP info, retrying ...");
  EXPECT_EQ(r.lines.back(), "retried 10 times already, aborting IP info read operation");
}

TEST(TempLeftovers, OldFoldersGoRecentAndLooseFilesStay) {
  TempRoot root;
  root.Write("temp/tmpOLD/0/a.txt", "x");
  root.Write("temp/tmpOLD/1/deep/b.txt", "y");
  root.Write("temp/tmpNEW/0/c.txt", "z");
  root.Write("temp/loose.tmp", "keep");
  auto old_time = std::filesystem::file_time_type::clock::now() - std::chrono::hours(1);
  std::filesystem::last_write_time(root / "temp/tmpOLD", old_time);
  RemoveTempLeftovers(root / "temp");
  EXPECT_FALSE(std::filesystem::exists(root / "temp/tmpOLD"));
  EXPECT_TRUE(std::filesystem::exists(root / "temp/tmpNEW/0/c.txt"));
  EXPECT_TRUE(std::filesystem::exists(root / "temp/loose.tmp"));
  RemoveTempLeftovers(root / "temp", 0s);
  EXPECT_FALSE(std::filesystem::exists(root / "temp/tmpNEW"));
  RemoveTempLeftovers(root / "missing");
}

}  // namespace
}  // namespace tarnhold
