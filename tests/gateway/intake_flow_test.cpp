#include "gateway/intake_flow.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace tarnhold {
namespace {

using namespace std::chrono_literals;

// Waits (bounded) until `done` holds.
template <typename Condition>
bool Eventually(Condition done) {
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

// New messages are admitted while fewer items than the limit wait for the sweeper, however
// many transfers are in progress; at the limit they wait until the sweeper is done with an
// item, and then exactly one is let in per freed place.
TEST(IntakeFlow, WaitsAtTheLimitUntilTheSweeperFreesRoom) {
  IntakeFlow flow(3, 10min);
  flow.Listed(1);
  IntakeFlow::Slot a = flow.Admit();
  IntakeFlow::Slot b = flow.Admit();
  IntakeFlow::Slot idle = flow.Admit();  // a client that stopped after MAIL holds nobody up
  a.Commit(1);  // a stored message is an item waiting for the sweeper
  b.Commit(1);
  EXPECT_EQ(flow.Waiting(), 3);
  EXPECT_EQ(flow.Admitted(), 1);

  IntakeFlow::Slot c, d;
  std::thread first([&] { c = flow.Admit(); });
  std::thread second([&] { d = flow.Admit(); });
  ASSERT_TRUE(Eventually([&] { return flow.Paced() == 2; }));
  EXPECT_EQ(flow.Admitted(), 1);
  flow.Done();
  ASSERT_TRUE(Eventually([&] { return flow.Paced() == 1; }));
  EXPECT_EQ(flow.Admitted(), 2);
  flow.Added(1);  // a collected message: back at the limit, the other still waits
  flow.Done();
  first.join();
  second.join();
  EXPECT_EQ(flow.Admitted(), 3);
  EXPECT_EQ(flow.Paced(), 0);
}

// A listing corrects the count (items other programs took away), opening ends every wait,
// and with no progress at all a message goes on after the longest wait.
TEST(IntakeFlow, ListingCorrectsOpeningReleasesAndWaitsAreBounded) {
  IntakeFlow flow(2, 10min);
  flow.Listed(5);
  IntakeFlow::Slot s;
  std::thread waiter([&] { s = flow.Admit(); });
  ASSERT_TRUE(Eventually([&] { return flow.Paced() == 1; }));
  flow.Listed(0);
  waiter.join();
  EXPECT_TRUE(static_cast<bool>(s));

  flow.Listed(5);
  std::thread stopping([&] { IntakeFlow::Slot t = flow.Admit(); });
  ASSERT_TRUE(Eventually([&] { return flow.Paced() == 1; }));
  flow.Open();
  stopping.join();
  EXPECT_EQ(flow.Paced(), 0);

  IntakeFlow stuck(1, 1ms);
  stuck.Listed(100);
  IntakeFlow::Slot late = stuck.Admit();
  EXPECT_TRUE(static_cast<bool>(late));
  EXPECT_EQ(stuck.Admitted(), 1);
}

}  // namespace
}  // namespace tarnhold
