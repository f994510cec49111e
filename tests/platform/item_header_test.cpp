#include "platform/item_header.h"

#include <gtest/gtest.h>

#include "tests/support/temp_root.h"

namespace tarnhold {
namespace {

using test::TempRoot;

ItemHeaderRead ReadBack(const std::filesystem::path& path, ItemHeaderFields& fields) {
  LockedFile file;
  std::string error;
  EXPECT_EQ(file.OpenLocked(path, Access::ReadOnly, error), LockResult::Locked) << error;
  return ReadItemHeader(file, {255, 255, OnFault::Stop}, fields);
}

TEST(ItemHeader, WhatIsEncodedReadsBackAndEndsWhereTheTextBegins) {
  const ItemHeaderFields cases[] = {
      {1700000000, 3, 2, "bob@local.test", "eve@far.test"},
      {0, 0, 0, "", ""},
      {0xffffffff, 0x01020304, 1, std::string(254, 'r'), "<>"},
  };
  for (const ItemHeaderFields& want : cases) {
    SCOPED_TRACE(want.recipient);
    TempRoot root;
    const auto path = root.Write("que/1", EncodeItemHeader(want) + "Subject: x\r\n");
    ItemHeaderFields got;
    LockedFile file;
    std::string error;
    ASSERT_EQ(file.OpenLocked(path, Access::ReadOnly, error), LockResult::Locked) << error;
    ASSERT_TRUE(ReadItemHeader(file, {255, 255, OnFault::Stop}, got).Ok());
    EXPECT_EQ(got.stamp, want.stamp);
    EXPECT_EQ(got.attempts, want.attempts);
    EXPECT_EQ(got.return_kind, want.return_kind);
    EXPECT_EQ(got.recipient, want.recipient);
    EXPECT_EQ(got.sender, want.sender);
    char rest[12] = {};
    EXPECT_EQ(file.Read(rest, sizeof rest), 12);
    EXPECT_EQ(std::string(rest, 12), "Subject: x\r\n");
  }
}

// An item cut anywhere inside its header is a fault, never a header read whole.
TEST(ItemHeader, EveryCutInsideTheHeaderIsAFault) {
  const std::string whole = EncodeItemHeader({1, 2, 3, "a@b.test", "c@d.test"});
  TempRoot root;
  for (std::size_t size = 0; size < whole.size(); ++size) {
    SCOPED_TRACE(size);
    ItemHeaderFields got;
    EXPECT_FALSE(ReadBack(root.Write("que/1", whole.substr(0, size)), got).Ok());
  }
}

}  // namespace
}  // namespace tarnhold
