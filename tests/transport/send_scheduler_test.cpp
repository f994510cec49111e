// The delivery scheduler on a real send queue with a recording sink as the gateway: the
// thread limit, the wake-ups, the hold after an uncounted failure, items that other processes
// put in, take out or rename, and the stop. Tests wait for messages and log lines; how fast
// the scheduler reacts is the benchmarks' business.
#include "transport/send_scheduler.h"

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>

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

  template <typename Condition>
  static bool WaitUntil(Condition condition, std::chrono::milliseconds limit = 10s) {
    return test::WaitUntil(condition, limit);
  }

  SendQueue queue_;
  CSendScheduler scheduler_;
};

// Runs `action` in a child process, another party on the send queue, and waits for it.
void InAnotherProcess(const std::function<bool()>& action) {
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) ::_exit(action() ? 0 : 1);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// Writes a whole item to `path`, created locked in one step; with `rename_to` it is renamed
// there before the lock is let go, as a mover that honours locks does.
bool WriteItem(const fs::path& path, const std::string& recipient,
               const fs::path& rename_to = {}) {
  LockedFile file;
  std::string error;
  if (file.CreateLocked(path, error) != CreateResult::Created) return false;
  const std::string text = kText;
  if (WriteQueueItemHeader(file, recipient, "anna@x.test", 0, kReturnNone,
                           static_cast<std::uint32_t>(std::time(nullptr))) != 0 ||
      !file.WriteAll(text.data(), text.size())) {
    return false;
  }
  return rename_to.empty() || MoveNoReplace(path, rename_to, error) == MoveResult::Moved;
}

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

TEST_F(Scheduler, ItemsOtherProcessesPutTakeOrRenameAreDeliveredOrForgottenOnce) {
  RecordingSmtpSink sink;
  // Waiting for its retry interval when another process takes it out of the queue.
  queue_.Add("gone@y.test", "anna@x.test", kText, 1, kReturnNone,
             static_cast<std::uint32_t>(std::time(nullptr)));
  Begin(test::GatewayConfig("127.0.0.1", sink.Port()));
  ASSERT_TRUE(WaitUntil([&] { return scheduler_.IndexedCount() == 1; }));
  const fs::path que = queue_.Root() / "que";
  InAnotherProcess([&] {
    std::string error;
    return DeleteUnheldItem(que / "1", error) == DeleteResult::Deleted;
  });
  ASSERT_TRUE(WaitUntil([&] { return scheduler_.IndexedCount() == 0; }));

  // Created in place, locked before it has a name and written while the lock is held.
  InAnotherProcess([&] { return WriteItem(que / "5", "five@y.test"); });
  ASSERT_TRUE(sink.WaitForMessages(1));
  // Written in another folder and renamed in.
  InAnotherProcess([&] {
    std::string error;
    return WriteItem(queue_.Root() / "elsewhere", "six@y.test") &&
           MoveNoReplace(queue_.Root() / "elsewhere", que / "6", error) == MoveResult::Moved;
  });
  ASSERT_TRUE(sink.WaitForMessages(2));
  // Renamed inside the queue by its holder before it lets go.
  InAnotherProcess([&] { return WriteItem(que / "7", "nine@y.test", que / "9"); });
  ASSERT_TRUE(sink.WaitForMessages(3));

  ASSERT_TRUE(WaitForEmptyQueue(10s));
  ASSERT_TRUE(WaitUntil([&] { return scheduler_.IndexedCount() == 0; }));
  std::vector<std::string> recipients;
  for (const auto& m : sink.Messages()) recipients.push_back(m.rcpt_to);
  EXPECT_EQ(recipients, (std::vector<std::string>{"RCPT TO:<five@y.test>", "RCPT TO:<six@y.test>",
                                                  "RCPT TO:<nine@y.test>"}));
  EXPECT_EQ(sink.Connections(), 3);
  EXPECT_EQ(queue_.Log().Count("SMTPOUT To:gone@y.test From:anna@x.test"), 0);
  EXPECT_EQ(queue_.Log().Count("SMTPOUT To:nine@y.test From:anna@x.test"), 1);
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

}  // namespace
}  // namespace tarnhold
