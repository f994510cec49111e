#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gateway/gateway_config.h"
#include "gateway/server_settings.h"
#include "platform/spool_folder.h"
#include "tests/support/temp_root.h"

namespace tarnhold {
namespace {

using test::TempRoot;
namespace fs = std::filesystem;

// Users 0 "alice" (active, address "alice" and "postmaster"), 1 "bob" (inactive, address
// "bob"), 2 "carol" (active, address "Bob" too); default mailbox 2.
struct Store {
  TempRoot root;
  CServerSettings settings{root.Path()};
  Store() {
    for (int m = 0; m < 3; ++m) fs::create_directories(root / ("popstore/" + std::to_string(m)));
    settings.BuildMailboxTable(
        {{"alice", "Secret", true}, {"bob", "pw", false}, {"carol", "pw2", true}},
        {{"alice", "alice"}, {"ALICE", "postmaster"}, {"bob", "bob"}, {"carol", "Bob"}});
    settings.SetDefaultMailbox(2);
  }
  fs::path Box(int m) const { return root / ("popstore/" + std::to_string(m)); }
};

std::string Deliver(Store& s, std::string_view address, const std::string& text) {
  SpoolItem m = s.settings.DeliverToMailbox(address);
  if (!m.IsOpen()) return "not opened";
  EXPECT_EQ(s.settings.WriteData(m, text.data(), text.size()), text.size());
  EXPECT_EQ(s.settings.CloseItem(m), 0);
  return m.Number() ? std::to_string(m.Number()) : "no number";
}

TEST(MailboxTable, EntriesTakeTheirAccountsAddresses) {
  Store s;
  auto table = s.settings.MailboxTable();
  ASSERT_EQ(table.size(), 3u);
  EXPECT_EQ(table[0].addresses, (std::vector<std::string>{"alice", "postmaster"}));
  EXPECT_EQ(table[0].AddressCount(), 2);
  EXPECT_EQ(table[1].addresses, std::vector<std::string>{"bob"});
  EXPECT_EQ(table[2].number, 2);
  EXPECT_FALSE(table[2].in_use);
  EXPECT_EQ(table[2].MessageCount(), 0);
}

TEST(MailboxTable, TakenFromTheConfiguration) {
  TempRoot root;
  CGatewayConfig config(root.Path());
  CPopAccountRecord user;
  user.Account = "Alice";
  user.Password = "pw";
  user.Active = 1;
  config.local_users.push_back(user);
  user.Account = "bob";
  user.Active = 2;  // only exactly 1 is on
  config.local_users.push_back(user);
  config.mailbox_pairs = {{"alice", "a1"}, {"BOB", "b1"}, {"alice", "a2"}};
  config.DefaultPOP3LocalUserID = 1;
  config.local_domains = {"mail.example.org"};
  config.SMTPRetryInterval = 42;
  CServerSettings settings(root.Path());
  settings.ApplyConfiguration(config);
  auto table = settings.MailboxTable();
  ASSERT_EQ(table.size(), 2u);
  EXPECT_EQ(table[0].addresses, (std::vector<std::string>{"a1", "a2"}));
  EXPECT_TRUE(table[0].active);
  EXPECT_FALSE(table[1].active);
  EXPECT_EQ(table[1].addresses, std::vector<std::string>{"b1"});
  EXPECT_EQ(settings.RetryInterval(), 42);
  EXPECT_EQ(settings.MaxIn(), 250);
  EXPECT_TRUE(settings.MakeMessageId().ends_with("@mail.example.org>"));
  // b1 belongs to an inactive user: the default mailbox 1 takes it all the same.
  fs::create_directories(root / "popstore/1");
  SpoolItem m = settings.DeliverToMailbox("b1@mail.example.org");
  ASSERT_TRUE(m.IsOpen());
  EXPECT_EQ(settings.CloseItem(m), 0);
  EXPECT_EQ(ListItemNumbers(root / "popstore/1"), std::vector<std::uint32_t>{1});
}

TEST(DeliverToMailbox, ChoosesTheMailboxByLocalPart) {
  struct Case {
    const char* address;
    int mailbox;
  };
  const Case cases[] = {
      {"Alice@example.org", 0},
      {"POSTMASTER@x", 0},
      {"bob@example.org", 2},     // bob is inactive; carol has the name "Bob"
      {"nobody@example.org", 2},  // the default mailbox
      {"alice", 0},               // no "@": the whole address is the name
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.address);
    Store s;
    EXPECT_EQ(Deliver(s, c.address, "Subject: x\r\n\r\nhi\r\n.\r\n"), "1");
    EXPECT_EQ(CountFiles(s.Box(c.mailbox)), 1u);
  }
}

TEST(DeliverToMailbox, MessageAppearsOnlyWhenComplete) {
  Store s;
  s.root.Write("popstore/0/7", "old");
  SpoolItem m = s.settings.DeliverToMailbox("alice@x");
  ASSERT_TRUE(m.IsOpen());
  EXPECT_EQ(s.settings.WriteData(m, "partial", 7), 7u);
  EXPECT_TRUE(s.settings.FlushToDisk(m));
  EXPECT_EQ(ListItemNumbers(s.Box(0)), std::vector<std::uint32_t>{7});
  int box = s.settings.OpenMailbox("alice", "Secret");
  EXPECT_EQ(s.settings.MessageCount(box), 1);
  s.settings.CloseMailbox(box);
  EXPECT_EQ(s.settings.CloseItem(m), 0);
  EXPECT_EQ(m.Number(), 8u);
  EXPECT_EQ(TempRoot::Read(s.Box(0) / "8"), "partial");
  std::size_t entries = 0;
  for ([[maybe_unused]] auto& e : fs::directory_iterator(s.Box(0))) ++entries;
  EXPECT_EQ(entries, 2u);  // no hidden leftovers
}

TEST(DeliverToMailbox, DiscardedMessageLeavesNothing) {
  Store s;
  SpoolItem m = s.settings.DeliverToMailbox("alice@x");
  ASSERT_EQ(s.settings.WriteData(m, "x", 1), 1u);
  EXPECT_EQ(s.settings.CloseItem(m, OnClose::Delete), 0);
  { SpoolItem forgotten = s.settings.DeliverToMailbox("alice@x"); }
  EXPECT_TRUE(fs::is_empty(s.Box(0)));
}

TEST(DeliverToMailbox, MissingFolderFailsAtOnce) {
  Store s;
  s.settings.SetDefaultMailbox(9);
  EXPECT_EQ(Deliver(s, "nobody@x", "x"), "not opened");
  s.settings.SetDefaultMailbox(-1);
  EXPECT_EQ(Deliver(s, "nobody@x", "x"), "not opened");
}

TEST(DeliverToMailbox, FolderRemovedBeforeCommitEndsTheSearch) {
  Store s;
  SpoolItem m = s.settings.DeliverToMailbox("alice@x");
  ASSERT_TRUE(m.IsOpen());
  fs::remove_all(s.Box(0));
  EXPECT_EQ(s.settings.CloseItem(m), 1);
}

TEST(OpenMailbox, LoginRules) {
  Store s;
  EXPECT_EQ(s.settings.OpenMailbox("nobody", "Secret"), -1);
  EXPECT_EQ(s.settings.OpenMailbox("alice", "wrong"), -1);
  EXPECT_EQ(s.settings.OpenMailbox("ALICE", "sECRET"), 0);  // both without regard to case
  EXPECT_EQ(s.settings.OpenMailbox("alice", "Secret"), -2);
  s.settings.CloseMailbox(0);
  EXPECT_EQ(s.settings.OpenMailbox("alice", "Secret"), 0);
  EXPECT_EQ(s.settings.OpenMailbox("bob", "pw"), 1);  // inactive users still log in
}

TEST(OpenMailbox, ListsAtMost512InNumberOrderAndSkipsHeldFiles) {
  Store s;
  for (int k = 1; k <= 600; ++k) s.root.Write("popstore/0/" + std::to_string(k), std::string(k, 'x'));
  fs::create_directories(s.Box(0) / "77777");  // folders are not messages
  LockedFile held;
  std::string err;
  ASSERT_EQ(held.OpenLocked(s.Box(0) / "3", Access::ReadOnly, err), LockResult::Locked);
  int box = s.settings.OpenMailbox("alice", "Secret");
  ASSERT_EQ(box, 0);
  EXPECT_EQ(s.settings.MessageCount(box), kMaxMailboxMessages);
  EXPECT_EQ(s.settings.MessageSize(box, 0), 1);
  EXPECT_EQ(s.settings.MessageSize(box, 2), 4);  // message 3 is held: 4 comes third
  EXPECT_EQ(s.settings.MessageSize(box, 511), 513);
  EXPECT_EQ(s.settings.MessageSize(box, 512), -1);
  EXPECT_EQ(s.settings.MessageSize(box, -1), -1);
  EXPECT_EQ(s.settings.MessageSize(7, 0), -1);
  EXPECT_EQ(s.settings.MessageCount(-1), -1);
  EXPECT_EQ(s.settings.MessageCount(3), -1);
}

TEST(CloseMailbox, DeletesOnlyMarkedMessages) {
  Store s;
  for (int k = 1; k <= 3; ++k) s.root.Write("popstore/0/" + std::to_string(k), "m");
  int box = s.settings.OpenMailbox("alice", "Secret");
  EXPECT_EQ(s.settings.MarkDeleted(box, 0), 0);
  s.settings.UnmarkAll(box);
  EXPECT_EQ(s.settings.CloseMailbox(box), 0);
  EXPECT_EQ(CountFiles(s.Box(0)), 3u);

  box = s.settings.OpenMailbox("alice", "Secret");
  EXPECT_EQ(s.settings.MarkDeleted(box, 0), 0);
  EXPECT_EQ(s.settings.MarkDeleted(box, 2), 0);
  EXPECT_EQ(s.settings.MarkDeleted(box, 3), -1);
  SpoolItem reading = s.settings.OpenMessage(box, 2);  // held: cannot be deleted now
  ASSERT_TRUE(reading.IsOpen());
  EXPECT_EQ(s.settings.CloseMailbox(box), 1);
  EXPECT_EQ(ListItemNumbers(s.Box(0)), (std::vector<std::uint32_t>{2, 3}));
  EXPECT_EQ(s.settings.MessageCount(box), 0);
  EXPECT_FALSE(s.settings.MailboxTable()[0].in_use);
}

TEST(OpenMessage, IsLockedAndBoundsChecked) {
  Store s;
  s.root.Write("popstore/0/5", "hello\r\n");
  int box = s.settings.OpenMailbox("alice", "Secret");
  SpoolItem m = s.settings.OpenMessage(box, 0);
  ASSERT_TRUE(m.IsOpen());
  EXPECT_EQ(m.Number(), 5u);
  EXPECT_FALSE(s.settings.OpenMessage(box, 1).IsOpen());
  EXPECT_FALSE(s.settings.OpenMessage(box, 0).IsOpen());  // held by `m`
  fs::remove(s.Box(0) / "5");
  s.settings.CloseItem(m);
  EXPECT_FALSE(s.settings.OpenMessage(box, 0).IsOpen());  // vanished
}

// Every line of `content` as ReadLine returns it, with a buffer of `size`, until it
// returns 0 three times in a row or -1.
std::vector<std::string> Lines(Store& s, const std::string& content, std::size_t size) {
  s.root.Write("popstore/0/1", content);
  SpoolItem m;
  std::string err;
  EXPECT_EQ(m.File().OpenLocked(s.Box(0) / "1", Access::ReadOnly, err), LockResult::Locked);
  std::vector<std::string> out;
  std::vector<char> buf(size);
  for (int zeros = 0, guard = 0; zeros < 3 && guard < 100; ++guard) {
    int n = s.settings.ReadLine(m, buf.data(), buf.size());
    if (n < 0) break;
    zeros = n == 0 ? zeros + 1 : 0;
    out.push_back(std::to_string(n) + ":" + std::string(buf.data()));
  }
  return out;
}

TEST(ReadLine, LineEndsAndPieces) {
  struct Case {
    std::string content;
    std::size_t size;
    std::vector<std::string> want;
  };
  const Case cases[] = {
      {"ab\r\ncd\nef\rgh\r\n", 512, {"2:ab", "2:cd", "2:ef", "2:gh", "0:", "0:", "0:"}},
      {"a\r\n\r\nb\r\n", 512, {"1:a", "0:", "1:b", "0:", "0:", "0:"}},
      {"last line without end", 512, {"0:", "0:", "0:"}},
      {"", 512, {"0:", "0:", "0:"}},
      // A CR LF split across the buffer edge is still one line end.
      {"abcd\r\nx\r\n", 5, {"4:abcd", "1:x", "0:", "0:", "0:"}},
      // A line longer than the buffer comes in pieces.
      {"abcdefghij\r\n", 5, {"4:abcd", "4:efgh", "2:ij", "0:", "0:", "0:"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.content);
    Store s;
    EXPECT_EQ(Lines(s, c.content, c.size), c.want);
  }
}

TEST(FindMessageId, HeaderValues) {
  struct Case {
    std::string content;
    int want;
    std::string value;
  };
  const Case cases[] = {
      {"From: a\r\nMessage-Id: <1@x>\r\n\r\nbody\r\n", 0, "<1@x>"},
      {"MESSAGE-ID:<2@x>\r\n\r\n", 0, "<2@x>"},
      {"Message-ID:   \r\n <3@x>\r\nSubject: s\r\n\r\n", 0, "<3@x>"},
      {"Subject: s\r\n\r\nMessage-Id: <in-body@x>\r\n", 1, ""},
      {"Subject: s\r\n", 1, ""},
      {"", 1, ""},
      {std::string(2000, 'h') + "Message-Id: <piece@x>\r\n\r\n", 1, ""},
      {"X-Long: " + std::string(2000, 'h') + "\r\nMessage-Id: <after@x>\r\n\r\n", 0, "<after@x>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.content.substr(0, 60));
    Store s;
    s.root.Write("popstore/0/1", c.content);
    SpoolItem m;
    std::string err;
    ASSERT_EQ(m.File().OpenLocked(s.Box(0) / "1", Access::ReadOnly, err), LockResult::Locked);
    std::string value;
    EXPECT_EQ(s.settings.FindMessageId(m, value), c.want);
    EXPECT_EQ(value, c.value);
  }
}

TEST(FindMessageId, ValueIsCutToTheBuffer) {
  Store s;
  s.root.Write("popstore/0/1", "Message-Id: <abcdefgh@x>\r\n\r\n");
  SpoolItem m;
  std::string err;
  ASSERT_EQ(m.File().OpenLocked(s.Box(0) / "1", Access::ReadOnly, err), LockResult::Locked);
  std::string value;
  EXPECT_EQ(s.settings.FindMessageId(m, value, 5), 0);
  EXPECT_EQ(value, "<abc");
}

}  // namespace
}  // namespace tarnhold
