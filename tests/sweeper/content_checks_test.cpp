#include "sweeper/content_checks.h"

#include <gtest/gtest.h>

#include "tests/support/temp_root.h"

namespace tarnhold {
namespace {

using test::TempRoot;
using Paths = std::vector<std::filesystem::path>;

TEST(CommaList, Elements) {
  struct Case {
    const char* list;
    std::vector<std::string> want;
  } cases[] = {
      {"exe,com", {"exe", "com"}},       {"exe,com,", {"exe", "com", ""}},
      {"exe,,com", {"exe", "", "com"}},  {"", {""}},
      {" exe , com", {" exe ", " com"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.list);
    EXPECT_EQ(SplitCommaList(c.list), c.want);
  }
}

TEST(MatchFileTypes, EndsOfPaths) {
  Paths files = {"/r/temp/t/0/Setup.EXE", "/r/temp/t/1/readme.txt"};
  struct Case {
    const char* list;
    Paths files;
    int want;
  } cases[] = {
      {"exe,com", files, 1},
      {"com", files, 0},
      {"TXT", files, 1},
      {"exe", {"/r/temp/t/0/notexe"}, 1},  // an element need not start with a dot
      {".exe", {"/r/temp/t/0/notexe"}, 0},
      {"com,", {"/r/temp/t/1/readme.txt"}, 1},  // the empty element fits any attachment
      {"com,", {}, 0},
      {"/r/temp/t/0/a.pdf-and-more", {"/r/temp/t/0/a.pdf"}, 0},  // longer than the path
      {"/R/TEMP/T/0/A.PDF", {"/r/temp/t/0/a.pdf"}, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.list);
    EXPECT_EQ(MatchFileTypes(c.list, c.files), c.want);
  }
}

TEST(MatchKeywordList, SubstringsIgnoringCase) {
  struct Case {
    const char* list;
    const char* text;
    int want;
  } cases[] = {
      {"free,money", "Get FREE stuff", 1},
      {"free,money", "nothing here", 0},
      {"MONEY", "easy money", 1},
      {"a,,b", "xyz", 1},
      {"", "", 1},
      {"win big", "winbig", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.list) + " in " + c.text);
    EXPECT_EQ(MatchKeywordList(c.list, c.text), c.want);
  }
}

TEST(FileContainsKeyword, ByteWiseIgnoringAsciiCase) {
  TempRoot root;
  std::string big(200000, 'x');
  big.replace(65536 - 3, 7, "SeCrEt!");  // straddles the first read piece
  auto straddling = root.Write("a.bin", big);
  auto binary = root.Write("b.bin", std::string("\x00\xffMoNeY\x00", 8));
  auto accented = root.Write("c.txt", "caf\xc3\x89");
  auto empty = root.Write("d.txt", "");
  EXPECT_TRUE(FileContainsKeyword(straddling, {"secret!"}));
  EXPECT_FALSE(FileContainsKeyword(straddling, {"secrets"}));
  EXPECT_TRUE(FileContainsKeyword(binary, {"zzz", "money"}));
  EXPECT_FALSE(FileContainsKeyword(accented, {"caf\xc3\xa9"}));  // only ASCII letters fold
  EXPECT_TRUE(FileContainsKeyword(accented, {"CAF\xc3\x89"}));
  EXPECT_TRUE(FileContainsKeyword(empty, {""}));
  EXPECT_FALSE(FileContainsKeyword(root / "missing", {""}));  // unreadable: passed over
}

TEST(ContentScan, SubjectThenBodyThenAttachments) {
  TempRoot root;
  MessageFacts m;
  m.subject = "quarterly report";
  m.body = "Please find the FIGURES attached";
  m.attachments = {root / "missing.doc", root.Write("a.txt", "the Password is swordfish")};
  struct Case {
    const char* list;
    bool subject, body, attachments;
    int want;
  } cases[] = {
      {"figures", false, true, false, 1},   {"figures", true, false, false, 0},
      {"quarterly", true, false, false, 1}, {"quarterly", false, true, true, 0},
      {"password", false, false, true, 1},  {"password", true, true, false, 0},
      {"nothing", true, true, true, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.list);
    EXPECT_EQ(ContentScan(c.list, m, c.subject, c.body, c.attachments), c.want);
  }
}

TEST(MessageHasContentType, SubstringOfLowerCasedTypes) {
  MessageFacts m;
  m.content_types = {"text/plain", "video/mpeg"};
  EXPECT_EQ(MessageHasContentType(m, "VIDEO"), 1);
  EXPECT_EQ(MessageHasContentType(m, "mpeg"), 1);
  EXPECT_EQ(MessageHasContentType(m, "text/html"), 0);
  EXPECT_EQ(MessageHasContentType(MessageFacts{}, ""), 0);
}

}  // namespace
}  // namespace tarnhold
