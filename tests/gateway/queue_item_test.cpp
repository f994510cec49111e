#include "gateway/queue_item.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/support/temp_root.h"

namespace tarnhold {
namespace {

using test::TempRoot;

std::string U32(std::uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[i] = static_cast<char>(v >> (8 * i));
  return s;
}

// A header built by hand: stamp, attempts, kind, L1, recipient, L2, sender.
std::string RawHeader(std::uint32_t l1, const std::string& rcpt, std::uint32_t l2,
                      const std::string& sender) {
  return U32(1000) + U32(2) + U32(3) + U32(l1) + rcpt + U32(l2) + sender;
}

LockedFile OpenItem(const std::filesystem::path& p) {
  LockedFile f;
  std::string err;
  EXPECT_EQ(f.OpenLocked(p, Access::ReadWrite, err), LockResult::Locked) << err;
  return f;
}

TEST(QueueItemHeader, WriteThenReadGivesEveryField) {
  TempRoot root;
  auto p = root.Write("que/1", "");
  LockedFile f = OpenItem(p);
  ASSERT_EQ(WriteQueueItemHeader(f, "rcpt@example.org", "from@example.com", 4, 3, 1234567), 0);
  const std::string body = "Subject: x\r\n\r\nbody\r\n.\r\n";
  ASSERT_TRUE(f.WriteAll(body.data(), body.size()));
  QueueItemHeader h;
  ASSERT_EQ(ReadQueueItemHeader(f, h), 0);
  EXPECT_EQ(h.stamp, 1234567u);
  EXPECT_EQ(h.attempts, 4u);
  EXPECT_EQ(h.return_kind, 3u);
  EXPECT_EQ(h.recipient, "rcpt@example.org");
  EXPECT_EQ(h.sender, "from@example.com");
  char text[64] = {};
  ASSERT_EQ(f.Read(text, sizeof text), static_cast<long>(body.size()));
  EXPECT_EQ(std::string(text, body.size()), body);
  // The on-disk layout: little-endian numbers, lengths counting the zero byte.
  std::string raw = TempRoot::Read(p);
  EXPECT_EQ(raw.substr(0, 16), U32(1234567) + U32(4) + U32(3) + U32(17));
  EXPECT_EQ(raw.substr(16, 17), std::string("rcpt@example.org\0", 17));
  EXPECT_EQ(raw.size(), QueueItemHeaderSize("rcpt@example.org", "from@example.com") + body.size());
}

TEST(QueueItemHeader, UpdateRewritesOnlyStampAttemptsAndKind) {
  TempRoot root;
  auto p = root.Write("que/1", "");
  LockedFile f = OpenItem(p);
  ASSERT_EQ(WriteQueueItemHeader(f, "a@b", "c@d", 0, 0, 1), 0);
  ASSERT_TRUE(f.WriteAll("text", 4));
  ASSERT_EQ(UpdateQueueItemHeader(f, 7, 2, 99), 0);
  QueueItemHeader h;
  ASSERT_EQ(ReadQueueItemHeader(f, h), 0);
  EXPECT_EQ(h.stamp, 99u);
  EXPECT_EQ(h.attempts, 7u);
  EXPECT_EQ(h.return_kind, 2u);
  EXPECT_EQ(h.recipient, "a@b");
  EXPECT_EQ(TempRoot::Read(p).substr(QueueItemHeaderSize("a@b", "c@d")), "text");
}

// Returned mail swaps the addresses; a header of another size must not damage the text.
TEST(QueueItemHeader, RewriteWithOtherSizeKeepsTheText) {
  const std::string text(70000, 'x');  // more than one move chunk
  for (auto [rcpt, sender] : {std::pair{"short@x", "a-much-longer-sender@example.com"},
                              std::pair{"a-much-longer-recipient@example.com", "s@x"}}) {
    SCOPED_TRACE(rcpt);
    TempRoot root;
    auto p = root.Write("que/1", "");
    LockedFile f = OpenItem(p);
    ASSERT_EQ(WriteQueueItemHeader(f, "old-recipient@example.net", "old@example.net", 0, 0, 1), 0);
    ASSERT_TRUE(f.WriteAll(text.data(), text.size()));
    ASSERT_EQ(WriteQueueItemHeader(f, rcpt, sender, 0, 3, 2), 0);
    QueueItemHeader h;
    ASSERT_EQ(ReadQueueItemHeader(f, h), 0);
    EXPECT_EQ(h.recipient, rcpt);
    EXPECT_EQ(h.sender, sender);
    std::string raw = TempRoot::Read(p);
    EXPECT_EQ(raw.size(), QueueItemHeaderSize(rcpt, sender) + text.size());
    EXPECT_EQ(raw.substr(QueueItemHeaderSize(rcpt, sender)), text);
  }
}

TEST(QueueItemHeader, OverlongAddressIsCutSoEveryReaderTakesItBack) {
  TempRoot root;
  auto p = root.Write("que/1", "");
  LockedFile f = OpenItem(p);
  std::string long_rcpt(400, 'r');
  ASSERT_EQ(WriteQueueItemHeader(f, long_rcpt, "s@x", 0, 0, 1), 0);
  QueueItemHeader h;
  ASSERT_EQ(ReadQueueItemHeader(f, h), 0);
  EXPECT_EQ(h.recipient, std::string(255, 'r'));
}

// Damaged or hostile headers: the first broken field gives its bit, nothing is read past the
// buffers, and no case crashes.
TEST(QueueItemHeader, DamagedHeadersReportTheirBits) {
  struct Case {
    const char* name;
    std::string bytes;
    std::size_t rcpt_size;
    int want;
  };
  const std::string ok_rcpt("r@x\0", 4), ok_sender("s@y\0", 4);
  const Case cases[] = {
      {"empty file", "", 256, kReadStampFailed},
      {"stamp cut", U32(1).substr(0, 3), 256, kReadStampFailed},
      {"attempts cut", U32(1) + "ab", 256, kReadAttemptsOrKindFailed},
      {"kind missing", U32(1) + U32(0), 256, kReadAttemptsOrKindFailed},
      {"L1 missing", U32(1) + U32(0) + U32(0), 256, kReadRecipientLengthFailed},
      {"L1 over 256", RawHeader(300, std::string(300, 'a'), 4, ok_sender), 256,
       kReadRecipientTooLong},
      {"L1 huge", RawHeader(0xFFFFFFFF, "", 4, ok_sender), 256, kReadRecipientTooLong},
      {"L1 over small buffer", RawHeader(4, ok_rcpt, 4, ok_sender), 3, kReadRecipientTooLong},
      {"recipient cut", U32(1) + U32(0) + U32(0) + U32(20) + "abc", 256, kReadRecipientFailed},
      {"L2 missing", U32(1) + U32(0) + U32(0) + U32(4) + ok_rcpt, 256, kReadSenderLengthFailed},
      {"L2 over 256", RawHeader(4, ok_rcpt, 257, std::string(257, 'b')), 256,
       kReadSenderTooLongOrNotPositioned},
      {"sender cut", RawHeader(4, ok_rcpt, 10, "s@"), 256, kReadSenderFailed},
      {"exactly 256", RawHeader(256, std::string(255, 'a') + '\0', 4, ok_sender), 256, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempRoot root;
    auto p = root.Write("que/1", c.bytes);
    LockedFile f = OpenItem(p);
    QueueItemHeader h;
    EXPECT_EQ(ReadQueueItemHeader(f, h, c.rcpt_size), c.want);
    EXPECT_LE(h.recipient.size(), 255u);
    EXPECT_LE(h.sender.size(), 255u);
  }
}

TEST(QueueItemHeader, FieldWithoutZeroByteEndsAtItsLength) {
  TempRoot root;
  auto p = root.Write("que/1", RawHeader(3, "abc", 5, std::string("d\0ef\0", 5)) + "text");
  LockedFile f = OpenItem(p);
  QueueItemHeader h;
  ASSERT_EQ(ReadQueueItemHeader(f, h), 0);
  EXPECT_EQ(h.recipient, "abc");
  EXPECT_EQ(h.sender, "d");
  char buf[8] = {};
  EXPECT_EQ(f.Read(buf, sizeof buf), 4);
}

TEST(QueueItemHeader, WriteOnReadOnlyFileReportsEveryField) {
  TempRoot root;
  auto p = root.Write("que/1", "");
  LockedFile f;
  std::string err;
  ASSERT_EQ(f.OpenLocked(p, Access::ReadOnly, err), LockResult::Locked);
  EXPECT_EQ(WriteQueueItemHeader(f, "a@b", "c@d", 0, 0, 1), 127);
  EXPECT_EQ(UpdateQueueItemHeader(f, 1, 1, 1), 7);
}

}  // namespace
}  // namespace tarnhold
