#include "platform/wake_event.h"

#include <gtest/gtest.h>

#include <thread>

namespace tarnhold {
namespace {

using namespace std::chrono_literals;

TEST(WakeEvent, NotifyBeforeWaitIsNotLost) {
  WakeEvent e;
  e.Notify();
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(e.WaitFor(5s));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  EXPECT_FALSE(e.WaitFor(10ms));  // consumed
}

TEST(WakeEvent, NotifyEndsASleepEarly) {
  WakeEvent e;
  std::jthread producer([&] {
    std::this_thread::sleep_for(20ms);
    e.Notify();
  });
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(e.WaitFor(10s));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

}  // namespace
}  // namespace tarnhold
