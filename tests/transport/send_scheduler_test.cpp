// The delivery scheduler on a real send queue with a recording sink as the gateway: the
// thread limit, the wake-ups that end its idle sleep, the hold after an uncounted failure,
// and the stop.
#include "transport/send_scheduler.h"

#include <gtest/gtest.h>

#include "tests/support/recording_smtp_sink.h"
#include "tests/transport/delivery_fixture.h"

namespace tarnhold {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using test::RecordingSmtpSink;
using test::SendQueue;

constexpr const char* kText = "Subject: s\r\n\r\nbody\r\n.\r\n";

class Scheduler : public ::testing::Test {
 protected:
  void Begin(const DeliveryConfig& config, int max_out = 25, int retry_interval_s = 300) {
    queue_.Settings().SetLimits(250, max_out, 5, retry_interval_s);
    scheduler_.SetSettings(&queue_.Settings());
    scheduler_.SetConfig(config);
    ASSERT_EQ(scheduler_.Start(), 0);
  }
  bool WaitForEmptyQueue(std::chrono::milliseconds limit) {
    auto deadline = Clock::now() + limit;
    while (!queue_.Items().empty()) {
      if (Clock::now() > deadline) return false;
      std::this_thread::sleep_for(5ms);
    }
    return true;
  }

  SendQueue queue_;
  CSendScheduler scheduler_;
};

TEST_F(Scheduler, DeliversEveryItemWithAtMostMaxOutThreads) {
  RecordingSmtpSink::Options slow;
  slow.end_reply_delay = 100ms;
  RecordingSmtpSink sink(slow);
  for (int i = 0; i < 24; ++i) queue_.Add("r" + std::to_string(i) + "@y.test", "s@x.test", kText);
  Begin(test::GatewayConfig("127.0.0.1", sink.Port()), 4);
  ASSERT_TRUE(sink.WaitForMessages(24, 20s));
  EXPECT_TRUE(WaitForEmptyQueue(5s));
  EXPECT_LE(sink.MostAtOnce(), 4);
  EXPECT_GE(sink.MostAtOnce(), 2);  // threads run side by side
  EXPECT_EQ(sink.Connections(), 24);
}

TEST_F(Scheduler, ItemEnteringTheQueueEndsTheIdleSleep) {
  RecordingSmtpSink sink;
  Begin(test::GatewayConfig("127.0.0.1", sink.Port()));
  std::this_thread::sleep_for(200ms);  // the scheduler has found nothing and sleeps
  queue_.Add("bob@y.test", "anna@x.test", kText);
  auto start = Clock::now();
  scheduler_.SendQueueWake().Notify();
  ASSERT_TRUE(sink.WaitForMessages(1, 10s));
  EXPECT_LT(Clock::now() - start, 2s);  // not the 5 s idle sleep
}

TEST_F(Scheduler, FinishedThreadEndsTheWaitOfAFullScheduler) {
  RecordingSmtpSink::Options slow;
  slow.end_reply_delay = 200ms;
  RecordingSmtpSink sink(slow);
  for (int i = 0; i < 5; ++i) queue_.Add("bob@y.test", "anna@x.test", kText);
  auto start = Clock::now();
  Begin(test::GatewayConfig("127.0.0.1", sink.Port()), 1);
  ASSERT_TRUE(sink.WaitForMessages(5, 20s));
  EXPECT_LT(Clock::now() - start, 4s);  // five items one after another, no 5 s pauses
  EXPECT_EQ(sink.MostAtOnce(), 1);
}

TEST_F(Scheduler, UnreachableGatewayIsRetriedAfterTheIntervalNotInALoop) {
  std::uint32_t n = queue_.Add("bob@y.test", "anna@x.test", kText);
  Begin(test::GatewayConfig("127.0.0.1", test::UnusedLoopbackPort()), 25, 1);
  ASSERT_TRUE(queue_.Log().WaitFor("Connect Failed 127.0.0.1"));
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(queue_.Log().Count("Connect Failed 127.0.0.1"), 1);
  EXPECT_EQ(scheduler_.HeldCount(), 1u);
  auto held_at = Clock::now();
  EXPECT_TRUE(queue_.Log().WaitFor("Connect Failed 127.0.0.1", 2, 10s));
  EXPECT_LT(Clock::now() - held_at, 2s);  // when the 1 s interval is over, not at 5 s
  auto item = queue_.Item(n);
  ASSERT_TRUE(item);
  EXPECT_EQ(item->header.attempts, 0u);  // never counted, never returned
}

TEST_F(Scheduler, UnreadableItemIsLoggedAndHeldWithoutBlocking) {
  queue_.Root().Write("que/1", "abc");  // shorter than a header
  RecordingSmtpSink sink;
  queue_.Add("bob@y.test", "anna@x.test", kText);  // item 2
  Begin(test::GatewayConfig("127.0.0.1", sink.Port()));
  ASSERT_TRUE(sink.WaitForMessages(1, 10s));
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(queue_.Log().Count("File Read Error"), 1);
  EXPECT_TRUE(fs::exists(queue_.Root() / "que" / "1"));
  EXPECT_EQ(queue_.Items(), std::vector<std::uint32_t>{1});
}

TEST_F(Scheduler, StopWaitsForRunningSendThreads) {
  RecordingSmtpSink::Options slow;
  slow.end_reply_delay = 1s;
  RecordingSmtpSink sink(slow);
  queue_.Add("bob@y.test", "anna@x.test", kText);
  Begin(test::GatewayConfig("127.0.0.1", sink.Port()));
  ASSERT_TRUE(queue_.Log().WaitFor("Sending Data Out"));
  EXPECT_EQ(scheduler_.RunningThreads(), 1);
  EXPECT_EQ(scheduler_.Stop(), 0);
  EXPECT_EQ(scheduler_.RunningThreads(), 0);
  EXPECT_TRUE(queue_.Log().Has("Mail sent"));
  EXPECT_TRUE(queue_.Items().empty());
}

TEST_F(Scheduler, StartWithoutSettingsFails) {
  CSendScheduler bare;
  EXPECT_EQ(bare.Start(), 1);
  EXPECT_EQ(bare.Stop(), 0);
}

TEST(HeldItems, HoldEndsWithItsTimeOrWithANewFileOfTheSameNumber) {
  SendQueue queue;
  queue.Add("bob@y.test", "anna@x.test", kText);
  HeldItems held;
  SpoolItem item = queue.Settings().NextSendItem();
  ASSERT_TRUE(item.IsOpen());
  held.Hold(HeldItems::IdentityOf(item), HeldItems::Clock::now() + 1h);
  EXPECT_TRUE(held.IsHeld(item));
  queue.Settings().CloseItem(item);
  EXPECT_FALSE(queue.Settings().NextSendItem([&](SpoolItem& i) { return held.IsHeld(i); })
                   .IsOpen());

  // The item is delivered by someone else and a new one takes its number.
  fs::remove(queue.Root() / "que" / "1");
  queue.Add("carl@y.test", "anna@x.test", kText);
  SpoolItem fresh = queue.Settings().NextSendItem([&](SpoolItem& i) { return held.IsHeld(i); });
  EXPECT_TRUE(fresh.IsOpen());
  EXPECT_EQ(held.Count(), 0u);
  queue.Settings().CloseItem(fresh);

  SpoolItem again = queue.Settings().NextSendItem();
  held.Hold(HeldItems::IdentityOf(again), HeldItems::Clock::now() - 1s);
  EXPECT_FALSE(held.IsHeld(again));  // ran out
  held.Hold(HeldItems::IdentityOf(again), HeldItems::Clock::now() - 1s);
  EXPECT_EQ(held.FirstRelease(), HeldItems::Clock::time_point::max());  // dropped, no spin
  EXPECT_EQ(held.Count(), 0u);
  held.Hold(HeldItems::IdentityOf(again), HeldItems::Clock::now() + 1h);
  held.Release(HeldItems::IdentityOf(again));
  EXPECT_FALSE(held.IsHeld(again));
}

}  // namespace
}  // namespace tarnhold
