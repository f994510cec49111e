#include "queues/queue_actions.h"

#include <gtest/gtest.h>

#include "platform/locked_file.h"
#include "platform/spool_folder.h"
#include "queues/spam_free_append.h"
#include "tests/queues/queue_test_util.h"

namespace tarnhold::queues {
namespace {

namespace fs = std::filesystem;

struct Spool {
  TempRoot root;
  SpoolLayout layout{root.Path()};
  QueueActions actions{layout};
  fs::path junk = root / "quaran/junk";

  Spool() {
    for (auto f : SpoolLayout::kFolders) fs::create_directories(root / f);
  }
  fs::path Item(const fs::path& folder, const std::string& n) {
    return WriteItem(folder, n,
                     ItemBytes("bob@local.test", "eve@far.test",
                               MessageText("bob@local.test", "eve@far.test", n)));
  }
};

TEST(QueueActions, AllowTakesTheLowestFreeNumberOfTheSendQueue) {
  Spool s;
  s.Item(s.layout.Send(), "2");
  s.Item(s.layout.Send(), "5");
  s.Item(s.junk, "7");
  s.Item(s.junk, "8");
  auto report = s.actions.Allow(s.junk, {{"7"}, {"8"}}, false);
  ASSERT_EQ(report.items.size(), 2u);
  EXPECT_EQ(report.items[0].done, ItemDone::Moved);
  EXPECT_EQ(report.items[0].new_number, 1u);
  EXPECT_EQ(report.items[1].new_number, 3u);
  EXPECT_FALSE(report.AnyRefused());
  EXPECT_EQ(ListItemNumbers(s.layout.Send()), (std::vector<std::uint32_t>{1, 2, 3, 5}));
  EXPECT_TRUE(ListItemNumbers(s.junk).empty());
}

TEST(QueueActions, RefusalsFollowTheRulesOfEachAction) {
  // A held item: delete says access denied and stops; a move skips it and goes on.
  // A vanished item stops every action with its message.
  struct Case {
    const char* what;
    bool del;
    std::vector<std::string> chosen;  // "4" is held, "9" is missing
    std::vector<ItemDone> want;
    std::string want_text;
  } cases[] = {
      {"delete held",
       true,
       {"3", "4", "5"},
       {ItemDone::Deleted, ItemDone::Refused, ItemDone::NotReached},
       "Access denied: 4 the messages is being currently sent by Tarnhold SMTP Delivery"},
      {"move held",
       false,
       {"3", "4", "5"},
       {ItemDone::Moved, ItemDone::Refused, ItemDone::Moved},
       "Access denied: 4 the messages is being currently sent by Tarnhold SMTP Delivery"},
      {"delete missing",
       true,
       {"9", "3"},
       {ItemDone::Refused, ItemDone::NotReached},
       "The message 9 is no longer in this folder"},
      {"move missing",
       false,
       {"9", "3"},
       {ItemDone::Refused, ItemDone::NotReached},
       "The message 9 is no longer in this folder"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Spool s;
    for (const char* n : {"3", "4", "5"}) s.Item(s.junk, n);
    LockedFile holder;
    std::string error;
    ASSERT_EQ(holder.OpenLocked(s.junk / "4", Access::ReadWrite, error), LockResult::Locked);
    std::vector<ChosenItem> chosen;
    for (const auto& n : c.chosen) chosen.push_back({n});
    auto report = c.del ? s.actions.Delete(s.junk, chosen)
                        : s.actions.Move(s.junk, chosen, s.root / "quaran/virus");
    ASSERT_EQ(report.items.size(), c.want.size());
    for (std::size_t i = 0; i < c.want.size(); ++i) EXPECT_EQ(report.items[i].done, c.want[i]) << i;
    bool found = false;
    for (const auto& item : report.items) found = found || item.message == c.want_text;
    EXPECT_TRUE(found);
    EXPECT_TRUE(report.AnyRefused());
    EXPECT_TRUE(fs::exists(s.junk / "4"));  // the held item is never touched
  }
}

TEST(QueueActions, NothingChosen) {
  Spool s;
  auto report = s.actions.Delete(s.junk, {});
  EXPECT_EQ(report.message, "no items selected");
}

TEST(QueueActions, TrustAddsTheEnvelopeSenderOnceUnlessAWildcardCoversIt) {
  struct Case {
    const char* list_before;
    ChosenItem item;
    const char* list_after;
  } cases[] = {
      {"", {"1", "eve <eve@far.test>", "eve@far.test"}, "eve@far.test\n"},
      {"*@FAR.test\n", {"1", "", "eve@far.test"}, "*@FAR.test\n"},
      {"; eve@far.test\n", {"1", "", "eve@far.test"}, "; eve@far.test\neve@far.test\n"},
      {"eve@far.test", {"1", "", "eve@far.test"}, "eve@far.test\neve@far.test\n"},  // no LF
      {"a@b.test\n", {"1", "Eve <eve@far.test>", ""}, "a@b.test\neve@far.test\n"},
      {"a@b.test\n", {"1", "", "evil\n*"}, "a@b.test\n"},  // a line break is never written
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.list_before);
    Spool s;
    s.root.Write("spamfree.dat", c.list_before);
    s.Item(s.junk, "1");
    auto report = s.actions.Allow(s.junk, {c.item}, true);
    EXPECT_EQ(report.items[0].done, ItemDone::Moved);
    EXPECT_EQ(TempRoot::Read(s.root / "spamfree.dat"), c.list_after);
  }
}

TEST(SpamFreeAppend, AMissingListIsCreatedAndAnUnwritableOneFails) {
  TempRoot root;
  EXPECT_EQ(AddTrustedSender(root / "spamfree.dat", "a@b.test"), TrustResult::Added);
  EXPECT_EQ(AddTrustedSender(root / "spamfree.dat", "A@B.TEST"), TrustResult::AlreadyCovered);
  EXPECT_EQ(AddTrustedSender(root / "no/such/folder/spamfree.dat", "a@b.test"),
            TrustResult::Failed);
  EXPECT_EQ(AddTrustedSender(root / "spamfree.dat", ""), TrustResult::Refused);
}

}  // namespace
}  // namespace tarnhold::queues
