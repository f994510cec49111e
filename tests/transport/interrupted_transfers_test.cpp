#include "transport/interrupted_transfers.h"

#include <gtest/gtest.h>

#include "gateway/queue_item.h"
#include "platform/locked_file.h"
#include "platform/spool_folder.h"
#include "tests/support/temp_root.h"

namespace tarnhold {
namespace {

namespace fs = std::filesystem;
using test::TempRoot;

// Writes processing item `n` with a proper header and `text`.
void WriteItem(const TempRoot& root, std::uint32_t n, std::string_view text) {
  LockedFile file;
  std::string error;
  ASSERT_EQ(file.CreateLocked(root / "queproc" / std::to_string(n), error), CreateResult::Created);
  ASSERT_EQ(WriteQueueItemHeader(file, "to@y.example", "from@x.example", 0, 0, 1), 0);
  ASSERT_TRUE(file.WriteAll(text.data(), text.size()));
}

TEST(InterruptedTransfers, OnlyItemsWithoutTheFinalLineGo) {
  struct Case {
    std::string text;
    bool kept;
  } cases[] = {
      {".\r\n", true},
      {"Subject: x\r\n\r\nbody\r\n.\r\n", true},
      {"Subject: x\r\n\r\nbody\r\n", false},
      {"Subject: x\r\n\r\nbody\r\n..\r\n", false},  // a stuffed dot is not the end
      {"Subject: x\r\n\r\nbody.\r\n", false},       // a dot that ends a line is not the end
      {"Subject: x\r\n\r\nbody\r\n.", false},
      {"", false},
      {"\n.\r\n", false},
  };
  TempRoot root;
  fs::create_directories(root / "queproc");
  fs::create_directories(root / "stat");
  std::uint32_t n = 0;
  for (const Case& c : cases) {
    WriteItem(root, ++n, c.text);
    root.Write("stat/" + std::to_string(n), "127.0.0.1");
  }
  root.Write("queproc/" + std::to_string(++n), "");  // died before its header was written

  RemoveInterruptedTransfers(root / "queproc", root / "stat");
  n = 0;
  for (const Case& c : cases) {
    ++n;
    SCOPED_TRACE(c.text);
    EXPECT_EQ(fs::exists(root / "queproc" / std::to_string(n)), c.kept);
    EXPECT_EQ(fs::exists(root / "stat" / std::to_string(n)), c.kept);
  }
  EXPECT_FALSE(fs::exists(root / "queproc" / std::to_string(n + 1)));
}

TEST(InterruptedTransfers, HeldItemsAndCompleteItemsWithBrokenHeadersStay) {
  TempRoot root;
  fs::create_directories(root / "queproc");
  WriteItem(root, 1, "unfinished");
  LockedFile held;
  std::string error;
  ASSERT_EQ(held.OpenLocked(root / "queproc/1", Access::ReadWrite, error), LockResult::Locked);
  root.Write("queproc/2", "no header at all\r\n.\r\n");
  EXPECT_TRUE(RemoveInterruptedTransfers(root / "queproc", root / "stat").empty());
  EXPECT_EQ(ListItemNumbers(root / "queproc"), (std::vector<std::uint32_t>{1, 2}));
  held.Close();
  EXPECT_EQ(RemoveInterruptedTransfers(root / "queproc", root / "stat"),
            (std::vector<std::uint32_t>{1}));
}

}  // namespace
}  // namespace tarnhold
