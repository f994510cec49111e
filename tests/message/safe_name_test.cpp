#include "message/safe_name.h"

#include <gtest/gtest.h>

namespace tarnhold {
namespace {

TEST(SafeName, AttachmentNames) {
  struct Case {
    std::string name;
    std::string want;
  } cases[] = {
      {"report.pdf", "report.pdf"},
      {"../../etc/passwd", "passwd"},
      {"c:\\windows\\evil.exe", "evil.exe"},
      {"..", kGeneratedFileName},
      {"...", kGeneratedFileName},
      {"dir/", kGeneratedFileName},
      {".bashrc", "bashrc"},
      {std::string("a\x01\x7f\tb\nc.txt"), "abc.txt"},
      {"", kGeneratedFileName},
      {std::string(300, 'n') + ".pdf", std::string(196, 'n') + ".pdf"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(SafeFileName(c.name), c.want);
  }
}

TEST(SafeName, MemberPaths) {
  struct Case {
    const char* stored;
    std::optional<std::filesystem::path> want;
  } cases[] = {
      {"a.txt", "a.txt"},
      {"sub/b.txt", "sub/b.txt"},
      {"sub\\b.txt", "sub/b.txt"},
      {"./x//.y", "x/y"},
      {"../x", std::nullopt},
      {"a/../../x", std::nullopt},
      {"/etc/passwd", std::nullopt},
      {"\\x", std::nullopt},
      {"c:x", std::nullopt},
      {"..../x", std::filesystem::path(kGeneratedFileName) / "x"},
      {"", std::filesystem::path()},
      {"./", std::filesystem::path()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stored);
    EXPECT_EQ(SafeMemberPath(c.stored), c.want);
  }
  EXPECT_EQ(NumberedName("d/a.txt", 2), std::filesystem::path("d/a_2.txt"));
  EXPECT_EQ(NumberedName("d/a", 1), std::filesystem::path("d/a_1"));
}

}  // namespace
}  // namespace tarnhold
