#include "message/item_envelope.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/locked_file.h"
#include "tests/support/temp_root.h"

namespace tarnhold {
namespace {

using test::TempRoot;

std::string Number(std::uint32_t v) {
  std::string out;
  for (int i = 0; i < 4; ++i) out += static_cast<char>((v >> (8 * i)) & 255);
  return out;
}

std::string Field(const std::string& text) { return Number(text.size() + 1) + text + '\0'; }

TEST(ItemEnvelope, ReadsFieldsAndText) {
  TempRoot root;
  auto path = root.Write(
      "1", Number(7) + Number(2) + Number(3) + Field("rcpt@x") + Field("snd@y") + "text");
  LockedFile file;
  std::string error;
  ASSERT_EQ(file.OpenLocked(path, Access::ReadWrite, error), LockResult::Locked);
  ItemEnvelope e;
  EXPECT_EQ(ReadItemEnvelope(file, e), 0);
  EXPECT_EQ(e.stamp, 7u);
  EXPECT_EQ(e.attempts, 2u);
  EXPECT_EQ(e.return_kind, 3u);
  EXPECT_EQ(e.recipient, "rcpt@x");
  EXPECT_EQ(e.sender, "snd@y");
  EXPECT_EQ(e.text_offset, 12 + 4 + 7 + 4 + 6);
}

TEST(ItemEnvelope, ProblemBits) {
  struct Case {
    const char* label;
    std::string bytes;
    int want;
  } cases[] = {
      {"empty", "", 1 | 2 | 4 | 32},
      {"stamp only", Number(1), 2 | 4 | 32},
      {"no fields", Number(1) + Number(2) + Number(3), 4 | 32},
      {"first too long",
       Number(1) + Number(2) + Number(3) + Number(300) + std::string(300, 'x') + Field("s"), 8},
      {"first cut", Number(1) + Number(2) + Number(3) + Number(10) + "abc", 16 | 32},
      {"second too long", Number(1) + Number(2) + Number(3) + Field("r") + Number(256), 64},
      {"second cut", Number(1) + Number(2) + Number(3) + Field("r") + Number(5) + "s", 128},
      {"exactly 255",
       Number(1) + Number(2) + Number(3) + Number(255) + std::string(255, 'r') + Field("s"), 0},
  };
  TempRoot root;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    auto path = root.Write("item", c.bytes);
    LockedFile file;
    std::string error;
    ASSERT_EQ(file.OpenLocked(path, Access::ReadWrite, error), LockResult::Locked);
    ItemEnvelope e;
    EXPECT_EQ(ReadItemEnvelope(file, e), c.want);
  }
}

TEST(ItemEnvelope, RewriteRecipientKeepsEverythingElse) {
  TempRoot root;
  std::string text(100000, 't');
  auto path = root.Write(
      "que/5", Number(9) + Number(4) + Number(1) + Field("old@x") + Field("sender@y") + text);
  EXPECT_EQ(RewriteItemRecipient(path, "a-much-longer-new@recipient.test"), 0);
  EXPECT_EQ(TempRoot::Read(path), Number(9) + Number(4) + Number(1) +
                                      Field("a-much-longer-new@recipient.test") +
                                      Field("sender@y") + text);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(root / "que"), {}), 1);
  EXPECT_EQ(RewriteItemRecipient(path, std::string(255, 'x')), -1);
  EXPECT_EQ(RewriteItemRecipient(root / "que/missing", "x"), -1);
  {
    LockedFile holder;
    std::string error;
    ASSERT_EQ(holder.OpenLocked(path, Access::ReadWrite, error), LockResult::Locked);
    EXPECT_EQ(RewriteItemRecipient(path, "x"), -1);
  }
  auto broken = root.Write("que/6", Number(1) + Number(2) + Number(3) + Number(999));
  EXPECT_EQ(RewriteItemRecipient(broken, "x"), 8 | 32);
  EXPECT_EQ(TempRoot::Read(broken).size(), 16u);  // untouched
}

}  // namespace
}  // namespace tarnhold
