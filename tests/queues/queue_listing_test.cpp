#include "queues/queue_listing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "platform/locked_file.h"
#include "tests/queues/queue_test_util.h"

namespace tarnhold::queues {
namespace {

std::vector<QueueRow> ListAll(const std::filesystem::path& folder) {
  std::vector<QueueRow> rows;
  EXPECT_EQ(ListFolder(folder, {}, [&](QueueRow&& r) { rows.push_back(std::move(r)); }),
            ListingEnd::Finished);
  std::sort(rows.begin(), rows.end(),
            [](const QueueRow& a, const QueueRow& b) { return a.number < b.number; });
  return rows;
}

TEST(QueueListing, RowsHoldTheHeaderValuesAndLeaveOutWhatCannotBeShown) {
  TempRoot root;
  auto folder = root / "quaran/junk";
  WriteItem(folder, "1",
            ItemBytes("bob@local.test", "eve@far.test",
                      MessageText("Bob <Bob@Local.test>", "Eve <EVE@far.test>", "Cheap Pills")));
  WriteItem(folder, "2",
            ItemBytes("bob@local.test", "eve@far.test",
                      MessageText("", "eve@far.test", "no to")));  // To empty
  WriteItem(folder, "3", "\x01\x02");                              // no item
  auto held = WriteItem(
      folder, "4", ItemBytes("a@b.test", "c@d.test", MessageText("a@b.test", "c@d.test", "held")));
  // Folded header, bare LF lines: the value is unfolded.
  WriteItem(folder, "5",
            ItemBytes("x@y.test", "", "To: first@y.test,\n\tsecond@y.test\nSubject: s\n\nbody\n"));
  std::filesystem::create_directories(folder / "6");
  WriteItem(folder, ".copy.x7Yz",
            ItemBytes("a@b.test", "c@d.test", MessageText("a@b.test", "c@d.test", "half a copy")));
  LockedFile holder;
  std::string error;
  ASSERT_EQ(holder.OpenLocked(held, Access::ReadWrite, error), LockResult::Locked);

  auto rows = ListAll(folder);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].number, "1");
  EXPECT_EQ(rows[0].date, "Mon, 7 Dec 2026 10:00:00 +0000");
  EXPECT_EQ(rows[0].to, "bob <bob@local.test>");
  EXPECT_EQ(rows[0].from, "eve <eve@far.test>");
  EXPECT_EQ(rows[0].subject, "cheap pills");
  EXPECT_EQ(rows[0].message_id, "<id-cheap pills@test>");
  EXPECT_EQ(rows[0].sender, "eve@far.test");
  EXPECT_EQ(rows[1].number, "5");
  EXPECT_EQ(rows[1].to, "first@y.test, second@y.test");
}

TEST(QueueListing, AbortStopsBeforeTheNextFile) {
  TempRoot root;
  auto folder = root / "que";
  for (int i = 1; i <= 50; ++i) {
    WriteItem(folder, std::to_string(i),
              ItemBytes("a@b.test", "c@d.test", MessageText("a@b.test", "c@d.test", "s")));
  }
  int rows = 0;
  auto end = ListFolder(
      folder, [&] { return rows == 3; }, [&](QueueRow&&) { ++rows; });
  EXPECT_EQ(end, ListingEnd::Aborted);
  EXPECT_EQ(rows, 3);

  // The lister: a second Start stops the first listing, and Abort always returns.
  FolderLister lister;
  std::atomic<int> streamed{0};
  std::atomic<int> ends{0};
  for (int i = 0; i < 3; ++i) {
    lister.Start(
        folder, [&](QueueRow&&) { ++streamed; }, [&](ListingEnd) { ++ends; });
  }
  ASSERT_TRUE(lister.WaitIdle(10000));
  EXPECT_EQ(ends.load(), 3);
  EXPECT_FALSE(lister.Abort());
  EXPECT_FALSE(lister.Running());
}

}  // namespace
}  // namespace tarnhold::queues
