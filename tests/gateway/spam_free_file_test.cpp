#include "gateway/spam_free_file.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "gateway/list_file.h"
#include "tests/support/temp_root.h"

namespace tarnhold {
namespace {

using test::TempRoot;

// What thqueue does to the list: one entry appended under the lock.
WriteResult AppendEntry(const std::filesystem::path& path, std::string_view entry) {
  SpamFreeLock lock;
  std::string error;
  if (lock.Open(path, error) != LockResult::Locked) return WriteResult::Failed;
  return lock.Append(entry, error);
}

TEST(SpamFreeGuard, WritesOnlyOverTheFileItLastSaw) {
  TempRoot root;
  SpamFreeGuard guard(root / "spamfree.dat");
  guard.TakeStamp();
  std::string error;
  ASSERT_EQ(guard.Write({"a@x.test"}, error), GuardedWrite::Written) << error;
  ASSERT_EQ(guard.Write({"a@x.test", "b@x.test"}, error), GuardedWrite::Written) << error;
  ASSERT_EQ(AppendEntry(root / "spamfree.dat", "c@x.test"), WriteResult::Written);
  EXPECT_EQ(guard.Write({"only"}, error), GuardedWrite::Changed);
  EXPECT_EQ(TempRoot::Read(root / "spamfree.dat"), "a@x.test\nb@x.test\nc@x.test\n");

  // A file that appeared after a stamp of "missing" is a change as well.
  SpamFreeGuard late(root / "other.dat");
  late.TakeStamp();
  root.Write("other.dat", "x\n");
  EXPECT_EQ(late.Write({"y"}, error), GuardedWrite::Changed);
}

// thqueue appends while thadmin rewrites the list again and again: whatever the interleaving,
// no appended sender is lost.
TEST(SpamFreeGuard, ConcurrentAppendsSurviveRewrites) {
  TempRoot root;
  const auto path = root / "spamfree.dat";
  constexpr int kAppends = 100;
  std::jthread appender([&] {
    for (int i = 0; i < kAppends; ++i)
      ASSERT_EQ(AppendEntry(path, "q" + std::to_string(i)), WriteResult::Written);
  });
  SpamFreeGuard guard(path);
  std::string error;
  for (int round = 0; round < 150; ++round) {
    std::vector<std::string> entries;
    guard.TakeStamp();
    (void)ReadListFile(path, entries);
    entries.push_back("admin" + std::to_string(round));
    ASSERT_NE(guard.Write(entries, error), GuardedWrite::Failed) << error;
  }
  appender.join();
  std::vector<std::string> entries;
  ASSERT_EQ(ReadListFile(path, entries), ListFileResult::Read);
  std::set<std::string> present(entries.begin(), entries.end());
  for (int i = 0; i < kAppends; ++i) EXPECT_TRUE(present.count("q" + std::to_string(i))) << i;
}

}  // namespace
}  // namespace tarnhold
