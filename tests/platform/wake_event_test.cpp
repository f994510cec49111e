#include "platform/wake_event.h"

#include <gtest/gtest.h>

#include <thread>

namespace tarnhold {
namespace {

using namespace std::chrono_literals;

// WaitFor's result tells a notify from a time-out, so no test needs a clock: a wait that a
// notify did not end would run its whole hour and fail the test's own time limit.

TEST(WakeEvent, NotifyBeforeWaitIsNotLost) {
  WakeEvent e;
  e.Notify();
  EXPECT_TRUE(e.WaitFor(1h));
  EXPECT_FALSE(e.WaitFor(10ms));  // consumed
}

TEST(WakeEvent, NotifyFromAnotherThreadEndsTheWait) {
  WakeEvent e;
  std::jthread producer([&] { e.Notify(); });
  EXPECT_TRUE(e.WaitFor(1h));
}

TEST(WakeEvent, ManyNotifiesEndOneWait) {
  WakeEvent e;
  e.Notify();
  e.Notify();
  EXPECT_TRUE(e.WaitFor(1h));
  EXPECT_FALSE(e.WaitFor(10ms));
}

}  // namespace
}  // namespace tarnhold
