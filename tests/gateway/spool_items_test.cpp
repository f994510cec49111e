#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <ctime>
#include <future>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "gateway/server_settings.h"
#include "platform/spare_files.h"
#include "platform/spool_folder.h"
#include "tests/support/temp_root.h"

namespace tarnhold {
namespace {

using test::TempRoot;
namespace fs = std::filesystem;

struct Spool {
  TempRoot root;
  CServerSettings settings{root.Path()};
  Spool() {
    for (const char* f : {"queproc", "que", "stat", "popstore"}) fs::create_directories(root / f);
  }
};

// A que item written by hand, as the sweeper would leave it.
void PutSendItem(const Spool& s, int n, std::uint32_t attempts, std::uint32_t stamp) {
  LockedFile f;
  std::string err;
  ASSERT_EQ(f.CreateLocked(s.root / ("que/" + std::to_string(n)), err), CreateResult::Created);
  ASSERT_EQ(WriteQueueItemHeader(f, "to@x", "from@y", attempts, 0, stamp), 0);
  ASSERT_TRUE(f.WriteAll("text\r\n.\r\n", 9));
}

TEST(NewProcessingItem, NextNumberRule) {
  struct Case {
    std::vector<std::string> present;
    std::uint32_t want;
  };
  const Case cases[] = {
      {{}, 1},
      {{"3", "7"}, 8},
      {{"3", "007", "x12", ".new.abc"}, 4},  // only plain decimal names count
  };
  for (const Case& c : cases) {
    Spool s;
    for (const auto& name : c.present) s.root.Write("queproc/" + name, "");
    SpoolItem item = s.settings.NewProcessingItem();
    ASSERT_TRUE(item.IsOpen());
    EXPECT_EQ(item.Number(), c.want);
    EXPECT_EQ(item.Path(), s.root / ("queproc/" + std::to_string(c.want)));
  }
}

TEST(NewProcessingItem, NumbersRestartAfterTheFolderEmpties) {
  Spool s;
  SpoolItem a = s.settings.NewProcessingItem();
  SpoolItem b = s.settings.NewProcessingItem();
  EXPECT_EQ(b.Number(), 2u);
  EXPECT_EQ(s.settings.CloseItem(a, OnClose::Delete), 0);
  EXPECT_EQ(s.settings.CloseItem(b, OnClose::Delete), 0);
  EXPECT_EQ(s.settings.NewProcessingItem().Number(), 1u);
}

// The counter does not see a number another process took after it last read the folder:
// creating that number fails, and the item gets the next free one; the other file stays.
TEST(NewProcessingItem, NumberTakenByAnotherProcessIsNeverOverwritten) {
  Spool s;
  SpoolItem first = s.settings.NewProcessingItem();
  ASSERT_EQ(first.Number(), 1u);
  s.root.Write("queproc/2", "theirs");
  s.root.Write("queproc/3", "theirs too");
  SpoolItem next = s.settings.NewProcessingItem();
  EXPECT_EQ(next.Number(), 4u);
  EXPECT_EQ(TempRoot::Read(s.root / "queproc/2"), "theirs");
  EXPECT_EQ(TempRoot::Read(s.root / "queproc/3"), "theirs too");
}

TEST(NewProcessingItem, MissingFolderFails) {
  TempRoot root;
  CServerSettings settings(root.Path());
  EXPECT_FALSE(settings.NewProcessingItem().IsOpen());
}

TEST(NewProcessingItem, ItemIsLockedUntilClosed) {
  Spool s;
  SpoolItem item = s.settings.NewProcessingItem();
  LockedFile other;
  std::string err;
  EXPECT_EQ(other.OpenLocked(item.Path(), Access::ReadWrite, err), LockResult::Busy);
  fs::path p = item.Path();
  EXPECT_EQ(s.settings.CloseItem(item), 0);
  EXPECT_FALSE(item.IsOpen());
  EXPECT_EQ(other.OpenLocked(p, Access::ReadWrite, err), LockResult::Locked);
}

TEST(NewProcessingItem, ThreadsNeverShareANumber) {
  Spool s;
  constexpr int kThreads = 8, kEach = 50;
  std::mutex m;
  std::vector<std::uint32_t> numbers;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kEach; ++i) {
        SpoolItem item = s.settings.NewProcessingItem();
        if (!item.IsOpen()) continue;
        {
          std::scoped_lock g(m);
          numbers.push_back(item.Number());
        }
        s.settings.CloseItem(item);
      }
    });
  }
  for (auto& t : threads) t.join();
  std::set<std::uint32_t> unique(numbers.begin(), numbers.end());
  EXPECT_EQ(numbers.size(), std::size_t{kThreads * kEach});
  EXPECT_EQ(unique.size(), numbers.size());
  EXPECT_EQ(CountFiles(s.root / "queproc"), numbers.size());
}

