#include "sweeper/compression.h"

#include <gtest/gtest.h>
#include <zip.h>

#include <cmath>

#include "tests/support/temp_root.h"

namespace tarnhold {
namespace {

using test::TempRoot;
using Lines = std::vector<std::string>;

struct Compress {
  TempRoot root;
  Lines lines;
  LineSink log = [this](std::string_view l) { lines.emplace_back(l); };
  std::filesystem::path archive = root / "attachments.zip";

  bool Run(const std::vector<std::filesystem::path>& files, int threshold) {
    lines.clear();
    return CompressAttachments(files, archive, threshold, log);
  }
};

std::vector<std::string> Entries(const std::filesystem::path& archive) {
  std::vector<std::string> names;
  int error = 0;
  zip_t* zip = zip_open(archive.c_str(), ZIP_RDONLY, &error);
  if (!zip) return names;
  for (zip_int64_t i = 0; i < zip_get_num_entries(zip, 0); ++i)
    names.push_back(zip_get_name(zip, i, 0));
  zip_close(zip);
  return names;
}

TEST(Compression, RatioDecidesAndShowsItsIntegerPart) {
  Compress c;
  std::string text;
  for (int i = 0; i < 2000; ++i)
    text += "line " + std::to_string(i * 7919 % 1000) + " of the report\n";
  auto a = c.root.Write("temp/t/0/report.txt", text);
  auto html = c.root.Write("temp/t/1/th_HTML_body.htm", std::string(100000, 'h'));
  ASSERT_TRUE(c.Run({a, html}, 100));
  EXPECT_EQ(Entries(c.archive), (std::vector<std::string>{"report.txt"}));
  double ratio = static_cast<double>(std::filesystem::file_size(c.archive)) /
                 static_cast<double>(text.size()) * 100.0;
  int pct = static_cast<int>(ratio);
  ASSERT_LT(pct, 99);
  EXPECT_EQ(c.lines,
            (Lines{"compressing report.txt", "zip compression successful, compressed size is " +
                                                 std::to_string(pct) + "% of the original"}));
  // A threshold equal to the integer part lies below the ratio (unless it is whole).
  if (ratio > pct) {
    EXPECT_FALSE(c.Run({a, html}, pct));
    EXPECT_EQ(c.lines.back(), "aborting compression, new size " + std::to_string(pct) +
                                  "% of the original not satisfactory");
  }
  EXPECT_TRUE(c.Run({a, html}, pct + 1));
}

TEST(Compression, DuplicateNamesAbort) {
  Compress c;
  auto a = c.root.Write("temp/t/0/Notes.txt", "one");
  auto b = c.root.Write("temp/t/1/notes.TXT", "two");
  EXPECT_FALSE(c.Run({a, b}, 100));
  EXPECT_EQ(c.lines, (Lines{"compressing Notes.txt", "compressing notes.TXT",
                            "aborting compression, duplicate filename found notes.TXT",
                            "zip error: operation aborted"}));
}

TEST(Compression, NothingToCompress) {
  Compress c;
  auto html = c.root.Write("temp/t/0/th_HTML_body.htm", "<html>");
  EXPECT_FALSE(c.Run({html}, 100));
  EXPECT_EQ(c.lines, (Lines{"aborting compression, nothing to compress"}));
  EXPECT_FALSE(c.Run({}, 100));
}

TEST(Compression, VanishedFileFails) {
  Compress c;
  auto a = c.root.Write("temp/t/0/a.txt", "present");
  EXPECT_FALSE(c.Run({a, c.root / "temp/t/1/gone.txt"}, 100));
  EXPECT_EQ(c.lines, (Lines{"compressing a.txt", "compressing gone.txt",
                            "ZIP add file error (aborting compression), failed to add gone.txt",
                            "zip error: operation aborted"}));
}

TEST(Compression, TotalSizeLeavesOutTheHtmlBody) {
  TempRoot root;
  auto a = root.Write("temp/t/0/a.bin", std::string(300, 'a'));
  auto html = root.Write("temp/t/1/th_HTML_body.htm", std::string(50, 'h'));
  EXPECT_EQ(TotalAttachmentSize({a, html, root / "missing"}), 300);
}

}  // namespace
}  // namespace tarnhold
