#include "platform/spare_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "platform/locked_file.h"
#include "platform/spool_folder.h"
#include "tests/support/temp_root.h"

namespace tarnhold {
namespace {

using test::TempRoot;
namespace fs = std::filesystem;

ino_t Inode(const fs::path& path) {
  struct stat st{};
  return ::lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

struct Pool {
  TempRoot root;
  fs::path spare = root / "spare";
  Pool() { EXPECT_TRUE(EnableSpareFiles(spare)); }
  ~Pool() { DisableSpareFiles(spare); }
};

// A removed item comes back as the next new item: the same inode, emptied, locked at once,
// and under its new name only.
TEST(SpareFiles, ARemovedFileBecomesTheNextNewFile) {
  Pool pool;
  const fs::path old_item = pool.root.Write("que/7", std::string(100000, 'x'));
  const ino_t inode = Inode(old_item);
  ASSERT_TRUE(RemoveToSpare(old_item, pool.spare));
  EXPECT_FALSE(fs::exists(old_item));
  EXPECT_EQ(CountFiles(pool.spare), 1u);

  fs::create_directories(pool.root / "queproc");
  const fs::path item = pool.root / "queproc/1";
  LockedFile created;
  std::string error;
  ASSERT_EQ(created.CreateLocked(item, error, pool.spare), CreateResult::Created) << error;
  EXPECT_EQ(Inode(item), inode);
  EXPECT_EQ(fs::file_size(item), 0u);
  EXPECT_EQ(CountFiles(pool.spare), 0u);
  LockedFile other;
  EXPECT_EQ(other.OpenLocked(item, Access::ReadOnly, error), LockResult::Busy);
  ASSERT_TRUE(created.WriteAll("new", 3));
  created.Close();
  EXPECT_EQ(TempRoot::Read(item), "new");

  // A name that is taken is never replaced; the pool file stays for the next creation.
  ASSERT_TRUE(RemoveToSpare(pool.root.Write("que/8", "y"), pool.spare));
  EXPECT_EQ(created.CreateLocked(item, error, pool.spare), CreateResult::Exists);
  EXPECT_EQ(TempRoot::Read(item), "new");
  EXPECT_EQ(CountFiles(pool.spare), 1u);
}

// The pool is bounded, holds only emptied plain files, and without a pool (another process,
// or after it ended) files are removed and made as always.
TEST(SpareFiles, BoundedPlainFilesOnlyAndNothingWithoutAPool) {
  Pool pool;
  for (int n = 0; n < kSpareFilesKept + 5; ++n) {
    ASSERT_TRUE(RemoveToSpare(pool.root.Write("que/" + std::to_string(n), "data"), pool.spare));
  }
  EXPECT_EQ(CountFiles(pool.spare), static_cast<std::size_t>(kSpareFilesKept));
  EXPECT_EQ(CountFiles(pool.root / "que"), 0u);
  for (const auto& entry : fs::directory_iterator(pool.spare)) {
    EXPECT_EQ(fs::file_size(entry.path()), 0u) << entry.path();
  }

  // A link in the spool is removed, and the file it points to is never touched.
  DisableSpareFiles(pool.spare);
  ASSERT_TRUE(EnableSpareFiles(pool.spare));
  EXPECT_EQ(CountFiles(pool.spare), 0u);  // leftovers of the earlier pool are gone
  const fs::path target = pool.root.Write("elsewhere/keep", "precious");
  fs::create_symlink(target, pool.root / "que/link");
  ASSERT_TRUE(RemoveToSpare(pool.root / "que/link", pool.spare));
  EXPECT_EQ(TempRoot::Read(target), "precious");
  EXPECT_EQ(CountFiles(pool.spare), 0u);

  DisableSpareFiles(pool.spare);
  const fs::path file = pool.root.Write("que/9", "z");
  ASSERT_TRUE(RemoveToSpare(file, pool.spare));
  EXPECT_FALSE(fs::exists(file));
  EXPECT_EQ(CountFiles(pool.spare), 0u);
  fs::path taken;
  EXPECT_FALSE(TakeSpare(pool.spare, taken).Valid());
}

// A pool on another file system than the spool (a folder mounted apart) is never a reason to
// refuse an item: the spare file is dropped and the item made in place.
TEST(SpareFiles, APoolOnAnotherFileSystemFallsBackToANewFile) {
  std::error_code ec;
  if (!fs::is_directory("/dev/shm", ec)) GTEST_SKIP() << "no /dev/shm";
  TempRoot root;
  const fs::path spare = fs::path("/dev/shm") / ("th_spare_test." + std::to_string(::getpid()));
  ASSERT_TRUE(EnableSpareFiles(spare));
  {
    std::ofstream(spare / "x") << "y";
  }
  ASSERT_TRUE(RemoveToSpare(spare / "x", spare));  // same file system: kept
  ASSERT_EQ(CountFiles(spare), 1u);
  fs::create_directories(root / "queproc");
  LockedFile item;
  std::string error;
  EXPECT_EQ(item.CreateLocked(root / "queproc/1", error, spare), CreateResult::Created) << error;
  EXPECT_TRUE(fs::exists(root / "queproc/1"));
  EXPECT_EQ(CountFiles(spare), 0u);
  DisableSpareFiles(spare);
  fs::remove_all(spare, ec);
}

}  // namespace
}  // namespace tarnhold