// Two processes (two engines on one root, or an engine and a tool) create items at once:
// every number is made exactly once, and each creator holds its item before anybody else.
TEST(NewProcessingItem, TwoProcessesNeverShareANumberNorLockEachOthersItems) {
  Spool s;
  constexpr int kEach = 150;
  auto create_all = [&](char tag) {
    int failures = 0;
    for (int i = 0; i < kEach; ++i) {
      SpoolItem item = s.settings.NewProcessingItem();
      if (!item.IsOpen()) {
        ++failures;
        continue;
      }
      // Between create and write a stealer would find the item empty.
      LockedFile thief;
      std::string err;
      if (thief.OpenLocked(item.Path(), Access::ReadWrite, err) != LockResult::Busy) ++failures;
      if (s.settings.WriteHeader(item, std::string(1, tag) + "@x", "s@y", 0, 0) != 0) ++failures;
      s.settings.CloseItem(item);
    }
    return failures;
  };
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) ::_exit(create_all('c') == 0 ? 0 : 1);
  int parent_failures = create_all('p');
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(parent_failures, 0);
  // Every item holds exactly one creator's header: none was created twice.
  auto numbers = ListItemNumbers(s.root / "queproc");
  EXPECT_EQ(numbers.size(), std::size_t{2 * kEach});
  EXPECT_EQ(numbers.back(), std::uint32_t{2 * kEach});
  for (auto n : numbers) {
    LockedFile f;
    std::string err;
    ASSERT_EQ(f.OpenLocked(s.root / ("queproc/" + std::to_string(n)), Access::ReadOnly, err),
              LockResult::Locked);
    QueueItemHeader h;
    EXPECT_EQ(ReadQueueItemHeader(f, h), 0) << n;
  }
}

TEST(SpoolItems, WriteDataReadBlockAndFlush) {
  Spool s;
  SpoolItem item = s.settings.NewProcessingItem();
  ASSERT_EQ(s.settings.WriteHeader(item, "to@x", "from@y", 0, 0), 0);
  const std::string text = "Subject: t\r\n\r\nhello\r\n.\r\n";
  EXPECT_EQ(s.settings.WriteData(item, text.data(), text.size()), text.size());
  EXPECT_TRUE(s.settings.FlushToDisk(item));
  QueueItemHeader h;
  ASSERT_EQ(s.settings.ReadHeader(item, h), 0);
  EXPECT_LE(std::abs(static_cast<long>(h.stamp) - static_cast<long>(std::time(nullptr))), 5);
  std::string back;
  char block[7];
  for (std::size_t n; (n = s.settings.ReadBlock(item, block, sizeof block)) != 0;) back.append(block, n);
  EXPECT_EQ(back, text);
  EXPECT_EQ(s.settings.ReadBlock(item, block, sizeof block), 0u);
}

TEST(SpoolItems, WriteDataOnReadOnlyItemReturnsZero) {
  Spool s;
  auto p = s.root.Write("queproc/5", "abc");
  SpoolItem item;
  std::string err;
  ASSERT_EQ(item.File().OpenLocked(p, Access::ReadOnly, err), LockResult::Locked);
  EXPECT_EQ(s.settings.WriteData(item, "xyz", 3), 0u);
}

