// The send-queue index on a real send folder: the order in which due items are taken, when the
// next one becomes due, holds, busy and vanished items, and a header changed on disk.
#include "gateway/send_queue_index.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "gateway/queue_item.h"
#include "platform/locked_file.h"
#include "platform/wake_event.h"
#include "tests/support/temp_root.h"

namespace tarnhold {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = SendQueueIndex::Clock;
using Numbers = std::vector<std::uint32_t>;

constexpr int kRetryIntervalS = 300;

class Index : public ::testing::Test {
 protected:
  Index() { fs::create_directories(que_); }

  // Writes <folder>/<n> as the sweeper leaves it.
  void Put(std::uint32_t n, std::uint32_t attempts, std::uint32_t stamp, fs::path folder = {}) {
    LockedFile f;
    std::string err;
    ASSERT_EQ(f.CreateLocked((folder.empty() ? que_ : folder) / std::to_string(n), err),
              CreateResult::Created)
        << err;
    ASSERT_EQ(WriteQueueItemHeader(f, "to@x", "from@y", attempts, 0, stamp), 0);
    ASSERT_TRUE(f.WriteAll("text\r\n.\r\n", 9));
  }
  // Locks que/<n> as another party would.
  LockedFile Lock(std::uint32_t n) {
    LockedFile f;
    std::string err;
    EXPECT_EQ(f.OpenLocked(que_ / std::to_string(n), Access::ReadWrite, err), LockResult::Locked);
    return f;
  }
  // Starts the index and waits until its first pass over the folder is done.
  void Start() {
    index_.Start(que_, kRetryIntervalS, [this] { built_.Notify(); });
    ASSERT_TRUE(built_.WaitFor(10s));
  }
  // Picks until nothing is due; returns the numbers in the order taken (items stay taken).
  Numbers PickAll() {
    Numbers got;
    for (SpoolItem item; (item = index_.Pick()).IsOpen();) got.push_back(item.Number());
    return got;
  }
  // Picks the next item and holds it until `until`, closing it.
  void PickAndHold(Clock::time_point until) {
    SpoolItem item = index_.Pick();
    ASSERT_TRUE(item.IsOpen());
    index_.Hold(item, until);
  }

  static std::uint32_t Now() { return static_cast<std::uint32_t>(std::time(nullptr)); }
  static Clock::time_point At(std::uint32_t stamp) {
    return Clock::from_time_t(static_cast<std::time_t>(stamp));
  }

