#include "platform/locked_file.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/spool_folder.h"
#include "tests/support/temp_root.h"

namespace tarnhold {
namespace {

using test::TempRoot;

TEST(LockedFile, SecondOpenIsBusy) {
  TempRoot root;
  auto p = root.Write("que/1", "hello");
  LockedFile a, b;
  std::string err;
  ASSERT_EQ(a.OpenLocked(p, Access::ReadWrite, err), LockResult::Locked);
  EXPECT_EQ(b.OpenLocked(p, Access::ReadWrite, err), LockResult::Busy);
  a.Close();
  EXPECT_EQ(b.OpenLocked(p, Access::ReadWrite, err), LockResult::Locked);
}

TEST(LockedFile, MissingFileFails) {
  TempRoot root;
  LockedFile a;
  std::string err;
  EXPECT_EQ(a.OpenLocked(root / "nope", Access::ReadOnly, err), LockResult::Failed);
  EXPECT_NE(err.find("nope"), std::string::npos);
}

TEST(LockedFile, CreateNeverOverwritesAndIsLockedAtOnce) {
  TempRoot root;
  auto p = root.Write("queproc/1", "old");
  LockedFile a;
  std::string err;
  EXPECT_EQ(a.CreateLocked(p, err), CreateResult::Exists);
  EXPECT_EQ(TempRoot::Read(p), "old");

  auto q = root / "queproc/2";
  ASSERT_EQ(a.CreateLocked(q, err), CreateResult::Created) << err;
  LockedFile b;
  EXPECT_EQ(b.OpenLocked(q, Access::ReadOnly, err), LockResult::Busy);
  ASSERT_TRUE(a.WriteAll("abc", 3));
  ASSERT_TRUE(a.Sync());
  a.Close();
  EXPECT_EQ(TempRoot::Read(q), "abc");
  // No hidden helper files are left behind.
  EXPECT_EQ(CountFiles(root / "queproc"), 2u);
}

// A second process that polls for new names must never lock an item before its creator:
// every item it manages to lock must already hold the creator's full content.
TEST(LockedFile, OtherProcessNeverLocksBeforeCreator) {
  TempRoot root;
  auto folder = root / "queproc";
  std::filesystem::create_directories(folder);
  constexpr int kItems = 300;
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int bad = 0, seen = 0;
    for (int round = 0; round < 200000 && seen < kItems; ++round) {
      for (std::uint32_t n : ListItemNumbers(folder)) {
        LockedFile f;
        std::string err;
        if (f.OpenLocked(folder / std::to_string(n), Access::ReadWrite, err) != LockResult::Locked)
          continue;
        char buf[16] = {};
        if (f.Read(buf, sizeof buf) != 8) ++bad;
        std::filesystem::remove(folder / std::to_string(n));
        ++seen;
      }
    }
    ::_exit(bad == 0 ? 0 : 1);
  }
  for (int i = 1; i <= kItems; ++i) {
    LockedFile f;
    std::string err;
    ASSERT_EQ(f.CreateLocked(folder / std::to_string(i), err), CreateResult::Created) << err;
    std::this_thread::yield();
    ASSERT_TRUE(f.WriteAll("complete", 8));
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// Many callers syncing one folder at once share fsyncs and each learns the true outcome: all
// succeed on a folder that exists, all fail on one that does not.
TEST(SyncFolder, ConcurrentCallersShareSyncsAndEachGetsTheOutcome) {
  TempRoot root;
  std::filesystem::create_directories(root / "queproc");
  std::atomic<int> good{0}, bad{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (int n = 0; n < 50; ++n) {
        if (SyncFolder(root / "queproc")) ++good;
        if (!SyncFolder(root / "missing")) ++bad;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(good.load(), 400);
  EXPECT_EQ(bad.load(), 400);
}

}  // namespace
}  // namespace tarnhold
