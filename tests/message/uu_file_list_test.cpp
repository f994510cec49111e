#include "message/uu_file_list.h"

#include <gtest/gtest.h>

#include "tests/support/temp_root.h"

namespace tarnhold {
namespace {

using test::TempRoot;

TEST(UuFileList, WritesOneBlockPerFileInOrder) {
  TempRoot root;
  auto a = root.Write("in/a.txt", "Cat");
  auto b = root.Write("in/sub/b.bin", "");
  CUuFileList list;
  EXPECT_EQ(list.AddFile(a), 0);
  EXPECT_EQ(list.AddFile(root / "in/missing"), -1);
  EXPECT_EQ(list.AddFile(b), 0);
  EXPECT_EQ(list.Count(), 2u);
  std::filesystem::remove(b);  // vanished after adding: skipped
  list.AddFile(a);
  ASSERT_EQ(list.WriteAll(root / "out"), 0);
  EXPECT_EQ(TempRoot::Read(root / "out"),
            "begin 660 a.txt\r\n#0V%T\r\nend\r\nbegin 660 a.txt\r\n#0V%T\r\nend\r\n");
  EXPECT_EQ(list.GlobalHeaderCount(), 0);
  EXPECT_EQ(list.GlobalHeader(0), "");
}

TEST(UuFileList, Failures) {
  TempRoot root;
  CUuFileList list;
  EXPECT_EQ(list.WriteAll(root / "out"), -1);
  list.AddFile(root.Write("a", std::string(100000, 'x')));
  EXPECT_EQ(list.WriteAll(root / "no/such/folder/out"), -2);
  if (std::filesystem::exists("/dev/full")) {
    EXPECT_EQ(list.WriteAll("/dev/full"), -3);
  }
  list.Clear();
  EXPECT_EQ(list.Count(), 0u);
}

}  // namespace
}  // namespace tarnhold
