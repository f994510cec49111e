#include "gateway/list_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/temp_root.h"

namespace tarnhold {
namespace {

using test::TempRoot;
using Entries = std::vector<std::string>;

TEST(ListFile, CommentsAreSkippedAndEmptyLinesAreEntries) {
  struct Case {
    const char* text;
    Entries want;
  } cases[] = {
      {"; servers\n127.0.0.2\n\n", {"127.0.0.2", ""}},
      {"a\r\nb\r\n", {"a", "b"}},
      {"last line without break", {"last line without break"}},
      {" ;not a comment\nx;y\n", {" ;not a comment", "x;y"}},
      {"  padded  \n", {"  padded  "}},
      {";only a comment", {}},
      {"\n\n", {"", ""}},
      {"", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ParseListText(c.text), c.want);
  }
}

TEST(ListFile, EntriesAreCut) {
  Entries got = ParseListText(std::string(1000, 'h') + "\nnext\n");
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].size(), kMaxListEntryLength);
  EXPECT_EQ(got[1], "next");
}

TEST(ListFile, FileIsReadUpToItsBoundInWholeLines) {
  TempRoot root;
  std::string line(99, 'x');
  std::string text;
  while (text.size() <= kMaxListFileBytes) text += line + "\n";
  Entries entries{"old"};
  EXPECT_EQ(ReadListFile(root.Write("big.txt", text), entries), ListFileResult::Truncated);
  EXPECT_EQ(entries.size(), kMaxListFileBytes / 100);
  for (const std::string& e : entries) ASSERT_EQ(e, line);

  EXPECT_EQ(ReadListFile(root.Write("small.txt", "a\n;c\nb"), entries), ListFileResult::Read);
  EXPECT_EQ(entries, (Entries{"a", "b"}));
  EXPECT_EQ(ReadListFile(root / "missing.txt", entries), ListFileResult::Unreadable);
  EXPECT_TRUE(entries.empty());
}

}  // namespace
}  // namespace tarnhold