TEST(SpoolItems, CopyForRecipientMakesOneItemPerRecipient) {
  Spool s;
  SpoolItem first = s.settings.NewProcessingItem();
  ASSERT_EQ(s.settings.WriteHeader(first, "one@x", "sender@y", 2, 1), 0);
  std::string text;  // several copy blocks and a remainder
  for (int i = 0; text.size() < 150'000; ++i) text += "line " + std::to_string(i) + "\r\n";
  text += ".\r\n";
  ASSERT_EQ(s.settings.WriteData(first, text.data(), text.size()), text.size());
  for (const char* rcpt : {"two@x", "three@x"}) {
    EXPECT_EQ(s.settings.CopyItemForRecipient(first, rcpt), 0);
  }
  // The source keeps its position: more data would go to its end.
  EXPECT_EQ(first.File().Position(), first.File().Size());
  EXPECT_EQ(s.settings.CloseItem(first), 0);
  const char* want[] = {"one@x", "two@x", "three@x"};
  for (std::uint32_t n = 1; n <= 3; ++n) {
    SCOPED_TRACE(n);
    LockedFile f;
    std::string err;
    ASSERT_EQ(f.OpenLocked(s.root / ("queproc/" + std::to_string(n)), Access::ReadOnly, err),
              LockResult::Locked);
    QueueItemHeader h;
    ASSERT_EQ(ReadQueueItemHeader(f, h), 0);
    EXPECT_EQ(h.recipient, want[n - 1]);
    EXPECT_EQ(h.sender, "sender@y");
    EXPECT_EQ(h.attempts, 2u);
    EXPECT_EQ(h.return_kind, 1u);
    std::string rest(text.size() + 10, '\0');
    ASSERT_EQ(f.Read(rest.data(), rest.size()), static_cast<long>(text.size()));
    EXPECT_EQ(rest.substr(0, text.size()), text);
  }
}

TEST(SpoolItems, CopyWithoutRoomFailsWithOne) {
  Spool s;
  s.root.Write("queproc/999999999", "");  // the folder holds the largest number possible
  SpoolItem source;
  std::string err;
  ASSERT_EQ(source.File().CreateLocked(s.root / "que/1", err), CreateResult::Created);
  ASSERT_EQ(s.settings.WriteHeader(source, "one@x", "sender@y", 0, 0), 0);
  EXPECT_EQ(s.settings.CopyItemForRecipient(source, "two@x"), 1);
}

TEST(SpoolItems, CloseWithDeleteRemovesTheFile) {
  Spool s;
  SpoolItem item = s.settings.NewProcessingItem();
  fs::path p = item.Path();
  EXPECT_EQ(s.settings.CloseItem(item, OnClose::Delete), 0);
  EXPECT_FALSE(fs::exists(p));
  EXPECT_EQ(s.settings.CloseItem(item), 1);  // already closed
}

// With the engine's pool of spare files, a delivered item and a swept source file come back
// as the next item and source file: whole, never with bytes of what they held before.
TEST(SpoolItems, ReusedFilesHoldOnlyTheirNewContent) {
  Spool s;
  const fs::path spare = s.settings.Layout().Spare();
  ASSERT_TRUE(EnableSpareFiles(spare));
  PutSendItem(s, 3, 0, 0);
  ASSERT_TRUE(RemoveToSpare(s.root.Write("stat/9", "192.168.100.200"), spare));
  SpoolItem old = s.settings.NextSendItem();
  ASSERT_TRUE(old.IsOpen());
  EXPECT_EQ(s.settings.CloseItem(old, OnClose::Delete), 0);
  EXPECT_EQ(CountFiles(spare), 2u);

  std::string error;
  ASSERT_TRUE(s.settings.WriteSourceInfo(1, "10.0.0.1", error, Flush::Yes)) << error;
  EXPECT_EQ(TempRoot::Read(s.root / "stat/1"), "10.0.0.1");
  SpoolItem item = s.settings.NewProcessingItem();
  ASSERT_TRUE(item.IsOpen());
  EXPECT_EQ(CountFiles(spare), 0u);
  EXPECT_EQ(s.settings.WriteData(item, "ab", 2), 2u);
  EXPECT_EQ(s.settings.CloseItem(item, OnClose::Keep), 0);
  EXPECT_EQ(TempRoot::Read(s.root / "queproc/1"), "ab");
  DisableSpareFiles(spare);
}

TEST(NextSendItem, PicksDueItemsInNumberOrder) {
  Spool s;
  s.settings.SetLimits(250, 25, 5, 300);
  const std::uint32_t now = static_cast<std::uint32_t>(std::time(nullptr));
  PutSendItem(s, 10, 1, now - 10);   // retried 10 s ago: not due
  PutSendItem(s, 2, 0, now);         // new
  PutSendItem(s, 11, 3, now - 301);  // retried long enough ago: due
  SpoolItem a = s.settings.NextSendItem();
  SpoolItem b = s.settings.NextSendItem();  // a is held, so it is skipped
  SpoolItem c = s.settings.NextSendItem();
  EXPECT_EQ(a.Number(), 2u);
  EXPECT_EQ(b.Number(), 11u);
  EXPECT_FALSE(c.IsOpen());
  QueueItemHeader h;
  EXPECT_EQ(s.settings.ReadHeader(a, h), 0);
  s.settings.CloseItem(a, OnClose::Delete);
  s.settings.CloseItem(b);
  EXPECT_EQ(s.settings.NextSendItem().Number(), 11u);
  EXPECT_EQ(s.settings.SendQueueCount(), 2u);
}

TEST(NextSendItem, ItemHeldByAnotherProcessIsSkipped) {
  Spool s;
  PutSendItem(s, 1, 0, 0);
  PutSendItem(s, 2, 0, 0);
  int to_child[2], from_child[2];
  ASSERT_EQ(::pipe(to_child), 0);
  ASSERT_EQ(::pipe(from_child), 0);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    LockedFile f;
    std::string err;
    char c = f.OpenLocked(s.root / "que/1", Access::ReadWrite, err) == LockResult::Locked;
    (void)!::write(from_child[1], &c, 1);
    (void)!::read(to_child[0], &c, 1);  // hold until told
    ::_exit(0);
  }
  char held = 0;
  ASSERT_EQ(::read(from_child[0], &held, 1), 1);
  ASSERT_EQ(held, 1);
  EXPECT_EQ(s.settings.NextSendItem().Number(), 2u);
  (void)!::write(to_child[1], &held, 1);
  ::waitpid(child, nullptr, 0);
  for (int fd : {to_child[0], to_child[1], from_child[0], from_child[1]}) ::close(fd);
}

