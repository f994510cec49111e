// The delivery scheduler on a real send queue with a recording sink as the gateway: the
// thread limit, the wake-ups, the hold after an uncounted failure, and the stop. Tests wait
// for messages and log lines; how fast the scheduler reacts is the benchmarks' business.
#include "transport/send_scheduler.h"

#include <gtest/gtest.h>

#include "tests/support/process_sockets.h"
#include "tests/support/recording_smtp_sink.h"
#include "tests/transport/delivery_fixture.h"

namespace tarnhold {
namespace {

namespace fs = std::filesystem;
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
    return test::WaitUntil([&] { return queue_.Items().empty(); }, limit);
  }
  // Waits until item `kept` is the only one left in the send queue.
  bool WaitForEmptyQueueBut(std::uint32_t kept) {
    return test::WaitUntil([&] { return queue_.Items() == std::vector<std::uint32_t>{kept}; });
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

TEST_F(Scheduler, ItemEnteringTheQueueIsTakenAfterTheWake) {
  RecordingSmtpSink sink;
  Begin(test::GatewayConfig("127.0.0.1", sink.Port()));
  queue_.Add("bob@y.test", "anna@x.test", kText);
  queue_.Add("bob@y.test", "anna@x.test", kText);
  scheduler_.SendQueueWake().Notify();
  ASSERT_TRUE(sink.WaitForMessages(2, 20s));
  EXPECT_TRUE(WaitForEmptyQueue(5s));
}

TEST_F(Scheduler, FinishedThreadEndsTheWaitOfAFullScheduler) {
  RecordingSmtpSink::Options slow;
  slow.end_reply_delay = 200ms;
  RecordingSmtpSink sink(slow);
  for (int i = 0; i < 5; ++i) queue_.Add("bob@y.test", "anna@x.test", kText);
  Begin(test::GatewayConfig("127.0.0.1", sink.Port()), 1);
  ASSERT_TRUE(sink.WaitForMessages(5, 30s));
  EXPECT_EQ(sink.MostAtOnce(), 1);
}

// Recipients in "local.test" go to the reachable sink, all others to a port nobody listens on:
// a message through the sink proves that the scheduler has made another pass.
DeliveryConfig SplitConfig(int sink_port) {
  DeliveryConfig config = test::GatewayConfig("127.0.0.1", test::UnusedLoopbackPort());
  config.local_domains = {"local.test"};
  config.inbound = {"127.0.0.1", static_cast<std::uint16_t>(sink_port), 0};
  return config;
}

TEST_F(Scheduler, UnreachableGatewayIsHeldNotRetriedInALoop) {
  RecordingSmtpSink sink;
  std::uint32_t n = queue_.Add("bob@y.test", "anna@x.test", kText);
  Begin(SplitConfig(sink.Port()), 25, 300);
  ASSERT_TRUE(queue_.Log().WaitFor("Connect Failed 127.0.0.1"));
  ASSERT_TRUE(test::WaitUntil([&] { return scheduler_.HeldCount() == 1u; }));
  // Later passes deliver other items and leave the held one alone.
  for (int i = 0; i < 3; ++i) {
    queue_.Add("carl@local.test", "anna@x.test", kText);
    scheduler_.SendQueueWake().Notify();
    ASSERT_TRUE(sink.WaitForMessages(i + 1, 10s));
  }
  EXPECT_EQ(queue_.Log().Count("Connect Failed 127.0.0.1"), 1);
  auto item = queue_.Item(n);
  ASSERT_TRUE(item);
  EXPECT_EQ(item->header.attempts, 0u);  // never counted, never returned
}

TEST_F(Scheduler, HeldItemIsTriedAgainWhenTheIntervalIsOver) {
  std::uint32_t n = queue_.Add("bob@y.test", "anna@x.test", kText);
  Begin(test::GatewayConfig("127.0.0.1", test::UnusedLoopbackPort()), 25, 1);
  ASSERT_TRUE(queue_.Log().WaitFor("Connect Failed 127.0.0.1", 2, 20s));
  auto item = queue_.Item(n);
  ASSERT_TRUE(item);
  EXPECT_EQ(item->header.attempts, 0u);
}

TEST_F(Scheduler, UnreadableItemIsLoggedAndHeldWithoutBlocking) {
  queue_.Root().Write("que/1", "abc");  // shorter than a header
  RecordingSmtpSink sink;
  queue_.Add("bob@y.test", "anna@x.test", kText);  // item 2
  Begin(test::GatewayConfig("127.0.0.1", sink.Port()));
  ASSERT_TRUE(sink.WaitForMessages(1, 10s));
  // Another item through the scheduler: it has passed the unreadable one again since.
  queue_.Add("carl@y.test", "anna@x.test", kText);
  scheduler_.SendQueueWake().Notify();
  ASSERT_TRUE(sink.WaitForMessages(2, 10s));
  EXPECT_EQ(queue_.Log().Count("File Read Error"), 1);
  EXPECT_TRUE(fs::exists(queue_.Root() / "que" / "1"));
  EXPECT_TRUE(WaitForEmptyQueueBut(1));
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
