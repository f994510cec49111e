#include "platform/bounded_read.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "tests/support/temp_root.h"

namespace tarnhold {
namespace {

using test::TempRoot;

TEST(BoundedRead, ReadsUpToTheBound) {
  TempRoot root;
  std::string text;
  auto exact = root.Write("exact", std::string(10, 'a'));
  EXPECT_EQ(ReadFileBounded(exact, 10, text), BoundedRead::Read);
  EXPECT_EQ(text, std::string(10, 'a'));
  auto longer = root.Write("longer", std::string(40000, 'b'));
  EXPECT_EQ(ReadFileBounded(longer, 20000, text), BoundedRead::Truncated);
  EXPECT_EQ(text, std::string(20000, 'b'));
  EXPECT_EQ(ReadFileBounded(root.Write("empty", ""), 10, text), BoundedRead::Read);
  EXPECT_EQ(text, "");
}

TEST(BoundedRead, OnlyRegularFilesAreRead) {
  TempRoot root;
  ASSERT_EQ(::mkfifo((root / "fifo").c_str(), 0600), 0);  // no writer: must not wait for one
  std::string text = "stale";
  EXPECT_EQ(ReadFileBounded(root / "fifo", 100, text), BoundedRead::Unreadable);
  EXPECT_EQ(text, "");
  EXPECT_EQ(ReadFileBounded(root.Path(), 100, text), BoundedRead::Unreadable);
  EXPECT_EQ(ReadFileBounded(root / "missing", 100, text), BoundedRead::Unreadable);
}

}  // namespace
}  // namespace tarnhold
