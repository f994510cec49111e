#include "platform/spool_folder.h"

#include <gtest/gtest.h>

#include "platform/locked_file.h"
#include "tests/support/temp_root.h"

namespace tarnhold {
namespace {

using test::TempRoot;

TEST(SpoolFolder, ItemNumbers) {
  struct Case {
    const char* name;
    std::optional<std::uint32_t> want;
  } cases[] = {{"1", 1}, {"42", 42}, {"0", std::nullopt}, {"007", std::nullopt},
               {"", std::nullopt}, {"12a", std::nullopt}, {".new.123", std::nullopt},
               {"-3", std::nullopt}, {"1234567890", std::nullopt}, {"999999999", 999999999}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ItemNumber(c.name), c.want);
  }
}

TEST(SpoolFolder, ListingIsNumericAndSkipsOthers) {
  TempRoot root;
  for (const char* n : {"10", "9", "100", "abc", "05"}) root.Write(std::string("que/") + n, "x");
  std::filesystem::create_directories(root / "que/7");
  EXPECT_EQ(ListItemNumbers(root / "que"), (std::vector<std::uint32_t>{9, 10, 100}));
  EXPECT_EQ(LargestItemNumber(root / "que"), 100u);
  EXPECT_EQ(LargestItemNumber(root / "missing"), 0u);
  EXPECT_TRUE(ListItemNumbers(root / "missing").empty());
  EXPECT_EQ(CountFiles(root / "que"), 5u);
}

TEST(SpoolFolder, FirstFreeNumber) {
  TempRoot root;
  EXPECT_EQ(FindFreeNumber(root / "missing"), 1u);
  std::filesystem::create_directories(root / "q");
  EXPECT_EQ(FindFreeNumber(root / "q"), 1u);
  root.Write("q/1", "");
  root.Write("q/2", "");
  root.Write("q/4", "");
  EXPECT_EQ(FindFreeNumber(root / "q"), 3u);
  std::filesystem::create_directories(root / "q/3");  // a folder also takes the name
  EXPECT_EQ(FindFreeNumber(root / "q"), 5u);
}

TEST(SpoolFolder, FreeNumberFromAStart) {
  TempRoot root;
  for (const char* n : {"1", "2", "3", "6"}) root.Write(std::string("q/") + n, "");
  // A run longer than the lookups made from a hint before the folder is read.
  for (int n = 10; n <= 40; ++n) root.Write("q/" + std::to_string(n), "");
  struct Case {
    std::uint32_t start;
    std::uint32_t want;
  } cases[] = {{0, 4}, {1, 4}, {4, 4}, {5, 5}, {6, 7}, {30001, 30001}, {10, 41}, {3, 4}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.start);
    EXPECT_EQ(FindFreeNumber(root / "q", c.start), c.want);
  }
  std::string err;
  auto item = root.Write("in/1", "x");
  EXPECT_EQ(MoveToFreeNumber(item, root / "q", err, 100, 6), std::optional<std::uint32_t>(7));
  EXPECT_EQ(CopyIntoFolder(root / "q/7", root / "q", err, 100, 2), std::optional<std::uint32_t>(4));
}

TEST(SpoolFolder, MovesNeverOverwrite) {
  TempRoot root;
  auto a = root.Write("a", "A");
  auto b = root.Write("b", "B");
  std::string err;
  EXPECT_EQ(MoveNoReplace(a, b, err), MoveResult::TargetExists);
  EXPECT_EQ(TempRoot::Read(b), "B");
  EXPECT_EQ(MoveNoReplace(a, root / "c", err), MoveResult::Moved);
  EXPECT_EQ(TempRoot::Read(root / "c"), "A");
}

TEST(SpoolFolder, UnheldMoveAndDeleteRespectTheHolder) {
  TempRoot root;
  auto item = root.Write("que/1", "x");
  std::filesystem::create_directories(root / "offpeak");
  LockedFile holder;
  std::string err;
  ASSERT_EQ(holder.OpenLocked(item, Access::ReadWrite, err), LockResult::Locked);
  EXPECT_EQ(MoveUnheldItem(item, root / "offpeak/1", err), MoveResult::Busy);
  EXPECT_EQ(DeleteUnheldItem(item, err), DeleteResult::Busy);
  holder.Close();
  EXPECT_EQ(MoveToFreeNumber(item, root / "offpeak", err), std::optional<std::uint32_t>(1));
  EXPECT_EQ(DeleteUnheldItem(root / "offpeak/1", err), DeleteResult::Deleted);
  EXPECT_EQ(DeleteUnheldItem(root / "offpeak/1", err), DeleteResult::Missing);
}

TEST(SpoolFolder, CopyIntoFolderTakesFreeNumber) {
  TempRoot root;
  auto src = root.Write("queproc/5", "message");
  root.Write("other/1", "taken");
  std::string err;
  auto n = CopyIntoFolder(src, root / "other", err);
  ASSERT_TRUE(n) << err;
  EXPECT_EQ(*n, 2u);
  EXPECT_EQ(TempRoot::Read(root / "other/2"), "message");
  EXPECT_EQ(CountFiles(root / "other"), 2u);
}

}  // namespace
}  // namespace tarnhold