  test::TempRoot root_;
  fs::path que_ = root_ / "que";
  WakeEvent built_;
  SendQueueIndex index_;
};

TEST_F(Index, DueItemsComeInAscendingNumberOrder) {
  const std::uint32_t now = Now();
  const std::uint32_t items[][3] = {
      // number, attempts, stamp
      {10, 1, now - 10},      // retried 10 s ago: due in 290 s
      {2, 0, now},            // new
      {11, 3, now - 301},     // retried long enough ago
      {5, 2, now - 100},      // due in 200 s: the first to come
      {7, 2, 0xFFFFFFF0u},    // stamp far in the future: due at once
      {3, 0, now - 100'000},  // new, stamp irrelevant
  };
  for (const auto& c : items) Put(c[0], c[1], c[2]);
  Start();
  EXPECT_EQ(index_.Count(), 6u);
  EXPECT_EQ(PickAll(), (Numbers{2, 3, 7, 11}));
  EXPECT_EQ(index_.NextReady(), At(now - 100 + kRetryIntervalS));
}

TEST_F(Index, NewItemsAreTakenWithoutAScanInNumberOrder) {
  Start();
  EXPECT_EQ(index_.NextReady(), Clock::time_point::max());
  // Created in place by another party (create and link), and renamed in from another folder.
  Put(9, 0, Now());
  fs::create_directories(root_ / "elsewhere");
  Put(4, 0, Now(), root_ / "elsewhere");
  fs::rename(root_ / "elsewhere/4", que_ / "4");
  EXPECT_EQ(PickAll(), (Numbers{4, 9}));
}

TEST_F(Index, HoldEndsWithItsTimeOrWithANewFileOfTheSameNumber) {
  Put(1, 0, Now());
  Start();
  PickAndHold(Clock::now() + 1h);
  EXPECT_EQ(index_.HeldCount(), 1u);
  EXPECT_FALSE(index_.Pick().IsOpen());
  EXPECT_GT(index_.NextReady(), Clock::now() + 59min);
  {
    // Another party rewrites it in place: the file changed, so it is no longer held. Its
    // modification time is set apart, since file times may not move within a clock tick.
    LockedFile f = Lock(1);
    ASSERT_EQ(UpdateQueueItemHeader(f, 0, 0, Now()), 0);
    const timespec times[2] = {{0, UTIME_OMIT}, {Now() - 3600, 0}};
    ASSERT_EQ(::futimens(f.Fd(), times), 0);
  }
  PickAndHold(Clock::now() + 1h);
  EXPECT_FALSE(index_.Pick().IsOpen());

  // Delivered by someone else, and a new item takes its number: it is not held.
  fs::remove(que_ / "1");
  Put(1, 0, Now());
  SpoolItem fresh = index_.Pick();
  ASSERT_TRUE(fresh.IsOpen());
  EXPECT_EQ(index_.HeldCount(), 0u);
  index_.Hold(fresh, Clock::now() - 1s);  // a hold that has run out holds nothing
  fresh = SpoolItem{};
  EXPECT_EQ(index_.Pick().Number(), 1u);
}

TEST_F(Index, OutcomesOfATakenItem) {
  const std::uint32_t now = Now();
  Put(1, 0, now);
  Put(2, 0, now);
  Start();
  SpoolItem one = index_.Pick();
  SpoolItem two = index_.Pick();
  ASSERT_EQ(two.Number(), 2u);
  EXPECT_FALSE(index_.Pick().IsOpen());  // both taken
  EXPECT_EQ(index_.NextReady(), Clock::time_point::max());

  // A counted retry rewrote the header: due again a retry interval after the new stamp.
  ASSERT_EQ(UpdateQueueItemHeader(one.File(), 1, 0, now), 0);
  index_.Requeue(one);
  EXPECT_EQ(index_.NextReady(), At(now + kRetryIntervalS));
  // Delivered: forgotten, and its file goes while it is still locked.
  index_.Forget(two);
  EXPECT_EQ(index_.Count(), 1u);
  fs::remove(que_ / "2");
  one = SpoolItem{};
  two = SpoolItem{};
  EXPECT_FALSE(index_.Pick().IsOpen());
}

TEST_F(Index, BusyItemIsPassedOverAndKeptVanishedOneIsForgotten) {
  for (std::uint32_t n : {1, 2, 3}) Put(n, 0, Now());
  Start();
  LockedFile holder = Lock(1);
  fs::remove(que_ / "2");
  EXPECT_EQ(PickAll(), Numbers{3});
  EXPECT_EQ(index_.Count(), 2u);  // 1 waits, 2 is gone
  EXPECT_NE(index_.NextReady(), Clock::time_point::max());
  holder.Close();  // the holder lets go: the item is looked at again at once
  EXPECT_EQ(PickAll(), Numbers{1});
}

TEST_F(Index, HeaderOnDiskWinsOverTheIndex) {
  const std::uint32_t now = Now();
  Put(1, 0, now);
  Start();
  {
    // Another party counts a retry behind the index's back, holding the item the while.
    LockedFile f = Lock(1);
    ASSERT_EQ(UpdateQueueItemHeader(f, 2, 0, now), 0);
    EXPECT_FALSE(index_.Pick().IsOpen());
  }
  EXPECT_FALSE(index_.Pick().IsOpen());
  EXPECT_EQ(index_.NextReady(), At(now + kRetryIntervalS));
}

TEST_F(Index, UnwatchedFolderIsRescannedAndWatchedOnceItExists) {
  fs::remove(que_);  // no watch can be set on a folder that is not there
  EXPECT_EQ(index_.Start(que_, kRetryIntervalS, [this] { built_.Notify(); }),
            SendQueueIndex::Watch::Rescanning);
  fs::create_directories(que_);
  Put(3, 0, Now());
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  SpoolItem item;
  while (!(item = index_.Pick()).IsOpen() && std::chrono::steady_clock::now() < deadline) {
    (void)built_.WaitFor(1s);  // a rescan tells
  }
  EXPECT_EQ(item.Number(), 3u);
}

}  // namespace
}  // namespace tarnhold