// The parts have their own locks: while a send picker sits in its filter (under the pickers'
// lock), a POP3 login, a new processing item and a mailbox delivery on another thread go
// through. The filter waits for them with a deadline and holds nothing it cannot give back.
TEST(NextSendItem, PickDoesNotHoldUpLoginsOrNewItems) {
  Spool s;
  fs::create_directories(s.root / "popstore/0");
  s.settings.BuildMailboxTable({{"user", "pw", true}}, {{"user", "user"}});
  PutSendItem(s, 1, 0, 0);
  std::promise<void> in_filter, others_done;
  std::future<void> done = others_done.get_future();
  std::thread others([&] {
    in_filter.get_future().wait();
    const int mailbox = s.settings.OpenMailbox("user", "pw");
    SpoolItem item = s.settings.NewProcessingItem();
    SpoolItem message = s.settings.DeliverToMailbox("user@x");
    const bool ok = mailbox == 0 && item.IsOpen() && message.IsOpen() &&
                    s.settings.CloseItem(message) == 0 && s.settings.CloseMailbox(mailbox) == 0;
    if (ok) others_done.set_value();
  });
  bool finished_inside = false;
  SpoolItem picked = s.settings.NextSendItem([&](SpoolItem&) {
    in_filter.set_value();
    finished_inside = done.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    return false;
  });
  others.join();
  EXPECT_TRUE(finished_inside);
  EXPECT_EQ(picked.Number(), 1u);
}

TEST(NextSendItem, UnreadableHeaderIsReportedAndTakenWithValuesRead) {
  Spool s;
  s.root.Write("que/4", "ab");  // shorter than stamp and attempts
  std::vector<std::string> reports;
  s.settings.SetReadErrorReporter(
      [&](const std::string& title, const std::string& text) { reports.push_back(title + "/" + text); });
  SpoolItem item = s.settings.NextSendItem();
  EXPECT_EQ(item.Number(), 4u);
  EXPECT_EQ(reports, std::vector<std::string>{"Error/File Read Error"});
}

TEST(NextSendItem, StampFarInTheFutureDoesNotHoldTheItemForever) {
  Spool s;
  PutSendItem(s, 1, 2, 0xFFFFFFF0u);
  EXPECT_EQ(s.settings.NextSendItem().Number(), 1u);
}

TEST(MakeMessageId, FormatAndBuffer) {
  Spool s;
  char small[71];
  EXPECT_EQ(s.settings.MakeMessageId(small, sizeof small), 1);
  char buf[72];
  ASSERT_EQ(s.settings.MakeMessageId(buf, sizeof buf), 0);
  std::string id = buf;
  ASSERT_GT(id.size(), 30u);
  EXPECT_EQ(id.front(), '<');
  EXPECT_TRUE(id.ends_with("@tarnhold.invalid>")) << id;
  std::string head = id.substr(1, id.find('@') - 1);
  std::string letters = head.substr(head.size() - 12);
  std::string digits = head.substr(0, head.size() - 12);
  EXPECT_TRUE(std::all_of(digits.begin(), digits.end(), ::isdigit)) << id;
  EXPECT_TRUE(std::all_of(letters.begin(), letters.end(), [](char c) { return c >= 'A' && c <= 'Y'; }));
  s.settings.SetLocalDomains({"Mail.Example.ORG", "other.org"});
  EXPECT_TRUE(s.settings.MakeMessageId().ends_with("@mail.example.org>"));
}

TEST(MakeMessageId, NeverAZAndNeverTheSameTwice) {
  Spool s;
  std::set<std::string> seen;
  for (int i = 0; i < 2000; ++i) {
    std::string id = s.settings.MakeMessageId();
    std::string letters = id.substr(id.find('@') - 12, 12);
    ASSERT_EQ(letters.find('Z'), std::string::npos) << id;
    seen.insert(id);
  }
  EXPECT_EQ(seen.size(), 2000u);  // same millisecond, different identifiers
}

TEST(MakeMessageId, LongDomainDoesNotOverflowTheBuffer) {
  Spool s;
  s.settings.SetLocalDomains({std::string(100, 'd') + ".org"});
  char buf[72];
  std::memset(buf, 'x', sizeof buf);
  EXPECT_EQ(s.settings.MakeMessageId(buf, sizeof buf), 1);
  char big[256];
  EXPECT_EQ(s.settings.MakeMessageId(big, sizeof big), 0);
}

}  // namespace
}  // namespace tarnhold
